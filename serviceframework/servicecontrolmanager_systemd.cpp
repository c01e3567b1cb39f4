// The service-control table on Linux. Where systemd is the running init, a
// service is the unit "<name>.service": the manager functions talk to systemd
// over D-Bus and write unit files, and controls other than stop reach the
// service's main process as a queued signal. Elsewhere the no-manager table
// applies. The event log is syslog either way, which the journal receives.
// Here: the handles, the queries and the table itself; the D-Bus calls are in
// systemdbus_systemd.cpp, the unit files in systemdunitfile_systemd.cpp, and
// the service's side (dispatcher, status reports) in servicedispatcher_systemd.cpp.
#include "servicecontrolmanager_p.h"
#include "systemdbus_p.h"
#include "systemdstatus_p.h"
#include "systemdunitfile_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSet>

#include <cerrno>
#include <cstring>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

using namespace SystemdServiceManager;

namespace {

// ---- Handles ----

struct ScHandle
{
    bool manager;
    DWORD access;
    QString unit;
    QString path;
};

QBasicMutex handleMutex;
QSet<ScHandle *> &liveHandles()
{
    static QSet<ScHandle *> handles;
    return handles;
}

SC_HANDLE newHandle(ScHandle *handle)
{
    QMutexLocker locker(&handleMutex);
    liveHandles().insert(handle);
    return reinterpret_cast<SC_HANDLE>(handle);
}

// The handle behind an SC_HANDLE, checked for its kind and the access the
// operation needs; null with the last error set otherwise.
ScHandle *lookup(SC_HANDLE handle, bool manager, DWORD access)
{
    auto candidate = reinterpret_cast<ScHandle *>(handle);
    QMutexLocker locker(&handleMutex);
    if (!candidate || !liveHandles().contains(candidate) || candidate->manager != manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((candidate->access & access) != access) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return candidate;
}

// ---- Queries ----

struct UnitState
{
    QString activeState;
    QString statusText;
    DWORD state = SERVICE_STOPPED;
};

bool unitState(const ScHandle *service, UnitState *state)
{
    bool ok = true;
    state->activeState = stringProperty(service->path, UnitInterface, QStringLiteral("ActiveState"), &ok);
    state->statusText = stringProperty(service->path, ServiceInterface, QStringLiteral("StatusText"), &ok);
    state->state = serviceState(state->activeState, state->statusText);
    return ok;
}

void fillStatus(DWORD state, LPSERVICE_STATUS status)
{
    *status = SERVICE_STATUS{};
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = state;
    if (state == SERVICE_RUNNING || state == SERVICE_PAUSED)
        status->dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
}

// The service behind a handle with the access given, and its state, for a
// function that reports into `status`; null with the last error set when
// any of them is missing.
const ScHandle *serviceWithState(SC_HANDLE handle, DWORD access, LPSERVICE_STATUS status, UnitState *state)
{
    const ScHandle *service = lookup(handle, false, access);
    if (!service)
        return nullptr;
    if (!status) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return unitState(service, state) ? service : nullptr;
}

// Lays out a record followed by its strings in the caller's buffer, as the
// Windows functions do; fails with ERROR_INSUFFICIENT_BUFFER and the size
// needed when it does not fit.
class RecordWriter
{
public:
    RecordWriter(LPBYTE buffer, DWORD size, DWORD recordSize)
        : buffer(buffer), size(size), used(recordSize)
    {
    }

    LPWSTR add(const QString &string)
    {
        const DWORD bytes = DWORD(string.size() + 1) * sizeof(WCHAR);
        const DWORD offset = used;
        used += bytes;
        if (!buffer || used > size)
            return nullptr;
        auto target = reinterpret_cast<LPWSTR>(buffer + offset);
        memcpy(target, string.utf16(), bytes - sizeof(WCHAR));
        target[string.size()] = 0;
        return target;
    }

    bool fits(LPDWORD needed) const
    {
        if (needed)
            *needed = used;
        if (!buffer || used > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        return true;
    }

private:
    LPBYTE buffer;
    DWORD size;
    DWORD used;
};

// ---- The table ----

SC_HANDLE WINAPI openSCManager(LPCWSTR machine, LPCWSTR, DWORD access)
{
    if (machine && *machine) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (!connectSystemBus())
        return nullptr;
    return newHandle(new ScHandle{ true, access, QString(), QString() });
}

BOOL WINAPI closeServiceHandle(SC_HANDLE handle)
{
    auto candidate = reinterpret_cast<ScHandle *>(handle);
    QMutexLocker locker(&handleMutex);
    if (!liveHandles().remove(candidate)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    delete candidate;
    return true;
}

SC_HANDLE WINAPI openService(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    if (!lookup(manager, true, 0))
        return nullptr;
    const QString unit = name ? unitName(fromWideString(name)) : QString();
    if (unit.isEmpty()) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    QString path;
    bool ok = loadUnit(unit, &path);
    // A unit without a file of its own ("not-found") is no service.
    if (!ok || stringProperty(path, UnitInterface, QStringLiteral("LoadState"), &ok) != QLatin1String("loaded")) {
        if (ok)
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return newHandle(new ScHandle{ false, access, unit, path });
}

SC_HANDLE WINAPI createService(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName, DWORD, DWORD,
                               DWORD startType, DWORD, LPCWSTR binaryPath, LPCWSTR, LPDWORD, LPCWSTR,
                               LPCWSTR account, LPCWSTR)
{
    if (!lookup(manager, true, SC_MANAGER_CREATE_SERVICE))
        return nullptr;
    const QString unit = name ? unitName(fromWideString(name)) : QString();
    if (unit.isEmpty()) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    const QString program = fromWideString(binaryPath);
    if (!program.startsWith(QLatin1Char('/'))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const QString user = unitUser(fromWideString(account));
    if (!user.isEmpty() && !getpwnam(user.toLocal8Bit().constData())) {
        SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
        return nullptr;
    }

    // A unit of that name from anywhere in systemd's search path counts.
    QString path;
    bool ok = loadUnit(unit, &path);
    const bool loaded = stringProperty(path, UnitInterface, QStringLiteral("LoadState"), &ok) == QLatin1String("loaded");
    if (!ok)
        return nullptr;
    if (loaded) {
        SetLastError(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    const QString description = displayName ? fromWideString(displayName) : fromWideString(name);
    if (!writeUnitFile(unit, unitFileText(description, program, fromWideString(account))))
        return nullptr;

    const QString file = QDir(unitFolder()).filePath(unit);
    const bool enable = startType != SERVICE_DEMAND_START && startType != SERVICE_DISABLED;
    if (!reloadManager()
        || (enable && !managerCall(QStringLiteral("EnableUnitFiles"), { QStringList(file), false, false }))
        || !loadUnit(unit, &path)) {
        const DWORD error = GetLastError();
        QFile::remove(file);
        reloadManager();
        SetLastError(error);
        return nullptr;
    }
    return newHandle(new ScHandle{ false, SERVICE_ALL_ACCESS, unit, path });
}

// Only the unit files this binding wrote are its to change or remove.
bool ownUnitFile(const ScHandle *service, QString *file)
{
    bool ok = true;
    *file = stringProperty(service->path, UnitInterface, QStringLiteral("FragmentPath"), &ok);
    if (!ok)
        return false;
    if (QFileInfo(*file).absolutePath() != QDir(unitFolder()).absolutePath()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

BOOL WINAPI changeServiceConfig2(SC_HANDLE handle, DWORD level, LPVOID info)
{
    const ScHandle *service = lookup(handle, false, SERVICE_CHANGE_CONFIG);
    if (!service)
        return false;
    if (level != SERVICE_CONFIG_DESCRIPTION) {
        SetLastError(ERROR_INVALID_LEVEL);
        return false;
    }
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const LPWSTR description = static_cast<SERVICE_DESCRIPTIONW *>(info)->lpDescription;
    // A null description leaves the one there is.
    if (!description)
        return true;
    QString file;
    return ownUnitFile(service, &file) && setUnitFileDescription(file, fromWideString(description))
        && reloadManager();
}

BOOL WINAPI deleteService(SC_HANDLE handle)
{
    const ScHandle *service = lookup(handle, false, DELETE);
    if (!service)
        return false;
    QString file;
    if (!ownUnitFile(service, &file))
        return false;
    // Disabling a unit that is not enabled changes nothing and succeeds.
    if (!managerCall(QStringLiteral("DisableUnitFiles"), { QStringList(service->unit), false }))
        return false;
    if (!QFile::remove(file) && QFileInfo::exists(file)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return reloadManager();
}

BOOL WINAPI queryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status)
{
    UnitState state;
    if (!serviceWithState(handle, SERVICE_QUERY_STATUS, status, &state))
        return false;
    fillStatus(state.state, status);
    return true;
}

BOOL WINAPI startService(SC_HANDLE handle, DWORD, LPCWSTR *)
{
    // A unit always starts with the command line of its file: start
    // arguments have no way to reach it and are not passed on.
    const ScHandle *service = lookup(handle, false, SERVICE_START);
    if (!service)
        return false;
    UnitState state;
    if (!unitState(service, &state))
        return false;
    if (state.state != SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return false;
    }
    return managerCall(QStringLiteral("StartUnit"), { service->unit, QStringLiteral("replace") });
}

BOOL WINAPI controlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status)
{
    DWORD access;
    if (control == SERVICE_CONTROL_STOP)
        access = SERVICE_STOP;
    else if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
        access = SERVICE_PAUSE_CONTINUE;
    else if (control == SERVICE_CONTROL_INTERROGATE)
        access = SERVICE_INTERROGATE;
    else if (control >= 128 && control <= 255)
        access = SERVICE_USER_DEFINED_CONTROL;
    else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    UnitState state;
    const ScHandle *service = serviceWithState(handle, access, status, &state);
    if (!service)
        return false;
    if (state.state == SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return false;
    }

    if (control == SERVICE_CONTROL_STOP) {
        if (!managerCall(QStringLiteral("StopUnit"), { service->unit, QStringLiteral("replace") }))
            return false;
        // The stop job is queued; until systemd has run it the unit may still
        // show its old state.
        if (unitState(service, &state) && state.state != SERVICE_STOPPED)
            state.state = SERVICE_STOP_PENDING;
        fillStatus(state.state, status);
        return true;
    }

    if (control != SERVICE_CONTROL_INTERROGATE) {
        // A service still starting or already stopping takes no other control.
        if (state.state == SERVICE_START_PENDING || state.state == SERVICE_STOP_PENDING) {
            SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
            return false;
        }
        QVariant mainPid;
        if (!property(service->path, ServiceInterface, QStringLiteral("MainPID"), &mainPid))
            return false;
        const pid_t pid = pid_t(mainPid.toUInt());
        if (pid <= 0) {
            SetLastError(ERROR_SERVICE_NOT_ACTIVE);
            return false;
        }
        sigval value;
        value.sival_int = int(control);
        if (sigqueue(pid, controlSignal(), value) != 0) {
            SetLastError(errorFromErrno(errno));
            return false;
        }
    }
    fillStatus(state.state, status);
    return true;
}

BOOL WINAPI queryServiceConfig(SC_HANDLE handle, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed)
{
    const ScHandle *service = lookup(handle, false, SERVICE_QUERY_CONFIG);
    if (!service)
        return false;

    QVariant execStart;
    bool ok = property(service->path, ServiceInterface, QStringLiteral("ExecStart"), &execStart);
    const QString fileState = stringProperty(service->path, UnitInterface, QStringLiteral("UnitFileState"), &ok);
    const QString user = stringProperty(service->path, ServiceInterface, QStringLiteral("User"), &ok);
    const QString description = stringProperty(service->path, UnitInterface, QStringLiteral("Description"), &ok);
    if (!ok)
        return false;

    RecordWriter writer(reinterpret_cast<LPBYTE>(config), size, sizeof(QUERY_SERVICE_CONFIGW));
    const LPWSTR binaryPath = writer.add(commandLine(execStart));
    const LPWSTR startName = writer.add(user.isEmpty() ? QStringLiteral("LocalSystem") : QStringLiteral(".\\") + user);
    const LPWSTR displayName = writer.add(description);
    const LPWSTR empty = writer.add(QString());
    if (!writer.fits(needed))
        return false;

    config->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    // An enabled unit starts with the system.
    config->dwStartType = fileState.startsWith(QLatin1String("enabled")) ? SERVICE_AUTO_START
                                                                          : SERVICE_DEMAND_START;
    config->dwErrorControl = SERVICE_ERROR_NORMAL;
    config->lpBinaryPathName = binaryPath;
    config->lpLoadOrderGroup = empty;
    config->dwTagId = 0;
    config->lpDependencies = empty;
    config->lpServiceStartName = startName;
    config->lpDisplayName = displayName;
    return true;
}

BOOL WINAPI queryServiceConfig2(SC_HANDLE handle, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    const ScHandle *service = lookup(handle, false, SERVICE_QUERY_CONFIG);
    if (!service)
        return false;
    if (level != SERVICE_CONFIG_DESCRIPTION) {
        SetLastError(ERROR_INVALID_LEVEL);
        return false;
    }
    bool ok = true;
    const QString description = stringProperty(service->path, UnitInterface, QStringLiteral("Description"), &ok);
    if (!ok)
        return false;

    RecordWriter writer(buffer, size, sizeof(SERVICE_DESCRIPTIONW));
    const LPWSTR copy = description.isEmpty() ? nullptr : writer.add(description);
    if (!writer.fits(needed))
        return false;
    reinterpret_cast<SERVICE_DESCRIPTIONW *>(buffer)->lpDescription = copy;
    return true;
}

// systemd as the running init: what sd_booted(3) checks.
bool systemdRuns()
{
    struct stat info;
    return lstat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

void bindPlatformServiceApi(ServiceControlManager &table)
{
    bindNoManagerServiceApi(table);
    bindSystemdDispatcher(table);
    if (!systemdRuns())
        return;
    table.OpenSCManagerW = openSCManager;
    table.CloseServiceHandle = closeServiceHandle;
    table.OpenServiceW = openService;
    table.CreateServiceW = createService;
    table.ChangeServiceConfig2W = changeServiceConfig2;
    table.DeleteService = deleteService;
    table.QueryServiceStatus = queryServiceStatus;
    table.StartServiceW = startService;
    table.ControlService = controlService;
    table.QueryServiceConfigW = queryServiceConfig;
    table.QueryServiceConfig2W = queryServiceConfig2;
}
