// Running the application as a service: the dispatcher thread, the service
// entry, the control handler, and the hand-over of every control into the
// application thread.
#include "serviceruntime.h"

#include "handlerthread.h"
#include "serviceappeventfilter.h"
#include "servicebase_p.h"
#include "servicecontrollerhandler.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>


QAtomicPointer<ServiceRuntime> ServiceRuntime::current;

namespace {

const int StartTimeoutMs = 20000;
const unsigned long HandlerThreadWaitMs = 1000;

} // namespace

ServiceRuntime::ServiceRuntime(ServiceBase::ServiceFlags flags)
{
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwControlsAccepted = controlsAccepted(flags);
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
}

ServiceRuntime *ServiceRuntime::instance()
{
    return current.loadAcquire();
}

DWORD ServiceRuntime::controlsAccepted(ServiceBase::ServiceFlags flags)
{
    DWORD accepted = 0;
    if (flags & ServiceBase::PauseAllowed)
        accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
    if (!(flags & ServiceBase::StopRefused))
        accepted |= SERVICE_ACCEPT_STOP;
    if (flags & ServiceBase::StopOnShutdown)
        accepted |= SERVICE_ACCEPT_SHUTDOWN;
    return accepted;
}

void ServiceRuntime::reportStatus()
{
    if (resolveServiceApi())
        serviceApi().SetServiceStatus(statusHandle, &status);
}

void WINAPI ServiceRuntime::serviceMain(DWORD argc, LPWSTR *argv)
{
    ServiceRuntime *runtime = instance();
    ServiceBase *service = ServiceBase::instance();
    if (!runtime || !service)
        return;

    for (DWORD i = 0; i < argc; ++i)
        runtime->serviceArguments.append(
            QString::fromUtf16(reinterpret_cast<const ushort *>(argv[i])));
    runtime->startSemaphore.release(1);

    // The control handler may only be registered once the application
    // object and the event receiver exist.
    runtime->applicationReady.acquire(1);

    const QString name = service->serviceName();
    const SERVICE_STATUS_HANDLE handle =
        serviceApi().RegisterServiceCtrlHandlerW(wideString(name), &ServiceRuntime::controlHandler);
    {
        QMutexLocker locker(&runtime->mutex);
        runtime->statusHandle = handle;
    }
    if (handle)
        controlHandler(StartupControl);
}

bool ServiceRuntime::postAndWait(int code)
{
    // Events to one receiver are delivered in the order they were posted,
    // so the n-th event posted is handled once n events have been handled.
    const quint64 ticket = ++eventsPosted;
    QCoreApplication::postEvent(controllerHandler, new QEvent(QEvent::Type(QEvent::User + code)),
                                Qt::NormalEventPriority);
    while (eventsHandled < ticket && !finished)
        condition.wait(&mutex);
    return eventsHandled >= ticket;
}

void WINAPI ServiceRuntime::controlHandler(DWORD code)
{
    ServiceRuntime *runtime = instance();
    if (!runtime)
        return;

    QMutexLocker locker(&runtime->mutex);
    if (runtime->finished)
        return;
    ++runtime->activeHandlers;

    DWORD pendingState = 0;
    DWORD doneState = 0;
    int eventCode = -1;
    switch (code) {
    case StartupControl:
        pendingState = SERVICE_START_PENDING;
        doneState = SERVICE_RUNNING;
        eventCode = int(StartupControl);
        break;
    case SERVICE_CONTROL_STOP:
        pendingState = SERVICE_STOP_PENDING;
        eventCode = SERVICE_CONTROL_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
        pendingState = SERVICE_PAUSE_PENDING;
        doneState = SERVICE_PAUSED;
        eventCode = SERVICE_CONTROL_PAUSE;
        break;
    case SERVICE_CONTROL_CONTINUE:
        pendingState = SERVICE_CONTINUE_PENDING;
        doneState = SERVICE_RUNNING;
        eventCode = SERVICE_CONTROL_CONTINUE;
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        eventCode = SERVICE_CONTROL_STOP;
        break;
    default:
        if (code >= 128 && code <= 255)
            eventCode = int(code);
        break;
    }

    if (pendingState) {
        runtime->status.dwCurrentState = pendingState;
        runtime->reportStatus();
    }
    if (eventCode >= 0 && runtime->postAndWait(eventCode) && doneState) {
        runtime->status.dwCurrentState = doneState;
        runtime->reportStatus();
    }
    // Answers an interrogation, and confirms every transition once more.
    if (runtime->status.dwCurrentState != SERVICE_STOPPED)
        runtime->reportStatus();

    --runtime->activeHandlers;
    runtime->condition.wakeAll();
}

