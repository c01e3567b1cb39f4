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

// A job file ends with the length of the description before it, in sixteen
// hexadecimal digits, and this mark.
const QByteArray EndMark = QByteArrayLiteral(" quillport-job\n");
const int LengthDigits = 16;
const qint64 EndSize = LengthDigits + EndMark.size();

// Copies the first `size` bytes of a job into `target`, a new file; false
// when any byte did not get there.
bool copyInto(QIODevice &source, qint64 size, QFile &target)
{
    QByteArray chunk;
    for (qint64 done = 0; done < size; done += chunk.size()) {
        chunk = source.read(qMin(CopyChunk, size - done));
        if (chunk.isEmpty() || target.write(chunk) != chunk.size())
            return false;
    }
    return target.flush();
}

// Where spool folders of earlier versions keep the description of the job
// whose data is at `dataPath`.
QString metaPathOf(const QString &dataPath)
{
    const QFileInfo data(dataPath);
    return data.path() + QLatin1Char('/') + data.completeBaseName() + QStringLiteral(".meta");
}

} // namespace

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

QByteArray PrintJob::trailer() const
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
    const QByteArray description = QJsonDocument(meta).toJson(QJsonDocument::Compact);
    return description + QByteArray::number(description.size(), 16).rightJustified(LengthDigits, '0') + EndMark;
}

bool PrintJob::read(const QString &path, PrintJob &job)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray description;
    QFile metaFile(metaPathOf(path));
    if (metaFile.exists()) {
        if (!metaFile.open(QIODevice::ReadOnly))
            return false;
        description = metaFile.readAll();
        job.size = file.size();
        job.metaFile = true;
    } else {
        const qint64 total = file.size();
        if (total < EndSize || !file.seek(total - EndSize))
            return false;
        const QByteArray end = file.read(EndSize);
        bool isNumber = false;
        const qint64 length = end.left(LengthDigits).toLongLong(&isNumber, 16);
        if (end.size() != EndSize || !end.endsWith(EndMark) || !isNumber || length < 0 || length > total - EndSize
            || !file.seek(total - EndSize - length))
            return false;
        description = file.read(length);
        job.size = total - EndSize - length;
    }

    const QJsonObject meta = QJsonDocument::fromJson(description).object();
    if (!meta.value(QLatin1String("printer")).isString() || !meta.value(QLatin1String("peer")).isString())
        return false;
    job.dataPath = path;
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

    // Whatever happens below, a "{id}.prn" is never a part of a job: the
    // file is made under a name of its own and renamed once whole.
    const QString partial = target + QStringLiteral(".part");

    // On the same file system the spool file itself becomes the stored job.
    // It leaves the spool folder first, so that it is never there without
    // its description, which is cut off once it is out.
    if (isOnDisk() && PrivateFiles::rename(dataPath, partial)) {
        const bool whole = (metaFile || QFile::resize(partial, size)) && PrivateFiles::rename(partial, target);
        if (!whole)
            QFile::remove(partial);
        if (metaFile)
            QFile::remove(metaPathOf(dataPath));
        dataPath.clear();
        return whole ? Stored : NotWritten;
    }

    // Elsewhere the document is copied.
    StoreResult result = NotOpened;
    const std::unique_ptr<QIODevice> source = open();
    QFile copy;
    if (source && PrivateFiles::open(copy, partial, QIODevice::WriteOnly | QIODevice::NewOnly, PrivateFiles::OwnerOnly)) {
        bool whole = copyInto(*source, size, copy);
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
    if (metaFile)
        QFile::remove(metaPathOf(dataPath));
    dataPath.clear();
}
