// One admitted client connection: reads what the client sends as it comes,
// tells an orderly end of the stream from a reset, reads nothing while its
// printer is paused, and ends itself when the client stays silent too long.
// What the bytes mean is up to the protocol of the subclass.
//
// The server's orderly close is its acknowledgement: a subclass ends a
// connection in order only once its job is committed. Until then every way
// out resets the connection, a crash of the process included (the accepted
// socket carries SO_LINGER {on, 0} from its listener).
#ifndef CONNECTION_H
#define CONNECTION_H

#include "jobintake.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

class Connection : public QObject
{
    Q_OBJECT
public:
    // Takes over the accepted `socket`; its printer is reached through
    // `intake`, which outlives the connection.
    Connection(qintptr socket, const QString &peer, const JobIntake &intake, QObject *parent);
    ~Connection() override;

    const QString peer;

    bool isEnded() const { return socket < 0; }

    // Reads what has already arrived, then waits for the rest; a job that
    // came whole may be over when this returns.
    void start();

    // A paused connection reads nothing: what the client sends waits in the
    // system's buffers and the client's window, not in this program.
    void setPaused(bool paused);

    // At a stop: what has already arrived is read; a client that has
    // finished completes its job, one that is still sending is cut off.
    void finishAtStop();

signals:
    // The connection is over; its owner may delete it.
    void ended();

protected:
    // The client's bytes, in order. The four endings below end the
    // connection when they return, if they have not ended it themselves.
    virtual void received(const char *data, qint64 size) = 0;
    // The client ended the stream in order (closed, or shut down its sending side).
    virtual void finished() = 0;
    // The connection broke (a reset) before the client finished.
    virtual void broken(const QString &reason) = 0;
    // Nothing arrived for the idle time, after some bytes had. (A
    // connection that never received a byte ends with a line of its own.)
    virtual void timedOut(int idleSeconds) = 0;
    // The service stops while the client is still sending.
    virtual void stopped() = 0;

    // Sends a short answer (the line printer daemon protocol has them);
    // false when the client does not take it.
    bool reply(const QByteArray &data);

    // Ends the connection: an orderly close, the acknowledgement of a job
    // that is committed; or a reset for a client whose job was not taken.
    void close();
    void abort();

    const JobIntake &intake;

private slots:
    void readable();
    void checkIdle();

private:
    // Reads what is there, up to `limit` bytes; false once the connection
    // has ended.
    bool readAvailable(qint64 limit);
    void end(bool reset);

    qintptr socket;
    QSocketNotifier *notifier = nullptr;
    QTimer idleTimer;
    QElapsedTimer sinceData;
    const int idleSeconds;
    qint64 receivedBytes = 0;
    bool paused = false;
};

#endif // CONNECTION_H
