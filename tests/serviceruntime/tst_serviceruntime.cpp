// Running as a service over the emulated service manager: start-up from a
// console and from the manager, every control, the reported states, the
// threads the service's operations run in, and the native event filter.
#include "emulatedservicemanager.h"
#include "service.h"
#include "serviceappeventfilter.h"
#include "servicecontroller.h"

#include <QtTest>

#include <functional>
#include <thread>

namespace {

const QString Name = QStringLiteral("Quillport");

EmulatedServiceManager &manager()
{
    return EmulatedServiceManager::instance();
}

char programName[] = "/usr/bin/quillport";
char firstArgument[] = "alpha";
char secondArgument[] = "beta";
char *consoleArgv[] = { programName, firstArgument, secondArgument, nullptr };

// A service that records every operation with the thread it ran in.
class TestService : public Service<QCoreApplication>
{
public:
    explicit TestService(int argc = 1)
        : Service<QCoreApplication>(argc, consoleArgv, Name)
    {
        setServiceFlags(PauseAllowed);
    }

    QStringList operations;
    QList<Qt::HANDLE> threads;
    QStringList applicationArguments;
    int createCalls = 0;
    bool exitInStart = false;
    int startExitCode = 0;
    ServiceFlags flagsOnCommand;

protected:
    void start() override
    {
        record(QStringLiteral("start"));
        applicationArguments = QCoreApplication::arguments();
        if (exitInStart)
            QCoreApplication::exit(startExitCode);
    }
    void stop() override { record(QStringLiteral("stop")); }
    void pause() override { record(QStringLiteral("pause")); }
    void resume() override { record(QStringLiteral("resume")); }
    void processCommand(int code) override
    {
        record(QStringLiteral("command %1").arg(code));
        if (code == 1)
            setServiceFlags(flagsOnCommand);
    }
    void createApplication(int &argc, char **argv) override
    {
        ++createCalls;
        Service<QCoreApplication>::createApplication(argc, argv);
    }

private:
    void record(const QString &operation)
    {
        operations << operation;
        threads << QThread::currentThreadId();
    }
};

void installService(const QStringList &startArguments = QStringList())
{
    EmulatedServiceManager::Service service;
    service.name = service.displayName = Name;
    service.binaryPath = QString::fromLatin1(programName);
    service.startArguments = startArguments;
    manager().addService(service);
}

// Runs the service as the manager's service in this (the application)
// thread while `driver` acts on it from another thread, as the manager's
// users would. A driver that fails still stops the service, so that the run
// ends; the result is true when both the run and the driver succeeded.
bool runWithDriver(TestService &service, const std::function<bool()> &driver)
{
    bool driven = false;
    std::thread thread([&] {
        driven = manager().waitForReportedState(SERVICE_RUNNING, 10000) && driver();
        if (!driven)
            manager().deliverControl(SERVICE_CONTROL_STOP);
    });
    const bool result = service.runAsService();
    thread.join();
    return result && driven;
}

using States = QList<DWORD>;

} // namespace

class tst_ServiceRuntime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void startedFromConsole_data();
    void startedFromConsole();
    void dispatcherFailure();
    void startAndStop();
    void pauseAndContinue();
    void userCommand();
    void unhandledControls_data();
    void unhandledControls();
    void shutdown();
    void exitCodeFromStart();
    void acceptedControls_data();
    void acceptedControls();
    void flagChangeWhileRunning();
    void nativeEventFilter_data();
    void nativeEventFilter();
};

void tst_ServiceRuntime::initTestCase()
{
    QVERIFY(EmulatedServiceManager::install());
}

void tst_ServiceRuntime::init()
{
    manager().reset();
}

void tst_ServiceRuntime::startedFromConsole_data()
{
    QTest::addColumn<int>("argc");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QStringList>("startArguments");

    QTest::newRow("installed, no arguments") << 1 << true << QStringList();
    QTest::newRow("installed, two arguments") << 3 << true << QStringList{ "alpha", "beta" };
    QTest::newRow("not installed") << 1 << false << QStringList();
}

