// One document on its way to the printer.
#include "printjob.h"

#include "privatefiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const qint64 CopyChunk = 1024 * 1024;

// Copies a job into `target`, a new file; false when any byte did not get there.
bool copyInto(QIODevice &source, QFile &target)
{
    QByteArray chunk;
    for (;;) {
        chunk = source.read(CopyChunk);
        if (chunk.isEmpty())
            return source.atEnd() && target.flush();
        if (target.write(chunk) != chunk.size())
            return false;
    }
}

} // namespace

QString PrintJob::metaPath() const
{
    return QFileInfo(dataPath).path() + QLatin1Char('/') + id + QStringLiteral(".meta");
}

std::unique_ptr<QIODevice> PrintJob::open() const
{
    std::unique_ptr<QIODevice> device;
    if (isOnDisk())
        device = std::make_unique<QFile>(dataPath);
    else
        device = std::make_unique<QBuffer>(const_cast<QByteArray *>(&data));
    if (!device->open(QIODevice::ReadOnly))
        device.reset();
    return device;
}

bool PrintJob::writeMeta() const
{
    QJsonObject meta{
        { QStringLiteral("printer"), printer },
        { QStringLiteral("port"), int(port) },
        { QStringLiteral("peer"), peer },
        { QStringLiteral("title"), title },
        { QStringLiteral("completed"), double(completed) },
        { QStringLiteral("sequence"), double(sequence) },
    };
    if (document > 0) {
        meta.insert(QStringLiteral("user"), user);
        meta.insert(QStringLiteral("host"), host);
        meta.insert(QStringLiteral("name"), name);
        meta.insert(QStringLiteral("document"), document);
    }
    QFile file;
    const QByteArray text = QJsonDocument(meta).toJson(QJsonDocument::Compact);
    return PrivateFiles::open(file, metaPath(), QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered,
                              PrivateFiles::OwnerOnly)
        && file.write(text) == text.size();
}

bool PrintJob::readMeta(const QString &path, PrintJob &job)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject meta = QJsonDocument::fromJson(file.readAll()).object();
    if (!meta.value(QLatin1String("printer")).isString() || !meta.value(QLatin1String("peer")).isString())
        return false;
    job.printer = meta.value(QLatin1String("printer")).toString();
    job.port = quint16(meta.value(QLatin1String("port")).toInt());
    job.peer = meta.value(QLatin1String("peer")).toString();
    job.title = meta.value(QLatin1String("title")).toString();
    job.completed = qint64(meta.value(QLatin1String("completed")).toDouble());
    job.sequence = qint64(meta.value(QLatin1String("sequence")).toDouble());
    job.user = meta.value(QLatin1String("user")).toString();
    job.host = meta.value(QLatin1String("host")).toString();
    job.name = meta.value(QLatin1String("name")).toString();
    job.document = meta.value(QLatin1String("document")).toInt();
    return true;
}

QString PrintJob::storedPath(const QString &jobspath, const QString &id)
{
    return jobspath + QLatin1Char('/') + id + QStringLiteral(".prn");
}

PrintJob::StoreResult PrintJob::store(const QString &jobspath, QString *failedPath)
{
    const QString target = storedPath(jobspath, id);
    *failedPath = target;

    // On the same file system the spool file itself becomes the stored job.
    if (isOnDisk() && PrivateFiles::rename(dataPath, target)) {
        QFile::remove(metaPath());
        dataPath.clear();
        return Stored;
    }

    // Elsewhere it is copied under a name of its own and renamed once whole,
    // so that a "{id}.prn" is never a part of a job.
    StoreResult result = NotOpened;
    const std::unique_ptr<QIODevice> source = open();
    const QString partial = target + QStringLiteral(".part");
    QFile copy;
    if (source && PrivateFiles::open(copy, partial, QIODevice::WriteOnly | QIODevice::NewOnly, PrivateFiles::OwnerOnly)) {
        bool whole = copyInto(*source, copy);
        copy.close();
        whole = whole && copy.error() == QFileDevice::NoError && PrivateFiles::rename(partial, target);
        if (!whole)
            QFile::remove(partial);
        result = whole ? Stored : NotWritten;
    }
    removeFiles();
    return result;
}

void PrintJob::removeFiles()
{
    if (!isOnDisk())
        return;
    QFile::remove(dataPath);
    QFile::remove(metaPath());
    dataPath.clear();
}
