// Small helpers for tests that wait on something that must return (header-only,
// no Qt); children are started and waited for through ChildProcess.h.
#pragma once

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace korvel::test {

// Ends the test process (SIGALRM) should a wait that must return never return,
// so that a regression fails instead of hanging the run.
class HangGuard {
public:
    HangGuard() { alarm(120); }
    ~HangGuard() { alarm(0); }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;
};

// True once the thread `tid` (of this or another process) sleeps in one of the
// system calls `calls`, as /proc shows it; false when it did not within
// timeoutMs. Proves that a thread waits, where a pause would only hope so.
inline bool waitUntilBlockedIn(pid_t tid, std::initializer_list<long> calls, int timeoutMs = 20000)
{
    const std::string file = "/proc/" + std::to_string(tid) + "/syscall";
    for (int waited = 0; waited < timeoutMs; ++waited) {
        if (FILE* f = fopen(file.c_str(), "r")) {
            long number = -1;
            const bool read = fscanf(f, "%ld", &number) == 1;
            fclose(f);
            if (read && std::find(calls.begin(), calls.end(), number) != calls.end())
                return true;
        }
        timespec pause { 0, 1000000 };
        nanosleep(&pause, nullptr);
    }
    return false;
}

// True when this process has one thread: only then may it fork without exec.
inline bool singleThreaded()
{
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return false;
    int count = 0;
    while (const dirent* entry = readdir(tasks))
        count += entry->d_name[0] != '.';
    closedir(tasks);
    return count == 1;
}

} // namespace korvel::test
