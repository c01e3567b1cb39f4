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

protected:
    void run() override;

private:
    ServiceRuntime *runtime;
};

#endif // HANDLERTHREAD_H
