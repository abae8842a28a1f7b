// Runs a step of a test in a process of its own, where it may set a umask, give
// up privileges, limit file sizes or have system calls fail without touching the
// test process itself.
//
// The child is the test program itself, started again by exec as
// "PROGRAM --child STEP ARG...": a test process has threads (Qt's, a worker
// still ending), and after a bare fork only async-signal-safe calls are defined.
// Between fork and exec nothing runs but such calls. The child ends with the
// process that started it, so that a test killed for its time never leaves one
// behind holding its output.
//
// A test file names its steps with KORVEL_CHILD_STEP and its main with
// KORVEL_TEST_MAIN_GUILESS, which runs the step when the program is such a child.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace korvel::test {

// Exit status of a child whose set-up failed (no result of a step uses it).
constexpr int kChildSetupFailed = 255;
// What runChild and waitChild return when the child outlived its time (it is killed).
constexpr int kChildTimedOut = -2;
// How long a child may take unless the caller says otherwise.
constexpr int kChildTimeoutMs = 60000;

using ChildArgs = std::vector<std::string>;
using ChildStep = int (*)(const ChildArgs& args);

// Registers a step under a name; KORVEL_CHILD_STEP calls it at start-up.
bool registerChildStep(const char* name, ChildStep step);

// Starts this program again by exec as a child that runs `step` with `args`.
// The descriptors in `inherit` stay open in the child under the same numbers
// (every other one the test opened is closed there). Returns the child's pid,
// or -1 when it could not be started. Call it from the test's own thread: the
// child ends when the thread that started it does.
pid_t startChild(const std::string& step, const ChildArgs& args = {}, const std::vector<int>& inherit = {});

// Waits for a child at most timeoutMs, and kills it when the time has run out.
// Returns what its step returned (0 to 254), kChildSetupFailed, 256 plus the
// signal that ended it, kChildTimedOut, or -1 when there was nothing to wait for.
int waitChild(pid_t child, int timeoutMs = kChildTimeoutMs);

// startChild and waitChild in one.
int runChild(const std::string& step, const ChildArgs& args = {}, int timeoutMs = kChildTimeoutMs);

// At the top of main: when this process was started as a child, runs its step
// and returns the exit status; otherwise -1 and the program goes on as a test.
int childMain(int argc, char** argv);

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

// Defines a step a test runs in a child: a function of the arguments, whose
// result (0 to 254) becomes the child's exit status.
#define KORVEL_CHILD_STEP(name)                                                                                        \
    static int name(const korvel::test::ChildArgs& args);                                                              \
    [[maybe_unused]] static const bool name##Registered = korvel::test::registerChildStep(#name, name);                \
    static int name([[maybe_unused]] const korvel::test::ChildArgs& args)

// QTEST_GUILESS_MAIN that runs a child's step instead of the tests when the
// program was started as a child (the file includes QtTest first). The step
// finds the application object made, as the tests do; the child then ends at
// once, its output flushed, without the teardown (or leak report) of a whole
// test program.
#define KORVEL_TEST_MAIN_GUILESS(TestObject)                                                                           \
    QTEST_MAIN_WRAPPER(                                                                                                \
        TestObject,                                                                                                    \
        QTEST_QAPP_SETUP(QCoreApplication) if (const int childStatus = korvel::test::childMain(argc, argv);            \
                                               childStatus >= 0) {                                                     \
            fflush(nullptr);                                                                                           \
            _exit(childStatus);                                                                                        \
        })
