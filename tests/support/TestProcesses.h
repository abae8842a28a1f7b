// Small helpers for tests that fork children or wait on something that must
// return (header-only, no Qt).
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::test {

// Waits for a child and returns its exit code, or -1 when it did not exit
// normally (a signal ended it).
inline int exitCodeOf(pid_t child)
{
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Ends the test process (SIGALRM) should a wait that must return never return,
// so that a regression fails instead of hanging the run.
class HangGuard {
public:
    HangGuard() { alarm(120); }
    ~HangGuard() { alarm(0); }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;
};

} // namespace korvel::test
