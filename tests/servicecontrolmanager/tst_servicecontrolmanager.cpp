// The binding of the service-control table: a table that lacks any one of
// its seventeen functions is never bound, so nothing that uses the table can
// call through the hole; a complete one is bound, and then stays.
#include "emulatedservicemanager.h"
#include "service.h"
#include "servicecontroller.h"

#include <QtTest>

#include <functional>

using Hole = std::function<void(ServiceControlManager &)>;
Q_DECLARE_METATYPE(Hole)

namespace {

const QString Name = QStringLiteral("Quillport");

char programName[] = "quillport";
char *serviceArgv[] = { programName, nullptr };

class TestService : public Service<QCoreApplication>
{
public:
    TestService()
        : Service<QCoreApplication>(1, serviceArgv, Name)
    {
    }

protected:
    void start() override {}
};

// The warnings written while it exists.
class WarningRecorder
{
public:
    WarningRecorder()
    {
        recorded.clear();
        previous = qInstallMessageHandler(record);
    }
    ~WarningRecorder() { qInstallMessageHandler(previous); }
    QStringList warnings() const { return recorded; }

private:
    static void record(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtWarningMsg)
            recorded << message;
    }
    static QStringList recorded;
    QtMessageHandler previous;
};

QStringList WarningRecorder::recorded;

EmulatedServiceManager &manager()
{
    return EmulatedServiceManager::instance();
}

} // namespace

class tst_ServiceControlManager : public QObject
{
    Q_OBJECT

private slots:
    // Runs first: only while nothing is bound can a table be installed.
    void incompleteTable_data();
    void incompleteTable();
    void completeTable();
};

void tst_ServiceControlManager::incompleteTable_data()
{
    QTest::addColumn<Hole>("hole");
#define HOLE(function) \
    QTest::newRow(#function) << Hole([](ServiceControlManager &table) { table.function = nullptr; })
    HOLE(RegisterServiceCtrlHandlerW);
    HOLE(SetServiceStatus);
    HOLE(ChangeServiceConfig2W);
    HOLE(CloseServiceHandle);
    HOLE(CreateServiceW);
    HOLE(OpenSCManagerW);
    HOLE(DeleteService);
    HOLE(OpenServiceW);
    HOLE(QueryServiceStatus);
    HOLE(StartServiceCtrlDispatcherW);
    HOLE(StartServiceW);
    HOLE(ControlService);
    HOLE(DeregisterEventSource);
    HOLE(ReportEventW);
    HOLE(RegisterEventSourceW);
    HOLE(QueryServiceConfigW);
    HOLE(QueryServiceConfig2W);
#undef HOLE
}

void tst_ServiceControlManager::incompleteTable()
{
    QFETCH(Hole, hole);

    ServiceControlManager table = EmulatedServiceManager::table();
    hole(table);
    if (!installServiceApi(table))
        QSKIP("A table is bound already; this test must run before anything binds one.");

    const QString warning = QStringLiteral("Service: the service manager's function %1 is missing")
                                .arg(QLatin1String(QTest::currentDataTag()));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    SetLastError(ERROR_SUCCESS);
    QVERIFY(!resolveServiceApi());
    QCOMPARE(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));

    // Everything that needs the table fails as it would for a service the
    // manager does not know, and says why; nothing reaches the emulation.
    manager().reset();
    WarningRecorder recorder;
    ServiceController controller(Name);
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.isRunning());
    QCOMPARE(controller.serviceFilePath(), QString());
    QVERIFY(!controller.start());
    QVERIFY(!controller.stop());
    QVERIFY(!controller.pause());
    QVERIFY(!controller.resume());
    QVERIFY(!controller.sendCommand(1));
    QVERIFY(!controller.uninstall());
    TestService service;
    service.logMessage(QStringLiteral("lost"), ServiceBase::ErrorEvent);
    QVERIFY(!service.installService(QString(), QString()));
    QVERIFY(!service.runAsService());
    QCOMPARE(QCoreApplication::instance(), nullptr);

    QCOMPARE(manager().calls(), QStringList());
    const QStringList warnings = recorder.warnings();
    QVERIFY(!warnings.isEmpty());
    for (const QString &line : warnings)
        QCOMPARE(line, warning);
}

void tst_ServiceControlManager::completeTable()
{
    QVERIFY(EmulatedServiceManager::install());
    QVERIFY(resolveServiceApi());
    manager().reset();
    QVERIFY(!ServiceController(Name).isInstalled());
    QCOMPARE(manager().calls().value(0), QStringLiteral("OpenSCManagerW 0x0"));

    // Once bound, the table stays what it is.
    QVERIFY(!installServiceApi(EmulatedServiceManager::table()));
    QVERIFY(!EmulatedServiceManager::install());
    QVERIFY(resolveServiceApi());
}

QTEST_APPLESS_MAIN(tst_ServiceControlManager)
#include "tst_servicecontrolmanager.moc"
