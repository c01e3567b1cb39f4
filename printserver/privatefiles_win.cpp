// Private files and folders on Windows, where they inherit the access
// control of the ProgramData folder the service keeps them in.
#include "privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace PrivateFiles {

bool open(QFile &file, QIODevice::OpenMode mode, Access)
{
    return file.open(mode);
}

bool makeFolder(const QString &path, Access)
{
    return QDir().mkpath(path);
}

QString untrustedReason(const QString &path)
{
    const QFileInfo info(QDir::cleanPath(path));
    if (!info.exists())
        return QString();
    if (info.isSymLink() || info.isJunction())
        return QStringLiteral("it is a symbolic link");
    if (!info.isDir())
        return QStringLiteral("it is not a folder");
    return QString();
}

} // namespace PrivateFiles
