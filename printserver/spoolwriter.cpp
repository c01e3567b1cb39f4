// One document written to the spool folder as it arrives.
#include "spoolwriter.h"

#include "printjob.h"
#include "privatefiles.h"
#include "spoolfolder.h"

#include <limits>

qint64 SpoolWriter::largestInMemory = std::numeric_limits<int>::max() - 4096;

SpoolWriter::SpoolWriter(const QString &folder)
    : id(SpoolFolder::newId()), folder(folder), partPath(SpoolFolder::partPath(folder, id))
{
}

SpoolWriter::~SpoolWriter()
{
    discard();
}

SpoolWriter::Result SpoolWriter::start()
{
    // Unbuffered: every piece goes to the file at once, without a copy.
    if (PrivateFiles::open(file, partPath, QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered,
                           PrivateFiles::OwnerOnly, &failure))
        return Ok;
    return MovedToMemory;
}

SpoolWriter::Result SpoolWriter::append(const char *data, qint64 size)
{
    Result result = Ok;
    if (file.isOpen()) {
        if (file.write(data, size) == size) {
            written += size;
            return Ok;
        }
        // The piece that did go in is dropped and taken again from `data`.
        const QString why = file.errorString();
        file.resize(written);
        result = toMemory(why);
        if (result == Lost)
            return Lost;
    }
    if (written + size > largestInMemory) {
        failure = QStringLiteral("it is larger than a job can be");
        return Lost;
    }
    memory.append(data, int(size));
    written += size;
    return result;
}

SpoolWriter::Result SpoolWriter::toMemory(const QString &why)
{
    failure = why;
    file.close();
    QFile written(partPath);
    const bool whole = this->written <= largestInMemory && written.open(QIODevice::ReadOnly)
        && (memory = written.read(this->written)).size() == this->written;
    written.close();
    QFile::remove(partPath);
    if (whole)
        return MovedToMemory;
    memory.clear();
    failure = this->written > largestInMemory ? QStringLiteral("it is larger than a job can be")
                                              : QStringLiteral("%1, and what was written cannot be read back").arg(why);
    return Lost;
}

SpoolWriter::Result SpoolWriter::finish(PrintJob &job)
{
    job.id = id;
    job.size = written;
    Result result = Ok;
    if (file.isOpen()) {
        const QByteArray trailer = job.trailer();
        const bool described = file.write(trailer) == trailer.size();
        // A write cut short by a file-size limit sets no error of the file's.
        const QString why = described ? QStringLiteral("it cannot be renamed")
            : file.error() != QFileDevice::NoError ? file.errorString()
                                                    : QStringLiteral("its description cannot be written");
        file.close();
        job.dataPath = SpoolFolder::jobPath(folder, id);
        if (described && PrivateFiles::rename(partPath, job.dataPath))
            return Ok;
        job.dataPath.clear();
        result = toMemory(why);
        if (result == Lost)
            return Lost;
    }
    job.data = memory;
    memory.clear();
    return result;
}

void SpoolWriter::discard()
{
    if (file.isOpen()) {
        file.close();
        QFile::remove(partPath);
    }
    memory.clear();
}
