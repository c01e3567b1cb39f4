// The jobs of one printer on their way to its output.
#include "deliveryqueue.h"

#include "jobstore.h"
#include "logger.h"
#include "printerstats.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QIODevice>

namespace {

// How long a stop waits for a delivery in progress when nobody says.
const int StopWaitMs = 5000;

} // namespace

int DeliveryQueue::firstRetryMs = 1000;
int DeliveryQueue::longestRetryMs = 60000;

DeliveryQueue::DeliveryQueue(std::shared_ptr<Output> output, const Settings &settings, Logger *logger,
                             PrinterStats *stats)
    : output(output), settings(settings), nextOutput(output), nextSettings(settings), logger(logger), stats(stats)
{
}

DeliveryQueue::~DeliveryQueue()
{
    // Every output gives up within a second of the stop flag; a thread that
    // still has not ended (a device driver that does not return, say) is
    // ended here, on the way out of the process, rather than left running
    // on a destroyed queue.
    if (!stop(QDeadlineTimer(StopWaitMs))) {
        terminate();
        wait();
    }
}

void DeliveryQueue::begin()
{
    start();
    QMutexLocker locker(&mutex);
    while (!running)
        changed.wait(&mutex);
}

void DeliveryQueue::reconfigure(std::shared_ptr<Output> output, const Settings &settings)
{
    QMutexLocker locker(&mutex);
    nextOutput = std::move(output);
    nextSettings = settings;
}

void DeliveryQueue::enqueue(const PrintJob &job)
{
    QMutexLocker locker(&mutex);
    jobs.push_back(job);
    changed.wakeAll();
}

int DeliveryQueue::waiting() const
{
    QMutexLocker locker(&mutex);
    return int(jobs.size()) + (busy ? 1 : 0);
}

bool DeliveryQueue::stop(QDeadlineTimer deadline)
{
    {
        QMutexLocker locker(&mutex);
        stopping = true;
        changed.wakeAll();
    }
    if (!isRunning()) {
        // Never started, or ended: what is queued stays for the next start.
        QMutexLocker locker(&mutex);
        leave(jobs);
        jobs.clear();
        return true;
    }
    return wait(deadline);
}

void DeliveryQueue::run()
{
    yieldToReception();
    {
        QMutexLocker locker(&mutex);
        running = true;
        changed.wakeAll();
    }
    for (;;) {
        PrintJob job;
        {
            QMutexLocker locker(&mutex);
            while (jobs.empty() && !stopping)
                changed.wait(&mutex);
            if (stopping) {
                leave(jobs);
                jobs.clear();
                return;
            }
            job = jobs.front();
            jobs.pop_front();
            busy = true;
            output = nextOutput;
            settings = nextSettings;
        }
        const bool ended = deliver(job);
        QMutexLocker locker(&mutex);
        busy = false;
        if (!ended) {
            jobs.push_front(job);
            leave(jobs);
            jobs.clear();
            return;
        }
    }
}

bool DeliveryQueue::deliver(PrintJob &job)
{
    // An empty connection is no document; spoolers refuse it anyway.
    if (job.size == 0) {
        finish(job, false, QStringLiteral("the job is empty"));
        return true;
    }

    // A printer that stalls while it takes the job says so through the
    // output.
    const QString subject = QStringLiteral("%1 to printer \"%2\": ").arg(job.label(), settings.printer);
    output->notices = [this, subject](const QString &text, bool problem) {
        logger->log(subject + text, problem ? Logger::Error : Logger::Info);
    };

    QElapsedTimer trying;
    trying.start();
    int wait = firstRetryMs;
    for (;;) {
        Output::Result result{ Output::Failed, QString() };
        if (const std::unique_ptr<QIODevice> document = job.store->open(job, &result.reason))
            result = output->deliver(*document, job.size, job.title, stopping);

        if (result.outcome == Output::Delivered) {
            finish(job, true);
            return true;
        }
        if (stopping)
            return false;

        const qint64 left = qint64(settings.retrytime) * 1000 - trying.elapsed();
        if (result.outcome == Output::Failed || left <= 0) {
            finish(job, false, result.reason);
            return true;
        }

        const int next = int(qMin<qint64>(wait, left));
        logger->log(job.label() + QStringLiteral(" waits for printer \"%1\": %2; next attempt in %3 s")
                                      .arg(settings.printer, result.reason)
                                      .arg((next + 999) / 1000),
                    Logger::Error);
        if (!pause(next))
            return false;
        wait = qMin(wait * 2, longestRetryMs);
    }
}

void DeliveryQueue::finish(PrintJob &job, bool printed, const QString &reason)
{
    ++(printed ? stats->printed : stats->failed);
    stats->bytes += quint64(job.size);
    stats->lastJob = QDateTime::currentMSecsSinceEpoch();
    if (!printed)
        logger->log(QStringLiteral("%1 to printer \"%2\" could not be delivered: %3")
                        .arg(job.label(), settings.printer,
                             reason.isEmpty() ? QStringLiteral("the output gave no reason") : reason),
                    Logger::Error);
    logger->log(job.label() + (printed ? QStringLiteral(" completed successful") : QStringLiteral(" finished with error"))
                    + job.details(),
                Logger::Print);

    if (settings.jobspath.isEmpty()) {
        job.store->remove(job);
    } else if (!settings.storingRefused.isEmpty()) {
        logger->log(job.label() + QStringLiteral(" not stored: ") + settings.storingRefused, Logger::Error);
        job.store->remove(job);
    } else {
        job.store->archive(job, settings.jobspath);
    }
}

void DeliveryQueue::leave(const std::deque<PrintJob> &left)
{
    int kept = 0;
    for (const PrintJob &job : left)
        kept += job.store->keep(job) ? 1 : 0;
    if (kept > 0)
        logger->log(QStringLiteral("%1 print job(s) for printer \"%2\" wait in the spool folder for the next start")
                        .arg(kept)
                        .arg(settings.printer),
                    Logger::Info);
}

bool DeliveryQueue::pause(int milliseconds)
{
    QDeadlineTimer until(milliseconds);
    QMutexLocker locker(&mutex);
    while (!stopping && !until.hasExpired())
        changed.wait(&mutex, until);
    return !stopping;
}
