// ServiceController and the registration of the running program, over the
// emulated service manager.
#include "emulatedservicemanager.h"
#include "service.h"
#include "servicecontroller.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

const QString Name = QStringLiteral("Quillport");

EmulatedServiceManager &manager()
{
    return EmulatedServiceManager::instance();
}

EmulatedServiceManager::Service serviceIn(DWORD state)
{
    EmulatedServiceManager::Service service;
    service.name = service.displayName = Name;
    service.binaryPath = QStringLiteral("C:\\Program Files\\Quillport\\quillport.exe");
    service.state = state;
    return service;
}

class TestService : public Service<QCoreApplication>
{
public:
    explicit TestService(const QString &name = Name)
        : Service<QCoreApplication>(1, argv, name)
    {
    }

protected:
    void start() override {}

private:
    static char *argv[];
};

char programName[] = "quillport";
char *TestService::argv[] = { programName, nullptr };

} // namespace

Q_DECLARE_METATYPE(std::function<void(ServiceController &)>)

class tst_ServiceController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void unknownService();
    void accessRights_data();
    void accessRights();
    void isRunning_data();
    void isRunning();
    void configuration_data();
    void configuration();
    void startArguments();
    void stopPolling_data();
    void stopPolling();
    void stopRefused();
    void sendCommand_data();
    void sendCommand();
    void sendCommandToStoppedService();
    void uninstall();

    void installService_data();
    void installService();
    void installStartTypeAndDescription_data();
    void installStartTypeAndDescription();
    void installExistingName();
    void installThroughChildProcess();
    void filePath();
};

void tst_ServiceController::initTestCase()
{
    QVERIFY(EmulatedServiceManager::install());
}

void tst_ServiceController::init()
{
    manager().reset();
}

void tst_ServiceController::cleanup()
{
    // Every operation closes what it opened, whatever its outcome.
    QCOMPARE(manager().openHandles(), 0);
}

void tst_ServiceController::unknownService()
{
    manager().addService(serviceIn(SERVICE_RUNNING));
    ServiceController controller(QStringLiteral("Other"));
    QCOMPARE(controller.serviceName(), QStringLiteral("Other"));
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.isRunning());
    QCOMPARE(controller.serviceFilePath(), QString());
    QCOMPARE(controller.serviceDescription(), QString());
    QCOMPARE(controller.startupType(), ServiceBase::StartOnDemand);
    QVERIFY(!controller.uninstall());
    QVERIFY(!controller.start());
    QVERIFY(!controller.stop());
    QVERIFY(!controller.pause());
    QVERIFY(!controller.resume());
    QVERIFY(!controller.sendCommand(1));
    QCOMPARE(manager().callCount(QStringLiteral("ControlService")), 0);
    QVERIFY(manager().service(Name).controls.isEmpty());
}

void tst_ServiceController::accessRights_data()
{
    QTest::addColumn<std::function<void(ServiceController &)>>("operation");
    QTest::addColumn<QString>("managerAccess");
    QTest::addColumn<QString>("serviceAccess");

    using Op = std::function<void(ServiceController &)>;
    QTest::newRow("isInstalled") << Op([](ServiceController &c) { c.isInstalled(); }) << "0x0" << "0x1";
    QTest::newRow("isRunning") << Op([](ServiceController &c) { c.isRunning(); }) << "0x0" << "0x4";
    QTest::newRow("serviceFilePath") << Op([](ServiceController &c) { c.serviceFilePath(); }) << "0x0" << "0x1";
    QTest::newRow("serviceDescription")
        << Op([](ServiceController &c) { c.serviceDescription(); }) << "0x0" << "0x1";
    QTest::newRow("startupType") << Op([](ServiceController &c) { c.startupType(); }) << "0x0" << "0x1";
    QTest::newRow("uninstall") << Op([](ServiceController &c) { c.uninstall(); }) << "0xf003f" << "0x10000";
    QTest::newRow("start") << Op([](ServiceController &c) { c.start(); }) << "0x1" << "0x10";
    QTest::newRow("stop") << Op([](ServiceController &c) { c.stop(); }) << "0x1" << "0x24";
    QTest::newRow("pause") << Op([](ServiceController &c) { c.pause(); }) << "0x1" << "0x40";
    QTest::newRow("resume") << Op([](ServiceController &c) { c.resume(); }) << "0x1" << "0x40";
}

