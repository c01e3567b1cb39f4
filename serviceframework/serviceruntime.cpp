// Running as a service: the service entry and the control handler that the
// platform calls, the status reported to the service manager, and the
// hand-over of every control into the application thread, where the
// service's operations run.
#include "serviceruntime.h"

#include "handlerthread.h"
#include "serviceappeventfilter.h"
#include "servicecontrollerhandler.h"
#include "servicecontrolmanager.h"
#include "serviceoperations.h"

#include <QAbstractEventDispatcher>
#include <QAtomicPointer>
#include <QCoreApplication>
#include <QEvent>
#include <QMutex>
#include <QSemaphore>
#include <QWaitCondition>

#include <vector>

namespace {

constexpr int StartTimeoutMs = 20000;
constexpr unsigned long HandlerThreadWaitMs = 1000;

// The start-up request, posted like a control of the platform.
constexpr DWORD StartupControl = 256;

DWORD controlsAccepted(ServiceBase::ServiceFlags flags)
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

} // namespace

class ServiceRuntime::Private
{
public:
    Private(const QString &serviceName, ServiceBase::ServiceFlags flags, ServiceOperations &operations)
        : serviceName(serviceName), operations(operations)
    {
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
        status.dwCurrentState = SERVICE_STOPPED;
        status.dwControlsAccepted = controlsAccepted(flags);
        status.dwWin32ExitCode = 0;
        status.dwServiceSpecificExitCode = 0;
        status.dwCheckPoint = 0;
        status.dwWaitHint = 0;
    }

    // The entry and the control handler given to the platform.
    static void WINAPI serviceMain(DWORD argc, LPWSTR *argv);
    static void WINAPI controlHandler(DWORD code);

    // Both with the mutex held.
    void reportStatus();
    bool postAndWait(int code);

    // The platform calls serviceMain and the control handler without any
    // context of ours, so they find the runtime here: the one runtime of the
    // process, set for as long as it exists.
    static QAtomicPointer<Private> current;

    const QString serviceName;
    ServiceOperations &operations;
    HandlerThread *handlerThread = nullptr;

    // Written by serviceMain or the failing dispatcher before they release
    // `started`, read by the application thread after it acquired it.
    QStringList arguments;
    DWORD dispatcherError = 0;
    bool dispatcherFailed = false;
    QSemaphore started;
    // Released by the application thread once the application object and
    // the control handler's event receiver exist.
    QSemaphore applicationReady;
    ServiceControllerHandler *controllerHandler = nullptr;

    // Guarded by mutex: the status reported, and the handle to report it
    // with; control events posted and handled so far, the control handlers
    // inside controlHandler, and whether the event loop has ended (after
    // which nothing posted will be handled). `condition` is woken whenever
    // one of the counts changes.
    QMutex mutex;
    QWaitCondition condition;
    SERVICE_STATUS status;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    quint64 eventsPosted = 0;
    quint64 eventsHandled = 0;
    int activeHandlers = 0;
    bool finished = false;
};

QAtomicPointer<ServiceRuntime::Private> ServiceRuntime::Private::current;

void ServiceRuntime::Private::reportStatus()
{
    if (resolveServiceApi())
        serviceApi().SetServiceStatus(statusHandle, &status);
}

void WINAPI ServiceRuntime::Private::serviceMain(DWORD argc, LPWSTR *argv)
{
    Private *runtime = current.loadAcquire();
    if (!runtime)
        return;

    for (DWORD i = 0; i < argc; ++i)
        runtime->arguments.append(fromWideString(argv[i]));
    runtime->started.release(1);

    // The control handler may only be registered once the application
    // object and the event receiver exist.
    runtime->applicationReady.acquire(1);

    const SERVICE_STATUS_HANDLE handle =
        serviceApi().RegisterServiceCtrlHandlerW(wideString(runtime->serviceName), &controlHandler);
    {
        QMutexLocker locker(&runtime->mutex);
        runtime->statusHandle = handle;
    }
    if (handle)
        controlHandler(StartupControl);
}

bool ServiceRuntime::Private::postAndWait(int code)
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

