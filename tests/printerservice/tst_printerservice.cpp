// PrinterService in process over the emulated service manager: its
// identity, the exit entry that quillport writes after every use, which
// listeners a start leaves running, pause and resume, and its metrics file.
#include "arguments.h"
#include "emulatedservicemanager.h"
#include "testdatafolder.h"
#include "logger.h"
#include "metricsfile.h"
#include "netclient.h"
#include "outputcapture.h"
#include "printer.h"
#include "printerservice.h"
#include "quillportmain.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

EmulatedServiceManager &manager()
{
    return EmulatedServiceManager::instance();
}

// Gives the tests the operations that the framework calls.
class TestPrinterService : public PrinterService
{
public:
    using PrinterService::PrinterService;
    using PrinterService::createApplication;
    using PrinterService::pause;
    using PrinterService::processCommand;
    using PrinterService::resume;
    using PrinterService::start;
};

} // namespace

class tst_PrinterService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void identity();
    void exitEntry_data();
    void exitEntry();
    void pauseAndResume();
    void userCommandReloads();
    void metricsFileIsReplacedWhole();

private:
    void writeSettings(const QByteArray &content) { QVERIFY(data->writeSettings(content)); }

    std::unique_ptr<TestDataFolder> data;
    QString dataFolder;
};

void tst_PrinterService::initTestCase()
{
    QVERIFY(EmulatedServiceManager::install());
}

void tst_PrinterService::init()
{
    manager().reset();
    // The applications these tests create are named after this program.
    data = std::make_unique<TestDataFolder>(QStringLiteral("tst_printerservice"));
    QVERIFY(data->isValid());
    data->apply();
    dataFolder = data->path();
}

void tst_PrinterService::identity()
{
    Arguments arguments({ QStringLiteral("quillport"), QStringLiteral("-i") });
    PrinterService service(arguments.argc(), arguments.argv());
    QCOMPARE(service.serviceName(), QStringLiteral("Quillport"));
    QCOMPARE(service.serviceDescription(), QStringLiteral("Quillport"));
    QCOMPARE(service.serviceFlags(), ServiceBase::ServiceFlags(ServiceBase::PauseAllowed));
    QCOMPARE(service.startupType(), ServiceBase::StartOnDemand);
    QVERIFY(service.logger);
    QCOMPARE(service.logger->logType(), Logger::NoLog);
    QVERIFY(service.printers.isEmpty());
    QVERIFY(service.dataFolder.isEmpty());

    // Installed as it says: on demand, described, local system account.
    OutputCapture capture;
    QCOMPARE(service.exec(), 0);
    capture.finish();
    const EmulatedServiceManager::Service installed = manager().service(QStringLiteral("Quillport"));
    QCOMPARE(installed.startType, DWORD(SERVICE_DEMAND_START));
    QCOMPARE(installed.description, QStringLiteral("Quillport"));
    QCOMPARE(installed.serviceType, DWORD(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS));
}

void tst_PrinterService::exitEntry_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("settings"); // null: no settings.json
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("entryType");

    QTest::newRow("-h") << QStringList{ "-h" } << QByteArray("{}") << 0 << EVENTLOG_INFORMATION_TYPE;
    QTest::newRow("-v") << QStringList{ "-v" } << QByteArray("{}") << 0 << EVENTLOG_INFORMATION_TYPE;
    QTest::newRow("-u, not installed") << QStringList{ "-u" } << QByteArray("{}") << 0 << EVENTLOG_INFORMATION_TYPE;
    QTest::newRow("-e without settings") << QStringList{ "-e" } << QByteArray() << -99 << EVENTLOG_ERROR_TYPE;
    QTest::newRow("-e with a printer that cannot listen")
        << QStringList{ "-e" }
        << QByteArray("{\"printers\": [{\"localname\": \"p\", \"active\": true, \"listen\": \"printhost\", "
                      "\"port\": 9100}]}")
        << -98 << EVENTLOG_ERROR_TYPE;
    QTest::newRow("no option, not installed") << QStringList() << QByteArray("{}") << -4 << EVENTLOG_ERROR_TYPE;
}

void tst_PrinterService::exitEntry()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, settings);
    QFETCH(int, code);
    QFETCH(int, entryType);

    if (!settings.isNull())
        writeSettings(settings);
    Arguments argv(QStringList{ QStringLiteral("tst_printerservice") } + arguments);
    OutputCapture capture;
    QCOMPARE(quillportMain(argv.argc(), argv.argv()), code);
    capture.finish();

    const QList<EmulatedServiceManager::EventEntry> events = manager().events();
    QVERIFY(!events.isEmpty());
    QCOMPARE(events.last().strings, QStringList{ QStringLiteral("Service stopped with code %1").arg(code) });
    QCOMPARE(int(events.last().type), entryType);
    QCOMPARE(events.last().source, QStringLiteral("Quillport"));
    if (code == -99) {
        // The loader's own error went to the event log before it.
        QCOMPARE(events.size(), 2);
        QCOMPARE(events.first().strings,
                 QStringList{ QStringLiteral("Couldn't open config file: ") + dataFolder
                              + QStringLiteral("settings.json") });
        QCOMPARE(int(events.first().type), EVENTLOG_ERROR_TYPE);
    }
}

