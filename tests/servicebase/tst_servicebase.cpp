// ServiceBase in process, over the emulated service manager: name checks,
// the event log, and every row of the command line with its messages.
#include "arguments.h"
#include "emulatedservicemanager.h"
#include "outputcapture.h"
#include "service.h"

#include <QtTest>

namespace {

QStringList recordedMessages;

void recordMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg)
        recordedMessages << message;
}

// A service that runs only when asked to, and remembers what it was asked.
class TestService : public Service<QCoreApplication>
{
public:
    explicit TestService(const QStringList &arguments, const QString &name = QStringLiteral("Quillport"))
        : TestService(Arguments(arguments), name)
    {
    }

    QStringList applicationArguments;
    int startCalls = 0;
    int exitCode = 0;
    bool createNoApplication = false;

protected:
    void start() override
    {
        ++startCalls;
        applicationArguments = QCoreApplication::arguments();
        QCoreApplication::exit(exitCode);
    }

    void createApplication(int &argc, char **argv) override
    {
        if (!createNoApplication)
            Service<QCoreApplication>::createApplication(argc, argv);
    }

private:

    TestService(Arguments arguments, const QString &name)
        : Service<QCoreApplication>(arguments.argc(), arguments.argv(), name)
    {
    }
};

EmulatedServiceManager &manager()
{
    return EmulatedServiceManager::instance();
}

EmulatedServiceManager::Service installedService(DWORD state = SERVICE_STOPPED)
{
    EmulatedServiceManager::Service service;
    service.name = service.displayName = QStringLiteral("Quillport");
    service.binaryPath = QStringLiteral("/opt/quillport");
    service.state = state;
    return service;
}

const QStringList program{ QStringLiteral("/usr/bin/quillport") };

} // namespace

class tst_ServiceBase : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void nameChecks_data();
    void nameChecks();
    void instance();
    void logMessage_data();
    void logMessage();
    void logMessageWithoutEventLog();

    void install_data();
    void install();
    void uninstall_data();
    void uninstall();
    void version_data();
    void version();
    void controls_data();
    void controls();
    void stopFailure();
    void runAsServiceRow_data();
    void runAsServiceRow();
    void foregroundRun();
    void foregroundRunWithoutApplication();
};

void tst_ServiceBase::initTestCase()
{
    QVERIFY(EmulatedServiceManager::install());
}

void tst_ServiceBase::init()
{
    manager().reset();
    recordedMessages.clear();
}

void tst_ServiceBase::nameChecks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expectedName");
    QTest::addColumn<QStringList>("warnings");

    const QString longest(255, QLatin1Char('n'));
    QTest::newRow("255 characters") << longest << longest << QStringList();
    QTest::newRow("256 characters") << longest + QLatin1Char('x') << longest
                                    << QStringList{ "Service: 'name' is longer than 255 characters." };
    QTest::newRow("300 characters") << QString(300, QLatin1Char('n')) << longest
                                    << QStringList{ "Service: 'name' is longer than 255 characters." };
    QTest::newRow("one backslash") << "a\\b" << QStringLiteral("a%1b").arg(QChar(0))
                                   << QStringList{ "Service: 'name' contains backslashes '\\'." };
    QTest::newRow("three backslashes")
        << "\\a\\b\\" << QStringLiteral("%1a%1b%1").arg(QChar(0))
        << QStringList{ "Service: 'name' contains backslashes '\\'." };
    QTest::newRow("both") << QString(300, QLatin1Char('\\')) << QString(255, QChar(0))
                          << QStringList{ "Service: 'name' is longer than 255 characters.",
                                          "Service: 'name' contains backslashes '\\'." };
}

void tst_ServiceBase::nameChecks()
{
    QFETCH(QString, name);
    QFETCH(QString, expectedName);
    QFETCH(QStringList, warnings);

    const QtMessageHandler previous = qInstallMessageHandler(recordMessage);
    TestService service(program, name);
    qInstallMessageHandler(previous);

    QCOMPARE(recordedMessages, warnings);
    QCOMPARE(service.serviceName(), expectedName);
}

