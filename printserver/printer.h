// One printer of the configuration, assembled from its settings and checked
// once, here: its output, protocol, address, port, access list and jobs
// folder. It is made of a listener that admits connections, the connections
// that take jobs into the job store, a delivery queue that hands them to
// the output, and its announcement on the network.
#ifndef PRINTER_H
#define PRINTER_H

#include "advertiser.h"
#include "jobintake.h"
#include "printerconfig.h"
#include "printerstats.h"
#include "printerstatus.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <memory>

class ConnectionSet;
class DeliveryQueue;
class JobStore;
class Logger;
class Output;
class PrinterDaemon;
class QThread;

class Printer : public QObject
{
    Q_OBJECT
public:
    // Its jobs go into `store`. A printer whose settings cannot work is
    // made all the same: it refuses to start, with its reason.
    Printer(const PrinterConfig &config, Logger *logger, JobStore *store, QObject *parent = nullptr);
    ~Printer() override;

    // Why a printer with these settings would not start (an output or a
    // protocol that names nothing usable, no address, port 0); empty when
    // it would, and then `output` is its output.
    static QString check(const PrinterConfig &config, std::shared_ptr<Output> *output = nullptr);

    // Settings that apply per connection or per job, taken up by the
    // connections and jobs to come: the access list, the log letters, the
    // cap, the protocol, the idle time, the output, retries and storing,
    // the announcement. The name, port and address stay.
    void reconfigure(const PrinterConfig &next);

    // The printer leaves the configuration: it no longer listens nor is
    // announced; its connections finish and its queue delivers what it
    // holds, and then retired() comes.
    void retire();

    // Listens on the printer's address and port, or waits for the address
    // to come up, without holding up the service. Either way started()
    // tells the outcome, at once when it is known at once.
    void startListening();

    // A paused printer takes no new connection, and its connections read
    // nothing: what their clients send waits in the system's buffers. Its
    // jobs are delivered once it is resumed (or at a stop, when their
    // clients have finished).
    void pause();
    void resume();
    bool isPaused() const { return paused; }

    // At a stop: no more listening; the jobs of clients that have finished
    // are kept, connections still receiving are cut off with a line.
    void closeConnections();
    // Ends deliveries by the deadline; jobs not delivered stay in the store
    // for the next start. False when a delivery did not end in time.
    bool stopDelivery(QDeadlineTimer deadline);

    // A complete job for this printer, from one of its connections or left
    // by an earlier run.
    void submit(const PrintJob &job);

    // Why the printer does not listen.
    QString errorString() const;

    const PrinterConfig &settings() const { return config; }
    QString name() const { return config.localname; }
    bool isListening() const;
    // The port it listens on.
    quint16 serverPort() const;
    int connectionCount() const;
    // Jobs that wait for the output, the one being delivered included.
    int waitingJobs() const;
    PrinterStatus status() const;
    // The printer's state in one line, as a queue-state query is answered.
    QString stateLine() const;

    // What a printer holds of the process's descriptors while it runs: its
    // listening socket and its delivery thread's wake-up descriptor.
    static const int DescriptorsPerPrinter = 2;

signals:
    void started(bool listening);
    // A retired printer has nothing left to do; it may be deleted.
    void retired();

private:
    void listenerStarted(bool listening);
    void checkRetired();
    // Announces the printer on the network, once the output has told what
    // to say about it (asked on a thread of its own).
    void advertise();

    PrinterConfig config;
    Logger *const logger;
    JobStore *const store;
    PrinterStats stats;
    QString refusal;
    bool paused = false;

    std::shared_ptr<Output> output;
    std::unique_ptr<DeliveryQueue> queue;
    JobIntake intake;
    PrinterDaemon *listener = nullptr;
    ConnectionSet *connections = nullptr;

    QThread *describing = nullptr;
    Advertiser *advertiser = nullptr;
    Advertiser::Service service;
    QTimer *retiring = nullptr;
};

#endif // PRINTER_H
