// Private files and folders with Unix permissions.
#include "privatefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace PrivateFiles {

bool open(QFile &file, const QString &path, QIODevice::OpenMode mode, Access access, QString *error)
{
    // Made with its final permissions: a reader that opened it in between
    // would keep seeing what is written later.
    int flags = O_CREAT | O_CLOEXEC;
    flags |= (mode & QIODevice::ReadWrite) == QIODevice::ReadWrite ? O_RDWR
        : mode & QIODevice::WriteOnly                               ? O_WRONLY
                                                                    : O_RDONLY;
    if (mode & QIODevice::Append)
        flags |= O_APPEND;
    if (mode & QIODevice::Truncate)
        flags |= O_TRUNC;
    if (mode & QIODevice::NewOnly)
        flags |= O_EXCL;
    const mode_t permissions = access == OwnerOnly ? 0600 : access == OwnerAndGroup ? 0640 : 0644;
    const int fd = ::open(QFile::encodeName(path).constData(), flags, permissions);
    if (fd < 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (file.open(fd, mode & ~QIODevice::NewOnly, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    if (error)
        *error = file.errorString();
    return false;
}

bool createWith(const QString &path, const QByteArray &first, const QByteArray &second, Access access,
                QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          access == OwnerOnly ? 0600 : access == OwnerAndGroup ? 0640 : 0644);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // Both in one call; a count cut short goes on from where it stopped,
    // so that a full disk says so (ENOSPC) rather than with a short count.
    iovec parts[2] = { { const_cast<char *>(first.constData()), size_t(first.size()) },
                       { const_cast<char *>(second.constData()), size_t(second.size()) } };
    iovec *part = parts;
    int left = 2;
    int failure = 0;
    while (left > 0) {
        if (part->iov_len == 0) {
            ++part;
            --left;
            continue;
        }
        const ssize_t count = ::writev(fd, part, left);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            failure = count < 0 ? errno : EIO;
            break;
        }
        size_t done = size_t(count);
        while (left > 0 && done >= part->iov_len) {
            done -= part->iov_len;
            ++part;
            --left;
        }
        if (left > 0) {
            part->iov_base = static_cast<char *>(part->iov_base) + done;
            part->iov_len -= done;
        }
    }
    if (::close(fd) != 0 && failure == 0)
        failure = errno;
    if (failure == 0)
        return true;
    ::unlink(name.constData());
    *error = QString::fromLocal8Bit(std::strerror(failure));
    return false;
}

bool openOwn(QFile &file, const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    QString reason;
    if (fd < 0)
        reason = errno == ELOOP ? QStringLiteral("it is a symbolic link") : QString::fromLocal8Bit(std::strerror(errno));
    else if (::fstat(fd, &info) != 0)
        reason = QString::fromLocal8Bit(std::strerror(errno));
    else if (!S_ISREG(info.st_mode))
        reason = QStringLiteral("it is not a regular file");
    else if (info.st_uid != ::geteuid())
        reason = QStringLiteral("it belongs to another user");
    else if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return true;
    else
        reason = file.errorString();
    if (fd >= 0 && !file.isOpen())
        ::close(fd);
    if (error)
        *error = reason;
    return false;
}

bool rename(const QString &from, const QString &to, QString *error, bool *acrossFileSystems)
{
    const bool renamed = ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
    if (acrossFileSystems)
        *acrossFileSystems = !renamed && errno == EXDEV;
    if (!renamed && error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return renamed;
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

void failWritesPastSizeLimits()
{
    ::signal(SIGXFSZ, SIG_IGN);
}

} // namespace PrivateFiles
