// Keeps a service alive when the interactive user logs off.
#include "serviceappeventfilter.h"

#include "servicecontrolmanager.h"

ServiceAppEventFilter *ServiceAppEventFilter::instance()
{
    static ServiceAppEventFilter filter;
    return &filter;
}

bool ServiceAppEventFilter::nativeEventFilter(const QByteArray &, void *message, long *result)
{
    // Only Windows delivers native messages to a core application's
    // dispatcher, and there they are always MSG records.
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message == WM_ENDSESSION && (DWORD(msg->lParam) & ENDSESSION_LOGOFF)) {
        if (result)
            *result = 1;
        return true;
    }
    return false;
}
