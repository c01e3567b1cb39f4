// An in-process service manager for the tests, bound in place of the
// platform's service-control table. It behaves like the real one: it keeps
// installed services with their configuration and state, checks handles and
// access rights, sets the last error as Windows does, runs serviceMain on a
// thread of its own when the process counts as "started by the service
// manager", and delivers controls to the registered handler on the
// dispatcher's thread, waiting for each. Every call, status report and
// event-log entry is recorded for the tests to read.
#ifndef EMULATEDSERVICEMANAGER_H
#define EMULATEDSERVICEMANAGER_H

#include "servicecontrolmanager.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class EmulatedServiceManager
{
public:
    // One installed service, as the manager keeps it.
    struct Service
    {
        QString name;
        QString displayName;
        QString binaryPath;
        QString account;           // empty when created with a null account
        bool accountGiven = false; // whether CreateServiceW got a non-null account
        QString password;
        bool passwordGiven = false; // whether CreateServiceW got a non-null password
        DWORD desiredAccess = 0;
        DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
        DWORD startType = SERVICE_DEMAND_START;
        DWORD errorControl = SERVICE_ERROR_NORMAL;
        QString description;
        bool hasDescription = false;

        // Current status as the manager knows it.
        DWORD state = SERVICE_STOPPED;
        DWORD controlsAccepted = 0;
        DWORD exitCode = 0;

        // Access rights OpenServiceW refuses for this service.
        DWORD deniedAccess = 0;
        // For a service that is not hosted in this process: how many
        // QueryServiceStatus calls still find STOP_PENDING after a stop
        // control before the service counts as stopped (0: stops at once).
        int stopPolls = 0;

        // The arguments of the last StartServiceW, and every control that
        // ControlService delivered, in order.
        QStringList startArguments;
        QList<DWORD> controls;
    };

    struct EventEntry
    {
        QString source;
        WORD type = 0;
        WORD category = 0;
        DWORD id = 0;
        bool userSid = false; // whether a non-null SID was passed
        QStringList strings;
        DWORD dataSize = 0;
        bool dataPointer = false; // whether a non-null data pointer was passed
        QByteArray data;
    };

    // Binds the emulation as the process's service-control table. Must run
    // before anything in the process binds the table; false otherwise.
    static bool install();
    static EmulatedServiceManager &instance();
    // The emulation's seventeen functions, for a test that binds them itself.
    static ServiceControlManager table();

    // Forgets every service, record and setting. Only while no service is
    // hosted (no dispatcher running).
    void reset();

    // --- Set-up by the test -------------------------------------------------
    void addService(const Service &service);
    void setStartedByServiceManager(bool started); // default false: dispatcher fails with 1063
    void setManagerDeniedAccess(DWORD mask);       // OpenSCManagerW refuses these rights
    void setEventLogAvailable(bool available);     // false: RegisterEventSourceW gives null
    void setRegisterHandlerFails(bool fails);      // RegisterServiceCtrlHandlerW gives null

    // --- What the manager holds --------------------------------------------
    bool hasService(const QString &name) const;
    Service service(const QString &name) const; // a default Service when unknown
    int openHandles() const;                    // manager and service handles not yet closed

    // --- Records --------------------------------------------------------------
    // Every call of a table function, in order, as its name followed by the
    // main arguments, e.g. "OpenSCManagerW 0x1", "OpenServiceW Quillport 0x24",
    // "ControlService Quillport 1", "StartServiceW Quillport 2",
    // "QueryServiceStatus Quillport", "ChangeServiceConfig2W Quillport 1",
    // "CreateServiceW Quillport", "DeleteService Quillport",
    // "StartServiceCtrlDispatcherW Quillport", "SetServiceStatus 4".
    QStringList calls() const;
    // How many recorded calls begin with the given function name.
    int callCount(const QString &function) const;
    void clearRecords();

    QList<SERVICE_STATUS> statusReports() const;
    QList<DWORD> reportedStates() const; // dwCurrentState of each report
    QList<EventEntry> events() const;

    // The thread ids (QThread::currentThreadId) on which the registered
    // control handler was called by the dispatcher, in order.
    QList<Qt::HANDLE> handlerThreads() const;

    // --- Driving a service hosted in this process ----------------------------
    // Waits until the hosted service has reported `state` (now or earlier in
    // this run); false after the timeout.
    bool waitForReportedState(DWORD state, int timeoutMs);
    // Delivers a control to the registered handler on the dispatcher's thread,
    // as the manager does, without checking accepted controls; returns once
    // the handler has returned, false when no handler is registered.
    bool deliverControl(DWORD control);

private:
    EmulatedServiceManager();
    struct State;
    State *d;
};

// The absolute path of this test program as the platform names it, found
// without the service-control table: what ServiceBase::filePath() must give.
QString thisProgramPath();

#endif // EMULATEDSERVICEMANAGER_H
