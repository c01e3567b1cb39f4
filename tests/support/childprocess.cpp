#include "childprocess.h"

#include <sys/prctl.h>
#include <sys/resource.h>

ChildProcess::~ChildProcess()
{
    if (state() != NotRunning) {
        kill();
        waitForFinished(30000);
    }
}

void ChildProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, orphanSignal);
    if (descriptorLimit > 0) {
        // The hard limit too: the program raises its soft limit to it.
        const rlimit limit = { rlim_t(descriptorLimit), rlim_t(descriptorLimit) };
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}
