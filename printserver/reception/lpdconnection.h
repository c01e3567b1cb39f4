// The receiving side of the line printer daemon protocol (RFC 1179) on one
// connection: a "receive job" command with its control file and data files,
// each data file delivered as a document of its own; the queue-state
// commands answered with one line. The printer is chosen by the port, so the
// queue a client names is only logged. Everything is bounded: a line, a
// count, a file, the number of files; a step out of line drops the job with
// a line and prints nothing. A data file lets go of its spool file once it
// is complete, so that a connection holds one file at most, whatever number
// of data files its job has.
#ifndef LPDCONNECTION_H
#define LPDCONNECTION_H

#include "connection.h"

#include <memory>
#include <vector>

class IncomingJob;

class LpdConnection : public Connection
{
    Q_OBJECT
public:
    LpdConnection(qintptr socket, const QString &peer, const JobIntake &intake, QObject *parent);
    ~LpdConnection() override;

protected:
    void received(const char *data, qint64 size) override;
    void finished() override;
    void broken(const QString &reason) override;
    void timedOut(int idleSeconds) override;
    void stopped() override;

private:
    enum class State {
        Command,     // the first command line
        Subcommand,  // a subcommand line of a job being received
        ControlFile, // the bytes of the control file
        DataFile,    // the bytes of a data file of known size
        DataToEnd,   // the bytes of a data file that ends with the connection
        Trailer      // the zero byte after a file
    };

    // Reads what belongs to the current state; returns the bytes used.
    qint64 take(const char *data, qint64 size);
    void command(const QByteArray &line);
    void subcommand(const QByteArray &line);
    void fileDone();
    void completeJob();
    // Drops the job (nothing is printed), says why, and resets the client.
    void drop(const QString &why);
    bool acknowledge();

    State state = State::Command;
    QByteArray line;
    QString queue;
    qint64 remaining = 0;
    QByteArray control;
    bool haveControl = false;
    bool receivingControl = false;
    // The data files of the job, in the order they came.
    std::vector<std::unique_ptr<IncomingJob>> documents;
};

#endif // LPDCONNECTION_H