void tst_ServiceRuntime::startedFromConsole()
{
    QFETCH(int, argc);
    QFETCH(bool, installed);
    QFETCH(QStringList, startArguments);

    if (installed)
        installService();
    TestService service(argc);
    QCOMPARE(service.runAsService(), installed);
    QCOMPARE(service.createCalls, 0);
    QCOMPARE(QCoreApplication::instance(), nullptr);
    QVERIFY(service.operations.isEmpty());
    if (installed) {
        QCOMPARE(manager().service(Name).startArguments, startArguments);
        QVERIFY(manager().calls().contains(
            QStringLiteral("StartServiceW Quillport %1").arg(startArguments.size())));
    } else {
        QCOMPARE(manager().callCount(QStringLiteral("StartServiceW")), 0);
    }
}

void tst_ServiceRuntime::dispatcherFailure()
{
    // Started "by the manager" for a service it does not know: the
    // dispatcher fails with another error than "run from a console".
    manager().setStartedByServiceManager(true);
    TestService service;
    QVERIFY(!service.runAsService());
    QCOMPARE(service.createCalls, 0);

    const QList<EmulatedServiceManager::EventEntry> events = manager().events();
    QCOMPARE(events.size(), 1);
    QCOMPARE(int(events.first().type), EVENTLOG_ERROR_TYPE);
    QCOMPARE(events.first().source, Name);
    QCOMPARE(events.first().strings.size(), 1);
    const QString text = events.first().strings.first();
    QVERIFY2(text.startsWith(QLatin1String("The Service failed to start [")) && text.endsWith(QLatin1Char(']'))
                 && text.size() > 30,
             qPrintable(text));
}

void tst_ServiceRuntime::startAndStop()
{
    installService({ QStringLiteral("gamma") });
    manager().setStartedByServiceManager(true);
    TestService service;

    QVERIFY(runWithDriver(service, [] { return ServiceController(Name).stop(); }));

    QCOMPARE(manager().reportedStates(),
             (States{ SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                      SERVICE_STOP_PENDING, SERVICE_STOPPED }));
    const QList<SERVICE_STATUS> reports = manager().statusReports();
    for (const SERVICE_STATUS &status : reports) {
        QCOMPARE(status.dwServiceType, DWORD(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS));
        QCOMPARE(status.dwControlsAccepted, DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE));
    }
    QCOMPARE(reports.last().dwWin32ExitCode, DWORD(0));

    QCOMPARE(service.operations, (QStringList{ "start", "stop" }));
    // The application got the manager's arguments: the service name first.
    QCOMPARE(service.applicationArguments, (QStringList{ Name, "gamma" }));
    QCOMPARE(service.createCalls, 1);
    QCOMPARE(QCoreApplication::instance(), nullptr);
}

void tst_ServiceRuntime::pauseAndContinue()
{
    installService();
    manager().setStartedByServiceManager(true);
    TestService service;

    QVERIFY(runWithDriver(service, [] {
        ServiceController controller(Name);
        return controller.pause() && controller.resume() && controller.stop();
    }));

    QCOMPARE(manager().reportedStates(),
             (States{ SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_PAUSE_PENDING,
                      SERVICE_PAUSED, SERVICE_PAUSED, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING,
                      SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED }));
    QCOMPARE(service.operations, (QStringList{ "start", "pause", "resume", "stop" }));

    // Every operation ran in the application thread, none in the
    // manager's threads that delivered the controls.
    for (Qt::HANDLE thread : qAsConst(service.threads))
        QCOMPARE(thread, QThread::currentThreadId());
    const QList<Qt::HANDLE> handlerThreads = manager().handlerThreads();
    QCOMPARE(handlerThreads.size(), 3);
    for (Qt::HANDLE thread : handlerThreads)
        QVERIFY(thread != QThread::currentThreadId());
}

void tst_ServiceRuntime::userCommand()
{
    installService();
    manager().setStartedByServiceManager(true);
    TestService service;

    QVERIFY(runWithDriver(service, [] {
        ServiceController controller(Name);
        return controller.sendCommand(2) && controller.stop();
    }));
    QCOMPARE(service.operations, (QStringList{ "start", "command 2", "stop" }));
    QCOMPARE(service.threads.at(1), QThread::currentThreadId());
    QVERIFY(manager().calls().contains(QStringLiteral("ControlService Quillport 130")));
    // A user command changes no state: only the current one is reported again.
    QCOMPARE(manager().reportedStates(),
             (States{ SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_RUNNING,
                      SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED }));
}

