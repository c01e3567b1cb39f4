// Raw print clients for the load tests: non-blocking connections driven by
// one poll loop per thread. Each connection tells an orderly close by the
// server from a reset, and whether the server's TCP acknowledged every byte
// of its job.
#ifndef NETCLIENT_H
#define NETCLIENT_H

#include <QByteArray>
#include <QList>
#include <QDeadlineTimer>
#include <QString>

#include <memory>
#include <vector>

// What the client does once its bytes are out.
enum class Ending {
    Finish,       // shut its sending side and wait for the server to close
    AwaitClose,   // keep its sending side open and wait for the server to close
    Reset,        // wait until the server's TCP has every byte, then reset (SO_LINGER 0, close)
    CloseAtOnce,  // close right after the connection is set up, sending nothing
    ResetAtOnce   // reset right after the connection is set up, sending nothing
};

// How the connection ended for the client.
enum class Outcome {
    Pending,
    ServerClosed, // an orderly close (end of stream) with no error pending
    ServerReset,  // a reset, or a close that the server made before the job was in
    ClientEnded,  // the client closed or reset it as asked (CloseAtOnce, ResetAtOnce, Reset)
    Failed        // the server sent data, or a system call failed otherwise
};

class ClientConnection
{
public:
    ClientConnection(const QByteArray &payload, Ending ending, const char *bindAddress = nullptr);
    ~ClientConnection();
    ClientConnection(const ClientConnection &) = delete;
    ClientConnection &operator=(const ClientConnection &) = delete;

    QByteArray payload;
    Ending ending;
    // Stop sending after this many bytes and hold the connection open until
    // release(); -1: no hold.
    qsizetype holdAt = -1;

    Outcome outcome = Outcome::Pending;
    QString error;
    // The bytes that the server's TCP acknowledged, read when the connection
    // ended (TCP_INFO).
    quint64 bytesAcknowledged = 0;

    bool isConnected() const { return stage > Stage::Connecting; }
    bool isHeld() const { return stage == Stage::Held; }
    bool isDone() const { return stage == Stage::Done; }
    // The job went through: every byte acknowledged, then an orderly close by
    // the server.
    bool completed() const;
    void release();

private:
    friend class ClientPool;
    enum class Stage { Connecting, Held, Sending, Draining, Waiting, Done };

    bool start(quint16 port);
    short events() const;
    void advance(short revents);
    void finishWith(Outcome result, const QString &why = QString());
    void failCall(const char *what);

    const char *bindAddress;
    int fd = -1;
    Stage stage = Stage::Connecting;
    qsizetype sent = 0;
    bool released = false;
};

// Drives connections to one loopback port with poll(): any number at once,
// each through its stages without blocking.
class ClientPool
{
public:
    explicit ClientPool(quint16 port) : port(port) {}

    // Starts a non-blocking connect; the pool owns the connection. A connect
    // that fails at once ends the connection as Failed.
    ClientConnection *add(const QByteArray &payload, Ending ending, const char *bindAddress = nullptr,
                          qsizetype holdAt = -1);

    // One round: waits at most timeoutMs for progress and advances every
    // connection that has some.
    void step(int timeoutMs);
    // Steps until the predicate holds or the deadline passes.
    template <typename Predicate>
    bool stepUntil(Predicate predicate, const QDeadlineTimer &deadline)
    {
        while (!predicate()) {
            if (deadline.hasExpired())
                return false;
            step(int(qBound<qint64>(1, deadline.remainingTime(), 100)));
        }
        return true;
    }
    bool runUntilDone(const QDeadlineTimer &deadline)
    {
        return stepUntil([this] { return active() == 0; }, deadline);
    }

    int active() const;    // not done
    int connected() const; // connected and not done
    // Done connections leave the pool; their results are handed over.
    std::vector<std::unique_ptr<ClientConnection>> takeDone();
    std::vector<std::unique_ptr<ClientConnection>> &connections() { return all; }

private:
    quint16 port;
    std::vector<std::unique_ptr<ClientConnection>> all;
};

// One whole job to a loopback port, as real clients send it: the bytes, a
// shut sending side, then the wait for the server's close. False, with the
// reason, when the job did not go through within the time.
bool sendJob(quint16 port, const QByteArray &payload, int timeoutMs, QString *error = nullptr);

// Distinct loopback ports that were free a moment ago (fewer when the system
// has none left), and one such port (0 when there is none).
QList<quint16> freePorts(int count);
quint16 freePort();
// Random bytes from a seed, so that every run sends the same.
QByteArray randomBytes(int size, quint64 seed);
// Raises this process's soft limit of open descriptors to its hard limit
// (children inherit it); the new soft limit, -1 on failure.
long raiseDescriptorLimit();
// The number of open descriptors of a process, -1 when it cannot be read.
int openDescriptors(qint64 pid);

#endif // NETCLIENT_H
