// Private files and folders on Windows, where they inherit the access
// control of the ProgramData folder the service keeps them in.
#include "privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <qt_windows.h>

namespace PrivateFiles {

bool open(QFile &file, const QString &path, QIODevice::OpenMode mode, Access, QString *error)
{
    file.setFileName(path);
    if (file.open(mode))
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

bool rename(const QString &from, const QString &to)
{
    return MoveFileExW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(to).utf16()), 0);
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
