// The status a service reports to systemd, and the state the controller
// reads back from it: the status text carries what systemd's own states do
// not have (pausing, paused, resuming) and the exit code.
#include "systemdstatus_p.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The state words of the status texts; the state read back from systemd is
// told apart by them.
const char StartingText[] = "Starting";
const char RunningText[] = "Running";
const char PausingText[] = "Pausing";
const char PausedText[] = "Paused";
const char ResumingText[] = "Resuming";
const char StoppingText[] = "Stopping";

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

int controlSignal()
{
    return SIGRTMIN;
}

} // namespace SystemdServiceManager
