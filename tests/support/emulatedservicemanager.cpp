// The emulated service manager. Every table function locks one mutex, looks
// its handle up among those it gave out, checks the access rights the real
// manager checks, and sets the last error on the calling thread as the real
// manager would. Calls into the service (serviceMain and the control handler)
// are always made with the mutex released, since the service calls back in.
#include "emulatedservicemanager.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Error codes the framework never looks at, so its header leaves them out.
const DWORD ErrorInvalidData = 13;
const DWORD ErrorServiceDisabled = 1058;
const DWORD ErrorDatabaseDoesNotExist = 1065;
const DWORD ErrorServiceMarkedForDelete = 1072;

// The real manager gives up on a control handler after this long.
const int ControlTimeoutMs = 30000;

const QString InvalidHandleName = QStringLiteral("<invalid>");

QString hex(DWORD value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return false;
}

template <typename Pointer>
Pointer failNull(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

DWORD wideSize(const QString &value)
{
    return DWORD(value.size() + 1) * DWORD(sizeof(WCHAR));
}

// Copies the text NUL-terminated to `at`, moves `at` past it, and returns
// where the copy starts. Strings of WCHARs keep WCHAR alignment after a
// record whose size is a multiple of its own alignment.
LPWSTR putWide(BYTE *&at, const QString &value)
{
    const auto start = reinterpret_cast<LPWSTR>(at);
    std::memcpy(at, value.utf16(), size_t(value.size()) * sizeof(WCHAR));
    std::memset(at + size_t(value.size()) * sizeof(WCHAR), 0, sizeof(WCHAR));
    at += wideSize(value);
    return start;
}

void fillStatus(const EmulatedServiceManager::Service &service, SERVICE_STATUS *status)
{
    *status = SERVICE_STATUS{};
    status->dwServiceType = service.serviceType;
    status->dwCurrentState = service.state;
    status->dwControlsAccepted = service.controlsAccepted;
    status->dwWin32ExitCode = service.exitCode;
}

void markStopped(EmulatedServiceManager::Service &service)
{
    service.state = SERVICE_STOPPED;
    service.controlsAccepted = 0;
}

} // namespace

struct EmulatedServiceManager::State
{
    struct Handle
    {
        enum Kind { Manager, ServiceHandle, EventSource };
        Kind kind;
        DWORD access;
        QString name; // service or event source
        quint64 serial;
    };

    // A service handle stays bound to the service it was opened on: once
    // that is deleted, a new one of the same name has another serial.
    struct Record
    {
        Service service;
        quint64 serial = 0;
        int pollsLeft = 0; // queries until a stop-pending service counts as stopped
    };

    struct Delivery
    {
        DWORD control;
        bool done = false;
    };

    QMutex mutex;
    // Woken on every change anyone may wait for: a queued or finished
    // control, a status report, a registered handler, serviceMain's return.
    QWaitCondition changed;

    std::map<QString, Record> services;
    quint64 nextSerial = 1;
    std::set<Handle *> handles;

    bool startedByManager = false;
    DWORD managerDeniedAccess = 0;
    bool eventLogAvailable = true;
    bool registerHandlerFails = false;

    // The dispatcher of the one service hosted in this process.
    bool dispatching = false;
    QString hostedName;
    quint64 hostedSerial = 0;
    LPHANDLER_FUNCTION handler = nullptr;
    bool serviceMainReturned = false;
    bool stopReported = false;
    std::deque<std::shared_ptr<Delivery>> deliveries;
    char statusHandleTag = 0; // its address is the status handle

    QStringList calls;
    QList<SERVICE_STATUS> statusReports;
    QList<EventEntry> events;
    QList<Qt::HANDLE> handlerThreads;

    static State &get() { return *EmulatedServiceManager::instance().d; }

    // Compares the pointer with those given out before it is ever followed.
    Handle *find(const void *pointer, Handle::Kind kind) const
    {
        const auto it = handles.find(static_cast<Handle *>(const_cast<void *>(pointer)));
        return it != handles.end() && (*it)->kind == kind ? *it : nullptr;
    }

