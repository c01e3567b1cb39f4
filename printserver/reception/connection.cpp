// One admitted client connection.
#include "connection.h"

#include "logger.h"
#include "socketio.h"

#include <QSocketNotifier>

#include <climits>

namespace {

// All connections are read on the one event-loop thread, through one buffer.
char readBuffer[1024 * 1024];

// One turn of the event loop reads at most this much from one connection, so
// that a fast client does not keep the others waiting.
const qint64 ReadPerTurn = 4 * 1024 * 1024;
// At a stop, what a connection may still read to find its client's end.
const qint64 StopReadLimit = 64 * 1024 * 1024;
// What is read at once on a new connection: a small job that has arrived
// whole (most do by the time they are accepted) is done before the next
// accept, without a turn of the event loop; a larger one goes on from there.
const qint64 FirstReadLimit = 64 * 1024;

} // namespace

Connection::Connection(qintptr socket, const QString &peer, const JobIntake &intake, QObject *parent)
    : QObject(parent),
      peer(peer),
      intake(intake),
      socket(socket),
      idleSeconds(intake.idleTimeout)
{
    sinceData.start();
}

void Connection::start()
{
    if (!paused && !readAvailable(FirstReadLimit))
        return;
    notifier = new QSocketNotifier(socket, QSocketNotifier::Read, this);
    notifier->setEnabled(!paused);
    connect(notifier, &QSocketNotifier::activated, this, &Connection::readable);
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, &Connection::checkIdle);
    if (idleSeconds > 0)
        idleTimer.start(int(qMin<qint64>(qint64(idleSeconds) * 1000, INT_MAX)));
}

Connection::~Connection()
{
    if (socket >= 0) {
        delete notifier;
        SocketIo::abort(socket);
    }
}

void Connection::setPaused(bool pause)
{
    if (socket < 0 || paused == pause)
        return;
    paused = pause;
    if (notifier)
        notifier->setEnabled(!paused);
    // The client is not silent while nobody reads it.
    sinceData.restart();
}

void Connection::readable()
{
    readAvailable(ReadPerTurn);
}

bool Connection::readAvailable(qint64 limit)
{
    for (qint64 total = 0; total < limit && socket >= 0;) {
        QString error;
        const qint64 count = SocketIo::receive(socket, readBuffer, sizeof readBuffer, &error);
        if (count == SocketIo::WouldBlock)
            return true;
        if (count == SocketIo::EndOfStream) {
            finished();
            close();
            break;
        }
        if (count == SocketIo::Broken) {
            broken(error);
            abort();
            break;
        }
        sinceData.restart();
        total += count;
        receivedBytes += count;
        received(readBuffer, count);
    }
    return socket >= 0;
}

void Connection::finishAtStop()
{
    if (socket < 0)
        return;
    // What the system holds is a few buffers; a client that keeps sending
    // faster than that is still sending, and is cut off.
    if (readAvailable(StopReadLimit)) {
        stopped();
        abort();
    }
}

void Connection::checkIdle()
{
    if (socket < 0)
        return;
    const qint64 idleMs = qint64(idleSeconds) * 1000;
    const qint64 silent = sinceData.elapsed();
    if (paused || silent < idleMs) {
        idleTimer.start(int(qMin<qint64>(paused ? idleMs : idleMs - silent, INT_MAX)));
        return;
    }
    if (receivedBytes == 0)
        intake.logger->log(QStringLiteral("Connection from %1 timed out after %2 s without data").arg(peer).arg(idleSeconds),
                           Logger::Error);
    else
        timedOut(idleSeconds);
    close();
}

bool Connection::reply(const QByteArray &data)
{
    QString error;
    return socket >= 0 && SocketIo::sendAll(socket, data.constData(), data.size(), &error);
}

void Connection::close()
{
    end(false);
}

void Connection::abort()
{
    end(true);
}

void Connection::end(bool reset)
{
    if (socket < 0)
        return;
    idleTimer.stop();
    // The notifier goes before its descriptor.
    delete notifier;
    notifier = nullptr;
    if (reset)
        SocketIo::abort(socket);
    else
        SocketIo::close(socket);
    socket = -1;
    emit ended();
}