void ServiceRuntime::handleControlEvent(QEvent *event)
{
    const int code = int(event->type()) - QEvent::User;
    ServiceBase *service = ServiceBase::instance();
    if (service) {
        if (code == SERVICE_CONTROL_PAUSE) {
            service->pause();
        } else if (code == SERVICE_CONTROL_CONTINUE) {
            service->resume();
        } else if (code == int(StartupControl)) {
            service->start();
        } else if (code == SERVICE_CONTROL_STOP) {
            service->stop();
            QCoreApplication::quit();
        } else if (code >= 128 && code <= 255) {
            service->processCommand(code - 128);
        }
    }

    QMutexLocker locker(&mutex);
    ++eventsHandled;
    condition.wakeAll();
}

void ServiceRuntime::setServiceFlags(ServiceBase::ServiceFlags flags)
{
    QMutexLocker locker(&mutex);
    status.dwControlsAccepted = controlsAccepted(flags);
    reportStatus();
}

void ServiceRuntime::reportStopped(int exitCode)
{
    QMutexLocker locker(&mutex);
    // Nothing posted from now on will be handled: release the handlers
    // still waiting, and let each finish its own reports before the last one.
    finished = true;
    condition.wakeAll();
    while (activeHandlers > 0)
        condition.wait(&mutex);

    status.dwWin32ExitCode = DWORD(exitCode);
    status.dwCurrentState = SERVICE_STOPPED;
    reportStatus();
}

void ServiceBase::initRuntime()
{
    d->runtime = new ServiceRuntime(d->serviceFlags);
    ServiceRuntime::current.storeRelease(d->runtime);
}

void ServiceBase::cleanupRuntime()
{
    ServiceRuntime::current.storeRelease(nullptr);
    delete d->runtime;
    d->runtime = nullptr;
}

bool ServiceBase::runAsService()
{
    initRuntime();
    ServiceRuntime *runtime = d->runtime;
    if (!resolveServiceApi()) {
        cleanupRuntime();
        return false;
    }

    auto handlerThread = new HandlerThread(runtime);
    handlerThread->start();

    // Either serviceMain has the service manager's arguments, or the
    // dispatcher has failed. A dispatcher that does neither is left as it is.
    if (!runtime->startSemaphore.tryAcquire(1, StartTimeoutMs))
        return false;

    if (!handlerThread->dispatcherStarted) {
        handlerThread->wait();
        const bool startedFromConsole = handlerThread->startedFromConsole;
        delete handlerThread;
        cleanupRuntime();
        // Run from a console: ask the service manager to start the
        // installed service, with our arguments but for the program path.
        return startedFromConsole && d->controller.start(d->arguments.mid(1));
    }

    std::vector<QByteArray> storage;
    std::vector<char *> argv = ServiceBasePrivate::localArgv(runtime->serviceArguments, storage);
    int argc = int(runtime->serviceArguments.size());

    createApplication(argc, argv.data());
    if (!QCoreApplication::instance())
        return false;

    QAbstractEventDispatcher::instance()->installNativeEventFilter(ServiceAppEventFilter::instance());
    runtime->controllerHandler = new ServiceControllerHandler(runtime);
    runtime->applicationReady.release(1);

    const int result = executeApplication();
    runtime->reportStopped(result);

    if (handlerThread->isRunning())
        handlerThread->wait(HandlerThreadWaitMs);
    delete runtime->controllerHandler;
    runtime->controllerHandler = nullptr;
    if (handlerThread->isFinished())
        delete handlerThread;
    delete QCoreApplication::instance();
    cleanupRuntime();
    return true;
}
