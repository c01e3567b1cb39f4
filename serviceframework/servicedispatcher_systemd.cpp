// The service side of the systemd binding: the dispatcher that turns the
// signals systemd and the controller send into calls of the control handler,
// and the status reports through the notify socket.
#include "servicecontrolmanager_systemd_p.h"

#include <QFileInfo>
#include <QMutex>
#include <QWaitCondition>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace SystemdServiceManager {

const char StartingText[] = "Starting";
const char RunningText[] = "Running";
const char PausingText[] = "Pausing";
const char PausedText[] = "Paused";
const char ResumingText[] = "Resuming";
const char StoppingText[] = "Stopping";

} // namespace SystemdServiceManager

using namespace SystemdServiceManager;

namespace {

// Blocks the control signals before main() runs, while the process has no
// other thread: every thread started later inherits the mask, so the signals
// stay pending until the dispatcher takes them with sigwaitinfo instead of
// ending the process (SIGRTMIN) or reaching an arbitrary thread (SIGTERM).
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

QString text(LPCWSTR string)
{
    return QString::fromUtf16(reinterpret_cast<const ushort *>(string));
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
        } else if (signal == SIGRTMIN && info.si_code == SI_QUEUE) {
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
    d.serviceName = text(table[0].lpServiceName);
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
    if (!d.dispatching || !name || text(name) != d.serviceName) {
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
            pthread_kill(d.thread, SIGRTMIN);
    }
    return sent;
}

} // namespace

namespace SystemdServiceManager {

DWORD serviceState(const QString &activeState, const QString &statusText)
{
    // The service may say more after its state word ("Paused: 2 printers").
    const QString word = statusText.section(QLatin1Char(':'), 0, 0);
    if (activeState == QLatin1String("active") || activeState == QLatin1String("reloading")) {
        if (word == QLatin1String(PausedText))
            return SERVICE_PAUSED;
        if (word == QLatin1String(PausingText))
            return SERVICE_PAUSE_PENDING;
        if (word == QLatin1String(ResumingText))
            return SERVICE_CONTINUE_PENDING;
        return SERVICE_RUNNING;
    }
    if (activeState == QLatin1String("activating"))
        return SERVICE_START_PENDING;
    if (activeState == QLatin1String("deactivating"))
        return SERVICE_STOP_PENDING;
    return SERVICE_STOPPED;
}

QByteArray notifyMessage(const SERVICE_STATUS &status)
{
    const QByteArray statusLine("STATUS=");
    switch (status.dwCurrentState) {
    case SERVICE_START_PENDING:
        return statusLine + StartingText;
    case SERVICE_RUNNING:
        return "READY=1\n" + statusLine + RunningText;
    case SERVICE_PAUSE_PENDING:
        return statusLine + PausingText;
    case SERVICE_PAUSED:
        return statusLine + PausedText;
    case SERVICE_CONTINUE_PENDING:
        return statusLine + ResumingText;
    case SERVICE_STOP_PENDING:
        return "STOPPING=1\n" + statusLine + StoppingText;
    case SERVICE_STOPPED:
        // systemd only sees the process end with 0, so the code travels in the text.
        return "STOPPING=1\n" + statusLine + "Stopped with code "
            + QByteArray::number(qint32(status.dwWin32ExitCode));
    default:
        return QByteArray();
    }
}

bool notify(const QByteArray &message)
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || (path.at(0) != '/' && path.at(0) != '@')
        || size_t(path.size()) >= sizeof address.sun_path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    memcpy(address.sun_path, path.constData(), size_t(path.size()));
    // "@" names a socket in the abstract namespace.
    if (address.sun_path[0] == '@')
        address.sun_path[0] = 0;
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(errorFromErrno(errno));
        return false;
    }
    const ssize_t sent = sendto(fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr *>(&address), length);
    const int error = errno;
    close(fd);
    if (sent != ssize_t(message.size())) {
        SetLastError(sent < 0 ? errorFromErrno(error) : ERROR_GEN_FAILURE);
        return false;
    }
    return true;
}

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

sigset_t controlSignals()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGRTMIN);
    return mask;
}

void bindDispatcher(ServiceControlManager &table)
{
    table.StartServiceCtrlDispatcherW = startServiceCtrlDispatcher;
    table.RegisterServiceCtrlHandlerW = registerServiceCtrlHandler;
    table.SetServiceStatus = setServiceStatus;
}

} // namespace SystemdServiceManager
