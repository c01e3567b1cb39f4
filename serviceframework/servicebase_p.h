// The private state of ServiceBase, shared by the files that implement it.
#ifndef SERVICEBASE_P_H
#define SERVICEBASE_P_H

#include "servicebase.h"
#include "servicecontroller.h"

class ServiceRuntime;

class ServiceBasePrivate
{
public:
    ServiceBasePrivate(ServiceBase *service, const QString &name)
        : q(service), controller(name)
    {
    }

    ServiceBase *q;
    QString serviceDescription;
    ServiceBase::StartupType startupType = ServiceBase::StartOnDemand;
    ServiceBase::ServiceFlags serviceFlags;
    QStringList arguments;
    ServiceController controller;
    // Exists while the program runs as a service.
    ServiceRuntime *runtime = nullptr;
};

#endif // SERVICEBASE_P_H
