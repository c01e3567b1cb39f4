// The thread that sits in the service manager's dispatcher for the life of
// the service.
#include "handlerthread.h"

#include "servicebase.h"
#include "serviceruntime.h"

#include <vector>

HandlerThread::HandlerThread(ServiceRuntime *runtime)
    : runtime(runtime)
{
}

void HandlerThread::run()
{
    ServiceBase *service = ServiceBase::instance();
    const QString name = service->serviceName();
    std::vector<WCHAR> nameBuffer(wideString(name), wideString(name) + name.size() + 1);
    const SERVICE_TABLE_ENTRYW table[] = {
        { nameBuffer.data(), &ServiceRuntime::serviceMain },
        { nullptr, nullptr }
    };

    // Blocks until the service has stopped, when the service manager started us.
    dispatcherStarted = serviceApi().StartServiceCtrlDispatcherW(table) != 0;
    if (dispatcherStarted)
        return;

    const DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        startedFromConsole = true;
    else
        service->logMessage(QStringLiteral("The Service failed to start [%1]")
                                .arg(qt_error_string(int(error))),
                            ServiceBase::ErrorEvent);
    runtime->startSemaphore.release(1);
}
