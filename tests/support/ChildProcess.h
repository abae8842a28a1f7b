// Runs a step of a test in a forked child, where it may give up privileges or
// have system calls fail without touching the test process itself.
#pragma once

#include <cstdint>
#include <functional>

namespace korvel::test {

// Exit status of a child whose set-up failed (no result of a step uses it).
constexpr int kChildSetupFailed = 255;

// Runs step in a forked child and returns what it returned (0 to 254), the child
// ending with _exit so that nothing of the parent's state is torn down twice. A
// child killed by a signal gives 256 plus the signal number; a failed fork -1.
int runInChild(const std::function<int()>& step);

// Child only (it cannot be undone): takes the uid, gid and no supplementary
// groups of the named account ("nobody"). True on success; false when there is
// no such account or the process may not change ids (not root).
bool becomeAccount(const char* name);

// Child only: from now on a write that would take any file past `bytes` fails
// with EFBIG (RLIMIT_FSIZE, with SIGXFSZ ignored so that it does not end the
// process). True on success.
bool limitFileSize(uint64_t bytes);

// Child only (it cannot be undone): from now on the system call `number` fails
// with `error` in this process and its children, without reaching the kernel
// (a seccomp filter). True on success.
bool failSystemCall(long number, int error);

} // namespace korvel::test
