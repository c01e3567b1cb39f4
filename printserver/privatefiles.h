// Files and folders that only the service may read: print jobs hold other
// people's documents, and the log names who printed what.
#ifndef PRIVATEFILES_H
#define PRIVATEFILES_H

#include <QIODevice>
#include <QString>

class QFile;

namespace PrivateFiles {

enum Access {
    OwnerOnly,    // files 0600, folders 0700
    OwnerAndGroup // files 0640, folders 0750
};

// Opens `file` on `path` with `mode`; a file that does not exist yet is
// created with the given access, before anything can be written to it, in
// one system call. QIODevice::NewOnly fails when the file exists. The QFile
// may be left without a name: callers use `path` to rename or remove it.
// False, with the reason in `error`, when the file cannot be opened.
bool open(QFile &file, const QString &path, QIODevice::OpenMode mode, Access access, QString *error = nullptr);

// Gives a file another name on the same file system, in one step: unlike
// QFile::rename, never by a copy under the new name. False when it cannot.
bool rename(const QString &from, const QString &to);

// Creates a folder and its missing parents; the folders it creates get the
// given access.
bool makeFolder(const QString &path, Access access);

// Why a folder cannot be trusted to keep jobs private: it is a symbolic
// link, other users may write to it, or it belongs to another user than the
// service's (root aside). Empty when it can be trusted.
QString untrustedReason(const QString &path);

} // namespace PrivateFiles

#endif // PRIVATEFILES_H
