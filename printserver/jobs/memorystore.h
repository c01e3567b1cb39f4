// Jobs kept in memory: where a job goes on when the spool folder cannot
// take it (a full disk, a file-size limit, no folder at all). All of them
// together hold at most `capacity` bytes; a job that would pass it is
// dropped, so that no client can make the service grow without bound. A
// stop loses them, with a line each.
#ifndef MEMORYSTORE_H
#define MEMORYSTORE_H

#include "jobstore.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>

class MemoryStore : public JobStore
{
public:
    explicit MemoryStore(Logger *logger);
    ~MemoryStore() override;

    std::unique_ptr<IncomingJob> create(const QString &peer) override;
    std::unique_ptr<QIODevice> open(const PrintJob &job, QString *error) override;
    bool archive(PrintJob &job, const QString &folder) override;
    void remove(const PrintJob &job) override;
    bool keep(const PrintJob &job) override;

    // The bytes all jobs in memory hold now, those arriving included.
    qint64 held() const { return heldBytes; }

    // What all jobs in memory may hold together; tests make it smaller.
    static qint64 capacity;

private:
    class Incoming;

    // Takes `size` more bytes of the capacity; false when they do not fit.
    bool reserve(qint64 size);
    void release(qint64 size);
    void add(const QString &id, const QByteArray &data);
    QByteArray take(const QString &id);

    std::atomic<qint64> heldBytes{ 0 };
    mutable QMutex mutex;
    QHash<QString, QByteArray> jobs;
};

#endif // MEMORYSTORE_H
