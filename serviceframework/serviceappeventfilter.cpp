// Keeps a service alive when the interactive user logs off.
#include "serviceappeventfilter.h"

#include "servicecontrolmanager.h"

ServiceAppEventFilter *ServiceAppEventFilter::instance()
{
    static ServiceAppEventFilter filter;
    return &filter;
}

bool ServiceAppEventFilter::nativeEventFilter(const QByteArray &eventType, void *message, long *result)
{
    // Windows' event dispatcher hands over MSG records under these two
    // names; a GUI application elsewhere (xcb, Cocoa) gives records of its
    // own platform, which are no MSG.
    if (eventType != "windows_generic_MSG" && eventType != "windows_dispatcher_MSG")
        return false;
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message == WM_ENDSESSION && (DWORD(msg->lParam) & ENDSESSION_LOGOFF)) {
        if (result)
            *result = 1;
        return true;
    }
    return false;
}
