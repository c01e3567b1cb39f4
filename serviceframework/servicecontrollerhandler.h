// Receives the control events in the application thread.
#ifndef SERVICECONTROLLERHANDLER_H
#define SERVICECONTROLLERHANDLER_H

#include <QObject>

class ServiceRuntime;

class ServiceControllerHandler : public QObject
{
    Q_OBJECT
public:
    explicit ServiceControllerHandler(ServiceRuntime *runtime);

protected:
    void customEvent(QEvent *event) override;

private:
    ServiceRuntime *runtime;
};

#endif // SERVICECONTROLLERHANDLER_H
