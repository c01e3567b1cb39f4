// The program while the service manager runs it as a service: the status it
// reports to the manager, and the hand-over of every control from the
// manager's threads into the application thread. ServiceBase::runAsService
// creates one and holds it for the run; its state is private to
// serviceruntime.cpp.
#ifndef SERVICERUNTIME_H
#define SERVICERUNTIME_H

#include "servicebase.h"

#include <QString>
#include <QStringList>

class QEvent;
class ServiceOperations;

class ServiceRuntime
{
public:
    // How the service manager's dispatcher answered startDispatcher().
    enum StartResult {
        Started,            // the manager started this process: serviceMain has its arguments
        StartedFromConsole, // no service manager started this process
        DispatcherFailed,   // the dispatcher failed otherwise; dispatcherError() says why
        NoAnswer            // neither within the start time-out: the dispatcher is left as it is
    };

    ServiceRuntime(const QString &serviceName, ServiceBase::ServiceFlags flags,
                   ServiceOperations &operations);
    ~ServiceRuntime();

    // --- The application thread, in this order ---------------------------
    // Starts the handler thread, which enters the dispatcher, and waits for
    // serviceMain or the dispatcher's failure. The service-control table
    // must be bound.
    StartResult startDispatcher();
    // The platform's error code after DispatcherFailed.
    quint32 dispatcherError() const;
    // The arguments the manager started the service with, after Started.
    QStringList serviceArguments() const;
    // The application object exists: lets serviceMain register the control
    // handler and report the start-up, whose start() runs in the event loop.
    void applicationCreated();
    // The event loop has ended with `exitCode`: reports SERVICE_STOPPED once
    // every control being handled has made its reports, and lets the
    // dispatcher end.
    void applicationEnded(int exitCode);
    // Reports the accepted controls of the new flags at once; any time.
    void setServiceFlags(ServiceBase::ServiceFlags flags);

    // --- The handler thread ----------------------------------------------
    // Sits in the service manager's dispatcher until the service has stopped,
    // or until the dispatcher fails.
    void runDispatcher();

    // --- The control path, in the application thread ---------------------
    // Runs the operation of a control posted by the control handler.
    void handleControlEvent(QEvent *event);

private:
    Q_DISABLE_COPY(ServiceRuntime)
    class Private;
    Private *d;
};

#endif // SERVICERUNTIME_H
