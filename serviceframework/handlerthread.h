// The thread that sits in the service manager's dispatcher for the life of
// the service.
#ifndef HANDLERTHREAD_H
#define HANDLERTHREAD_H

#include <QThread>

class ServiceRuntime;

class HandlerThread : public QThread
{
public:
    explicit HandlerThread(ServiceRuntime *runtime);

    // Read by the main thread after startSemaphore was acquired.
    bool dispatcherStarted = true;
    bool startedFromConsole = false;

protected:
    void run() override;

private:
    ServiceRuntime *runtime;
};

#endif // HANDLERTHREAD_H