void tst_ServiceBase::instance()
{
    QCOMPARE(ServiceBase::instance(), nullptr);
    {
        TestService service(program);
        QCOMPARE(ServiceBase::instance(), &service);
        QCOMPARE(service.startupType(), ServiceBase::StartOnDemand);
        QCOMPARE(service.serviceFlags(), ServiceBase::ServiceFlags());
        QCOMPARE(service.arguments(), program);
    }
    QCOMPARE(ServiceBase::instance(), nullptr);
}

void tst_ServiceBase::logMessage_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<uint>("category");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("platformType");
    QTest::addColumn<int>("platformCategory");

    QTest::newRow("success") << 0 << 0u << QByteArray() << EVENTLOG_SUCCESS << 0;
    QTest::newRow("error") << 1 << 0u << QByteArray() << EVENTLOG_ERROR_TYPE << 0;
    QTest::newRow("warning") << 2 << 3u << QByteArray("x") << EVENTLOG_WARNING_TYPE << 3;
    QTest::newRow("information") << 3 << 0xFFFFu << QByteArray() << EVENTLOG_INFORMATION_TYPE << 0xFFFF;
    QTest::newRow("type 7 is success") << 7 << 0u << QByteArray() << EVENTLOG_SUCCESS << 0;
    QTest::newRow("category cut to 16 bits")
        << 3 << 0x12345u << QByteArray("raw\0data", 8) << EVENTLOG_INFORMATION_TYPE << 0x2345;
}

void tst_ServiceBase::logMessage()
{
    QFETCH(int, type);
    QFETCH(uint, category);
    QFETCH(QByteArray, data);
    QFETCH(int, platformType);
    QFETCH(int, platformCategory);

    TestService service(program);
    service.logMessage(QStringLiteral("Printer ready: \u00e9t\u00e9"), ServiceBase::EventType(type), 42,
                       category, data);

    const QList<EmulatedServiceManager::EventEntry> events = manager().events();
    QCOMPARE(events.size(), 1);
    const EmulatedServiceManager::EventEntry &entry = events.first();
    QCOMPARE(entry.source, QStringLiteral("Quillport"));
    QCOMPARE(int(entry.type), platformType);
    QCOMPARE(int(entry.category), platformCategory);
    QCOMPARE(entry.id, DWORD(42));
    QVERIFY(!entry.userSid);
    QCOMPARE(entry.strings, QStringList{ QStringLiteral("Printer ready: \u00e9t\u00e9") });
    QCOMPARE(entry.dataSize, DWORD(data.size()));
    QCOMPARE(entry.dataPointer, !data.isEmpty());
    QCOMPARE(entry.data, data);
    // The source is registered and released around the one entry.
    QCOMPARE(manager().callCount(QStringLiteral("RegisterEventSourceW")), 1);
    QCOMPARE(manager().callCount(QStringLiteral("DeregisterEventSource")), 1);
}

void tst_ServiceBase::logMessageWithoutEventLog()
{
    manager().setEventLogAvailable(false);
    TestService service(program);
    service.logMessage(QStringLiteral("lost"), ServiceBase::ErrorEvent);
    QVERIFY(manager().events().isEmpty());
    QCOMPARE(manager().callCount(QStringLiteral("ReportEventW")), 0);
}

void tst_ServiceBase::install_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("installedBefore");
    QTest::addColumn<DWORD>("managerDenied");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QString>("account");

    const QByteArray installed = "The service Quillport has been installed under: "
        + thisProgramPath().toLatin1() + "\n";
    QTest::newRow("-i") << QStringList{ "-i" } << false << DWORD(0) << 0 << installed << QByteArray()
                        << QString();
    QTest::newRow("-install account password")
        << QStringList{ "-install", "alice", "secret" } << false << DWORD(0) << 0 << installed
        << QByteArray() << ".\\alice";
    QTest::newRow("already installed") << QStringList{ "-i" } << true << DWORD(0) << 0 << QByteArray()
                                       << QByteArray("The service Quillport is already installed\n")
                                       << QString();
    QTest::newRow("refused") << QStringList{ "-i" } << false << DWORD(SC_MANAGER_CREATE_SERVICE) << -1
                             << QByteArray()
                             << QByteArray("The service Quillport could not be installed\n") << QString();
}

