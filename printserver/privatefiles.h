// Files and folders that only the service may read: print jobs hold other
// people's documents, and the log names who printed what. Every failure
// comes back with the system's own reason ("No space left on device").
#ifndef PRIVATEFILES_H
#define PRIVATEFILES_H

#include <QIODevice>
#include <QString>

class QFile;

namespace PrivateFiles {

enum Access {
    OwnerOnly,     // files 0600, folders 0700
    OwnerAndGroup, // files 0640, folders 0750
    Everyone       // files 0644 (less where the umask says so): for other programs to read
};

// Opens `file` on `path` with `mode`; a file that does not exist yet is
// created with the given access, before anything can be written to it, in
// one system call. QIODevice::NewOnly fails when the file exists. The QFile
// may be left without a name: callers use `path` to rename or remove it.
// False, with the reason in `error`, when the file cannot be opened.
bool open(QFile &file, const QString &path, QIODevice::OpenMode mode, Access access, QString *error = nullptr);

// Opens an existing file for reading without following a symbolic link;
// false, with the reason, when it is not a regular file of the service's
// own user (a link planted in a folder of the service's would otherwise
// hand it someone else's file).
bool openOwn(QFile &file, const QString &path, QString *error = nullptr);

// Writes all of `data`: a write the system cuts short is continued, so that
// a full disk or a file-size limit is reported with its reason rather than
// as a short count. False, with the reason, when not every byte went in;
// `written` then tells how many did.
bool writeAll(QFile &file, const char *data, qint64 size, QString *error, qint64 *written = nullptr);

// Creates the file at `path` (it must not exist) with `first` and then
// `second` in it, in as few system calls as the platform allows; a file
// that could not be written whole is removed. False, with the reason.
bool createWith(const QString &path, const QByteArray &first, const QByteArray &second, Access access,
                QString *error);

// Replaces the file at `path` with `data` whole, through a file of its own
// renamed over it: a reader sees the old content or the new, never a part,
// and a full disk leaves the old one in place.
bool replace(const QString &path, const QByteArray &data, Access access, QString *error);

// Cuts the file at `path` to `size` bytes.
bool resize(const QString &path, qint64 size, QString *error);

// Gives a file another name on the same file system, in one step: unlike
// QFile::rename, never by a copy under the new name. False, with the reason,
// when it cannot; `acrossFileSystems` then tells whether a copy would do.
bool rename(const QString &from, const QString &to, QString *error = nullptr, bool *acrossFileSystems = nullptr);

// Creates a folder and its missing parents; the folders it creates get the
// given access.
bool makeFolder(const QString &path, Access access);

// Why a folder cannot be trusted to keep jobs private: it is a symbolic
// link, other users may write to it, or it belongs to another user than the
// service's (root aside). Empty when it can be trusted.
QString untrustedReason(const QString &path);

// Makes a write past a file-size limit fail (EFBIG), to be reported like a
// full disk, instead of ending the process with SIGXFSZ.
void failWritesPastSizeLimits();

} // namespace PrivateFiles

#endif // PRIVATEFILES_H
