// The thread that sits in the service manager's dispatcher for the life of
// the service.
#include "handlerthread.h"

#include "serviceruntime.h"

HandlerThread::HandlerThread(ServiceRuntime *runtime)
    : runtime(runtime)
{
}

void HandlerThread::run()
{
    runtime->runDispatcher();
}