void tst_ServiceRuntime::unhandledControls_data()
{
    QTest::addColumn<DWORD>("control");
    QTest::newRow("interrogate") << DWORD(SERVICE_CONTROL_INTERROGATE);
    QTest::newRow("6") << DWORD(6);
    QTest::newRow("127") << DWORD(127);
    QTest::newRow("beyond the user codes") << DWORD(1256);
}

void tst_ServiceRuntime::unhandledControls()
{
    QFETCH(DWORD, control);

    installService();
    manager().setStartedByServiceManager(true);
    TestService service;

    QVERIFY(runWithDriver(service, [control] {
        return manager().deliverControl(control)
            && manager().deliverControl(SERVICE_CONTROL_STOP);
    }));
    // The current state once, nothing posted, nothing run.
    QCOMPARE(manager().reportedStates(),
             (States{ SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_RUNNING,
                      SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED }));
    QCOMPARE(service.operations, (QStringList{ "start", "stop" }));
}

void tst_ServiceRuntime::shutdown()
{
    installService();
    manager().setStartedByServiceManager(true);
    TestService service;
    service.setServiceFlags(ServiceBase::PauseAllowed | ServiceBase::StopOnShutdown);

    QVERIFY(runWithDriver(service, [] {
        return manager().deliverControl(SERVICE_CONTROL_SHUTDOWN);
    }));
    QCOMPARE(service.operations, (QStringList{ "start", "stop" }));
    QCOMPARE(manager().reportedStates().last(), DWORD(SERVICE_STOPPED));
    QVERIFY(!manager().reportedStates().contains(SERVICE_STOP_PENDING));
}

void tst_ServiceRuntime::exitCodeFromStart()
{
    // start() ends the loop while its start-up control is still being
    // handled: whatever the timing, the manager sees STOPPED last, with the
    // loop's exit code. Repeated to give a wrong order a chance to show.
    for (int round = 0; round < 25; ++round) {
        manager().reset();
        installService();
        manager().setStartedByServiceManager(true);
        TestService service;
        service.exitInStart = true;
        service.startExitCode = -98;

        QVERIFY(service.runAsService());
        const QList<SERVICE_STATUS> reports = manager().statusReports();
        QVERIFY(!reports.isEmpty());
        QCOMPARE(reports.last().dwCurrentState, DWORD(SERVICE_STOPPED));
        QCOMPARE(reports.last().dwWin32ExitCode, DWORD(0xFFFFFF9E));
        QCOMPARE(manager().reportedStates().count(SERVICE_STOPPED), 1);
        QCOMPARE(service.operations, QStringList{ "start" });
    }
}

void tst_ServiceRuntime::acceptedControls_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<DWORD>("accepted");

    QTest::newRow("default") << int(ServiceBase::Default) << DWORD(SERVICE_ACCEPT_STOP);
    QTest::newRow("pause allowed") << int(ServiceBase::PauseAllowed)
                                   << DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE);
    QTest::newRow("stop refused") << int(ServiceBase::StopRefused) << DWORD(0);
    QTest::newRow("stop refused, pause allowed") << int(ServiceBase::StopRefused | ServiceBase::PauseAllowed)
                                                 << DWORD(SERVICE_ACCEPT_PAUSE_CONTINUE);
    QTest::newRow("stop on shutdown") << int(ServiceBase::StopOnShutdown)
                                      << DWORD(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
}

void tst_ServiceRuntime::acceptedControls()
{
    QFETCH(int, flags);
    QFETCH(DWORD, accepted);

    installService();
    manager().setStartedByServiceManager(true);
    TestService service;
    service.setServiceFlags(ServiceBase::ServiceFlags(flags));

    QVERIFY(runWithDriver(service, [] {
        return manager().deliverControl(SERVICE_CONTROL_STOP);
    }));
    const QList<SERVICE_STATUS> reports = manager().statusReports();
    QVERIFY(!reports.isEmpty());
    for (const SERVICE_STATUS &status : reports)
        QCOMPARE(status.dwControlsAccepted, accepted);
}

