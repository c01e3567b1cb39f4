// Calls a service's start() from inside the running event loop.
#include "servicestarter.h"

#include "servicebase.h"

ServiceStarter::ServiceStarter(ServiceBase *service)
    : service(service)
{
}

void ServiceStarter::slotStart()
{
    service->start();
}
