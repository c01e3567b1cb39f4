// Jobs kept in memory.
#include "memorystore.h"

#include "logger.h"
#include "printjob.h"

#include <QBuffer>

#include <limits>

// Half a gigabyte: far more than the jobs of a full disk's few minutes, far
// less than a print server's memory.
qint64 MemoryStore::capacity = qint64(512) * 1024 * 1024;

namespace {

// What one QByteArray can hold.
const qint64 LargestJob = std::numeric_limits<int>::max() - 4096;

} // namespace

class MemoryStore::Incoming : public IncomingJob
{
public:
    Incoming(MemoryStore &store, const QString &peer) : store(store), peer(peer) {}
    ~Incoming() override { discard(); }

    bool append(const char *data, qint64 size) override
    {
        if (done)
            return false;
        QString why;
        if (bytes.size() + size > LargestJob)
            why = QStringLiteral("it is larger than a job can be");
        else if (!store.reserve(size))
            why = QStringLiteral("the jobs held in memory would pass %1 bytes").arg(capacity);
        if (!why.isEmpty()) {
            store.logger->log(QStringLiteral("Print job from %1 dropped: %2").arg(peer, why), Logger::Error);
            discard();
            done = true;
            return false;
        }
        bytes.append(data, int(size));
        return true;
    }

    void close() override {}

    bool commit(PrintJob &job) override
    {
        if (done)
            return false;
        store.stamp(job, JobStore::newId(), bytes.size());
        store.add(job.id, bytes);
        // The capacity it takes now travels with the job.
        bytes.clear();
        done = true;
        return true;
    }

    qint64 discard() override
    {
        const qint64 size = bytes.size();
        store.release(size);
        bytes.clear();
        return size;
    }

    qint64 size() const override { return bytes.size(); }

private:
    MemoryStore &store;
    const QString peer;
    QByteArray bytes;
    // Dropped, or handed over to the store: it takes nothing more.
    bool done = false;
};

MemoryStore::MemoryStore(Logger *logger)
    : JobStore(logger)
{
}

MemoryStore::~MemoryStore() = default;

std::unique_ptr<IncomingJob> MemoryStore::create(const QString &peer)
{
    return std::make_unique<Incoming>(*this, peer);
}

bool MemoryStore::reserve(qint64 size)
{
    qint64 now = heldBytes.load();
    do {
        if (now + size > capacity)
            return false;
    } while (!heldBytes.compare_exchange_weak(now, now + size));
    return true;
}

void MemoryStore::release(qint64 size)
{
    heldBytes -= size;
}

void MemoryStore::add(const QString &id, const QByteArray &data)
{
    QMutexLocker locker(&mutex);
    jobs.insert(id, data);
}

QByteArray MemoryStore::take(const QString &id)
{
    QMutexLocker locker(&mutex);
    const QByteArray data = jobs.take(id);
    release(data.size());
    return data;
}

std::unique_ptr<QIODevice> MemoryStore::open(const PrintJob &job, QString *error)
{
    QMutexLocker locker(&mutex);
    const auto found = jobs.constFind(job.id);
    if (found == jobs.constEnd()) {
        *error = QStringLiteral("it is no longer held in memory");
        return nullptr;
    }
    // A copy shares the bytes; the buffer reads them after the lock is gone.
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(*found);
    buffer->open(QIODevice::ReadOnly);
    return buffer;
}

bool MemoryStore::archive(PrintJob &job, const QString &folder)
{
    QByteArray data = take(job.id);
    QBuffer source(&data);
    source.open(QIODevice::ReadOnly);
    return copyInto(source, job, folder);
}

void MemoryStore::remove(const PrintJob &job)
{
    take(job.id);
}

bool MemoryStore::keep(const PrintJob &job)
{
    take(job.id);
    logger->log(job.label() + QStringLiteral(" is lost: it was not kept on disk and the service stopped"),
                Logger::Error);
    return false;
}
