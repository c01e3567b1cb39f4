// The platform's service-control and event-log functions as one table of
// function pointers, bound once at run time, plus the three kernel functions
// the framework uses. On Windows the types come from <windows.h>; elsewhere
// this header declares the few Win32 types and constants the framework needs,
// with the same names and values, so that the code above reads the same.
#ifndef SERVICECONTROLMANAGER_H
#define SERVICECONTROLMANAGER_H

#include <QString>

#ifdef Q_OS_WIN
#  include <qt_windows.h>
#else

#include <cstdint>

#define WINAPI

typedef std::uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef std::uint16_t WORD;
typedef std::uint8_t BYTE;
typedef BYTE *LPBYTE;
typedef int BOOL;
typedef void *LPVOID;
typedef void *HANDLE;
typedef void *HMODULE;
typedef void *PSID;
typedef char16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
typedef void *HWND;
typedef unsigned int UINT;

struct SC_HANDLE__;
typedef SC_HANDLE__ *SC_HANDLE;
struct SERVICE_STATUS_HANDLE__;
typedef SERVICE_STATUS_HANDLE__ *SERVICE_STATUS_HANDLE;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
typedef SERVICE_STATUS *LPSERVICE_STATUS;

struct QUERY_SERVICE_CONFIGW {
    DWORD dwServiceType;
    DWORD dwStartType;
    DWORD dwErrorControl;
    LPWSTR lpBinaryPathName;
    LPWSTR lpLoadOrderGroup;
    DWORD dwTagId;
    LPWSTR lpDependencies;
    LPWSTR lpServiceStartName;
    LPWSTR lpDisplayName;
};
typedef QUERY_SERVICE_CONFIGW *LPQUERY_SERVICE_CONFIGW;

struct SERVICE_DESCRIPTIONW {
    LPWSTR lpDescription;
};

typedef void (WINAPI *LPSERVICE_MAIN_FUNCTIONW)(DWORD argc, LPWSTR *argv);
typedef void (WINAPI *LPHANDLER_FUNCTION)(DWORD control);

struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

struct POINT { long x; long y; };
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

#define MAX_PATH 260

// Manager and service access rights.
#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_QUERY_CONFIG 0x0001
#define SERVICE_CHANGE_CONFIG 0x0002
#define SERVICE_QUERY_STATUS 0x0004
#define SERVICE_START 0x0010
#define SERVICE_STOP 0x0020
#define SERVICE_PAUSE_CONTINUE 0x0040
#define SERVICE_INTERROGATE 0x0080
#define SERVICE_USER_DEFINED_CONTROL 0x0100
#define DELETE 0x10000
#define SERVICE_ALL_ACCESS 0xF01FF

// Service types, start types, error control, configuration levels.
#define SERVICE_WIN32_OWN_PROCESS 0x10
#define SERVICE_INTERACTIVE_PROCESS 0x100
#define SERVICE_BOOT_START 0
#define SERVICE_SYSTEM_START 1
#define SERVICE_AUTO_START 2
#define SERVICE_DEMAND_START 3
#define SERVICE_DISABLED 4
#define SERVICE_ERROR_NORMAL 1
#define SERVICE_CONFIG_DESCRIPTION 1

// Service states.
#define SERVICE_STOPPED 1
#define SERVICE_START_PENDING 2
#define SERVICE_STOP_PENDING 3
#define SERVICE_RUNNING 4
#define SERVICE_CONTINUE_PENDING 5
#define SERVICE_PAUSE_PENDING 6
#define SERVICE_PAUSED 7

// Controls and the accepted-controls bits.
#define SERVICE_CONTROL_STOP 1
#define SERVICE_CONTROL_PAUSE 2
#define SERVICE_CONTROL_CONTINUE 3
#define SERVICE_CONTROL_INTERROGATE 4
#define SERVICE_CONTROL_SHUTDOWN 5
#define SERVICE_ACCEPT_STOP 0x1
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x2
#define SERVICE_ACCEPT_SHUTDOWN 0x4

// Event-log entry types.
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

// Error codes as the platform reports them.
#define ERROR_SUCCESS 0
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_INVALID_PARAMETER 87
#define ERROR_CALL_NOT_IMPLEMENTED 120
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_SERVICE_CONTROL 1052
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053
#define ERROR_SERVICE_ALREADY_RUNNING 1056
#define ERROR_SERVICE_DOES_NOT_EXIST 1060
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061
#define ERROR_SERVICE_NOT_ACTIVE 1062
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063
#define ERROR_SERVICE_EXISTS 1073

// Window messages the framework looks at.
#define WM_ENDSESSION 0x0016
#define ENDSESSION_LOGOFF 0x80000000

// The kernel functions, provided by servicecontrolmanager_unix.cpp.
DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
void Sleep(DWORD milliseconds);

#endif // !Q_OS_WIN

typedef SERVICE_STATUS_HANDLE (WINAPI *PRegisterServiceCtrlHandlerW)(LPCWSTR, LPHANDLER_FUNCTION);
typedef BOOL (WINAPI *PSetServiceStatus)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
typedef BOOL (WINAPI *PChangeServiceConfig2W)(SC_HANDLE, DWORD, LPVOID);
typedef BOOL (WINAPI *PCloseServiceHandle)(SC_HANDLE);
typedef SC_HANDLE (WINAPI *PCreateServiceW)(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD,
                                           LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR);
typedef SC_HANDLE (WINAPI *POpenSCManagerW)(LPCWSTR, LPCWSTR, DWORD);
typedef BOOL (WINAPI *PDeleteService)(SC_HANDLE);
typedef SC_HANDLE (WINAPI *POpenServiceW)(SC_HANDLE, LPCWSTR, DWORD);
typedef BOOL (WINAPI *PQueryServiceStatus)(SC_HANDLE, LPSERVICE_STATUS);
typedef BOOL (WINAPI *PStartServiceCtrlDispatcherW)(const SERVICE_TABLE_ENTRYW *);
typedef BOOL (WINAPI *PStartServiceW)(SC_HANDLE, DWORD, LPCWSTR *);
typedef BOOL (WINAPI *PControlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS);
typedef BOOL (WINAPI *PDeregisterEventSource)(HANDLE);
typedef BOOL (WINAPI *PReportEventW)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR *, LPVOID);
typedef HANDLE (WINAPI *PRegisterEventSourceW)(LPCWSTR, LPCWSTR);
typedef BOOL (WINAPI *PQueryServiceConfigW)(SC_HANDLE, LPQUERY_SERVICE_CONFIGW, DWORD, LPDWORD);
typedef BOOL (WINAPI *PQueryServiceConfig2W)(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD);

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

// Binds the table on first use; true once OpenSCManagerW is there. Until then
// every call tries again. Safe to call from several threads at once.
bool resolveServiceApi();

// The process-wide table. Only meaningful after resolveServiceApi() returned true.
const ServiceControlManager &serviceApi();

// Binds the table to the given functions instead of the platform's, unless the
// table is already bound. Meant for tests that emulate the service manager;
// returns whether the given table is now the bound one.
bool installServiceApi(const ServiceControlManager &table);

// A QString as the NUL-terminated UTF-16 text the platform takes; valid as
// long as the string is alive and unchanged.
inline LPCWSTR wideString(const QString &text)
{
    return reinterpret_cast<LPCWSTR>(text.utf16());
}

// Fills the table from the platform; defined once per platform.
void bindPlatformServiceApi(ServiceControlManager &table);

#endif // SERVICECONTROLMANAGER_H