void tst_ServiceBase::install()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, installedBefore);
    QFETCH(DWORD, managerDenied);
    QFETCH(int, result);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QString, account);

    if (installedBefore)
        manager().addService(installedService());
    manager().setManagerDeniedAccess(managerDenied);

    TestService service(program + arguments);
    service.setServiceDescription(QStringLiteral("Print server"));
    OutputCapture capture;
    QCOMPARE(service.exec(), result);
    capture.finish();
    QCOMPARE(capture.standardOutput(), out);
    QCOMPARE(capture.standardError(), err);

    if (result == 0 && !installedBefore) {
        const EmulatedServiceManager::Service created = manager().service(QStringLiteral("Quillport"));
        QCOMPARE(created.binaryPath, service.filePath());
        QCOMPARE(created.account, account);
        QCOMPARE(created.description, QStringLiteral("Print server"));
    }
    QCOMPARE(manager().openHandles(), 0);
}

void tst_ServiceBase::uninstall_data()
{
    QTest::addColumn<bool>("installedBefore");
    QTest::addColumn<DWORD>("deniedAccess");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    QTest::newRow("installed") << true << DWORD(0) << 0
                               << QByteArray("The service Quillport has been uninstalled.\n") << QByteArray();
    QTest::newRow("not installed") << false << DWORD(0) << 0 << QByteArray()
                                   << QByteArray("The service Quillport is not installed\n");
    QTest::newRow("delete refused") << true << DWORD(DELETE) << -1 << QByteArray()
                                    << QByteArray("The service Quillport could not be uninstalled\n");
}

void tst_ServiceBase::uninstall()
{
    QFETCH(bool, installedBefore);
    QFETCH(DWORD, deniedAccess);
    QFETCH(int, result);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    if (installedBefore) {
        EmulatedServiceManager::Service service = installedService();
        service.deniedAccess = deniedAccess;
        manager().addService(service);
    }
    for (const char *option : { "-u", "-uninstall" }) {
        TestService service(program + QStringList{ QLatin1String(option) });
        OutputCapture capture;
        QCOMPARE(service.exec(), result);
        capture.finish();
        QCOMPARE(capture.standardOutput(), out);
        QCOMPARE(capture.standardError(), err);
        QCOMPARE(manager().hasService(QStringLiteral("Quillport")), installedBefore && result != 0);
        if (installedBefore && result == 0)
            manager().addService(installedService());
    }
}

void tst_ServiceBase::version_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<DWORD>("state");
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("not installed") << false << DWORD(SERVICE_STOPPED)
                                   << QByteArray("is not installed and not running\n\n");
    QTest::newRow("stopped") << true << DWORD(SERVICE_STOPPED)
                             << QByteArray("is installed and not running\n\n");
    QTest::newRow("running") << true << DWORD(SERVICE_RUNNING) << QByteArray("is installed and running\n\n");
    QTest::newRow("paused") << true << DWORD(SERVICE_PAUSED) << QByteArray("is installed and running\n\n");
}

void tst_ServiceBase::version()
{
    QFETCH(bool, installed);
    QFETCH(DWORD, state);
    QFETCH(QByteArray, status);

    if (installed)
        manager().addService(installedService(state));
    TestService service(program + QStringList{ QStringLiteral("-version") });
    OutputCapture capture;
    QCOMPARE(service.exec(), 0);
    capture.finish();
    QCOMPARE(capture.standardOutput(), "The service\n\tQuillport\n\t/usr/bin/quillport\n\n" + status);
    QCOMPARE(capture.standardError(), QByteArray());
}

