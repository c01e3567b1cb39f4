// The stored file of a large job, written as the job arrives.
#include "jobfile.h"

#include <QUuid>

JobFile::JobFile(const QString &jobspath, QObject *connection)
    : QFile(connection), name(newName()), finalPath(path(jobspath, name))
{
    setFileName(finalPath + QStringLiteral(".part"));
}

JobFile::~JobFile()
{
    if (created && !kept)
        remove();
}

QString JobFile::newName()
{
    return QUuid::createUuid().toString();
}

QString JobFile::path(const QString &jobspath, const QString &name)
{
    return jobspath + QLatin1Char('/') + name + QStringLiteral(".prn");
}

bool JobFile::create()
{
    created = open(QIODevice::ReadWrite | QIODevice::Unbuffered | QIODevice::NewOnly);
    return created;
}

bool JobFile::keep()
{
    kept = rename(finalPath);
    return kept;
}
