// The part of the Windows API the framework is written against, for every
// platform but Windows: the types, records and constants with their Windows
// names and values, and the kernel functions (winapi_unix.cpp). Only the
// service-control table and the files that implement it include this; the
// public headers never do.
#ifndef WINAPI_UNIX_P_H
#define WINAPI_UNIX_P_H

#include <cstdint>

// The calling convention of the functions in the table; only Windows has one.
#define WINAPI

using DWORD = std::uint32_t;
using LPDWORD = DWORD *;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using LPBYTE = BYTE *;
using BOOL = int;
using LPVOID = void *;
using HANDLE = void *;
using HMODULE = void *;
using PSID = void *;
using WCHAR = char16_t;
using LPWSTR = WCHAR *;
using LPCWSTR = const WCHAR *;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using HWND = void *;
using UINT = unsigned int;

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__ *;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__ *;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS *;

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
using LPQUERY_SERVICE_CONFIGW = QUERY_SERVICE_CONFIGW *;

struct SERVICE_DESCRIPTIONW {
    LPWSTR lpDescription;
};

using LPSERVICE_MAIN_FUNCTIONW = void (WINAPI *)(DWORD argc, LPWSTR *argv);
using LPHANDLER_FUNCTION = void (WINAPI *)(DWORD control);

struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};

// A window message, as a native event filter receives it on Windows.
struct POINT { long x; long y; };
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

// The constants have the types their literals have in <windows.h>: int (a
// Windows long is an int), and unsigned where the value does not fit.
constexpr int MAX_PATH = 260;

// Manager and service access rights.
constexpr int SC_MANAGER_CONNECT = 0x0001;
constexpr int SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr int SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr int SERVICE_QUERY_CONFIG = 0x0001;
constexpr int SERVICE_CHANGE_CONFIG = 0x0002;
constexpr int SERVICE_QUERY_STATUS = 0x0004;
constexpr int SERVICE_START = 0x0010;
constexpr int SERVICE_STOP = 0x0020;
constexpr int SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr int SERVICE_INTERROGATE = 0x0080;
constexpr int SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr int DELETE = 0x10000;
constexpr int SERVICE_ALL_ACCESS = 0xF01FF;

// Service types, start types, error control, configuration levels.
constexpr int SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr int SERVICE_INTERACTIVE_PROCESS = 0x100;
constexpr int SERVICE_BOOT_START = 0;
constexpr int SERVICE_SYSTEM_START = 1;
constexpr int SERVICE_AUTO_START = 2;
constexpr int SERVICE_DEMAND_START = 3;
constexpr int SERVICE_DISABLED = 4;
constexpr int SERVICE_ERROR_NORMAL = 1;
constexpr int SERVICE_CONFIG_DESCRIPTION = 1;

// Service states.
constexpr int SERVICE_STOPPED = 1;
constexpr int SERVICE_START_PENDING = 2;
constexpr int SERVICE_STOP_PENDING = 3;
constexpr int SERVICE_RUNNING = 4;
constexpr int SERVICE_CONTINUE_PENDING = 5;
constexpr int SERVICE_PAUSE_PENDING = 6;
constexpr int SERVICE_PAUSED = 7;

// Controls and the accepted-controls bits.
constexpr int SERVICE_CONTROL_STOP = 1;
constexpr int SERVICE_CONTROL_PAUSE = 2;
constexpr int SERVICE_CONTROL_CONTINUE = 3;
constexpr int SERVICE_CONTROL_INTERROGATE = 4;
constexpr int SERVICE_CONTROL_SHUTDOWN = 5;
constexpr int SERVICE_ACCEPT_STOP = 0x1;
constexpr int SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
constexpr int SERVICE_ACCEPT_SHUTDOWN = 0x4;

// Event-log entry types.
constexpr int EVENTLOG_SUCCESS = 0x0000;
constexpr int EVENTLOG_ERROR_TYPE = 0x0001;
constexpr int EVENTLOG_WARNING_TYPE = 0x0002;
constexpr int EVENTLOG_INFORMATION_TYPE = 0x0004;

// Error codes as the platform reports them.
constexpr int ERROR_SUCCESS = 0;
constexpr int ERROR_FILE_NOT_FOUND = 2;
constexpr int ERROR_ACCESS_DENIED = 5;
constexpr int ERROR_INVALID_HANDLE = 6;
constexpr int ERROR_GEN_FAILURE = 31;
constexpr int ERROR_INVALID_PARAMETER = 87;
constexpr int ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr int ERROR_INSUFFICIENT_BUFFER = 122;
constexpr int ERROR_INVALID_NAME = 123;
constexpr int ERROR_INVALID_LEVEL = 124;
constexpr int ERROR_PROC_NOT_FOUND = 127;
constexpr int ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr int ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr int ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr int ERROR_INVALID_SERVICE_ACCOUNT = 1057;
constexpr int ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr int ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr int ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr int ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr int ERROR_SERVICE_EXISTS = 1073;
constexpr int RPC_S_SERVER_UNAVAILABLE = 1722;

// Window messages the framework looks at.
constexpr int WM_ENDSESSION = 0x0016;
constexpr unsigned int ENDSESSION_LOGOFF = 0x80000000;

// The kernel functions.
DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
void Sleep(DWORD milliseconds);

// The Windows error code for an errno value, for the bindings that stand in
// for the Windows service manager.
DWORD errorFromErrno(int error);

#endif // WINAPI_UNIX_P_H
