// The parts the service-control table on Linux is put together from
// (servicecontrolmanager_systemd.cpp).
#ifndef SERVICECONTROLMANAGER_P_H
#define SERVICECONTROLMANAGER_P_H

#include "servicecontrolmanager.h"

// Fills the whole table for a machine without a service manager: the event
// log goes to syslog, opening the manager fails with ERROR_CALL_NOT_IMPLEMENTED
// and the dispatcher with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
void bindNoManagerServiceApi(ServiceControlManager &table);

// Binds the dispatcher, the handler registration and the status reports to
// systemd's notify socket and control signals.
void bindSystemdDispatcher(ServiceControlManager &table);

#endif // SERVICECONTROLMANAGER_P_H
