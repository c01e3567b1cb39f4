// Jobs sent to a network printer's raw port.
#include "socketoutput.h"

#include "socketio.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

namespace {

// How often a wait looks at the stop flag.
const int SliceMs = 250;
const int ConnectTimeoutMs = 10000;
// After the last byte, how long the printer has to close its side.
const int CloseTimeoutMs = 30000;

} // namespace

SocketOutput::SocketOutput(const QString &host, quint16 port)
    : host(host), port(port)
{
}

Output::Result SocketOutput::deliver(QIODevice &document, qint64 size, const QString &,
                                     const std::atomic<bool> &stopping)
{
    const QString printer = QStringLiteral("%1 port %2").arg(host).arg(port);
    const Result stopped{ Unavailable, QStringLiteral("the service is stopping") };
    auto broken = [&](QTcpSocket &socket, const QString &when) {
        return Result{ Unavailable, QStringLiteral("%1 %2: %3").arg(printer, when, socket.errorString()) };
    };

    QTcpSocket socket;
    socket.connectToHost(host, port);
    const QDeadlineTimer connecting(ConnectTimeoutMs);
    while (!socket.waitForConnected(SliceMs)) {
        if (socket.state() == QAbstractSocket::UnconnectedState)
            return broken(socket, QStringLiteral("cannot be reached"));
        if (stopping.load())
            return stopped;
        if (connecting.hasExpired())
            return { Unavailable, QStringLiteral("%1 did not answer within %2 s").arg(printer).arg(ConnectTimeoutMs / 1000) };
    }

    // The bytes go from a buffer of their own straight to the socket, past
    // Qt's write buffer: a copy less, and the stop flag looked at between
    // writes. What the printer sends back meanwhile is read and dropped. A
    // printer that reads nothing (out of paper) is waited on for as long as
    // the connection lives: keep-alive, or the system's probes of a closed
    // window, find one that has gone.
    const qintptr fd = socket.socketDescriptor();
    SocketIo::keepAlive(fd);
    Pieces pieces(document, size);
    Stall stall(*this, printer);
    char sink[4096];
    QString error;
    while (pieces.next()) {
        for (qint64 done = 0; done < pieces.size();) {
            const qint64 sent = SocketIo::send(fd, pieces.data() + done, pieces.size() - done, &error);
            if (sent > 0) {
                done += sent;
                stall.moved();
                continue;
            }
            if (sent == SocketIo::Broken)
                return { Unavailable, QStringLiteral("%1 broke the connection: %2").arg(printer, error) };
            if (stopping.load())
                return stopped;
            stall.idle();
            SocketIo::waitWritable(fd, SliceMs);
            while (SocketIo::receive(fd, sink, sizeof sink, &error) > 0) {
            }
        }
    }
    if (pieces.hasFailed())
        return pieces.failure();

    // Every byte is with the system; the printer reads the end of the job
    // and closes when it has it all.
    if (!SocketIo::shutdownWrite(fd))
        return broken(socket, QStringLiteral("broke the connection"));
    const QDeadlineTimer closing(CloseTimeoutMs);
    while (!closing.hasExpired()) {
        if (stopping.load())
            return stopped;
        if (!SocketIo::waitReadable(fd, SliceMs))
            continue;
        const qint64 count = SocketIo::receive(fd, sink, sizeof sink, &error);
        if (count == SocketIo::EndOfStream)
            break;
        if (count == SocketIo::Broken)
            return { Unavailable, QStringLiteral("%1 reset the connection: %2").arg(printer, error) };
    }
    socket.abort();
    return { Delivered, QString() };
}
