// The unit files of the systemd binding: a new unit file is only written
// where there is none, and an existing one is edited through a save file.
#include "systemdunitfile_p.h"

#include "servicecontrolmanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMutex>
#include <QSaveFile>

#include <cerrno>

namespace {

const char DefaultUnitFolder[] = "/etc/systemd/system";

QBasicMutex unitFolderMutex;
QString unitFolderOverride;

// A value for a unit file line: control characters would end or break the
// line, and "%" starts a specifier.
QByteArray unitValue(const QString &value)
{
    QString clean = value;
    for (QChar &c : clean) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    }
    return clean.toUtf8().replace('%', "%%");
}

// The program path as the first word of ExecStart=: quoted when it holds
// blanks or quoting characters, with "%" and "$" kept from expansion.
QByteArray execPath(const QString &path)
{
    QByteArray word = unitValue(path);
    if (word.contains(' ') || word.contains('\t') || word.contains('"') || word.contains('\'')
        || word.contains('\\') || word.contains(';')) {
        word.replace('\\', "\\\\").replace('"', "\\\"");
        word = '"' + word + '"';
    }
    return word.replace('$', "$$");
}

} // namespace

namespace SystemdServiceManager {

QString unitFolder()
{
    QMutexLocker locker(&unitFolderMutex);
    return unitFolderOverride.isEmpty() ? QString::fromLatin1(DefaultUnitFolder) : unitFolderOverride;
}

void setUnitFolder(const QString &folder)
{
    QMutexLocker locker(&unitFolderMutex);
    unitFolderOverride = folder;
}

QString unitName(const QString &serviceName)
{
    static const QString allowed = QStringLiteral(":_.-");
    const QString unit = serviceName + QStringLiteral(".service");
    if (serviceName.isEmpty() || unit.size() > 255)
        return QString();
    for (const QChar c : serviceName) {
        if (c.unicode() > 127 || !(c.isLetterOrNumber() || allowed.contains(c)))
            return QString();
    }
    return unit;
}

QString unitUser(const QString &account)
{
    QString user = account;
    if (user.startsWith(QLatin1String(".\\")))
        user.remove(0, 2);
    return user == QLatin1String("LocalSystem") ? QString() : user;
}

QByteArray unitFileText(const QString &description, const QString &binaryPath, const QString &account)
{
    QByteArray text = "[Unit]\n"
                      "Description=" + unitValue(description) + "\n"
                      "\n"
                      "[Service]\n"
                      "Type=notify\n"
                      "NotifyAccess=main\n"
                      "ExecStart=" + execPath(binaryPath) + "\n";
    const QString user = unitUser(account);
    if (!user.isEmpty())
        text += "User=" + unitValue(user) + "\n";
    text += "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n";
    return text;
}

bool writeUnitFile(const QString &unit, const QByteArray &text)
{
    QFile file(QDir(unitFolder()).filePath(unit));
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        SetLastError(QFileInfo::exists(file.fileName()) || QFileInfo(file.fileName()).isSymLink()
                         ? ERROR_SERVICE_EXISTS
                         : errorFromErrno(errno));
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    if (file.write(text) != text.size() || !file.flush()) {
        const DWORD error = errorFromErrno(errno);
        file.remove();
        SetLastError(error);
        return false;
    }
    return true;
}

bool setUnitFileDescription(const QString &path, const QString &description)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        SetLastError(errorFromErrno(errno));
        return false;
    }
    QList<QByteArray> lines = in.readAll().split('\n');
    in.close();

    const QByteArray line = "Description=" + unitValue(description);
    bool inUnitSection = false;
    bool replaced = false;
    for (int i = 0; i < lines.size() && !replaced; ++i) {
        const QByteArray trimmed = lines.at(i).trimmed();
        if (trimmed.startsWith('['))
            inUnitSection = trimmed == "[Unit]";
        else if (inUnitSection && trimmed.startsWith("Description=")) {
            lines[i] = line;
            replaced = true;
        }
    }
    if (!replaced) {
        const int unitSection = lines.indexOf("[Unit]");
        if (unitSection < 0) {
            lines.prepend(line);
            lines.prepend("[Unit]");
        } else {
            lines.insert(unitSection + 1, line);
        }
    }

    QSaveFile out(path);
    const QByteArray text = lines.join('\n');
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        SetLastError(errorFromErrno(errno));
        return false;
    }
    return true;
}

} // namespace SystemdServiceManager
