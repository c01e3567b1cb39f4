// The service side of the systemd binding: the dispatcher that turns the
// signals systemd and the controller send into calls of the control handler,
// and the status reports through the notify socket. A process that systemd
// did not start gets ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, as from Windows.
#include "servicecontrolmanager_p.h"
#include "systemdstatus_p.h"

#include <QFileInfo>
#include <QMutex>
#include <QWaitCondition>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <unistd.h>

using namespace SystemdServiceManager;

namespace {

// Whether systemd started this process as a unit's main process.
bool startedBySystemd()
{
    // getenv, not qgetenv: this also runs before main().
    const char *socket = getenv("NOTIFY_SOCKET");
    const char *invocation = getenv("INVOCATION_ID");
    if (!socket || !*socket || !invocation || !*invocation)
        return false;
    // systemd names the process it started; the children of a service,
    // which inherit its environment, are not that process.
    const char *execPid = getenv("SYSTEMD_EXEC_PID");
    return !execPid || strtol(execPid, nullptr, 10) == long(getpid());
}

// SIGTERM, the stop systemd sends, and the signal that carries the other
// controls.
sigset_t controlSignals()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, controlSignal());
    return mask;
}

// Blocks the control signals before main() runs, while the process has no
// other thread: every thread started later inherits the mask, so the signals
// stay pending until the dispatcher takes them with sigwaitinfo instead of
// ending the process (the control signal) or reaching an arbitrary thread (SIGTERM).
// A process that systemd did not start keeps its signal handling.
const bool controlSignalsBlocked = [] {
    if (!startedBySystemd())
        return false;
    const sigset_t mask = controlSignals();
    return pthread_sigmask(SIG_BLOCK, &mask, nullptr) == 0;
}();

// The one service this process runs. The dispatcher waits on `changed`
// until serviceMain has registered a handler, then in sigwaitinfo until the
// service has reported SERVICE_STOPPED.
struct Dispatcher
{
    QMutex mutex;
    QWaitCondition changed;
    bool dispatching = false;
    bool waitingForSignal = false;
    bool stopReported = false;
    bool serviceMainReturned = false;
    LPHANDLER_FUNCTION handler = nullptr;
    QString serviceName;
    pthread_t thread;
};

Dispatcher &dispatcher()
{
    static Dispatcher instance;
    return instance;
}

SERVICE_STATUS_HANDLE statusHandle()
{
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(&dispatcher());
}

// Runs the registered handler for each control until the service has
// reported SERVICE_STOPPED. Called with the dispatcher's mutex held.
void dispatchControls(Dispatcher &d, QMutexLocker &locker)
{
    const sigset_t mask = controlSignals();
    while (!d.stopReported) {
        d.waitingForSignal = true;
        locker.unlock();
        siginfo_t info;
        const int signal = sigwaitinfo(&mask, &info);
        locker.relock();
        d.waitingForSignal = false;
        if (signal < 0 || d.stopReported)
            continue;

        DWORD control = 0;
        if (signal == SIGTERM) {
            control = SERVICE_CONTROL_STOP;
        } else if (signal == controlSignal() && info.si_code == SI_QUEUE) {
            // A queued signal from the controller; the wake-up of a stop
            // report comes without a value and is not a control.
            const int code = info.si_value.sival_int;
            if (code >= 1 && code <= 255)
                control = DWORD(code);
        }
        if (!control)
            continue;
        const LPHANDLER_FUNCTION handler = d.handler;
        locker.unlock();
        handler(control);
        locker.relock();
    }
}

BOOL WINAPI startServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYW *table)
{
    if (!startedBySystemd()) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    if (!table || !table[0].lpServiceName || !table[0].lpServiceProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }

    Dispatcher &d = dispatcher();
    QMutexLocker locker(&d.mutex);
    if (d.dispatching) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return false;
    }
    d.dispatching = true;
    d.stopReported = false;
    d.serviceMainReturned = false;
    d.handler = nullptr;
    d.serviceName = fromWideString(table[0].lpServiceName);
    d.thread = pthread_self();

    // Normally blocked since before main(); blocking them here as well keeps
    // them for sigwaitinfo even if that failed.
    if (!controlSignalsBlocked) {
        const sigset_t mask = controlSignals();
        pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    }

    // The application is named after its first argument, so it gets the
    // program path rather than the service name: the same name as in a
    // foreground run, and so the same data folder.
    std::u16string program = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget().toStdU16String();
    std::vector<LPWSTR> argv{ &program[0], nullptr };
    const LPSERVICE_MAIN_FUNCTIONW serviceMain = table[0].lpServiceProc;

    locker.unlock();
    std::thread mainThread([&d, &argv, serviceMain] {
        serviceMain(1, argv.data());
        QMutexLocker mainLocker(&d.mutex);
        d.serviceMainReturned = true;
        d.changed.wakeAll();
    });
    locker.relock();

    // Controls can only be delivered once there is a handler; until then
    // they stay pending. A serviceMain that returns without registering one
    // leaves nothing to dispatch.
    while (!d.handler && !d.stopReported && !d.serviceMainReturned)
        d.changed.wait(&d.mutex);
    if (d.handler)
        dispatchControls(d, locker);

    d.dispatching = false;
    d.handler = nullptr;
    locker.unlock();
    mainThread.join();
    return true;
}

SERVICE_STATUS_HANDLE WINAPI registerServiceCtrlHandler(LPCWSTR name, LPHANDLER_FUNCTION handler)
{
    Dispatcher &d = dispatcher();
    QMutexLocker locker(&d.mutex);
    if (!d.dispatching || !name || fromWideString(name) != d.serviceName) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (!handler) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    d.handler = handler;
    d.changed.wakeAll();
    return statusHandle();
}

BOOL WINAPI setServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    Dispatcher &d = dispatcher();
    QMutexLocker locker(&d.mutex);
    if (handle != statusHandle() || !d.dispatching) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const QByteArray message = status ? notifyMessage(*status) : QByteArray();
    if (message.isEmpty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const bool sent = notify(message);

    if (status->dwCurrentState == SERVICE_STOPPED && !d.stopReported) {
        d.stopReported = true;
        d.changed.wakeAll();
        // The dispatcher clears waitingForSignal under this mutex before it
        // goes on, so its thread is still there to take the wake-up.
        if (d.waitingForSignal)
            pthread_kill(d.thread, controlSignal());
    }
    return sent;
}

} // namespace

void bindSystemdDispatcher(ServiceControlManager &table)
{
    table.StartServiceCtrlDispatcherW = startServiceCtrlDispatcher;
    table.RegisterServiceCtrlHandlerW = registerServiceCtrlHandler;
    table.SetServiceStatus = setServiceStatus;
}
