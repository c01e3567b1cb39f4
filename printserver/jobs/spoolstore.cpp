// The spool folder, and the format of its job files.
#include "spoolstore.h"

#include "logger.h"
#include "printjob.h"
#include "privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringBuilder>

#include <algorithm>
#include <charconv>

namespace {

// A job file ends with the description of the job, then the length of the
// description in sixteen hexadecimal digits, then this mark.
const QByteArray EndMark = QByteArrayLiteral(" quillport-job\n");
const int LengthDigits = 16;
const qint64 EndSize = LengthDigits + EndMark.size();
// Longer descriptions are no job's.
const qint64 LongestDescription = 1024 * 1024;

const char PartSuffix[] = ".part";
const char JobSuffix[] = ".job";
const char MetaSuffix[] = ".meta";

// A JSON string: quoted, with what JSON asks escaped.
void appendString(QByteArray &out, const QString &text)
{
    out += '"';
    // Plain ASCII, which is what a description mostly holds, goes in as it
    // stands, without an encoding in between.
    const auto plainAscii = [](QChar c) {
        const ushort code = c.unicode();
        return code >= 0x20 && code < 0x80 && code != '"' && code != '\\';
    };
    if (std::all_of(text.cbegin(), text.cend(), plainAscii)) {
        const int at = out.size();
        out.resize(at + text.size());
        std::transform(text.cbegin(), text.cend(), out.data() + at, [](QChar c) { return char(c.unicode()); });
        out += '"';
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    for (const char c : utf8) {
        if (uchar(c) >= 0x20 && c != '"' && c != '\\')
            out += c;
        else if (c == '"' || c == '\\')
            out += '\\' + QByteArray(1, c);
        else
            out += "\\u00" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
    }
    out += '"';
}

// `value` in `base`, at least `width` digits, zeros in front.
void appendNumber(QByteArray &out, qint64 value, int base = 10, int width = 0)
{
    char digits[32];
    const int count = int(std::to_chars(digits, digits + sizeof digits, value, base).ptr - digits);
    const int pad = qMax(0, width - count);
    const int at = out.size();
    out.resize(at + pad + count);
    std::fill_n(out.data() + at, pad, '0');
    std::copy_n(digits, count, out.data() + at + pad);
}

// The description of a job, as JSON. Written by hand: a job is committed
// for every connection on the event-loop thread, and building a
// QJsonDocument took more than half of the time that thread spends on a
// small job. Read with QJsonDocument (describedJob), at start only.
QByteArray trailer(const PrintJob &job)
{
    QByteArray description;
    description.reserve(512);
    description += "{\"id\":";
    appendString(description, job.id);
    description += ",\"printer\":";
    appendString(description, job.printer);
    description += ",\"port\":";
    appendNumber(description, job.port);
    description += ",\"peer\":";
    appendString(description, job.peer);
    description += ",\"title\":";
    appendString(description, job.title);
    description += ",\"completed\":";
    appendNumber(description, job.completed);
    description += ",\"sequence\":";
    appendNumber(description, job.sequence);
    if (!job.attributes.isEmpty()) {
        description += ",\"attributes\":[";
        for (int i = 0; i < job.attributes.size(); ++i) {
            const PrintJob::Attribute &attribute = job.attributes.at(i);
            description += i == 0 ? "[" : ",[";
            appendString(description, attribute.name);
            description += ',';
            appendString(description, attribute.value);
            description += attribute.shown ? ",true]" : ",false]";
        }
        description += ']';
    }
    description += '}';
    appendNumber(description, description.size(), 16, LengthDigits);
    return description += EndMark;
}

// The description at the end of `file` and the size of the bytes before it;
// false when the file does not end with one.
bool trailerOf(QFile &file, QByteArray *description, qint64 *dataSize)
{
    const qint64 total = file.size();
    if (total < EndSize || !file.seek(total - EndSize))
        return false;
    const QByteArray end = file.read(EndSize);
    bool isNumber = false;
    const qint64 length = end.left(LengthDigits).toLongLong(&isNumber, 16);
    if (end.size() != EndSize || !end.endsWith(EndMark) || !isNumber || length < 0
        || length > qMin(total - EndSize, LongestDescription) || !file.seek(total - EndSize - length))
        return false;
    *description = file.read(length);
    *dataSize = total - EndSize - length;
    return description->size() == length;
}

// The job a description tells of; false when it tells of none.
bool describedJob(const QByteArray &description, PrintJob &job)
{
    const QJsonObject meta = QJsonDocument::fromJson(description).object();
    if (!meta.value(QLatin1String("printer")).isString() || !meta.value(QLatin1String("peer")).isString())
        return false;
    job.printer = meta.value(QLatin1String("printer")).toString();
    job.port = quint16(meta.value(QLatin1String("port")).toInt());
    job.peer = meta.value(QLatin1String("peer")).toString();
    job.title = meta.value(QLatin1String("title")).toString();
    job.completed = qint64(meta.value(QLatin1String("completed")).toDouble());
    job.sequence = qint64(meta.value(QLatin1String("sequence")).toDouble());
    const QJsonArray attributes = meta.value(QLatin1String("attributes")).toArray();
    for (const QJsonValue &value : attributes) {
        const QJsonArray attribute = value.toArray();
        job.attributes.append({ attribute.at(0).toString(), attribute.at(1).toString(), attribute.at(2).toBool() });
    }
    // Earlier versions described a line printer daemon job by these keys.
    if (meta.value(QLatin1String("document")).toInt() > 0 && attributes.isEmpty()) {
        job.attributes = { { QStringLiteral("user"), meta.value(QLatin1String("user")).toString(), true },
                           { QStringLiteral("job"), meta.value(QLatin1String("name")).toString(), true },
                           { QStringLiteral("host"), meta.value(QLatin1String("host")).toString(), false },
                           { QStringLiteral("document"), QString::number(meta.value(QLatin1String("document")).toInt()),
                             false } };
    }
    return true;
}

// The id a description names; empty for one an earlier version wrote.
QString describedId(const QByteArray &description)
{
    return QJsonDocument::fromJson(description).object().value(QLatin1String("id")).toString();
}

bool isOwnFile(const QString &path, QString *reason)
{
    QFile file;
    return PrivateFiles::openOwn(file, path, reason);
}

} // namespace

// A job being received. Its first bytes are held here: a job that is whole
// before they pass smallJob bytes (most jobs) is written at its commit, with
// its description, in one go under its final name "{id}.job". A larger one
// goes on into "{id}.part" as it arrives, and its commit renames that. When
// the file fails, what it holds moves to the fallback store and the job goes
// on there.
class SpoolStore::Incoming : public IncomingJob
{
public:
    Incoming(SpoolStore &store, const QString &peer)
        : store(store), peer(peer), id(newId())
    {
    }
    ~Incoming() override { discard(); }

