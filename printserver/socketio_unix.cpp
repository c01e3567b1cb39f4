// Socket calls on POSIX systems.
#include "socketio.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Keep-alive probes start after a minute of silence; five unanswered ones,
// ten seconds apart, end the connection.
const int KeepAliveIdle = 60;
const int KeepAliveInterval = 10;
const int KeepAliveCount = 5;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A receive or send, tried again when a signal interrupted it: the count,
// WouldBlock, or Broken with the reason.
template <typename Call>
qint64 transferred(Call call, QString *error)
{
    for (;;) {
        const ssize_t count = call();
        if (count >= 0)
            return count;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return SocketIo::WouldBlock;
        *error = systemError(errno);
        return SocketIo::Broken;
    }
}

} // namespace

namespace SocketIo {

qint64 receive(qintptr socket, char *buffer, qint64 size, QString *error)
{
    return transferred([&] { return ::recv(int(socket), buffer, size_t(size), 0); }, error);
}

qintptr accept(qintptr listening, bool *outOfResources, QString *error)
{
    for (;;) {
        const int fd = ::accept4(int(listening), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0)
            return fd;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return WouldBlock;
        *outOfResources = errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
        *error = systemError(errno);
        return Broken;
    }
}

qint64 send(qintptr socket, const char *data, qint64 size, QString *error)
{
    return transferred([&] { return ::send(int(socket), data, size_t(size), MSG_NOSIGNAL); }, error);
}

bool waitWritable(qintptr socket, int timeoutMs)
{
    pollfd entry = { int(socket), POLLOUT, 0 };
    return ::poll(&entry, 1, timeoutMs) > 0;
}

bool shutdownWrite(qintptr socket)
{
    return ::shutdown(int(socket), SHUT_WR) == 0;
}

bool waitReadable(qintptr socket, int timeoutMs)
{
    pollfd entry = { int(socket), POLLIN, 0 };
    return ::poll(&entry, 1, timeoutMs) > 0;
}

void prepare(qintptr)
{
    // accept() made it non-blocking and closed on exec, and it has the
    // listening socket's keep-alive options.
}

void prepareListening(qintptr socket)
{
    const int fd = int(socket);
    // Accepted sockets take SO_LINGER {on, 0} from here: a process that
    // ends before a job is committed resets its connection rather than
    // closing it in order. close() turns it off for the acknowledgement.
    const linger reset = { 1, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    keepAlive(socket);
}

void keepAlive(qintptr socket)
{
    const int fd = int(socket);
    // Each call is non-fatal: without it the connection still works.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &KeepAliveIdle, sizeof KeepAliveIdle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &KeepAliveInterval, sizeof KeepAliveInterval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &KeepAliveCount, sizeof KeepAliveCount);
}

void close(qintptr socket)
{
    const linger orderly = { 0, 0 };
    ::setsockopt(int(socket), SOL_SOCKET, SO_LINGER, &orderly, sizeof orderly);
    ::close(int(socket));
}

void abort(qintptr socket)
{
    const linger reset = { 1, 0 };
    ::setsockopt(int(socket), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(int(socket));
}

long raiseDescriptorLimit()
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            limit.rlim_cur = before;
    }
    return long(limit.rlim_cur);
}

int openDescriptors()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    // The listing's own descriptor is among them.
    return fds.exists() ? int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size()) - 1 : -1;
}

QHostAddress peerAddress(qintptr socket)
{
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    if (::getpeername(int(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr *>(&address));
}

QHostAddress localAddress(qintptr socket)
{
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    if (::getsockname(int(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr *>(&address));
}

} // namespace SocketIo
