// Tells the service manager how the service is doing, where the manager
// listens for that: systemd's notify socket (NOTIFY_SOCKET), which takes
// "READY=1", "STATUS=..." and "STOPPING=1" lines. Elsewhere nothing is sent.
#ifndef SERVICENOTIFY_H
#define SERVICENOTIFY_H

#include <QByteArray>

namespace ServiceNotify {

// Whether a service manager listens.
bool isAvailable();
// Sends the lines as one message; false when nobody listens or it did not go.
bool send(const QByteArray &message);

} // namespace ServiceNotify

#endif // SERVICENOTIFY_H
