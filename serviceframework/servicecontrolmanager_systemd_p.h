// The systemd binding of the service-control table: the parts shared by its
// two files and open to tests that run without a systemd.
#ifndef SERVICECONTROLMANAGER_SYSTEMD_P_H
#define SERVICECONTROLMANAGER_SYSTEMD_P_H

#include "servicecontrolmanager.h"

#include <QByteArray>
#include <QString>

#include <csignal>

namespace SystemdServiceManager {

// Status texts the service sends along with its state; the state read back
// from systemd is told apart by them.
extern const char StartingText[];
extern const char RunningText[];
extern const char PausingText[];
extern const char PausedText[];
extern const char ResumingText[];
extern const char StoppingText[];

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

// The Windows service state for systemd's ActiveState and the status text
// the service last sent.
DWORD serviceState(const QString &activeState, const QString &statusText);

// The notify-socket message that reports a status; empty for a state that
// does not exist.
QByteArray notifyMessage(const SERVICE_STATUS &status);

// Sends one datagram to the socket named in NOTIFY_SOCKET.
bool notify(const QByteArray &message);

// Whether systemd started this process as a unit's main process.
bool startedBySystemd();

// SIGTERM, the stop systemd sends, and SIGRTMIN, which carries pause,
// continue and user controls with their code as the signal's value.
sigset_t controlSignals();

// Binds the dispatcher, the handler registration and the status reports.
void bindDispatcher(ServiceControlManager &table);

} // namespace SystemdServiceManager

#endif // SERVICECONTROLMANAGER_SYSTEMD_P_H