    bool append(const char *data, qint64 size) override
    {
        if (fallback)
            return fallback->append(data, size);
        if (done)
            return false;
        if (!onDisk && held.size() + size <= smallJob) {
            held.append(data, int(size));
            return true;
        }
        QString error;
        if (!onDisk) {
            // Unbuffered from here on: every piece goes to the file at once,
            // without a copy.
            onDisk = PrivateFiles::open(file, partPath(), QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered,
                                        PrivateFiles::OwnerOnly, &error)
                && PrivateFiles::writeAll(file, held.constData(), held.size(), &error);
            if (onDisk) {
                written = held.size();
                held.clear();
            }
        }
        if (onDisk && PrivateFiles::writeAll(file, data, size, &error)) {
            written += size;
            return true;
        }
        return toFallback(error) && fallback->append(data, size);
    }

    void close() override
    {
        if (fallback)
            fallback->close();
        else
            file.close();
    }

    bool commit(PrintJob &job) override
    {
        if (fallback)
            return fallback->commit(job);
        if (done)
            return false;
        store.stamp(job, id, size());
        reached(Step::Written);
        const QByteArray description = trailer(job);
        QString error;
        if (!onDisk) {
            // Complete as soon as it is there: the bytes and the description
            // in one go under the final name.
            if (PrivateFiles::createWith(store.path(id, JobSuffix), held, description, PrivateFiles::OwnerOnly,
                                         &error)) {
                reached(Step::Described);
                held.clear();
                done = true;
                return true;
            }
            return toFallback(error) && fallback->commit(job);
        }
        // The description follows the bytes; once the file has its final
        // name the job is complete.
        const bool described = (file.isOpen()
                                || PrivateFiles::open(file, partPath(), QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                                                      PrivateFiles::OwnerOnly, &error))
            && PrivateFiles::writeAll(file, description.constData(), description.size(), &error);
        if (described)
            reached(Step::Described);
        file.close();
        bool complete = described;
        if (complete && file.error() != QFileDevice::NoError) {
            error = file.errorString();
            complete = false;
        }
        if (complete && PrivateFiles::rename(partPath(), store.path(id, JobSuffix), &error)) {
            done = true;
            return true;
        }
        return toFallback(error) && fallback->commit(job);
    }

