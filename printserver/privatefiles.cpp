// What private files do alike on every platform.
#include "privatefiles.h"

#include <QFile>

namespace PrivateFiles {

bool writeAll(QFile &file, const char *data, qint64 size, QString *error, qint64 *written)
{
    // A short count sets no error of its own; the next write of the rest
    // fails with the reason (ENOSPC, EFBIG).
    qint64 done = 0;
    while (done < size) {
        const qint64 count = file.write(data + done, size - done);
        if (count <= 0) {
            *error = file.error() != QFileDevice::NoError ? file.errorString()
                                                          : QStringLiteral("the file takes no more data");
            break;
        }
        done += count;
    }
    if (written)
        *written = done;
    return done == size;
}

bool replace(const QString &path, const QByteArray &data, Access access, QString *error)
{
    const QString part = path + QStringLiteral(".part");
    QFile file;
    if (!open(file, part, QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered, access, error))
        return false;
    bool whole = writeAll(file, data.constData(), data.size(), error);
    file.close();
    if (whole && file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        whole = false;
    }
    if (whole && rename(part, path, error))
        return true;
    QFile::remove(part);
    return false;
}

bool resize(const QString &path, qint64 size, QString *error)
{
    QFile file(path);
    if (file.resize(size))
        return true;
    *error = file.errorString();
    return false;
}

} // namespace PrivateFiles
