// Where jobs are kept from their first byte until they have been delivered:
// the one owner of a job's bytes and of how they are kept. A job is created
// for a connection, appended to as it arrives, and committed or discarded;
// a committed job is opened for delivery and then archived (kept as
// "{id}.prn" in a jobs folder) or removed. A store writes its own lines,
// each once, with the system's reason for a failure.
//
// Two stores keep jobs: the spool folder on disk, which a start recovers,
// and memory, for jobs the disk cannot take.
#ifndef JOBSTORE_H
#define JOBSTORE_H

#include "incomingjob.h"

#include <QList>
#include <QString>

#include <atomic>
#include <memory>

class Logger;
class PrintJob;
class QIODevice;

class JobStore
{
public:
    explicit JobStore(Logger *logger) : logger(logger) {}
    virtual ~JobStore() = default;

    // A new job from `peer`, whose lines it names; it is never null.
    virtual std::unique_ptr<IncomingJob> create(const QString &peer) = 0;

    // The job's bytes, to be read in pieces; null, with the reason, when
    // they cannot be read.
    virtual std::unique_ptr<QIODevice> open(const PrintJob &job, QString *error) = 0;

    // Ends the job's stay: its bytes become "{id}.prn" in `folder`, whole or
    // not at all, and its storing line is written. False when it was not
    // stored (the job is gone all the same).
    virtual bool archive(PrintJob &job, const QString &folder) = 0;
    // Why jobs cannot be archived in `folder` (a folder another user could
    // read or plant); empty when they can.
    virtual QString archiveRefusal(const QString &folder) const;
    // Ends the job's stay without keeping it.
    virtual void remove(const PrintJob &job) = 0;
    // At a stop, for a job not delivered: whether it waits for the next
    // start. One that cannot is dropped, with a line.
    virtual bool keep(const PrintJob &job) = 0;

    // A new job name: a braced UUID.
    static QString newId();
    // The stored file of the job named `id`.
    static QString storedPath(const QString &folder, const QString &id);

    // The steps of a commit and of storing where a crash leaves something
    // behind that a start has to sort out; stepTaken, when set, is called
    // after each (a test ends the process there).
    enum class Step {
        Written,  // every byte is in the spool file, its description not yet
        Described, // the description follows the bytes; not renamed yet
        MovedOut, // the job file has left the spool folder for the jobs folder
        Cut,      // its description has been cut off; not renamed yet
        Copying   // a copy to the jobs folder is half-way
    };
    static void (*stepTaken)(Step step);

protected:
    // Stamps a job being committed: its id, size, store and completion.
    void stamp(PrintJob &job, const QString &id, qint64 size);
    // Stores `size` bytes of `source` as the job's "{id}.prn" in `folder`
    // through a file of its own, renamed once whole; writes the job's
    // storing line.
    bool copyInto(QIODevice &source, PrintJob &job, const QString &folder);
    // The storing lines: stored, or not, with the system's reason.
    void storedLine(const PrintJob &job);
    void notOpenedLine(const PrintJob &job, const QString &folder, const QString &reason);
    void notWrittenLine(const PrintJob &job, const QString &folder, const QString &reason);
    static void reached(Step step);

    Logger *const logger;

private:
    // Orders jobs committed within the same millisecond.
    static std::atomic<qint64> commits;
};

#endif // JOBSTORE_H
