// A service and systemd, as both sides of the binding see it: the status the
// service reports through the notify socket, how that status reads back as a
// Windows service state, and the signal that carries controls to the service.
#ifndef SYSTEMDSTATUS_P_H
#define SYSTEMDSTATUS_P_H

#include "servicecontrolmanager.h"

#include <QByteArray>
#include <QString>

namespace SystemdServiceManager {

// The Windows service state for systemd's ActiveState and the status text
// the service last sent.
DWORD serviceState(const QString &activeState, const QString &statusText);

// The notify-socket message that reports a status; empty for a state that
// does not exist.
QByteArray notifyMessage(const SERVICE_STATUS &status);

// Sends one datagram to the socket named in NOTIFY_SOCKET.
bool notify(const QByteArray &message);

// The signal that carries pause, continue and user controls to a service's
// main process, with the control code as its value. systemd itself stops a
// service with SIGTERM.
int controlSignal();

} // namespace SystemdServiceManager

#endif // SYSTEMDSTATUS_P_H