void tst_ServiceRuntime::flagChangeWhileRunning()
{
    installService();
    manager().setStartedByServiceManager(true);
    TestService service;
    service.flagsOnCommand = ServiceBase::PauseAllowed | ServiceBase::StopOnShutdown;

    QVERIFY(runWithDriver(service, [] {
        return ServiceController(Name).sendCommand(1)
            && manager().deliverControl(SERVICE_CONTROL_STOP);
    }));

    // Reported at once, from within the command, then kept.
    const QList<SERVICE_STATUS> reports = manager().statusReports();
    QCOMPARE(reports.size(), 8);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(reports.at(i).dwControlsAccepted, DWORD(0x3));
    QCOMPARE(reports.at(3).dwCurrentState, DWORD(SERVICE_RUNNING));
    for (int i = 3; i < reports.size(); ++i)
        QCOMPARE(reports.at(i).dwControlsAccepted, DWORD(0x7));

    // The same value again changes nothing and reports nothing.
    manager().clearRecords();
    service.setServiceFlags(service.serviceFlags());
    QCOMPARE(manager().callCount(QStringLiteral("SetServiceStatus")), 0);
}

void tst_ServiceRuntime::nativeEventFilter_data()
{
    QTest::addColumn<QByteArray>("eventType");
    QTest::addColumn<UINT>("message");
    QTest::addColumn<qint64>("lParam");
    QTest::addColumn<bool>("swallowed");

    const QByteArray generic("windows_generic_MSG");
    QTest::newRow("end of session, log-off") << generic << UINT(WM_ENDSESSION) << qint64(ENDSESSION_LOGOFF) << true;
    QTest::newRow("end of session, log-off and more")
        << generic << UINT(WM_ENDSESSION) << qint64(ENDSESSION_LOGOFF | 0x1) << true;
    QTest::newRow("end of session, shutdown") << generic << UINT(WM_ENDSESSION) << qint64(0) << false;
    QTest::newRow("end of session, critical") << generic << UINT(WM_ENDSESSION) << qint64(0x40000000) << false;
    QTest::newRow("query end of session, log-off")
        << generic << UINT(0x0011) << qint64(ENDSESSION_LOGOFF) << false;
    QTest::newRow("any other message") << generic << UINT(0x0010) << qint64(0) << false;
    // The other name under which Windows' event dispatcher hands over a MSG.
    QTest::newRow("end of session, log-off, to the dispatcher's window")
        << QByteArray("windows_dispatcher_MSG") << UINT(WM_ENDSESSION) << qint64(ENDSESSION_LOGOFF) << true;
    // A GUI application's events on other platforms are records of their
    // own, whatever their bytes happen to be.
    QTest::newRow("~xcb event") << QByteArray("xcb_generic_event_t") << UINT(WM_ENDSESSION)
                                << qint64(ENDSESSION_LOGOFF) << false;
    QTest::newRow("~Cocoa event") << QByteArray("mac_generic_NSEvent") << UINT(WM_ENDSESSION)
                                  << qint64(ENDSESSION_LOGOFF) << false;
}

void tst_ServiceRuntime::nativeEventFilter()
{
    QFETCH(QByteArray, eventType);
    QFETCH(UINT, message);
    QFETCH(qint64, lParam);
    QFETCH(bool, swallowed);

    MSG msg = {};
    msg.message = message;
    msg.lParam = LPARAM(lParam);
    long result = -5;
    ServiceAppEventFilter *filter = ServiceAppEventFilter::instance();
    QCOMPARE(filter, ServiceAppEventFilter::instance());
    QCOMPARE(filter->nativeEventFilter(eventType, &msg, &result), swallowed);
    QCOMPARE(result, swallowed ? 1L : -5L);
}

QTEST_APPLESS_MAIN(tst_ServiceRuntime)
#include "tst_serviceruntime.moc"