void tst_ServiceController::accessRights()
{
    QFETCH(std::function<void(ServiceController &)>, operation);
    QFETCH(QString, managerAccess);
    QFETCH(QString, serviceAccess);

    manager().addService(serviceIn(SERVICE_STOPPED));
    ServiceController controller(Name);
    operation(controller);
    const QStringList calls = manager().calls();
    QVERIFY2(calls.size() >= 2, qPrintable(calls.join(QLatin1String("; "))));
    QCOMPARE(calls.at(0), "OpenSCManagerW " + managerAccess);
    QCOMPARE(calls.at(1), "OpenServiceW Quillport " + serviceAccess);
    QCOMPARE(manager().callCount(QStringLiteral("OpenSCManagerW")), 1);
    QCOMPARE(manager().callCount(QStringLiteral("CloseServiceHandle")), 2);
}

void tst_ServiceController::isRunning_data()
{
    QTest::addColumn<DWORD>("state");
    QTest::addColumn<bool>("running");

    QTest::newRow("stopped") << DWORD(SERVICE_STOPPED) << false;
    QTest::newRow("start pending") << DWORD(SERVICE_START_PENDING) << true;
    QTest::newRow("stop pending") << DWORD(SERVICE_STOP_PENDING) << true;
    QTest::newRow("running") << DWORD(SERVICE_RUNNING) << true;
    QTest::newRow("continue pending") << DWORD(SERVICE_CONTINUE_PENDING) << true;
    QTest::newRow("pause pending") << DWORD(SERVICE_PAUSE_PENDING) << true;
    QTest::newRow("paused") << DWORD(SERVICE_PAUSED) << true;
}

void tst_ServiceController::isRunning()
{
    QFETCH(DWORD, state);
    QFETCH(bool, running);

    EmulatedServiceManager::Service service = serviceIn(state);
    service.stopPolls = 5; // a pending stop stays pending while we look
    manager().addService(service);
    ServiceController controller(Name);
    QVERIFY(controller.isInstalled());
    QCOMPARE(controller.isRunning(), running);
}

void tst_ServiceController::configuration_data()
{
    QTest::addColumn<DWORD>("startType");
    QTest::addColumn<int>("startupType");
    QTest::addColumn<QString>("description");

    QTest::newRow("demand start") << DWORD(SERVICE_DEMAND_START) << int(ServiceBase::StartOnDemand)
                                  << "Raw print server";
    QTest::newRow("automatic") << DWORD(SERVICE_AUTO_START) << int(ServiceBase::StartAutomatically)
                               << QString();
    QTest::newRow("boot") << DWORD(SERVICE_BOOT_START) << int(ServiceBase::StartAutomatically) << "x";
    QTest::newRow("system") << DWORD(SERVICE_SYSTEM_START) << int(ServiceBase::StartAutomatically)
                            << "\u00fcber";
    QTest::newRow("disabled") << DWORD(SERVICE_DISABLED) << int(ServiceBase::StartAutomatically)
                              << QString(3000, QLatin1Char('d'));
}

void tst_ServiceController::configuration()
{
    QFETCH(DWORD, startType);
    QFETCH(int, startupType);
    QFETCH(QString, description);

    EmulatedServiceManager::Service service = serviceIn(SERVICE_STOPPED);
    service.startType = startType;
    service.description = description;
    service.hasDescription = !description.isEmpty();
    manager().addService(service);

    ServiceController controller(Name);
    QCOMPARE(int(controller.startupType()), startupType);
    QCOMPARE(controller.serviceFilePath(), service.binaryPath);
    QCOMPARE(controller.serviceDescription(), description);
}

void tst_ServiceController::startArguments()
{
    manager().addService(serviceIn(SERVICE_STOPPED));
    ServiceController controller(Name);
    QVERIFY(controller.start());
    QVERIFY(manager().calls().contains(QStringLiteral("StartServiceW Quillport 0")));
    QCOMPARE(manager().service(Name).startArguments, QStringList());

    QVERIFY(!controller.start()); // already running
    QVERIFY(controller.stop());
    const QStringList arguments{ QStringLiteral("-x"), QString(), QStringLiteral("\u00e9") };
    QVERIFY(controller.start(arguments));
    QCOMPARE(manager().service(Name).startArguments, arguments);
}

void tst_ServiceController::stopPolling_data()
{
    QTest::addColumn<int>("stopPolls");
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<int>("queries");

    QTest::newRow("stopped in the reply") << 0 << true << 0;
    QTest::newRow("stopped at the first poll") << 1 << true << 1;
    QTest::newRow("stopped at the tenth poll") << 10 << true << 10;
    QTest::newRow("needs an eleventh poll") << 11 << false << 10;
}