void tst_ServiceBase::controls_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QList<DWORD>>("controls");

    using Controls = QList<DWORD>;
    QTest::newRow("-t") << QStringList{ "-t" } << Controls{ SERVICE_CONTROL_STOP };
    QTest::newRow("-terminate") << QStringList{ "-terminate" } << Controls{ SERVICE_CONTROL_STOP };
    QTest::newRow("-p") << QStringList{ "-p" } << Controls{ SERVICE_CONTROL_PAUSE };
    QTest::newRow("-pause") << QStringList{ "-pause" } << Controls{ SERVICE_CONTROL_PAUSE };
    QTest::newRow("-r") << QStringList{ "-r" } << Controls{ SERVICE_CONTROL_CONTINUE };
    QTest::newRow("-resume") << QStringList{ "-resume" } << Controls{ SERVICE_CONTROL_CONTINUE };
    QTest::newRow("-c without a number") << QStringList{ "-c" } << Controls{ 128 };
    QTest::newRow("-c abc") << QStringList{ "-c", "abc" } << Controls{ 128 };
    QTest::newRow("-c 5") << QStringList{ "-c", "5" } << Controls{ 133 };
    QTest::newRow("-command 127") << QStringList{ "-command", "127" } << Controls{ 255 };
    QTest::newRow("-c 128 is refused") << QStringList{ "-c", "128" } << Controls{};
    QTest::newRow("-c -1 is refused") << QStringList{ "-c", "-1" } << Controls{};
}

void tst_ServiceBase::controls()
{
    QFETCH(QStringList, arguments);
    QFETCH(QList<DWORD>, controls);

    manager().addService(installedService(SERVICE_RUNNING));
    TestService service(program + arguments);
    OutputCapture capture;
    QCOMPARE(service.exec(), 0);
    capture.finish();
    QCOMPARE(capture.standardOutput(), QByteArray());
    QCOMPARE(capture.standardError(), QByteArray());
    QCOMPARE(manager().service(QStringLiteral("Quillport")).controls, controls);
    QVERIFY(service.startCalls == 0);
}

void tst_ServiceBase::stopFailure()
{
    // Stopping a service that is not installed fails: a warning, and still 0.
    TestService service(program + QStringList{ QStringLiteral("-t") });
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^The service could not be stopped\\.")));
    QCOMPARE(service.exec(), 0);
}

void tst_ServiceBase::runAsServiceRow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("err");

    const QByteArray noStart = "The service Quillport could not start\n";
    QTest::newRow("no option, installed") << QStringList() << true << 0 << QByteArray();
    QTest::newRow("no option, not installed") << QStringList() << false << -4 << noStart;
    QTest::newRow("-I") << QStringList{ "-I" } << true << 0 << QByteArray();
    QTest::newRow("--install") << QStringList{ "--install", "x" } << true << 0 << QByteArray();
    QTest::newRow("/i") << QStringList{ "/i" } << true << 0 << QByteArray();
    QTest::newRow("-inst") << QStringList{ "-inst" } << false << -4 << noStart;
    QTest::newRow("-H") << QStringList{ "-H" } << true << 0 << QByteArray();
}

void tst_ServiceBase::runAsServiceRow()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, installed);
    QFETCH(int, result);
    QFETCH(QByteArray, err);

    if (installed)
        manager().addService(installedService());
    TestService service(program + arguments);
    OutputCapture capture;
    QCOMPARE(service.exec(), result);
    capture.finish();
    QCOMPARE(capture.standardOutput(), QByteArray());
    QCOMPARE(capture.standardError(), err);
    // Run from a console, the installed service is started with every word
    // after the program path, and no application runs here.
    if (installed)
        QCOMPARE(manager().service(QStringLiteral("Quillport")).startArguments, arguments);
    QCOMPARE(service.startCalls, 0);
    QCOMPARE(QCoreApplication::instance(), nullptr);
}

void tst_ServiceBase::foregroundRun()
{
    TestService service(program + QStringList{ "-e", "one", "two" });
    service.exitCode = -98;
    QCOMPARE(service.exec(), -98);
    QCOMPARE(service.startCalls, 1);
    QCOMPARE(service.applicationArguments, (program + QStringList{ "one", "two" }));
    QCOMPARE(QCoreApplication::instance(), nullptr);
    // The foreground run never talks to the service manager.
    QCOMPARE(manager().calls(), QStringList());
}

void tst_ServiceBase::foregroundRunWithoutApplication()
{
    TestService service(program + QStringList{ "-exec" });
    service.createNoApplication = true;
    QTest::ignoreMessage(QtCriticalMsg,
                         QRegularExpression(QStringLiteral("^The service could not be executed\\.")));
    QCOMPARE(service.exec(), -1);
    QCOMPARE(service.startCalls, 0);
}

QTEST_APPLESS_MAIN(tst_ServiceBase)
#include "tst_servicebase.moc"
