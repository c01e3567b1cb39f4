// Calls a service's start() from inside the running event loop.
#ifndef SERVICESTARTER_H
#define SERVICESTARTER_H

#include <QObject>

class ServiceBase;

class ServiceStarter : public QObject
{
    Q_OBJECT
public:
    explicit ServiceStarter(ServiceBase *service);

public slots:
    void slotStart();

private:
    ServiceBase *service;
};

#endif // SERVICESTARTER_H
