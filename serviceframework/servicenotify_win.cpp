// The Windows service manager learns of the service's state from its status
// reports alone.
#include "servicenotify.h"

namespace ServiceNotify {

bool isAvailable()
{
    return false;
}

bool send(const QByteArray &)
{
    return false;
}

} // namespace ServiceNotify
