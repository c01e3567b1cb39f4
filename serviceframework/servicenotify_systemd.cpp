// Notifications through systemd's notify socket.
#include "servicenotify.h"

#include "systemdstatus_p.h"

namespace ServiceNotify {

bool isAvailable()
{
    return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
}

bool send(const QByteArray &message)
{
    return isAvailable() && SystemdServiceManager::notify(message);
}

} // namespace ServiceNotify
