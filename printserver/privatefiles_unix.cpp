// Private files and folders with Unix permissions.
#include "privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PrivateFiles {

bool open(QFile &file, QIODevice::OpenMode mode, Access access)
{
    // The file is made with its final permissions first: a reader that
    // opened it in between would keep seeing what is written later.
    const QByteArray name = QFile::encodeName(file.fileName());
    const int flags = O_CREAT | O_WRONLY | O_CLOEXEC | (mode & QIODevice::NewOnly ? O_EXCL : 0);
    const int fd = ::open(name.constData(), flags, access == OwnerOnly ? 0600 : 0640);
    if (fd < 0) {
        // Qt's own attempt fails for the same reason and gives the file its
        // error text.
        if (file.open(mode))
            file.close();
        return false;
    }
    ::close(fd);
    return file.open(mode & ~QIODevice::NewOnly);
}

bool makeFolder(const QString &path, Access access)
{
    const QString clean = QDir::cleanPath(path);
    if (QFileInfo(clean).isDir())
        return true;
    const QString parent = QFileInfo(clean).path();
    if (parent != clean && !makeFolder(parent, access))
        return false;
    const int result = ::mkdir(QFile::encodeName(clean).constData(), access == OwnerOnly ? 0700 : 0750);
    return result == 0 || (errno == EEXIST && QFileInfo(clean).isDir());
}

QString untrustedReason(const QString &path)
{
    struct stat info;
    // A folder that is not there holds nothing; using it fails later, with
    // a line of its own.
    if (::lstat(QFile::encodeName(QDir::cleanPath(path)).constData(), &info) != 0)
        return QString();
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("it is a symbolic link");
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("it is not a folder");
    if (info.st_mode & S_IWOTH)
        return QStringLiteral("other users may write to it");
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        return QStringLiteral("it belongs to another user");
    return QString();
}

} // namespace PrivateFiles
