// The jobs of one printer on their way to its output: taken in the order
// their clients finished them, one after another, on a thread of the
// printer's own, so that listeners, other printers and the service controls
// never wait for an output. A job whose output is not there right now is
// tried again, with a growing wait, for the printer's retry time.
#ifndef DELIVERYQUEUE_H
#define DELIVERYQUEUE_H

#include "output.h"
#include "printjob.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <memory>

class Logger;
struct PrinterStats;

class DeliveryQueue : public QThread
{
public:
    struct Settings
    {
        QString printer;
        // Seconds a job is tried again while its output is not there.
        int retrytime = 0;
        // Where delivered jobs are kept as "{id}.prn"; empty: not kept.
        QString jobspath;
        // Why jobs are not kept although the printer asks for it.
        QString storingRefused;
    };

    DeliveryQueue(std::shared_ptr<Output> output, const Settings &settings, Logger *logger, PrinterStats *stats);
    // Stops within the bounded time, if not stopped before.
    ~DeliveryQueue() override;

    // Starts the thread and returns once it runs, so that everything it
    // holds (the event descriptor every Qt thread opens) is there when the
    // printer reports itself started.
    void begin();

    void enqueue(const PrintJob &job);
    // Another output and other settings, from the next job on (a job being
    // delivered ends with those it began with).
    void reconfigure(std::shared_ptr<Output> output, const Settings &settings);

    // Ends the thread: a delivery in progress gives up (its job stays in its
    // store for the next start, where the store can keep it) by the
    // deadline at the latest; so do the jobs not begun.
    // Returns whether the thread has ended.
    bool stop(QDeadlineTimer deadline);

    // Jobs not yet delivered, the one in progress included.
    int waiting() const;

    // The first and the longest wait between two attempts, in milliseconds;
    // tests shorten them.
    static int firstRetryMs;
    static int longestRetryMs;

protected:
    void run() override;

private:
    // Lowers the calling thread below the event-loop thread: taking jobs in
    // comes first, handing them on can wait a moment.
    static void yieldToReception();
    // Delivers one job to its end; false when a stop came first.
    bool deliver(PrintJob &job);
    // The job's outcome line, after a line with the reason it failed, and
    // its end in the store: stored, or removed.
    void finish(PrintJob &job, bool printed, const QString &reason = QString());
    void leave(const std::deque<PrintJob> &jobs);
    // Waits until the time or a stop; false on a stop.
    bool pause(int milliseconds);

    // The job being delivered goes to this output with these settings, which
    // only the delivery thread touches; those the next job takes are kept
    // apart, under the lock.
    std::shared_ptr<Output> output;
    Settings settings;
    std::shared_ptr<Output> nextOutput;
    Settings nextSettings;
    Logger *logger;
    PrinterStats *stats;

    mutable QMutex mutex;
    QWaitCondition changed;
    std::deque<PrintJob> jobs;
    bool busy = false;
    bool running = false;
    std::atomic<bool> stopping{ false };
};

#endif // DELIVERYQUEUE_H
