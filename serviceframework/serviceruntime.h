// The state of the program while it runs as a service: the status reported
// to the service manager, and the hand-over of control requests from the
// platform's threads into the application thread.
#ifndef SERVICERUNTIME_H
#define SERVICERUNTIME_H

#include "servicebase.h"
#include "servicecontrolmanager.h"

#include <QAtomicPointer>
#include <QMutex>
#include <QSemaphore>
#include <QStringList>
#include <QWaitCondition>

class QEvent;
class ServiceControllerHandler;

class ServiceRuntime
{
public:
    // The start-up request, posted like a control of the platform.
    static const DWORD StartupControl = 256;

    explicit ServiceRuntime(ServiceBase::ServiceFlags flags);

    static ServiceRuntime *instance();
    static DWORD controlsAccepted(ServiceBase::ServiceFlags flags);

    // The entry and the control handler given to the platform.
    static void WINAPI serviceMain(DWORD argc, LPWSTR *argv);
    static void WINAPI controlHandler(DWORD code);

    // Runs the operation of a control event; in the application thread.
    void handleControlEvent(QEvent *event);

    // Reports the accepted controls of the new flags at once.
    void setServiceFlags(ServiceBase::ServiceFlags flags);

    // Reports SERVICE_STOPPED with the event loop's exit code. Waits for
    // every control being handled to finish its reports first, so that this
    // is the last state the service manager sees.
    void reportStopped(int exitCode);

    SERVICE_STATUS status;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    QStringList serviceArguments;
    QWaitCondition condition;
    QMutex mutex;
    QSemaphore startSemaphore;
    QSemaphore applicationReady;
    ServiceControllerHandler *controllerHandler = nullptr;

private:
    friend class ServiceBase;
    Q_DISABLE_COPY(ServiceRuntime)

    void reportStatus();
    bool postAndWait(int code);

    static QAtomicPointer<ServiceRuntime> current;

    // Guarded by mutex: control events posted and handled so far, the
    // control handlers inside controlHandler, and whether the event loop has
    // ended (after which nothing posted will be handled).
    quint64 eventsPosted = 0;
    quint64 eventsHandled = 0;
    int activeHandlers = 0;
    bool finished = false;
};

#endif // SERVICERUNTIME_H
