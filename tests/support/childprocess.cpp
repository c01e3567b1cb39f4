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
        rlimit limit = {};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = rlim_t(descriptorLimit);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}
