#include "engine/ProcessProtection.h"

#include <csignal>
#include <sys/prctl.h>

bool ProcessProtection::makeNonDumpable()
{
    return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0;
}

void ProcessProtection::keepFileSizeLimitAWriteError()
{
    std::signal(SIGXFSZ, SIG_IGN);
}
