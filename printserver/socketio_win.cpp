// Socket calls on Windows (Winsock).
#include "socketio.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

namespace {

QString socketError(int error)
{
    return qt_error_string(error);
}

// What a receive or send returned: the count, WouldBlock, or Broken with the
// reason.
qint64 transferred(int count, QString *error)
{
    if (count >= 0)
        return count;
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK)
        return SocketIo::WouldBlock;
    *error = socketError(code);
    return SocketIo::Broken;
}

} // namespace

namespace SocketIo {

qint64 receive(qintptr socket, char *buffer, qint64 size, QString *error)
{
    return transferred(::recv(SOCKET(socket), buffer, int(qMin<qint64>(size, 1 << 30)), 0), error);
}

qintptr accept(qintptr listening, bool *outOfResources, QString *error)
{
    const SOCKET socket = ::accept(SOCKET(listening), nullptr, nullptr);
    if (socket != INVALID_SOCKET)
        return qintptr(socket);
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK)
        return WouldBlock;
    *outOfResources = code == WSAEMFILE || code == WSAENOBUFS;
    *error = socketError(code);
    return Broken;
}

qint64 send(qintptr socket, const char *data, qint64 size, QString *error)
{
    return transferred(::send(SOCKET(socket), data, int(qMin<qint64>(size, 1 << 30)), 0), error);
}

bool waitWritable(qintptr socket, int timeoutMs)
{
    WSAPOLLFD entry = {};
    entry.fd = SOCKET(socket);
    entry.events = POLLWRNORM;
    return WSAPoll(&entry, 1, timeoutMs) > 0;
}

bool shutdownWrite(qintptr socket)
{
    return ::shutdown(SOCKET(socket), SD_SEND) == 0;
}

bool waitReadable(qintptr socket, int timeoutMs)
{
    WSAPOLLFD entry = {};
    entry.fd = SOCKET(socket);
    entry.events = POLLRDNORM;
    return WSAPoll(&entry, 1, timeoutMs) > 0;
}

void prepareListening(qintptr)
{
}

void prepare(qintptr socket)
{
    // A process that ends before the job is committed resets the connection
    // rather than closing it in order; close() turns this off.
    const linger reset = { 1, 0 };
    ::setsockopt(SOCKET(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset), sizeof reset);
    // Each call is non-fatal: without it the connection still works.
    u_long nonBlocking = 1;
    ::ioctlsocket(SOCKET(socket), FIONBIO, &nonBlocking);
    keepAlive(socket);
}

void keepAlive(qintptr socket)
{
    tcp_keepalive probes = { 1, 60 * 1000, 10 * 1000 };
    DWORD returned = 0;
    ::WSAIoctl(SOCKET(socket), SIO_KEEPALIVE_VALS, &probes, sizeof probes, nullptr, 0, &returned, nullptr, nullptr);
}

void close(qintptr socket)
{
    const linger orderly = { 0, 0 };
    ::setsockopt(SOCKET(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&orderly), sizeof orderly);
    ::closesocket(SOCKET(socket));
}

void abort(qintptr socket)
{
    const linger reset = { 1, 0 };
    ::setsockopt(SOCKET(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&reset), sizeof reset);
    ::closesocket(SOCKET(socket));
}

long raiseDescriptorLimit()
{
    // Sockets and files are handles, limited only by memory.
    return -1;
}

int openDescriptors()
{
    return -1;
}

QHostAddress peerAddress(qintptr socket)
{
    sockaddr_storage address = {};
    int length = sizeof address;
    if (::getpeername(SOCKET(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr *>(&address));
}

QHostAddress localAddress(qintptr socket)
{
    sockaddr_storage address = {};
    int length = sizeof address;
    if (::getsockname(SOCKET(socket), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr *>(&address));
}

} // namespace SocketIo
