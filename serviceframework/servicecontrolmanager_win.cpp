// Binds the service-control table to advapi32, resolved by name at run time.
#include "servicecontrolmanager.h"

#include <QLibrary>

void bindPlatformServiceApi(ServiceControlManager &table)
{
    // The QLibrary object goes away at the end of this function, but it never
    // unloads the library itself: the resolved pointers stay valid for the
    // life of the process.
    QLibrary library(QStringLiteral("advapi32"));
#define BIND_FUNCTION(name) table.name = reinterpret_cast<P##name>(library.resolve(#name))
    BIND_FUNCTION(RegisterServiceCtrlHandlerW);
    BIND_FUNCTION(SetServiceStatus);
    BIND_FUNCTION(ChangeServiceConfig2W);
    BIND_FUNCTION(CloseServiceHandle);
    BIND_FUNCTION(CreateServiceW);
    BIND_FUNCTION(OpenSCManagerW);
    BIND_FUNCTION(DeleteService);
    BIND_FUNCTION(OpenServiceW);
    BIND_FUNCTION(QueryServiceStatus);
    BIND_FUNCTION(StartServiceCtrlDispatcherW);
    BIND_FUNCTION(StartServiceW);
    BIND_FUNCTION(ControlService);
    BIND_FUNCTION(DeregisterEventSource);
    BIND_FUNCTION(ReportEventW);
    BIND_FUNCTION(RegisterEventSourceW);
    BIND_FUNCTION(QueryServiceConfigW);
    BIND_FUNCTION(QueryServiceConfig2W);
#undef BIND_FUNCTION
}
