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

bool createWith(const QString &path, const QByteArray &first, const QByteArray &second, Access access,
                QString *error)
{
    QFile file;
    if (!open(file, path, QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered, access, error))
        return false;
    bool whole = writeAll(file, first.constData(), first.size(), error)
        && writeAll(file, second.constData(), second.size(), error);
    file.close();
    if (whole && file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        whole = false;
    }
    if (!whole)
        QFile::remove(path);
    return whole;
}

bool openOwn(QFile &file, const QString &path, QString *error)
{
    const QFileInfo info(path);
    QString reason;
    if (info.isSymLink() || info.isJunction())
        reason = QStringLiteral("it is a symbolic link");
    else if (info.exists() && !info.isFile())
        reason = QStringLiteral("it is not a regular file");
    file.setFileName(path);
    if (reason.isEmpty() && file.open(QIODevice::ReadOnly))
        return true;
    if (error)
        *error = reason.isEmpty() ? file.errorString() : reason;
    return false;
}

bool rename(const QString &from, const QString &to, QString *error, bool *acrossFileSystems)
{
    // Replaces an existing file, as rename() does on POSIX systems; never
    // copies (no MOVEFILE_COPY_ALLOWED).
    const bool renamed = MoveFileExW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(from).utf16()),
                                     reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(to).utf16()),
                                     MOVEFILE_REPLACE_EXISTING);
    const DWORD code = renamed ? 0 : GetLastError();
    if (acrossFileSystems)
        *acrossFileSystems = code == ERROR_NOT_SAME_DEVICE;
    if (!renamed && error)
        *error = qt_error_string(int(code));
    return renamed;
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

void failWritesPastSizeLimits()
{
    // Windows has no such signal.
}

} // namespace PrivateFiles
