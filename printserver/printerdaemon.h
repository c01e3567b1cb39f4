// The listener of one printer: a TCP server on the printer's address and
// port that admits peers by the printer's subnets, takes each admitted
// connection's job into the spool folder, and hands complete jobs to the
// printer's delivery queue.
#ifndef PRINTERDAEMON_H
#define PRINTERDAEMON_H

#include "advertiser.h"
#include "printerconfig.h"
#include "printerstats.h"

#include <QDeadlineTimer>
#include <QSet>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <memory>

class Connection;
class DeliveryQueue;
class Logger;
class PrintJob;

class PrinterDaemon : public QTcpServer
{
    Q_OBJECT
public:
    PrinterDaemon(const PrinterConfig &config, Logger *logger, const QString &spoolFolder,
                  QObject *parent = nullptr);
    ~PrinterDaemon() override;

    // Listens on the printer's address and port, or, when the address is
    // not there yet, waits for it in rounds of ten seconds without holding
    // up the service. Either way started() tells the outcome, at once when
    // it is known at once.
    void startListening();

    // A paused listener takes no new connection and reads nothing; the
    // connections it has keep their jobs and deliver them once resumed (or
    // at a stop, when their clients have finished).
    void pause();
    void resume();
    bool isPaused() const { return paused; }

    // At a stop: no more listening; the jobs of clients that have finished
    // are kept, connections still receiving are cut off with a line.
    void closeConnections();
    // Ends deliveries by the deadline; jobs not delivered stay in the spool
    // folder. False when a delivery did not end in time.
    bool stopDelivery(QDeadlineTimer deadline);

    // A new job of this printer from `peer`, as its connection completes it.
    PrintJob newJob(const QString &peer) const;
    // A complete job of this printer, from one of its connections or left in
    // the spool folder by an earlier run.
    void submit(const PrintJob &job);

    // Why the listener does not listen: the server's own error text with the
    // printer it belongs to, or the reason it did not try.
    QString errorString() const;

    QString name() const { return config.localname; }
    quint16 printerPort() const { return config.port; }
    Logger *logger() const { return log; }
    QString spoolFolder() const { return spool; }
    int idleTimeout() const { return config.idletimeout; }
    int connectionCount() const { return connections.size(); }
    const PrinterStats &stats() const { return counts; }
    // Jobs that wait for the output, the one being delivered included.
    int waitingJobs() const;
    // The printer's state in one line, as a queue-state query is answered.
    QString stateLine() const;

    // The length of one round of waiting for the listen address, and the
    // first wait before accepting again after running out of descriptors,
    // in milliseconds; tests shorten them.
    static int waitRoundMs;
    static int acceptRetryMs;

signals:
    void started(bool listening);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    void tryListen();
    // Takes the connections that wait in the backlog.
    void acceptWaiting();
    void connectionEnded();

private:
    // Announces the printer on the network, once the spooler has told what
    // to say about it (asked on a thread of its own).
    void advertise();
    bool isAllowed(const QHostAddress &peer) const;
    void admit(qintptr socket, const QString &peer);
    void refuse(const QString &reason);
    void acceptFailed(const QString &reason);
    void updateAccepting();

    const PrinterConfig config;
    Logger *log;
    const QString spool;
    PrinterStats counts;
    std::unique_ptr<DeliveryQueue> queue;
    QSet<Connection *> connections;

    bool paused = false;
    QString refusal;
    QString listenError;
    int waitRounds = 0;
    bool waitingForAddress = false;
    QTimer waitTimer;

    // Connections are accepted here, not by QTcpServer: its socket engine
    // keeps the first error it ever had (the "no connection waits" that ends
    // every round), so that running out of descriptors later would go
    // unreported and unpaused, and the listener would spin.
    QSocketNotifier *acceptor = nullptr;
    // Accepting stopped because the system had no descriptor left: when to
    // try again.
    bool acceptFailing = false;
    int acceptWaitMs = 0;
    QTimer acceptTimer;

    QThread *describing = nullptr;
    Advertiser *advertiser = nullptr;
    Advertiser::Service service;
};

#endif // PRINTERDAEMON_H