    QString nameOf(const void *pointer, Handle::Kind kind) const
    {
        const Handle *handle = find(pointer, kind);
        return handle ? handle->name : InvalidHandleName;
    }

    Handle *newHandle(Handle::Kind kind, DWORD access, const QString &name, quint64 serial)
    {
        auto handle = new Handle{ kind, access, name, serial };
        handles.insert(handle);
        return handle;
    }

    Record *lookup(const QString &name, quint64 serial)
    {
        const auto it = services.find(name);
        return it != services.end() && it->second.serial == serial ? &it->second : nullptr;
    }

    bool isHosted(const Record &record) const
    {
        return dispatching && record.serial == hostedSerial;
    }

    // The service behind a service handle whose rights cover `needed`; null
    // with the last error set otherwise.
    Record *serviceFor(SC_HANDLE pointer, DWORD needed)
    {
        const Handle *handle = find(pointer, Handle::ServiceHandle);
        if (!handle)
            return failNull<Record *>(ERROR_INVALID_HANDLE);
        if ((handle->access & needed) != needed)
            return failNull<Record *>(ERROR_ACCESS_DENIED);
        Record *record = lookup(handle->name, handle->serial);
        if (!record)
            return failNull<Record *>(ErrorServiceMarkedForDelete);
        return record;
    }

