// One admitted client connection: reads what the client sends as it comes,
// tells an orderly end of the stream from a reset, reads nothing while its
// printer is paused, and ends itself when the client stays silent too long.
// What the bytes mean is up to the protocol of the subclass.
#ifndef CONNECTION_H
#define CONNECTION_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

class Connection : public QObject
{
    Q_OBJECT
public:
    // Takes over the accepted `socket`. An `idleSeconds` of 0 never times out.
    Connection(qintptr socket, const QString &peer, int idleSeconds, QObject *parent);
    ~Connection() override;

    const QString peer;

    bool isEnded() const { return socket < 0; }

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
    // Nothing arrived for the idle time.
    virtual void timedOut(int idleSeconds) = 0;
    // The service stops while the client is still sending.
    virtual void stopped() = 0;

    // Sends a short answer (the line printer daemon protocol has them);
    // false when the client does not take it.
    bool reply(const QByteArray &data);

    // Ends the connection: an orderly close, or a reset for a client whose
    // job was refused half-way.
    void close();
    void abort();

private slots:
    void readable();
    void checkIdle();

private:
    // Reads what is there, up to `limit` bytes; false once the connection
    // has ended.
    bool readAvailable(qint64 limit);
    void end(bool reset);

    qintptr socket;
    QSocketNotifier *notifier;
    QTimer idleTimer;
    QElapsedTimer sinceData;
    const int idleSeconds;
    bool paused = false;
};

#endif // CONNECTION_H
