// Keeps a service alive when the interactive user logs off: the end-of-session
// message of a log-off would otherwise end the application.
#ifndef SERVICEAPPEVENTFILTER_H
#define SERVICEAPPEVENTFILTER_H

#include <QAbstractNativeEventFilter>

class ServiceAppEventFilter : public QAbstractNativeEventFilter
{
public:
    // The one filter of the process, created on first use.
    static ServiceAppEventFilter *instance();

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;
};

#endif // SERVICEAPPEVENTFILTER_H