    SERVICE_STATUS_HANDLE statusHandle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(&statusHandleTag); }

    // Queues a control for the dispatcher and waits, the mutex released
    // meanwhile, until the handler has returned. 0 or the error to report.
    DWORD deliver(DWORD control)
    {
        // Once the service has reported STOPPED nothing more reaches it,
        // although the dispatcher may still be winding down.
        if (!dispatching || !handler || stopReported)
            return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        auto delivery = std::make_shared<Delivery>(Delivery{ control });
        deliveries.push_back(delivery);
        changed.wakeAll();
        const QDeadlineTimer deadline(ControlTimeoutMs);
        while (!delivery->done) {
            if (deadline.hasExpired())
                return ERROR_SERVICE_REQUEST_TIMEOUT;
            changed.wait(&mutex, deadline);
        }
        return 0;
    }

    void clearRecords()
    {
        calls.clear();
        statusReports.clear();
        events.clear();
        handlerThreads.clear();
    }

    // --- The table functions ------------------------------------------------

    static SC_HANDLE WINAPI openSCManager(LPCWSTR machine, LPCWSTR database, DWORD access)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("OpenSCManagerW ") + hex(access);
        // There is no other machine to reach.
        if (machine)
            return failNull<SC_HANDLE>(ERROR_ACCESS_DENIED);
        if (database && fromWideString(database) != QLatin1String("ServicesActive"))
            return failNull<SC_HANDLE>(ErrorDatabaseDoesNotExist);
        // Connecting is implied by every open, so refusing it refuses all.
        const DWORD granted = access | SC_MANAGER_CONNECT;
        if (granted & s.managerDeniedAccess)
            return failNull<SC_HANDLE>(ERROR_ACCESS_DENIED);
        return reinterpret_cast<SC_HANDLE>(s.newHandle(Handle::Manager, granted, QString(), 0));
    }

    static SC_HANDLE WINAPI openService(SC_HANDLE manager, LPCWSTR name, DWORD access)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        const QString serviceName = fromWideString(name);
        s.calls << QStringLiteral("OpenServiceW %1 %2").arg(serviceName, hex(access));
        if (!s.find(manager, Handle::Manager))
            return failNull<SC_HANDLE>(ERROR_INVALID_HANDLE);
        if (!name)
            return failNull<SC_HANDLE>(ERROR_INVALID_NAME);
        const auto it = s.services.find(serviceName);
        if (it == s.services.end())
            return failNull<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST);
        if (access & it->second.service.deniedAccess)
            return failNull<SC_HANDLE>(ERROR_ACCESS_DENIED);
        return reinterpret_cast<SC_HANDLE>(
            s.newHandle(Handle::ServiceHandle, access, serviceName, it->second.serial));
    }

    static BOOL WINAPI closeServiceHandle(SC_HANDLE pointer)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("CloseServiceHandle");
        Handle *handle = s.find(pointer, Handle::Manager);
        if (!handle)
            handle = s.find(pointer, Handle::ServiceHandle);
        if (!handle)
            return fail(ERROR_INVALID_HANDLE);
        s.handles.erase(handle);
        delete handle;
        return true;
    }

    static SC_HANDLE WINAPI createService(SC_HANDLE manager, LPCWSTR name, LPCWSTR displayName,
                                          DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                          DWORD errorControl, LPCWSTR binaryPath,
                                          LPCWSTR loadOrderGroup, LPDWORD tagId,
                                          LPCWSTR dependencies, LPCWSTR account, LPCWSTR password)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        const QString serviceName = fromWideString(name);
        s.calls << QStringLiteral("CreateServiceW ") + serviceName;
        const Handle *handle = s.find(manager, Handle::Manager);
        if (!handle)
            return failNull<SC_HANDLE>(ERROR_INVALID_HANDLE);
        if (!(handle->access & SC_MANAGER_CREATE_SERVICE))
            return failNull<SC_HANDLE>(ERROR_ACCESS_DENIED);
        if (serviceName.isEmpty())
            return failNull<SC_HANDLE>(ERROR_INVALID_NAME);
        // Load-order groups, tags and dependencies are not emulated.
        if (!binaryPath || loadOrderGroup || tagId || dependencies)
            return failNull<SC_HANDLE>(ERROR_INVALID_PARAMETER);
        if (s.services.count(serviceName))
            return failNull<SC_HANDLE>(ERROR_SERVICE_EXISTS);

        Record record;
        Service &service = record.service;
        service.name = serviceName;
        service.displayName = displayName ? fromWideString(displayName) : serviceName;
        service.desiredAccess = desiredAccess;
        service.serviceType = serviceType;
        service.startType = startType;
        service.errorControl = errorControl;
        service.binaryPath = fromWideString(binaryPath);
        service.account = fromWideString(account);
        service.accountGiven = account != nullptr;
        service.password = fromWideString(password);
        service.passwordGiven = password != nullptr;
        record.serial = s.nextSerial++;
        s.services[serviceName] = record;
        return reinterpret_cast<SC_HANDLE>(
            s.newHandle(Handle::ServiceHandle, desiredAccess, serviceName, record.serial));
    }

    static BOOL WINAPI changeServiceConfig2(SC_HANDLE handle, DWORD level, LPVOID info)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("ChangeServiceConfig2W %1 %2")
                       .arg(s.nameOf(handle, Handle::ServiceHandle))
                       .arg(level);
        Record *record = s.serviceFor(handle, SERVICE_CHANGE_CONFIG);
        if (!record)
            return false;
        if (level != SERVICE_CONFIG_DESCRIPTION || !info)
            return fail(ERROR_INVALID_PARAMETER);
        const LPWSTR description = static_cast<SERVICE_DESCRIPTIONW *>(info)->lpDescription;
        // A null text keeps the description; an empty one removes it.
        if (description) {
            record->service.description = fromWideString(description);
            record->service.hasDescription = !record->service.description.isEmpty();
        }
        return true;
    }

    static BOOL WINAPI deleteService(SC_HANDLE handle)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("DeleteService ") + s.nameOf(handle, Handle::ServiceHandle);
        Record *record = s.serviceFor(handle, DELETE);
        if (!record)
            return false;
        const QString name = record->service.name;
        s.services.erase(name);
        return true;
    }

    static BOOL WINAPI queryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("QueryServiceStatus ") + s.nameOf(handle, Handle::ServiceHandle);
        Record *record = s.serviceFor(handle, SERVICE_QUERY_STATUS);
        if (!record)
            return false;
        if (!status)
            return fail(ERROR_INVALID_PARAMETER);
        // A service of another process takes a few looks to stop; a hosted
        // one stops when it says so.
        Service &service = record->service;
        if (!s.isHosted(*record) && service.state == SERVICE_STOP_PENDING) {
            if (record->pollsLeft > 0)
                --record->pollsLeft;
            if (record->pollsLeft <= 0)
                markStopped(service);
        }
        fillStatus(service, status);
        return true;
    }

    static BOOL WINAPI queryServiceConfig(SC_HANDLE handle, LPQUERY_SERVICE_CONFIGW buffer,
                                          DWORD size, LPDWORD needed)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("QueryServiceConfigW ") + s.nameOf(handle, Handle::ServiceHandle);
        const Record *record = s.serviceFor(handle, SERVICE_QUERY_CONFIG);
        if (!record)
            return false;
        if (!needed)
            return fail(ERROR_INVALID_PARAMETER);
        const Service &service = record->service;
        const QString startName = service.accountGiven || !service.account.isEmpty()
            ? service.account
            : QStringLiteral("LocalSystem");
        const QString empty;
        *needed = DWORD(sizeof(QUERY_SERVICE_CONFIGW)) + wideSize(service.binaryPath)
            + 2 * wideSize(empty) + wideSize(startName) + wideSize(service.displayName);
        if (!buffer || size < *needed)
            return fail(ERROR_INSUFFICIENT_BUFFER);

        QUERY_SERVICE_CONFIGW config = {};
        config.dwServiceType = service.serviceType;
        config.dwStartType = service.startType;
        config.dwErrorControl = service.errorControl;
        auto at = reinterpret_cast<BYTE *>(buffer) + sizeof(config);
        config.lpBinaryPathName = putWide(at, service.binaryPath);
        config.lpLoadOrderGroup = putWide(at, empty);
        config.lpDependencies = putWide(at, empty);
        config.lpServiceStartName = putWide(at, startName);
        config.lpDisplayName = putWide(at, service.displayName);
        std::memcpy(buffer, &config, sizeof(config));
        return true;
    }

    static BOOL WINAPI queryServiceConfig2(SC_HANDLE handle, DWORD level, LPBYTE buffer,
                                           DWORD size, LPDWORD needed)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("QueryServiceConfig2W ") + s.nameOf(handle, Handle::ServiceHandle);
        const Record *record = s.serviceFor(handle, SERVICE_QUERY_CONFIG);
        if (!record)
            return false;
        if (level != SERVICE_CONFIG_DESCRIPTION || !needed)
            return fail(ERROR_INVALID_PARAMETER);
        const Service &service = record->service;
        *needed = DWORD(sizeof(SERVICE_DESCRIPTIONW))
            + (service.hasDescription ? wideSize(service.description) : 0);
        if (!buffer || size < *needed)
            return fail(ERROR_INSUFFICIENT_BUFFER);

        SERVICE_DESCRIPTIONW description = { nullptr };
        BYTE *at = buffer + sizeof(description);
        if (service.hasDescription)
            description.lpDescription = putWide(at, service.description);
        std::memcpy(buffer, &description, sizeof(description));
        return true;
    }

    static BOOL WINAPI startService(SC_HANDLE handle, DWORD argc, LPCWSTR *argv)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("StartServiceW %1 %2")
                       .arg(s.nameOf(handle, Handle::ServiceHandle))
                       .arg(argc);
        Record *record = s.serviceFor(handle, SERVICE_START);
        if (!record)
            return false;
        QStringList arguments;
        for (DWORD i = 0; i < argc; ++i) {
            if (!argv || !argv[i])
                return fail(ERROR_INVALID_PARAMETER);
            arguments << fromWideString(argv[i]);
        }
        Service &service = record->service;
        if (service.startType == SERVICE_DISABLED)
            return fail(ErrorServiceDisabled);
        // A hosted service that has reported STOPPED still has its process.
        if (service.state != SERVICE_STOPPED || s.isHosted(*record))
            return fail(ERROR_SERVICE_ALREADY_RUNNING);
        // The process the manager would launch is not this one; the service
        // counts as running at once. A test runs the in-process service
        // through the dispatcher instead, which uses these arguments.
        service.startArguments = arguments;
        service.state = SERVICE_RUNNING;
        service.controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
        service.exitCode = 0;
        return true;
    }

    static BOOL WINAPI controlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("ControlService %1 %2")
                       .arg(s.nameOf(handle, Handle::ServiceHandle))
                       .arg(control);
        if (!s.find(handle, Handle::ServiceHandle))
            return fail(ERROR_INVALID_HANDLE);
        DWORD access = 0;
        DWORD acceptBit = 0;
        switch (control) {
        case SERVICE_CONTROL_STOP:
            access = SERVICE_STOP;
            acceptBit = SERVICE_ACCEPT_STOP;
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            access = SERVICE_PAUSE_CONTINUE;
            acceptBit = SERVICE_ACCEPT_PAUSE_CONTINUE;
            break;
        case SERVICE_CONTROL_INTERROGATE:
            access = SERVICE_INTERROGATE;
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            access = SERVICE_STOP;
            acceptBit = SERVICE_ACCEPT_SHUTDOWN;
            break;
        default:
            if (control < 128 || control > 255)
                return fail(ERROR_INVALID_SERVICE_CONTROL);
            access = SERVICE_USER_DEFINED_CONTROL;
            break;
        }
        Record *record = s.serviceFor(handle, access);
        if (!record)
            return false;
        if (!status)
            return fail(ERROR_INVALID_PARAMETER);
        Service &service = record->service;
        if (service.state == SERVICE_STOPPED)
            return fail(ERROR_SERVICE_NOT_ACTIVE);
        // A service on its way up or down takes no controls at all.
        if (service.state == SERVICE_START_PENDING || service.state == SERVICE_STOP_PENDING)
            return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);

        if (!s.isHosted(*record)) {
            service.controls << control;
            if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
                record->pollsLeft = service.stopPolls;
                service.controlsAccepted = 0;
                if (service.stopPolls > 0)
                    service.state = SERVICE_STOP_PENDING;
                else
                    markStopped(service);
            } else if (control == SERVICE_CONTROL_PAUSE) {
                service.state = SERVICE_PAUSED;
            } else if (control == SERVICE_CONTROL_CONTINUE) {
                service.state = SERVICE_RUNNING;
            }
            fillStatus(service, status);
            return true;
        }

        if (acceptBit && !(service.controlsAccepted & acceptBit))
            return fail(ERROR_INVALID_SERVICE_CONTROL);
        if (!s.handler)
            return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        service.controls << control;
        const QString name = service.name;
        const quint64 serial = record->serial;
        if (const DWORD error = s.deliver(control))
            return fail(error);
        // The service may have been deleted while its handler ran.
        if (const Record *after = s.lookup(name, serial))
            fillStatus(after->service, status);
        else
            *status = SERVICE_STATUS{};
        return true;
    }

    static BOOL WINAPI startDispatcher(const SERVICE_TABLE_ENTRYW *table)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        const QString name = table ? fromWideString(table[0].lpServiceName) : InvalidHandleName;
        s.calls << QStringLiteral("StartServiceCtrlDispatcherW ") + name;
        if (!s.startedByManager)
            return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        if (!table || !table[0].lpServiceName || !table[0].lpServiceProc)
            return fail(ERROR_INVALID_PARAMETER);
        if (s.dispatching)
            return fail(ERROR_SERVICE_ALREADY_RUNNING);
        const auto it = s.services.find(name);
        if (it == s.services.end())
            return fail(ERROR_SERVICE_DOES_NOT_EXIST);

        Service &service = it->second.service;
        service.state = SERVICE_START_PENDING;
        service.controlsAccepted = 0;
        service.exitCode = 0;
        s.dispatching = true;
        s.hostedName = name;
        s.hostedSerial = it->second.serial;
        s.handler = nullptr;
        s.serviceMainReturned = false;
        s.stopReported = false;

        // The service gets its own name first, then the start arguments,
        // each alive until serviceMain has returned. WCHAR is char16_t here
        // and wchar_t on Windows, UTF-16 both.
        std::vector<std::u16string> arguments{ name.toStdU16String() };
        for (const QString &argument : qAsConst(service.startArguments))
            arguments.push_back(argument.toStdU16String());
        std::vector<LPWSTR> argv;
        for (std::u16string &argument : arguments)
            argv.push_back(reinterpret_cast<LPWSTR>(&argument[0]));
        const DWORD argc = DWORD(argv.size());
        argv.push_back(nullptr);
        const LPSERVICE_MAIN_FUNCTIONW serviceMain = table[0].lpServiceProc;

        locker.unlock();
        std::thread mainThread([&s, &argv, argc, serviceMain] {
            serviceMain(argc, argv.data());
            QMutexLocker mainLocker(&s.mutex);
            s.serviceMainReturned = true;
            s.changed.wakeAll();
        });
        locker.relock();

        // This thread is the dispatcher from now on. It ends once the service
        // has reported STOPPED and every queued control has been handled, or
        // when serviceMain returned without ever registering a handler, as
        // nothing could then stop the service.
        for (;;) {
            if (!s.deliveries.empty()) {
                const std::shared_ptr<Delivery> delivery = s.deliveries.front();
                s.deliveries.pop_front();
                const LPHANDLER_FUNCTION handler = s.handler;
                locker.unlock();
                handler(delivery->control);
                locker.relock();
                s.handlerThreads << QThread::currentThreadId();
                delivery->done = true;
                s.changed.wakeAll();
                continue;
            }
            if (s.stopReported || (s.serviceMainReturned && !s.handler))
                break;
            s.changed.wait(&s.mutex);
        }
        s.dispatching = false;
        s.handler = nullptr;
        if (!s.stopReported) {
            if (Record *record = s.lookup(s.hostedName, s.hostedSerial))
                markStopped(record->service);
        }
        locker.unlock();
        mainThread.join();
        return true;
    }

    static SERVICE_STATUS_HANDLE WINAPI registerHandler(LPCWSTR name, LPHANDLER_FUNCTION handler)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        const QString serviceName = fromWideString(name);
        s.calls << QStringLiteral("RegisterServiceCtrlHandlerW ") + serviceName;
        if (!s.dispatching || serviceName != s.hostedName)
            return failNull<SERVICE_STATUS_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST);
        if (!handler)
            return failNull<SERVICE_STATUS_HANDLE>(ERROR_INVALID_PARAMETER);
        if (s.registerHandlerFails)
            return failNull<SERVICE_STATUS_HANDLE>(ERROR_INVALID_NAME);
        s.handler = handler;
        s.changed.wakeAll();
        return s.statusHandle();
    }

    static BOOL WINAPI setServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << (status ? QStringLiteral("SetServiceStatus %1").arg(status->dwCurrentState)
                           : QStringLiteral("SetServiceStatus"));
        // The status handle lives as long as the dispatcher that gave it out.
        if (handle != s.statusHandle() || !s.dispatching || !s.handler)
            return fail(ERROR_INVALID_HANDLE);
        if (!status)
            return fail(ERROR_INVALID_PARAMETER);
        if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED)
            return fail(ErrorInvalidData);
        s.statusReports << *status;
        if (Record *record = s.lookup(s.hostedName, s.hostedSerial)) {
            record->service.state = status->dwCurrentState;
            record->service.controlsAccepted = status->dwControlsAccepted;
            record->service.exitCode = status->dwWin32ExitCode;
        }
        if (status->dwCurrentState == SERVICE_STOPPED)
            s.stopReported = true;
        s.changed.wakeAll();
        return true;
    }

    static HANDLE WINAPI registerEventSource(LPCWSTR machine, LPCWSTR source)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        const QString sourceName = fromWideString(source);
        s.calls << QStringLiteral("RegisterEventSourceW ") + sourceName;
        if (machine || !s.eventLogAvailable)
            return failNull<HANDLE>(ERROR_ACCESS_DENIED);
        if (!source)
            return failNull<HANDLE>(ERROR_INVALID_PARAMETER);
        return s.newHandle(Handle::EventSource, 0, sourceName, 0);
    }

    static BOOL WINAPI reportEvent(HANDLE handle, WORD type, WORD category, DWORD id, PSID userSid,
                                   WORD numStrings, DWORD dataSize, LPCWSTR *strings, LPVOID data)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("ReportEventW ") + s.nameOf(handle, Handle::EventSource);
        const Handle *source = s.find(handle, Handle::EventSource);
        if (!source)
            return fail(ERROR_INVALID_HANDLE);
        if ((numStrings && !strings) || (dataSize && !data))
            return fail(ERROR_INVALID_PARAMETER);
        EventEntry entry;
        for (WORD i = 0; i < numStrings; ++i) {
            if (!strings[i])
                return fail(ERROR_INVALID_PARAMETER);
            entry.strings << fromWideString(strings[i]);
        }
        entry.source = source->name;
        entry.type = type;
        entry.category = category;
        entry.id = id;
        entry.userSid = userSid != nullptr;
        entry.dataSize = dataSize;
        entry.dataPointer = data != nullptr;
        if (data)
            entry.data = QByteArray(static_cast<const char *>(data), int(dataSize));
        s.events << entry;
        return true;
    }

    static BOOL WINAPI deregisterEventSource(HANDLE pointer)
    {
        State &s = get();
        QMutexLocker locker(&s.mutex);
        s.calls << QStringLiteral("DeregisterEventSource");
        Handle *handle = s.find(pointer, Handle::EventSource);
        if (!handle)
            return fail(ERROR_INVALID_HANDLE);
        s.handles.erase(handle);
        delete handle;
        return true;
    }
};