void WINAPI ServiceRuntime::Private::controlHandler(DWORD code)
{
    Private *runtime = current.loadAcquire();
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

ServiceRuntime::ServiceRuntime(const QString &serviceName, ServiceBase::ServiceFlags flags,
                               ServiceOperations &operations)
    : d(new Private(serviceName, flags, operations))
{
    Private::current.storeRelease(d);
}

ServiceRuntime::~ServiceRuntime()
{
    Private::current.storeRelease(nullptr);
    delete d;
}

ServiceRuntime::StartResult ServiceRuntime::startDispatcher()
{
    d->handlerThread = new HandlerThread(this);
    d->handlerThread->start();

    // Either serviceMain has the service manager's arguments, or the
    // dispatcher has failed. A dispatcher that does neither is left as it is.
    if (!d->started.tryAcquire(1, StartTimeoutMs))
        return NoAnswer;
    if (!d->dispatcherFailed)
        return Started;

    d->handlerThread->wait();
    delete d->handlerThread;
    d->handlerThread = nullptr;
    return d->dispatcherError == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT ? StartedFromConsole
                                                                         : DispatcherFailed;
}

quint32 ServiceRuntime::dispatcherError() const
{
    return d->dispatcherError;
}

QStringList ServiceRuntime::serviceArguments() const
{
    return d->arguments;
}

void ServiceRuntime::applicationCreated()
{
    QAbstractEventDispatcher::instance()->installNativeEventFilter(ServiceAppEventFilter::instance());
    d->controllerHandler = new ServiceControllerHandler(this);
    d->applicationReady.release(1);
}

void ServiceRuntime::applicationEnded(int exitCode)
{
    {
        QMutexLocker locker(&d->mutex);
        // Nothing posted from now on will be handled: release the handlers
        // still waiting, and let each finish its own reports before the last one.
        d->finished = true;
        d->condition.wakeAll();
        while (d->activeHandlers > 0)
            d->condition.wait(&d->mutex);

        d->status.dwWin32ExitCode = DWORD(exitCode);
        d->status.dwCurrentState = SERVICE_STOPPED;
        d->reportStatus();
    }

    if (d->handlerThread->isRunning())
        d->handlerThread->wait(HandlerThreadWaitMs);
    delete d->controllerHandler;
    d->controllerHandler = nullptr;
    // A dispatcher that has not returned yet keeps its thread object.
    if (d->handlerThread->isFinished())
        delete d->handlerThread;
    d->handlerThread = nullptr;
}

void ServiceRuntime::setServiceFlags(ServiceBase::ServiceFlags flags)
{
    QMutexLocker locker(&d->mutex);
    d->status.dwControlsAccepted = controlsAccepted(flags);
    d->reportStatus();
}

void ServiceRuntime::runDispatcher()
{
    const QString &name = d->serviceName;
    std::vector<WCHAR> nameBuffer(wideString(name), wideString(name) + name.size() + 1);
    const SERVICE_TABLE_ENTRYW table[] = {
        { nameBuffer.data(), &Private::serviceMain },
        { nullptr, nullptr }
    };

    // Blocks until the service has stopped, when the service manager started us.
    if (serviceApi().StartServiceCtrlDispatcherW(table))
        return;

    d->dispatcherError = GetLastError();
    d->dispatcherFailed = true;
    d->started.release(1);
}

void ServiceRuntime::handleControlEvent(QEvent *event)
{
    const int code = int(event->type()) - QEvent::User;
    if (code == SERVICE_CONTROL_PAUSE) {
        d->operations.pause();
    } else if (code == SERVICE_CONTROL_CONTINUE) {
        d->operations.resume();
    } else if (code == int(StartupControl)) {
        d->operations.start();
    } else if (code == SERVICE_CONTROL_STOP) {
        d->operations.stop();
        QCoreApplication::quit();
    } else if (code >= 128 && code <= 255) {
        d->operations.processCommand(code - 128);
    }

    QMutexLocker locker(&d->mutex);
    ++d->eventsHandled;
    d->condition.wakeAll();
}
