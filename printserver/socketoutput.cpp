// Jobs sent to a network printer's raw port.
#include "socketoutput.h"

#include "socketio.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

namespace {

// How often a wait looks at the stop flag.
const int SliceMs = 250;
const int ConnectTimeoutMs = 10000;
// A printer that takes no byte for this long is not there for now.
const int StallTimeoutMs = 60000;
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

    QByteArray chunk;
    for (qint64 left = size; left > 0; left -= chunk.size()) {
        chunk = document.read(qMin(left, ChunkSize));
        if (chunk.isEmpty())
            return { Failed, QStringLiteral("the job cannot be read: %1").arg(document.errorString()) };
        socket.write(chunk);
        QDeadlineTimer stall(StallTimeoutMs);
        while (socket.bytesToWrite() > 0) {
            const qint64 before = socket.bytesToWrite();
            socket.waitForBytesWritten(SliceMs);
            socket.readAll(); // a printer's status messages are of no use here
            if (socket.state() != QAbstractSocket::ConnectedState)
                return broken(socket, QStringLiteral("broke the connection"));
            if (stopping.load())
                return stopped;
            if (socket.bytesToWrite() < before)
                stall.setRemainingTime(StallTimeoutMs);
            else if (stall.hasExpired())
                return { Unavailable, QStringLiteral("%1 took no data for %2 s").arg(printer).arg(StallTimeoutMs / 1000) };
        }
    }

    // Every byte is with the system; the printer reads the end of the job
    // and closes when it has it all.
    const qintptr fd = socket.socketDescriptor();
    if (!SocketIo::shutdownWrite(fd))
        return broken(socket, QStringLiteral("broke the connection"));
    char sink[4096];
    const QDeadlineTimer closing(CloseTimeoutMs);
    while (!closing.hasExpired()) {
        if (stopping.load())
            return stopped;
        if (!SocketIo::waitReadable(fd, SliceMs))
            continue;
        QString error;
        const qint64 count = SocketIo::receive(fd, sink, sizeof sink, &error);
        if (count == SocketIo::EndOfStream)
            break;
        if (count == SocketIo::Broken)
            return { Unavailable, QStringLiteral("%1 reset the connection: %2").arg(printer, error) };
    }
    socket.abort();
    return { Delivered, QString() };
}