EmulatedServiceManager::EmulatedServiceManager()
    : d(new State)
{
}

EmulatedServiceManager &EmulatedServiceManager::instance()
{
    // Never destroyed: a dispatcher thread may still be inside it at exit.
    static EmulatedServiceManager manager;
    return manager;
}

ServiceControlManager EmulatedServiceManager::table()
{
    ServiceControlManager table;
    table.RegisterServiceCtrlHandlerW = &State::registerHandler;
    table.SetServiceStatus = &State::setServiceStatus;
    table.ChangeServiceConfig2W = &State::changeServiceConfig2;
    table.CloseServiceHandle = &State::closeServiceHandle;
    table.CreateServiceW = &State::createService;
    table.OpenSCManagerW = &State::openSCManager;
    table.DeleteService = &State::deleteService;
    table.OpenServiceW = &State::openService;
    table.QueryServiceStatus = &State::queryServiceStatus;
    table.StartServiceCtrlDispatcherW = &State::startDispatcher;
    table.StartServiceW = &State::startService;
    table.ControlService = &State::controlService;
    table.DeregisterEventSource = &State::deregisterEventSource;
    table.ReportEventW = &State::reportEvent;
    table.RegisterEventSourceW = &State::registerEventSource;
    table.QueryServiceConfigW = &State::queryServiceConfig;
    table.QueryServiceConfig2W = &State::queryServiceConfig2;
    return table;
}