    qint64 discard() override
    {
        if (fallback)
            return fallback->discard();
        const qint64 size = this->size();
        if (!done) {
            file.close();
            if (onDisk)
                QFile::remove(partPath());
            held.clear();
            done = true;
        }
        return size;
    }

    qint64 size() const override { return fallback ? fallback->size() : written + held.size(); }

private:
    // Only a job too large to be held has a part file.
    QString partPath() const { return store.path(id, PartSuffix); }

    // Moves the job to the fallback store: what was written is read back
    // from the file, which goes. False when the job is lost on the way.
    bool toFallback(const QString &why)
    {
        store.logger->log(QStringLiteral("Print job from %1 is not kept on disk: %2").arg(peer, why), Logger::Error);
        fallback = store.fallback->create(peer);
        bool moved = true;
        if (onDisk) {
            file.close();
            QFile part(partPath());
            QByteArray chunk;
            for (qint64 copied = 0; moved && copied < written; copied += chunk.size()) {
                chunk = part.isOpen() || part.open(QIODevice::ReadOnly) ? part.read(qMin<qint64>(written - copied, 1 << 20))
                                                                         : QByteArray();
                if (chunk.isEmpty()) {
                    store.logger->log(QStringLiteral("Print job from %1 dropped: %2, and what was written cannot be "
                                                     "read back")
                                          .arg(peer, why),
                                      Logger::Error);
                    fallback->discard();
                    moved = false;
                } else {
                    moved = fallback->append(chunk.constData(), chunk.size());
                }
            }
            part.close();
            QFile::remove(partPath());
        }
        if (moved && !held.isEmpty())
            moved = fallback->append(held.constData(), held.size());
        held.clear();
        done = true;
        if (!moved) {
            // Every later call fails quietly: the job is gone.
            fallback.reset();
        }
        return moved;
    }

