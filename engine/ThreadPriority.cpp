#include "engine/ThreadPriority.h"

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The nice value of one thread of this process (Linux keeps one per thread;
// PRIO_PROCESS with a thread id names just that thread), or 0 when it cannot be read.
int niceOf(pid_t thread)
{
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    return (nice == -1 && errno != 0) ? 0 : nice;
}

} // namespace

int ThreadPriority::currentNice()
{
    return niceOf(gettid());
}

int ThreadPriority::backgroundNice()
{
    // The main thread's id is the process id.
    return std::min(niceOf(getpid()) + kBackgroundSteps, kLowestNice);
}

int ThreadPriority::lowerCurrentThread()
{
    const pid_t self = gettid();
    const int target = backgroundNice();
    // Raising a nice value is always allowed; lowering it (a higher priority) is
    // not what this is for.
    if (niceOf(self) < target)
        setpriority(PRIO_PROCESS, static_cast<id_t>(self), target);
    return niceOf(self);
}