bool EmulatedServiceManager::install()
{
    instance();
    return installServiceApi(table()) && resolveServiceApi();
}

void EmulatedServiceManager::reset()
{
    QMutexLocker locker(&d->mutex);
    if (d->dispatching)
        qWarning("EmulatedServiceManager::reset() while a service is hosted");
    d->services.clear();
    for (State::Handle *handle : d->handles)
        delete handle;
    d->handles.clear();
    d->startedByManager = false;
    d->managerDeniedAccess = 0;
    d->eventLogAvailable = true;
    d->registerHandlerFails = false;
    d->clearRecords();
}

void EmulatedServiceManager::addService(const Service &service)
{
    QMutexLocker locker(&d->mutex);
    State::Record record;
    record.service = service;
    record.serial = d->nextSerial++;
    record.pollsLeft = service.stopPolls;
    d->services[service.name] = record;
}

void EmulatedServiceManager::setStartedByServiceManager(bool started)
{
    QMutexLocker locker(&d->mutex);
    d->startedByManager = started;
}

void EmulatedServiceManager::setManagerDeniedAccess(DWORD mask)
{
    QMutexLocker locker(&d->mutex);
    d->managerDeniedAccess = mask;
}

void EmulatedServiceManager::setEventLogAvailable(bool available)
{
    QMutexLocker locker(&d->mutex);
    d->eventLogAvailable = available;
}