    SpoolStore &store;
    const QString peer;
    const QString id;
    // The bytes not in a file yet.
    QByteArray held;
    QFile file;
    // Whether the job has a file; what is in it.
    bool onDisk = false;
    qint64 written = 0;
    // Committed, discarded, or handed to the fallback store.
    bool done = false;
    std::unique_ptr<IncomingJob> fallback;
};

int SpoolStore::smallJob = 64 * 1024;

SpoolStore::SpoolStore(const QString &dataFolder, Logger *logger, JobStore *fallback)
    : JobStore(logger), dir(dataFolder + QStringLiteral(".spool")), fallback(fallback)
{
}

SpoolStore::~SpoolStore() = default;

QString SpoolStore::path(const QString &id, const char *suffix) const
{
    return dir % QLatin1Char('/') % id % QLatin1String(suffix);
}

bool SpoolStore::prepare()
{
    QString error;
    if (!PrivateFiles::makeFolder(dir, PrivateFiles::OwnerOnly))
        error = QStringLiteral("it cannot be created");
    else
        error = PrivateFiles::untrustedReason(dir);
    if (!error.isEmpty())
        logger->log(QStringLiteral("Couldn't use spool folder %1: %2").arg(dir, error), Logger::Error);
    return error.isEmpty();
}

std::unique_ptr<IncomingJob> SpoolStore::create(const QString &peer)
{
    return std::make_unique<Incoming>(*this, peer);
}

bool SpoolStore::read(QFile &file, const QString &id, PrintJob &job)
{
    QByteArray description;
    qint64 size = 0;
    if (!trailerOf(file, &description, &size) || !describedJob(description, job))
        return false;
    job.id = id;
    job.size = size;
    job.store = this;
    return true;
}

bool SpoolStore::readTwoFileJob(QFile &file, const QString &id, PrintJob &job)
{
    QFile meta;
    if (!PrivateFiles::openOwn(meta, path(id, MetaSuffix)) || !describedJob(meta.read(LongestDescription), job))
        return false;
    job.id = id;
    job.size = file.size();
    job.store = this;
    return true;
}

bool SpoolStore::isTwoFileJob(const QString &id) const
{
    QMutexLocker locker(&mutex);
    return twoFileJobs.contains(id);
}

QList<PrintJob> SpoolStore::recover()
{
    QList<PrintJob> jobs;
    const QDir folder(dir);
    const QFileInfoList entries =
        folder.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        const QString id = entry.completeBaseName();
        const bool isJob = name.endsWith(QLatin1String(JobSuffix));
        const bool isPart = name.endsWith(QLatin1String(PartSuffix));
        if (!isJob && !isPart) {
            // A description whose job has gone.
            if (name.endsWith(QLatin1String(MetaSuffix)) && !folder.exists(id + QLatin1String(JobSuffix)))
                QFile::remove(entry.filePath());
            continue;
        }
        QFile file;
        QString reason;
        if (!PrivateFiles::openOwn(file, entry.filePath(), &reason)) {
            logger->log(QStringLiteral("Skipped %1 in the spool folder: %2").arg(name, reason), Logger::Error);
            continue;
        }
        PrintJob job;
        if (isJob && folder.exists(id + QLatin1String(MetaSuffix)) && readTwoFileJob(file, id, job)) {
            QMutexLocker locker(&mutex);
            twoFileJobs.insert(id);
            jobs.append(job);
            continue;
        }
        if (isJob && read(file, id, job)) {
            jobs.append(job);
            continue;
        }
        // What remains of a job whose client never finished, or bytes
        // without a description: nobody can be given them.
        logger->log(QStringLiteral("Removed incomplete print job %1 (%2 bytes) from the spool folder")
                        .arg(id)
                        .arg(file.size()),
                    Logger::Error);
        file.close();
        QFile::remove(entry.filePath());
        QFile::remove(path(id, MetaSuffix));
    }
    std::stable_sort(jobs.begin(), jobs.end(), [](const PrintJob &a, const PrintJob &b) {
        return a.completed != b.completed ? a.completed < b.completed : a.sequence < b.sequence;
    });
    if (!jobs.isEmpty())
        logger->log(QStringLiteral("Found %1 complete print job(s) in the spool folder").arg(jobs.size()), Logger::Info);
    return jobs;
}

