// One document written to the spool folder as it arrives.
#include "spoolwriter.h"

#include "printjob.h"
#include "privatefiles.h"
#include "spoolfolder.h"

#include <limits>

qint64 SpoolWriter::largestInMemory = std::numeric_limits<int>::max() - 4096;

SpoolWriter::SpoolWriter(const QString &folder)
    : id(SpoolFolder::newId()), folder(folder)
{
}

SpoolWriter::~SpoolWriter()
{
    discard();
}

SpoolWriter::Result SpoolWriter::start()
{
    file.setFileName(SpoolFolder::partPath(folder, id));
    // Unbuffered: every piece goes to the file at once, without a copy.
    if (PrivateFiles::open(file, QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered,
                           PrivateFiles::OwnerOnly))
        return Ok;
    failure = file.errorString();
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
    if (!file.isOpen())
        file.open(QIODevice::ReadOnly);
    const bool whole = written <= largestInMemory && file.seek(0) && (memory = file.read(written)).size() == written;
    file.close();
    file.remove();
    if (whole)
        return MovedToMemory;
    memory.clear();
    failure = written > largestInMemory ? QStringLiteral("it is larger than a job can be")
                                     : QStringLiteral("%1, and what was written cannot be read back").arg(why);
    return Lost;
}

SpoolWriter::Result SpoolWriter::finish(PrintJob &job)
{
    job.id = id;
    job.size = written;
    Result result = Ok;
    if (file.isOpen()) {
        job.dataPath = SpoolFolder::jobPath(folder, id);
        if (job.writeMeta() && file.rename(job.dataPath)) {
            file.close();
            file.setFileName(QString());
            return Ok;
        }
        const QString why = file.error() != QFileDevice::NoError ? file.errorString()
                                                                 : QStringLiteral("its description cannot be written");
        QFile::remove(job.metaPath());
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
        file.remove();
    }
    memory.clear();
}
