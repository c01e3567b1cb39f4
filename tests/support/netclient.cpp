#include "netclient.h"

#include <QRandomGenerator>
#include <QVector>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString systemError(const char *what, int code)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(code)));
}

// Errors by which the server's reset or early close shows on the client.
bool isResetError(int code)
{
    return code == ECONNRESET || code == EPIPE || code == ENOTCONN;
}

} // namespace

ClientConnection::ClientConnection(const QByteArray &payload, Ending ending, const char *bindAddress)
    : payload(payload), ending(ending), bindAddress(bindAddress)
{
}

ClientConnection::~ClientConnection()
{
    if (fd >= 0)
        ::close(fd);
}

bool ClientConnection::completed() const
{
    return outcome == Outcome::ServerClosed && bytesAcknowledged >= quint64(payload.size());
}

void ClientConnection::release()
{
    released = true;
    if (stage == Stage::Held)
        stage = Stage::Sending;
}

bool ClientConnection::start(quint16 port)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failCall("socket");
        return false;
    }
    if (bindAddress) {
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, bindAddress, &local.sin_addr) != 1
            || ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            failCall("bind");
            return false;
        }
    }
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0 && errno != EINPROGRESS) {
        failCall("connect");
        return false;
    }
    return true;
}

short ClientConnection::events() const
{
    switch (stage) {
    case Stage::Connecting:
    case Stage::Sending:
        return POLLOUT;
    case Stage::Held:
    case Stage::Waiting:
        return POLLIN;
    case Stage::Draining:
    case Stage::Done:
        break;
    }
    return 0;
}

void ClientConnection::finishWith(Outcome result, const QString &why)
{
    tcp_info info = {};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0
        && length >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        bytesAcknowledged = info.tcpi_bytes_acked;
    if (ending == Ending::Reset || ending == Ending::ResetAtOnce) {
        if (result == Outcome::ClientEnded) {
            const linger abortive = { 1, 0 };
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        }
    }
    ::close(fd);
    fd = -1;
    stage = Stage::Done;
    outcome = result;
    error = why;
}

void ClientConnection::failCall(const char *what)
{
    const int code = errno;
    if (fd < 0) {
        stage = Stage::Done;
        outcome = Outcome::Failed;
        error = systemError(what, code);
        return;
    }
    finishWith(isResetError(code) ? Outcome::ServerReset : Outcome::Failed, systemError(what, code));
}

void ClientConnection::advance(short revents)
{
    if (stage == Stage::Connecting) {
        if (!(revents & (POLLOUT | POLLERR | POLLHUP)))
            return;
        int code = 0;
        socklen_t length = sizeof code;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length) != 0)
            return failCall("getsockopt");
        // A server that takes the connection and resets it at once (a
        // denied peer) may do so before the client has seen it complete.
        if (code == ECONNRESET)
            return finishWith(Outcome::ServerReset, systemError("connect", code));
        if (code != 0)
            return finishWith(Outcome::Failed, systemError("connect", code));
        if (ending == Ending::CloseAtOnce || ending == Ending::ResetAtOnce)
            return finishWith(Outcome::ClientEnded);
        stage = Stage::Sending;
        revents = POLLOUT;
    }

    if (stage == Stage::Held) {
        if (!(revents & (POLLIN | POLLERR | POLLHUP)))
            return;
        // The server must not end a connection whose job is still coming.
        char byte;
        const ssize_t got = ::recv(fd, &byte, 1, 0);
        if (got > 0)
            return finishWith(Outcome::Failed, QStringLiteral("the server sent data"));
        if (got == 0)
            return finishWith(Outcome::ServerReset, QStringLiteral("the server closed before the job was in"));
        if (errno != EAGAIN)
            return failCall("recv");
        return;
    }

    if (stage == Stage::Sending) {
        const qsizetype limit = holdAt >= 0 && !released ? qMin<qsizetype>(holdAt, payload.size()) : payload.size();
        while (sent < limit) {
            const ssize_t n = ::send(fd, payload.constData() + sent, size_t(limit - sent), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN)
                    return;
                return failCall("send");
            }
            sent += n;
        }
        if (limit < payload.size() || (holdAt >= 0 && !released)) {
            stage = Stage::Held;
            return;
        }
        if (ending == Ending::Reset) {
            stage = Stage::Draining;
        } else if (ending == Ending::AwaitClose) {
            stage = Stage::Waiting;
            return;
        } else {
            if (::shutdown(fd, SHUT_WR) != 0)
                return failCall("shutdown");
            stage = Stage::Waiting;
            return;
        }
    }

    if (stage == Stage::Draining) {
        if (revents & (POLLERR | POLLHUP)) {
            int code = 0;
            socklen_t length = sizeof code;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length);
            return finishWith(Outcome::ServerReset, systemError("reset while draining", code));
        }
        // Reset only once the server's TCP has every byte: what it holds then
        // is exactly the job.
        int unacknowledged = 0;
        if (::ioctl(fd, SIOCOUTQ, &unacknowledged) != 0)
            return failCall("ioctl");
        if (unacknowledged == 0)
            finishWith(Outcome::ClientEnded);
        return;
    }

    if (stage == Stage::Waiting) {
        if (!(revents & (POLLIN | POLLERR | POLLHUP)))
            return;
        char byte;
        const ssize_t got = ::recv(fd, &byte, 1, 0);
        if (got > 0)
            return finishWith(Outcome::Failed, QStringLiteral("the server sent data"));
        if (got < 0) {
            if (errno == EAGAIN)
                return;
            return failCall("recv");
        }
        // An end of stream that follows a reset is no orderly close.
        int code = 0;
        socklen_t length = sizeof code;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length);
        if (code != 0)
            return finishWith(Outcome::ServerReset, systemError("closed, then", code));
        finishWith(Outcome::ServerClosed);
    }
}