void EmulatedServiceManager::setRegisterHandlerFails(bool fails)
{
    QMutexLocker locker(&d->mutex);
    d->registerHandlerFails = fails;
}

bool EmulatedServiceManager::hasService(const QString &name) const
{
    QMutexLocker locker(&d->mutex);
    return d->services.count(name) != 0;
}

EmulatedServiceManager::Service EmulatedServiceManager::service(const QString &name) const
{
    QMutexLocker locker(&d->mutex);
    const auto it = d->services.find(name);
    return it != d->services.end() ? it->second.service : Service();
}

int EmulatedServiceManager::openHandles() const
{
    QMutexLocker locker(&d->mutex);
    int count = 0;
    for (const State::Handle *handle : d->handles) {
        if (handle->kind != State::Handle::EventSource)
            ++count;
    }
    return count;
}

QStringList EmulatedServiceManager::calls() const
{
    QMutexLocker locker(&d->mutex);
    return d->calls;
}

int EmulatedServiceManager::callCount(const QString &function) const
{
    QMutexLocker locker(&d->mutex);
    int count = 0;
    for (const QString &call : qAsConst(d->calls)) {
        if (call.section(QLatin1Char(' '), 0, 0) == function)
            ++count;
    }
    return count;
}

void EmulatedServiceManager::clearRecords()
{
    QMutexLocker locker(&d->mutex);
    d->clearRecords();
}