void SpoolStore::recoverStoring(const QString &jobsFolder)
{
    const QStringList names = QDir(jobsFolder).entryList({ QStringLiteral("*.prn.part"), QStringLiteral("*.prn.copy") },
                                                         QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString id = name.chopped(9);
        const QString file = jobsFolder + QLatin1Char('/') + name;
        const QString target = storedPath(jobsFolder, id);
        QString error;
        if (!isOwnFile(file, &error)) {
            logger->log(QStringLiteral("Skipped %1 in %2: %3").arg(name, jobsFolder, error), Logger::Error);
            continue;
        }
        // A copy was cut short, and so was a move from an earlier version
        // while its job was still in the spool folder: the job is stored
        // again when it has been delivered.
        if (name.endsWith(QLatin1String(".copy")) || QFileInfo::exists(path(id, JobSuffix))) {
            QFile::remove(file);
            logger->log(QStringLiteral("Removed the unfinished copy of print job %1 from %2").arg(id, jobsFolder),
                        Logger::Info);
            continue;
        }
        // The job file left the spool folder for good: what it holds is the
        // job, whole, with or still without its description at the end.
        QFile part;
        QByteArray description;
        qint64 size = 0;
        const bool described = PrivateFiles::openOwn(part, file) && trailerOf(part, &description, &size)
            && (describedId(description) == id || describedId(description).isEmpty());
        part.close();
        if ((!described || PrivateFiles::resize(file, size, &error)) && PrivateFiles::rename(file, target, &error))
            logger->log(QStringLiteral("Finished storing print job %1 in %2").arg(id, jobsFolder), Logger::Info);
        else
            logger->log(QStringLiteral("Couldn't finish storing print job %1 in %2: %3").arg(id, jobsFolder, error),
                        Logger::Error);
    }
}

std::unique_ptr<QIODevice> SpoolStore::open(const PrintJob &job, QString *error)
{
    auto file = std::make_unique<QFile>();
    if (PrivateFiles::openOwn(*file, path(job.id, JobSuffix), error))
        return file;
    *error = QStringLiteral("its spool file cannot be read: %1").arg(*error);
    return nullptr;
}

bool SpoolStore::archive(PrintJob &job, const QString &folder)
{
    const QString spooled = path(job.id, JobSuffix);
    const QString target = storedPath(folder, job.id);
    const QString moved = target + QStringLiteral(".part");
    const bool twoFiles = isTwoFileJob(job.id);

    // On the same file system the job file itself becomes the stored job. It
    // leaves the spool folder first, so that it is never there without its
    // description, which is cut off once it is out.
    QString error;
    if (PrivateFiles::rename(spooled, moved, &error)) {
        reached(Step::MovedOut);
        forget(job.id);
        const bool cut = twoFiles || PrivateFiles::resize(moved, job.size, &error);
        if (cut)
            reached(Step::Cut);
        if (cut && PrivateFiles::rename(moved, target, &error)) {
            storedLine(job);
            return true;
        }
        QFile::remove(moved);
        notWrittenLine(job, folder, error);
        return false;
    }

    // Elsewhere (another file system, or no such folder, which the copy
    // then reports) the bytes are copied.
    bool stored = false;
    if (const std::unique_ptr<QIODevice> source = open(job, &error))
        stored = copyInto(*source, job, folder);
    else
        notOpenedLine(job, folder, error);
    remove(job);
    return stored;
}

QString SpoolStore::archiveRefusal(const QString &folder) const
{
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (!canonical.isEmpty() && canonical == QFileInfo(dir).canonicalFilePath())
        return QStringLiteral("its jobs folder %1 is the spool folder").arg(folder);
    return JobStore::archiveRefusal(folder);
}

void SpoolStore::remove(const PrintJob &job)
{
    QFile::remove(path(job.id, JobSuffix));
    forget(job.id);
}

void SpoolStore::forget(const QString &id)
{
    QMutexLocker locker(&mutex);
    if (twoFileJobs.remove(id))
        QFile::remove(path(id, MetaSuffix));
}

bool SpoolStore::keep(const PrintJob &)
{
    return true;
}
