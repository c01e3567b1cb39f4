// The platform's service-control and event-log functions as one table of
// function pointers with their Win32 signatures, bound once at run time. On
// Windows the types, constants and kernel functions come from <windows.h>;
// elsewhere from winapi_unix_p.h, with the same names and values, so that the
// code above the table reads the same on every platform. Not included by any
// public header.
#ifndef SERVICECONTROLMANAGER_H
#define SERVICECONTROLMANAGER_H

#include <QString>

#ifdef Q_OS_WIN
#  include <qt_windows.h>
#else
#  include "winapi_unix_p.h"
#endif

using PRegisterServiceCtrlHandlerW = SERVICE_STATUS_HANDLE (WINAPI *)(LPCWSTR, LPHANDLER_FUNCTION);
using PSetServiceStatus = BOOL (WINAPI *)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
using PChangeServiceConfig2W = BOOL (WINAPI *)(SC_HANDLE, DWORD, LPVOID);
using PCloseServiceHandle = BOOL (WINAPI *)(SC_HANDLE);
using PCreateServiceW = SC_HANDLE (WINAPI *)(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD,
                                            LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR);
using POpenSCManagerW = SC_HANDLE (WINAPI *)(LPCWSTR, LPCWSTR, DWORD);
using PDeleteService = BOOL (WINAPI *)(SC_HANDLE);
using POpenServiceW = SC_HANDLE (WINAPI *)(SC_HANDLE, LPCWSTR, DWORD);
using PQueryServiceStatus = BOOL (WINAPI *)(SC_HANDLE, LPSERVICE_STATUS);
using PStartServiceCtrlDispatcherW = BOOL (WINAPI *)(const SERVICE_TABLE_ENTRYW *);
using PStartServiceW = BOOL (WINAPI *)(SC_HANDLE, DWORD, LPCWSTR *);
using PControlService = BOOL (WINAPI *)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
using PDeregisterEventSource = BOOL (WINAPI *)(HANDLE);
using PReportEventW = BOOL (WINAPI *)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR *, LPVOID);
using PRegisterEventSourceW = HANDLE (WINAPI *)(LPCWSTR, LPCWSTR);
using PQueryServiceConfigW = BOOL (WINAPI *)(SC_HANDLE, LPQUERY_SERVICE_CONFIGW, DWORD, LPDWORD);
using PQueryServiceConfig2W = BOOL (WINAPI *)(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD);

// The seventeen functions, in the order in which they are bound.
struct ServiceControlManager
{
    PRegisterServiceCtrlHandlerW RegisterServiceCtrlHandlerW = nullptr;
    PSetServiceStatus SetServiceStatus = nullptr;
    PChangeServiceConfig2W ChangeServiceConfig2W = nullptr;
    PCloseServiceHandle CloseServiceHandle = nullptr;
    PCreateServiceW CreateServiceW = nullptr;
    POpenSCManagerW OpenSCManagerW = nullptr;
    PDeleteService DeleteService = nullptr;
    POpenServiceW OpenServiceW = nullptr;
    PQueryServiceStatus QueryServiceStatus = nullptr;
    PStartServiceCtrlDispatcherW StartServiceCtrlDispatcherW = nullptr;
    PStartServiceW StartServiceW = nullptr;
    PControlService ControlService = nullptr;
    PDeregisterEventSource DeregisterEventSource = nullptr;
    PReportEventW ReportEventW = nullptr;
    PRegisterEventSourceW RegisterEventSourceW = nullptr;
    PQueryServiceConfigW QueryServiceConfigW = nullptr;
    PQueryServiceConfig2W QueryServiceConfig2W = nullptr;
};

// Calls visit(name, pointer) for each of the seventeen functions of the
// table, with its Win32 name and a reference to its pointer, in the order
// above: the one list of names, for the binding and its check.
template <typename Table, typename Visitor>
void forEachServiceFunction(Table &table, Visitor &&visit)
{
    visit("RegisterServiceCtrlHandlerW", table.RegisterServiceCtrlHandlerW);
    visit("SetServiceStatus", table.SetServiceStatus);
    visit("ChangeServiceConfig2W", table.ChangeServiceConfig2W);
    visit("CloseServiceHandle", table.CloseServiceHandle);
    visit("CreateServiceW", table.CreateServiceW);
    visit("OpenSCManagerW", table.OpenSCManagerW);
    visit("DeleteService", table.DeleteService);
    visit("OpenServiceW", table.OpenServiceW);
    visit("QueryServiceStatus", table.QueryServiceStatus);
    visit("StartServiceCtrlDispatcherW", table.StartServiceCtrlDispatcherW);
    visit("StartServiceW", table.StartServiceW);
    visit("ControlService", table.ControlService);
    visit("DeregisterEventSource", table.DeregisterEventSource);
    visit("ReportEventW", table.ReportEventW);
    visit("RegisterEventSourceW", table.RegisterEventSourceW);
    visit("QueryServiceConfigW", table.QueryServiceConfigW);
    visit("QueryServiceConfig2W", table.QueryServiceConfig2W);
}

// Binds the table on first use, from the platform or from the table a test
// installed; true once it is bound. A table that lacks any of the seventeen
// functions is not bound: false, with ERROR_PROC_NOT_FOUND as the last error
// and a warning that names the function, and the next call tries again.
// Safe to call from several threads at once.
bool resolveServiceApi();

// The process-wide table. Only meaningful after resolveServiceApi() returned true.
const ServiceControlManager &serviceApi();

// Makes the binding take the given functions instead of the platform's: the
// seam for tests that emulate the service manager. Refused (false) once a
// table is bound; until then a later table replaces an earlier one.
bool installServiceApi(const ServiceControlManager &table);

// A QString as the NUL-terminated UTF-16 text the platform takes; valid as
// long as the string is alive and unchanged.
inline LPCWSTR wideString(const QString &text)
{
    return reinterpret_cast<LPCWSTR>(text.utf16());
}

// The platform's NUL-terminated UTF-16 text as a QString; null gives a null string.
inline QString fromWideString(LPCWSTR text)
{
    return text ? QString::fromUtf16(reinterpret_cast<const ushort *>(text)) : QString();
}

// Fills the table from the platform; defined once per platform.
void bindPlatformServiceApi(ServiceControlManager &table);

#endif // SERVICECONTROLMANAGER_H