QList<SERVICE_STATUS> EmulatedServiceManager::statusReports() const
{
    QMutexLocker locker(&d->mutex);
    return d->statusReports;
}

QList<DWORD> EmulatedServiceManager::reportedStates() const
{
    QMutexLocker locker(&d->mutex);
    QList<DWORD> states;
    for (const SERVICE_STATUS &status : qAsConst(d->statusReports))
        states << status.dwCurrentState;
    return states;
}

QList<EmulatedServiceManager::EventEntry> EmulatedServiceManager::events() const
{
    QMutexLocker locker(&d->mutex);
    return d->events;
}

QList<Qt::HANDLE> EmulatedServiceManager::handlerThreads() const
{
    QMutexLocker locker(&d->mutex);
    return d->handlerThreads;
}

bool EmulatedServiceManager::waitForReportedState(DWORD state, int timeoutMs)
{
    QMutexLocker locker(&d->mutex);
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (const SERVICE_STATUS &status : qAsConst(d->statusReports)) {
            if (status.dwCurrentState == state)
                return true;
        }
        if (deadline.hasExpired())
            return false;
        d->changed.wait(&d->mutex, deadline);
    }
}

bool EmulatedServiceManager::deliverControl(DWORD control)
{
    QMutexLocker locker(&d->mutex);
    return d->deliver(control) == 0;
}

QString thisProgramPath()
{
#ifdef Q_OS_WIN
    // The C runtime's full path of the program, set before main.
    return _pgmptr ? QString::fromLocal8Bit(_pgmptr) : QString();
#else
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
#endif
}