ClientConnection *ClientPool::add(const QByteArray &payload, Ending ending, const char *bindAddress, qsizetype holdAt)
{
    all.emplace_back(new ClientConnection(payload, ending, bindAddress));
    ClientConnection *connection = all.back().get();
    connection->holdAt = holdAt;
    connection->start(port);
    return connection;
}

void ClientPool::step(int timeoutMs)
{
    std::vector<pollfd> entries;
    std::vector<ClientConnection *> owners;
    entries.reserve(all.size());
    owners.reserve(all.size());
    bool draining = false;
    for (const auto &connection : all) {
        if (connection->isDone())
            continue;
        draining = draining || connection->stage == ClientConnection::Stage::Draining;
        entries.push_back({ connection->fd, connection->events(), 0 });
        owners.push_back(connection.get());
    }
    if (entries.empty())
        return;
    // Draining connections have no event to wait for: they are looked at
    // again after a millisecond.
    const int ready = ::poll(entries.data(), nfds_t(entries.size()), draining ? 1 : timeoutMs);
    if (ready < 0)
        return;
    for (size_t i = 0; i < entries.size(); ++i)
        owners[i]->advance(entries[i].revents);
}

int ClientPool::active() const
{
    int count = 0;
    for (const auto &connection : all)
        count += connection->isDone() ? 0 : 1;
    return count;
}

int ClientPool::connected() const
{
    int count = 0;
    for (const auto &connection : all)
        count += connection->isConnected() && !connection->isDone() ? 1 : 0;
    return count;
}

std::vector<std::unique_ptr<ClientConnection>> ClientPool::takeDone()
{
    std::vector<std::unique_ptr<ClientConnection>> done;
    std::vector<std::unique_ptr<ClientConnection>> rest;
    for (auto &connection : all)
        (connection->isDone() ? done : rest).push_back(std::move(connection));
    all = std::move(rest);
    return done;
}

bool sendJob(quint16 port, const QByteArray &payload, int timeoutMs, QString *error)
{
    ClientPool pool(port);
    ClientConnection *job = pool.add(payload, Ending::Finish);
    pool.runUntilDone(QDeadlineTimer(timeoutMs));
    if (job->completed())
        return true;
    if (error)
        *error = job->isDone() ? job->error : QStringLiteral("the server did not close the connection in time");
    return false;
}

QByteArray randomBytes(int size, quint64 seed)
{
    QVector<quint32> words((size + 3) / 4);
    QRandomGenerator generator(quint32(seed ^ (seed >> 32)));
    generator.fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

long raiseDescriptorLimit()
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    return long(limit.rlim_cur);
}

QList<quint16> freePorts(int count)
{
    // Each port stays bound until all are found, so that they differ.
    QList<quint16> ports;
    std::vector<int> held;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            break;
        held.push_back(fd);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            break;
        ports << ntohs(address.sin_port);
    }
    for (const int fd : held)
        ::close(fd);
    return ports;
}

quint16 freePort()
{
    return freePorts(1).value(0);
}

int openDescriptors(qint64 pid)
{
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/fd";
    DIR *folder = ::opendir(path.constData());
    if (!folder)
        return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(folder);
    return count;
}