void tst_PrinterService::pauseAndResume()
{
    const QList<quint16> ports = freePorts(2);
    QCOMPARE(ports.size(), 2);
    QByteArray printers;
    for (quint16 port : ports) {
        printers += QByteArray(printers.isEmpty() ? "" : ",") + "{\"localname\": \"p"
            + QByteArray::number(port) + "\", \"active\": true, \"listen\": \"127.0.0.1\", \"port\": "
            + QByteArray::number(port) + "}";
    }
    writeSettings("{\"printers\": [" + printers + "]}");

    Arguments argv({ QStringLiteral("tst_printerservice") });
    TestPrinterService service(argv.argc(), argv.argv());
    int argc = argv.argc();
    service.createApplication(argc, argv.argv());

    // Without listeners there is nothing to pause.
    service.pause();
    service.resume();
    QVERIFY(service.listening.isEmpty());

    service.start();
    QCOMPARE(service.listening.size(), 2);
    service.pause();
    service.pause();
    for (Printer *printer : qAsConst(service.listening)) {
        QVERIFY(printer->isPaused());
        QVERIFY(printer->isListening()); // pausing keeps the port
    }
    service.resume();
    for (Printer *printer : qAsConst(service.listening))
        QVERIFY(!printer->isPaused());
    service.resume();
    for (Printer *printer : qAsConst(service.listening))
        QVERIFY(!printer->isPaused());

    delete QCoreApplication::instance();
}

// User command 1 reads the settings again (the way Windows asks for a
// reload); other commands change nothing, and a paused service stays
// paused, its new printer too.
void tst_PrinterService::userCommandReloads()
{
    const QList<quint16> ports = freePorts(2);
    QCOMPARE(ports.size(), 2);
    const auto printer = [](quint16 port) {
        return "{\"localname\": \"p" + QByteArray::number(port) + "\", \"active\": true, \"listen\": \"127.0.0.1\", "
               "\"port\": " + QByteArray::number(port) + "}";
    };
    writeSettings("{\"printers\": [" + printer(ports.at(0)) + "]}");
    Arguments argv({ QStringLiteral("tst_printerservice") });
    TestPrinterService service(argv.argc(), argv.argv());
    int argc = argv.argc();
    service.createApplication(argc, argv.argv());
    service.start();
    QCOMPARE(service.listening.size(), 1);
    service.pause();

    writeSettings("{\"printers\": [" + printer(ports.at(0)) + ", " + printer(ports.at(1)) + "]}");
    service.processCommand(2);
    QCOMPARE(service.listening.size(), 1);
    service.processCommand(PrinterService::ReloadCommand);
    QCOMPARE(service.listening.size(), 2);
    QCOMPARE(service.listening.last()->serverPort(), ports.at(1));
    for (Printer *printer : qAsConst(service.listening))
        QVERIFY(printer->isPaused());
    delete QCoreApplication::instance();
}

// A scraper reads the old figures or the new, never a part: a file that
// cannot be written (here its temporary name is taken by a folder; a full
// disk does the same) leaves the last one in place and says why.
void tst_PrinterService::metricsFileIsReplacedWhole()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("quillport.prom"));
    MetricsFile metrics(path, 0);
    PrinterStatus status;
    status.name = QStringLiteral("lobby");
    QString error;
    QVERIFY2(metrics.update({ status }, &error), qPrintable(error));
    const auto contents = [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray first = contents();
    QVERIFY(first.contains("quillport_jobs_total{printer=\"lobby\",outcome=\"printed\"} 0\n"));

    QVERIFY(QDir().mkdir(path + QStringLiteral(".part")));
    status.printed = 1;
    QVERIFY(!metrics.update({ status }, &error));
    QCOMPARE(error, QStringLiteral("Is a directory"));
    QCOMPARE(contents(), first);

    QVERIFY(QDir().rmdir(path + QStringLiteral(".part")));
    QVERIFY2(metrics.update({ status }, &error), qPrintable(error));
    QVERIFY(contents().contains("quillport_jobs_total{printer=\"lobby\",outcome=\"printed\"} 1\n"));
}

QTEST_APPLESS_MAIN(tst_PrinterService)
#include "tst_printerservice.moc"
