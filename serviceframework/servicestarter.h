// Calls a service's start() from inside the running event loop.
#ifndef SERVICESTARTER_H
#define SERVICESTARTER_H

#include <QObject>

class ServiceOperations;

class ServiceStarter : public QObject
{
    Q_OBJECT
public:
    explicit ServiceStarter(ServiceOperations *operations);

public slots:
    void slotStart();

private:
    ServiceOperations *operations;
};

#endif // SERVICESTARTER_H
