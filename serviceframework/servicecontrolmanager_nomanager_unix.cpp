// The service-control table where no service manager can be reached: the
// event log goes to syslog, and no service manager can be opened, so every
// controller operation ends as it would for an unknown service. The systemd
// binding starts from this table and replaces what systemd can do.
#include "servicecontrolmanager_p.h"

#include <QMutex>
#include <QString>
#include <QStringList>

#include <syslog.h>

namespace {

// syslog keeps the ident pointer given to openlog, so every event source
// holds its own copy for as long as it is registered.
struct EventSource
{
    QByteArray ident;
};

// openlog, syslog and closelog are one unit per entry; entries from
// different threads must not mix their idents.
QBasicMutex syslogMutex;

int syslogPriority(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE:
        return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
        return LOG_WARNING;
    case EVENTLOG_INFORMATION_TYPE:
        return LOG_INFO;
    default:
        return LOG_NOTICE;
    }
}

HANDLE WINAPI registerEventSource(LPCWSTR, LPCWSTR sourceName)
{
    auto source = new EventSource;
    source->ident = sourceName ? fromWideString(sourceName).toUtf8() : QByteArray("service");
    return source;
}

BOOL WINAPI deregisterEventSource(HANDLE handle)
{
    delete static_cast<EventSource *>(handle);
    return handle != nullptr;
}

BOOL WINAPI reportEvent(HANDLE handle, WORD type, WORD, DWORD, PSID, WORD numStrings, DWORD,
                        LPCWSTR *strings, LPVOID)
{
    const auto source = static_cast<EventSource *>(handle);
    if (!source) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    QStringList parts;
    for (WORD i = 0; i < numStrings; ++i)
        parts << fromWideString(strings[i]);
    const QByteArray text = parts.join(QLatin1Char('\n')).toUtf8();

    QMutexLocker locker(&syslogMutex);
    openlog(source->ident.constData(), LOG_PID, LOG_DAEMON);
    syslog(syslogPriority(type), "%s", text.constData());
    closelog();
    return true;
}

SC_HANDLE WINAPI openSCManager(LPCWSTR, LPCWSTR, DWORD)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

// Every function below needs a handle that openSCManager never gives out.
SC_HANDLE WINAPI openService(SC_HANDLE, LPCWSTR, DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

SC_HANDLE WINAPI createService(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR,
                               LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

BOOL WINAPI withHandle(SC_HANDLE)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

BOOL WINAPI withHandleAndStatus(SC_HANDLE, LPSERVICE_STATUS)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

BOOL WINAPI changeServiceConfig2(SC_HANDLE, DWORD, LPVOID)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

BOOL WINAPI startService(SC_HANDLE, DWORD, LPCWSTR *)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

BOOL WINAPI controlService(SC_HANDLE, DWORD, LPSERVICE_STATUS)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

BOOL WINAPI queryServiceConfig(SC_HANDLE, LPQUERY_SERVICE_CONFIGW, DWORD, LPDWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

BOOL WINAPI queryServiceConfig2(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

// No service manager started this process, so there is nothing to dispatch.
BOOL WINAPI startServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYW *)
{
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
}

SERVICE_STATUS_HANDLE WINAPI registerServiceCtrlHandler(LPCWSTR, LPHANDLER_FUNCTION)
{
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return nullptr;
}

BOOL WINAPI setServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

} // namespace

void bindNoManagerServiceApi(ServiceControlManager &table)
{
    table.RegisterServiceCtrlHandlerW = registerServiceCtrlHandler;
    table.SetServiceStatus = setServiceStatus;
    table.ChangeServiceConfig2W = changeServiceConfig2;
    table.CloseServiceHandle = withHandle;
    table.CreateServiceW = createService;
    table.OpenSCManagerW = openSCManager;
    table.DeleteService = withHandle;
    table.OpenServiceW = openService;
    table.QueryServiceStatus = withHandleAndStatus;
    table.StartServiceCtrlDispatcherW = startServiceCtrlDispatcher;
    table.StartServiceW = startService;
    table.ControlService = controlService;
    table.DeregisterEventSource = deregisterEventSource;
    table.ReportEventW = reportEvent;
    table.RegisterEventSourceW = registerEventSource;
    table.QueryServiceConfigW = queryServiceConfig;
    table.QueryServiceConfig2W = queryServiceConfig2;
}