void tst_ServiceController::stopPolling()
{
    QFETCH(int, stopPolls);
    QFETCH(bool, stopped);
    QFETCH(int, queries);

    EmulatedServiceManager::Service service = serviceIn(SERVICE_RUNNING);
    service.stopPolls = stopPolls;
    manager().addService(service);

    ServiceController controller(Name);
    QCOMPARE(controller.stop(), stopped);
    QCOMPARE(manager().callCount(QStringLiteral("QueryServiceStatus")), queries);
    // The stop itself was delivered either way.
    QCOMPARE(manager().service(Name).controls, QList<DWORD>{ SERVICE_CONTROL_STOP });
}

void tst_ServiceController::stopRefused()
{
    manager().addService(serviceIn(SERVICE_STOPPED));
    ServiceController controller(Name);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^stopping")));
    QVERIFY(!controller.stop());
    QCOMPARE(manager().callCount(QStringLiteral("QueryServiceStatus")), 0);
}

void tst_ServiceController::sendCommand_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QList<DWORD>>("controls");

    QTest::newRow("-1") << -1 << false << QList<DWORD>();
    QTest::newRow("128") << 128 << false << QList<DWORD>();
    QTest::newRow("min int") << int(0x80000000) << false << QList<DWORD>();
    QTest::newRow("0") << 0 << true << QList<DWORD>{ 128 };
    QTest::newRow("2") << 2 << true << QList<DWORD>{ 130 };
    QTest::newRow("127") << 127 << true << QList<DWORD>{ 255 };
}

void tst_ServiceController::sendCommand()
{
    QFETCH(int, code);
    QFETCH(bool, sent);
    QFETCH(QList<DWORD>, controls);

    manager().addService(serviceIn(SERVICE_RUNNING));
    ServiceController controller(Name);
    QCOMPARE(controller.sendCommand(code), sent);
    QCOMPARE(manager().service(Name).controls, controls);
    // A code out of range is refused before the manager is even opened.
    if (!sent)
        QCOMPARE(manager().calls(), QStringList());
    else
        QVERIFY(manager().calls().contains("OpenServiceW Quillport 0x100"));
}

void tst_ServiceController::sendCommandToStoppedService()
{
    manager().addService(serviceIn(SERVICE_STOPPED));
    ServiceController controller(Name);
    QVERIFY(!controller.sendCommand(1));
    QCOMPARE(manager().callCount(QStringLiteral("ControlService")), 0);
}

void tst_ServiceController::uninstall()
{
    manager().addService(serviceIn(SERVICE_STOPPED));
    ServiceController controller(Name);
    QVERIFY(controller.uninstall());
    QVERIFY(!manager().hasService(Name));
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.uninstall());
}

void tst_ServiceController::installService_data()
{
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accountGiven");
    QTest::addColumn<QString>("passedAccount");
    QTest::addColumn<bool>("passwordGiven");
    QTest::addColumn<DWORD>("serviceType");

    const DWORD localSystem = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    const DWORD ownProcess = SERVICE_WIN32_OWN_PROCESS;
    QTest::newRow("no account") << QString() << QString() << false << QString() << false << localSystem;
    QTest::newRow("no account, a password") << QString() << "pw" << false << QString() << false << localSystem;
    QTest::newRow("LocalSystem") << "LocalSystem" << "pw" << false << QString() << false << localSystem;
    QTest::newRow("domain\\LocalSystem") << "CORP\\LocalSystem" << "" << false << QString() << false
                                         << localSystem;
    QTest::newRow("localsystem is an account") << "localsystem" << "" << true << ".\\localsystem" << false
                                               << ownProcess;
    QTest::newRow("LocalSystemX is an account") << "LocalSystemX" << "pw" << true << ".\\LocalSystemX"
                                                << true << ownProcess;
    QTest::newRow("plain account, no password") << "alice" << "" << true << ".\\alice" << false << ownProcess;
    QTest::newRow("plain account, password") << "alice" << "secret" << true << ".\\alice" << true
                                             << ownProcess;
    QTest::newRow("domain account") << "CORP\\bob" << "pw" << true << "CORP\\bob" << true << ownProcess;
}

