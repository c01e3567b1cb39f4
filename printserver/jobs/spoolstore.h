// The spool folder: every admitted job is written there as it arrives and
// stays until it has been delivered, so that neither a busy spooler nor a
// stop nor a crash loses it. Jobs it cannot take (a full disk, a file-size
// limit, no folder) go on in the fallback store, with a line.
//
// A job being received is "{id}.part". Its commit writes the job's
// description after its bytes and renames the file "{id}.job": from then on
// it is complete and survives a restart. (A small job is held in memory
// until it is whole and then written as "{id}.job" in one go.) Storing moves it to the jobs
// folder as "{id}.prn.part", cuts the description off and renames it
// "{id}.prn"; across file systems the bytes are copied instead. Whatever a
// crash leaves at any of these steps, the next start finishes or removes.
// (Earlier versions kept the description in "{id}.meta" beside the bytes;
// such jobs are still read.)
#ifndef SPOOLSTORE_H
#define SPOOLSTORE_H

#include "jobstore.h"

#include <QMutex>
#include <QSet>

class QFile;

class SpoolStore : public JobStore
{
public:
    // The spool folder ".spool" in `dataFolder` (the dot keeps it clear of
    // job folders that administrators call "spool").
    SpoolStore(const QString &dataFolder, Logger *logger, JobStore *fallback);
    ~SpoolStore() override;

    QString folder() const { return dir; }

    // Creates the folder, private to the service. False, with a line, when
    // it cannot be used: every job then goes on in the fallback store.
    bool prepare();

    // What a start finds: the complete jobs, in the order their clients
    // finished them, with one line saying how many. What remains of jobs
    // whose client never finished is removed, with a line each; anything
    // that is not a regular file of the service's own user is left alone,
    // with a line.
    QList<PrintJob> recover();
    // Finishes the storing of jobs that a crash cut short in `jobsFolder`,
    // or removes an unfinished copy (its job is delivered and stored again),
    // with a line each.
    void recoverStoring(const QString &jobsFolder);

    std::unique_ptr<IncomingJob> create(const QString &peer) override;
    std::unique_ptr<QIODevice> open(const PrintJob &job, QString *error) override;
    bool archive(PrintJob &job, const QString &folder) override;
    QString archiveRefusal(const QString &folder) const override;
    void remove(const PrintJob &job) override;
    bool keep(const PrintJob &job) override;

    // A job up to this size is held in memory until it is whole, and then
    // written with its description in one go; tests that watch bytes reach
    // the spool folder as they arrive make it 0.
    static int smallJob;

private:
    class Incoming;

    QString path(const QString &id, const char *suffix) const;
    // The job in the complete job file `file` named `id`: its description
    // and the size of the bytes before it. False when it holds no job.
    bool read(QFile &file, const QString &id, PrintJob &job);
    // A job whose description an earlier version kept in a file of its own.
    bool readTwoFileJob(QFile &file, const QString &id, PrintJob &job);
    bool isTwoFileJob(const QString &id) const;
    // Drops what the store knows of a job beside its file.
    void forget(const QString &id);

    const QString dir;
    JobStore *const fallback;
    mutable QMutex mutex;
    QSet<QString> twoFileJobs;
};

#endif // SPOOLSTORE_H
