// The unit files of the systemd binding: the unit a service name gives, the
// text of a unit file for a service, and writing and editing such files.
#ifndef SYSTEMDUNITFILE_P_H
#define SYSTEMDUNITFILE_P_H

#include <QByteArray>
#include <QString>

namespace SystemdServiceManager {

// The folder unit files are written to and removed from: /etc/systemd/system
// unless a test has chosen another one. An empty folder restores the default.
QString unitFolder();
void setUnitFolder(const QString &folder);

// "<service name>.service", or empty when the name cannot name a unit.
QString unitName(const QString &serviceName);

// The user a service runs as, from the account it was created with: the
// account without the ".\" of this machine; empty for the local system account.
QString unitUser(const QString &account);

// The unit file of a service that systemd starts on the run-as-service path:
// the program with no option, reporting through the notify socket.
QByteArray unitFileText(const QString &description, const QString &binaryPath, const QString &account);

// Writes a new unit file into the unit folder. Fails with ERROR_SERVICE_EXISTS
// when a file of that name is already there, which is then left alone.
bool writeUnitFile(const QString &unit, const QByteArray &text);

// Replaces the description in the unit file at `path`.
bool setUnitFileDescription(const QString &path, const QString &description);

} // namespace SystemdServiceManager

#endif // SYSTEMDUNITFILE_P_H
