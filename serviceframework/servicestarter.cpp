// Calls a service's start() from inside the running event loop.
#include "servicestarter.h"

#include "serviceoperations.h"

ServiceStarter::ServiceStarter(ServiceOperations *operations)
    : operations(operations)
{
}

void ServiceStarter::slotStart()
{
    operations->start();
}
