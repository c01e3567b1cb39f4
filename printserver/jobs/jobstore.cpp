// What both stores do alike: names, the completion stamp, and storing a
// job by a copy.
#include "jobstore.h"

#include "logger.h"
#include "printjob.h"
#include "privatefiles.h"

#include <QDateTime>
#include <QFile>
#include <QUuid>

namespace {

const qint64 CopyChunk = 1024 * 1024;

} // namespace

void (*JobStore::stepTaken)(Step) = nullptr;
std::atomic<qint64> JobStore::commits{ 0 };

QString JobStore::newId()
{
    return QUuid::createUuid().toString();
}

QString JobStore::storedPath(const QString &folder, const QString &id)
{
    return folder + QLatin1Char('/') + id + QStringLiteral(".prn");
}

QString JobStore::archiveRefusal(const QString &folder) const
{
    const QString reason = PrivateFiles::untrustedReason(folder);
    return reason.isEmpty() ? QString() : QStringLiteral("its jobs folder %1 is not safe: %2").arg(folder, reason);
}

void JobStore::reached(Step step)
{
    if (stepTaken)
        stepTaken(step);
}

void JobStore::stamp(PrintJob &job, const QString &id, qint64 size)
{
    job.id = id;
    job.size = size;
    job.store = this;
    job.completed = QDateTime::currentMSecsSinceEpoch();
    job.sequence = ++commits;
}

bool JobStore::copyInto(QIODevice &source, PrintJob &job, const QString &folder)
{
    // Under a name of its own until whole: a start removes what a crash
    // leaves of it, and the job (if its store kept it) is stored again.
    const QString target = storedPath(folder, job.id);
    const QString copy = target + QStringLiteral(".copy");
    QFile file;
    QString error;
    if (!PrivateFiles::open(file, copy, QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered,
                            PrivateFiles::OwnerOnly, &error)) {
        notOpenedLine(job, folder, error);
        return false;
    }
    bool whole = true;
    QByteArray chunk;
    for (qint64 done = 0; whole && done < job.size; done += chunk.size()) {
        chunk = source.read(qMin(CopyChunk, job.size - done));
        if (chunk.isEmpty())
            error = QStringLiteral("the job cannot be read: %1").arg(source.errorString());
        whole = !chunk.isEmpty() && PrivateFiles::writeAll(file, chunk.constData(), chunk.size(), &error);
        if (done == 0)
            reached(Step::Copying);
    }
    file.close();
    if (whole && file.error() != QFileDevice::NoError) {
        error = file.errorString();
        whole = false;
    }
    if (whole && PrivateFiles::rename(copy, target, &error)) {
        storedLine(job);
        return true;
    }
    QFile::remove(copy);
    notWrittenLine(job, folder, error);
    return false;
}

void JobStore::storedLine(const PrintJob &job)
{
    logger->log(job.label() + QStringLiteral(" stored successful with filename \"") + job.id + QLatin1Char('"'),
                Logger::Print);
}

void JobStore::notOpenedLine(const PrintJob &job, const QString &folder, const QString &reason)
{
    const QString path = storedPath(folder, job.id);
    logger->log(QStringLiteral("%1 could not be stored in %2: %3").arg(job.label(), folder, reason), Logger::Error);
    logger->log(QStringLiteral("Couldn't open file \"") + path + QStringLiteral("\" for writing print job from ")
                    + job.peer,
                Logger::Error);
}

void JobStore::notWrittenLine(const PrintJob &job, const QString &folder, const QString &reason)
{
    const QString path = storedPath(folder, job.id);
    logger->log(QStringLiteral("%1 could not be stored in %2: %3").arg(job.label(), folder, reason), Logger::Error);
    logger->log(QStringLiteral("Couldn't write print job to file \"") + path + QStringLiteral("\" from ") + job.peer,
                Logger::Error);
}