void tst_ServiceController::installService()
{
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(bool, accountGiven);
    QFETCH(QString, passedAccount);
    QFETCH(bool, passwordGiven);
    QFETCH(DWORD, serviceType);

    TestService service;
    QVERIFY(service.installService(account, password));
    QVERIFY(manager().hasService(Name));
    const EmulatedServiceManager::Service created = manager().service(Name);
    QCOMPARE(created.displayName, Name);
    QCOMPARE(created.binaryPath, service.filePath());
    QCOMPARE(created.desiredAccess, DWORD(SERVICE_ALL_ACCESS));
    QCOMPARE(created.errorControl, DWORD(SERVICE_ERROR_NORMAL));
    QCOMPARE(created.startType, DWORD(SERVICE_DEMAND_START));
    QCOMPARE(created.serviceType, serviceType);
    QCOMPARE(created.accountGiven, accountGiven);
    QCOMPARE(created.account, passedAccount);
    QCOMPARE(created.passwordGiven, passwordGiven);
    QCOMPARE(created.password, passwordGiven ? password : QString());
    QVERIFY(manager().calls().contains(QStringLiteral("OpenSCManagerW 0xf003f")));
}

void tst_ServiceController::installStartTypeAndDescription_data()
{
    QTest::addColumn<int>("startupType");
    QTest::addColumn<QString>("description");
    QTest::addColumn<DWORD>("startType");

    QTest::newRow("on demand, described") << int(ServiceBase::StartOnDemand) << "Print server"
                                          << DWORD(SERVICE_DEMAND_START);
    QTest::newRow("automatic, no description") << int(ServiceBase::StartAutomatically) << QString()
                                               << DWORD(SERVICE_AUTO_START);
    QTest::newRow("other value is on demand") << 7 << "x" << DWORD(SERVICE_DEMAND_START);
}

void tst_ServiceController::installStartTypeAndDescription()
{
    QFETCH(int, startupType);
    QFETCH(QString, description);
    QFETCH(DWORD, startType);

    TestService service;
    service.setStartupType(ServiceBase::StartupType(startupType));
    service.setServiceDescription(description);
    QVERIFY(service.installService(QString(), QString()));
    QCOMPARE(manager().service(Name).startType, startType);
    QCOMPARE(manager().callCount(QStringLiteral("ChangeServiceConfig2W")), description.isEmpty() ? 0 : 1);
    QCOMPARE(ServiceController(Name).serviceDescription(), description);
    QCOMPARE(int(ServiceController(Name).startupType()),
             startType == SERVICE_AUTO_START ? int(ServiceBase::StartAutomatically)
                                             : int(ServiceBase::StartOnDemand));
}

void tst_ServiceController::installExistingName()
{
    manager().addService(serviceIn(SERVICE_STOPPED));
    TestService service;
    QVERIFY(!service.installService(QString(), QString()));
    // The service that was there is left as it was.
    QCOMPARE(manager().service(Name).binaryPath, serviceIn(SERVICE_STOPPED).binaryPath);
}

void tst_ServiceController::installThroughChildProcess()
{
    // install() runs the given program with "-i", the account and the
    // password, empty ones included, and succeeds when it exits with 0.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString record = QDir::toNativeSeparators(dir.filePath(QStringLiteral("arguments")));
#ifdef Q_OS_WIN
    // A batch file sees an empty argument as "".
    const QString script = dir.filePath(QStringLiteral("installer.cmd"));
    const QByteArray text = "@echo %*> \"" + record.toLocal8Bit() + "\"\r\n@exit /b %INSTALLER_EXIT%\r\n";
    const QByteArray recorded = "-i alice \"\"\r\n";
#else
    const QString script = dir.filePath(QStringLiteral("installer"));
    const QByteArray text = "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > \"" + record.toLocal8Bit()
        + "\"\nexit \"${INSTALLER_EXIT:-0}\"\n";
    const QByteArray recorded = "3|-i|alice||";
#endif
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    qputenv("INSTALLER_EXIT", "0");
    QVERIFY(ServiceController::install(script, QStringLiteral("alice"), QString()));
    QFile written(record);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), recorded);

    qputenv("INSTALLER_EXIT", "1");
    QVERIFY(!ServiceController::install(script));
    qunsetenv("INSTALLER_EXIT");
    QVERIFY(!ServiceController::install(dir.filePath(QStringLiteral("missing"))));
}

void tst_ServiceController::filePath()
{
    TestService service;
    QCOMPARE(service.filePath(), thisProgramPath());
    QVERIFY(QFileInfo(service.filePath()).isAbsolute());
}

QTEST_APPLESS_MAIN(tst_ServiceController)
#include "tst_servicecontroller.moc"
