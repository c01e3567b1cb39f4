// Receives the control events in the application thread.
#include "servicecontrollerhandler.h"

#include "serviceruntime.h"

ServiceControllerHandler::ServiceControllerHandler(ServiceRuntime *runtime)
    : runtime(runtime)
{
}

void ServiceControllerHandler::customEvent(QEvent *event)
{
    runtime->handleControlEvent(event);
}
