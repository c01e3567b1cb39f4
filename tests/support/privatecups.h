// A CUPS scheduler of the test's own, with raw queues whose jobs end up as
// files that the test can read back.
#ifndef PRIVATECUPS_H
#define PRIVATECUPS_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class QProcess;

class PrivateCups
{
public:
    // One job as the scheduler reports it.
    struct Job
    {
        // The IPP job states.
        enum State { Pending = 3, Held, Processing, Stopped, Canceled, Aborted, Completed };

        int id = 0;
        QString queue;
        int state = 0;
        QString name;
        QString documentName;

        // Waiting, held, printing or stopped: neither done nor given up.
        bool isPending() const { return state >= Pending && state <= Stopped; }
    };

    PrivateCups();
    ~PrivateCups();

    // Whether the scheduler program is installed; tests skip without it.
    static bool isInstalled();

    // Lines added to the scheduler's configuration ("MaxJobs 2", say); set
    // before start().
    void setExtraConfig(const QByteArray &lines) { extraConfig = lines; }
    // Writes the configuration into a temporary folder, starts the scheduler
    // and waits until it answers. False with errorString() on failure.
    bool start();
    // Ends the scheduler (SIGTERM) and waits for it.
    void stop();
    // Stops the scheduler and starts it again on the same folder, sockets and
    // queues; its clients' connections are closed on the way.
    bool restart();
    bool isRunning() const;
    QString errorString() const { return error; }

    // The value for CUPS_SERVER: the scheduler's local socket.
    QString serverName() const;
    // The loopback port it also listens on.
    quint16 port() const { return tcpPort; }
    QString folder() const;

    // Adds an enabled raw queue that stores every job it prints as its own
    // file, named after the job id.
    bool addQueue(const QString &name);
    // Makes a queue take jobs or refuse them, as cupsaccept and cupsreject do.
    bool setAccepting(const QString &name, bool accepting);
    // Stops a queue, so that it keeps the jobs it takes pending, or lets it
    // print again, as cupsdisable and cupsenable do.
    bool setEnabled(const QString &name, bool enabled);
    // Stops the scheduler where it is (SIGSTOP), as a hung one would be, or
    // lets it go on.
    bool freeze(bool frozen);

    // The completed job files of a queue, in job order.
    QStringList jobFiles(const QString &queue) const;
    QByteArray jobData(const QString &queue, const QString &file) const;
    // The contents of every completed job of a queue, in job order.
    QList<QByteArray> documents(const QString &queue) const;
    // Waits, polling, until the queue has at least `count` job files.
    bool waitForJobs(const QString &queue, int count, int timeoutMs) const;

    // Every job the scheduler knows, of one queue or of all (empty name),
    // completed and cancelled ones included. Sets `ok` to false when the
    // scheduler could not be asked.
    QList<Job> jobs(const QString &queue = QString(), bool *ok = nullptr) const;
    QList<Job> pendingJobs(const QString &queue = QString(), bool *ok = nullptr) const;

private:
    Q_DISABLE_COPY(PrivateCups)
    bool modifyQueue(const QString &name, bool accepting);
    bool writeFile(const QString &name, const QByteArray &contents, int permissions);
    bool launch(const QString &cupsd);
    bool waitUntilAnswering(int timeoutMs);
    QString jobFolder(const QString &queue) const;
    QString errorLogTail() const;
    static QList<Job> askJobs(const QString &socketPath, const QString &queue, bool &answered);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QProcess> process;
    quint16 tcpPort = 0;
    QByteArray extraConfig;
    QString error;
};

#endif // PRIVATECUPS_H
