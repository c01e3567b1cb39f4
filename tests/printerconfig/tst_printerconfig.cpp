// Loading settings.json: the data folder, the log output, and the record
// and log lines that every printer element gives.
#include "emulatedservicemanager.h"
#include "testdatafolder.h"
#include "logger.h"
#include "printerservice.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

char programName[] = "quillport";
char *argv[] = { programName, nullptr };

EmulatedServiceManager &manager()
{
    return EmulatedServiceManager::instance();
}

QString subnetText(const QPair<QHostAddress, int> &subnet)
{
    return subnet.first.toString() + QLatin1Char('/') + QString::number(subnet.second);
}

} // namespace

class tst_PrinterConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void missingFile();
    void contentWithoutPrinters_data();
    void contentWithoutPrinters();
    void unparsableSettings_data();
    void unparsableSettings();
    void logType_data();
    void logType();
    void printer_data();
    void printer();
    void jobFolder_data();
    void jobFolder();
    void fileOrder();
    void keysBeyondTheListener_data();
    void keysBeyondTheListener();

private:
    void writeSettings(const QByteArray &content) { QVERIFY(data->writeSettings(content)); }
    QStringList logLines() const { return data->logLines(); }

    std::unique_ptr<TestDataFolder> data;
    QString dataFolder;
};

void tst_PrinterConfig::initTestCase()
{
    QVERIFY(EmulatedServiceManager::install());
    QCoreApplication::setApplicationName(QStringLiteral("quillport"));
}

void tst_PrinterConfig::init()
{
    manager().reset();
    data = std::make_unique<TestDataFolder>(QStringLiteral("quillport"));
    QVERIFY(data->isValid());
    data->apply();
    dataFolder = data->path();
}

void tst_PrinterConfig::missingFile()
{
    PrinterService service(1, argv);
    QVERIFY(!service.loadConfig());
    QCOMPARE(service.dataFolder, dataFolder);
    QVERIFY(service.printers.isEmpty());
    QCOMPARE(service.logger->logType(), Logger::EventLog);

    const QList<EmulatedServiceManager::EventEntry> events = manager().events();
    QCOMPARE(events.size(), 1);
    QCOMPARE(int(events.first().type), EVENTLOG_ERROR_TYPE);
    QCOMPARE(events.first().strings,
             QStringList{ QStringLiteral("Couldn't open config file: ") + dataFolder + QStringLiteral("settings.json") });
}

void tst_PrinterConfig::contentWithoutPrinters_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("empty array") << QByteArray("[]");
    QTest::newRow("top-level array of printers")
        << QByteArray("[{\"localname\": \"p\", \"active\": true, \"port\": 9100}]");
    QTest::newRow("printers not an array") << QByteArray("{\"printers\": {\"localname\": \"p\"}}");
    QTest::newRow("printers missing") << QByteArray("{\"logtype\": \"eventlog\"}");
}

void tst_PrinterConfig::contentWithoutPrinters()
{
    QFETCH(QByteArray, content);

    writeSettings(content);
    PrinterService service(1, argv);
    QVERIFY(service.loadConfig());
    QVERIFY(service.printers.isEmpty());
    QCOMPARE(service.logger->logType(), Logger::EventLog);
    // Nothing is wrong enough to be reported.
    QCOMPARE(manager().events().size(), 0);
}

void tst_PrinterConfig::unparsableSettings_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason");

    QTest::newRow("truncated") << QByteArray("{\"logtype\": \"textfile\", \"printers\": [")
                               << "unterminated array at offset 37";
    QTest::newRow("trailing comma") << QByteArray("{\"printers\": [{\"port\": 9100},]}")
                                    << "object is missing after a comma at offset 30";
    QTest::newRow("not JSON") << QByteArray("printers=lobby") << "illegal value at offset 1";
}

// Settings that do not parse are a mistake, not a configuration without
// printers: the start fails and says where.
void tst_PrinterConfig::unparsableSettings()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);

    writeSettings(content);
    PrinterService service(1, argv);
    QVERIFY(!service.loadConfig());
    QVERIFY(service.printers.isEmpty());
    QCOMPARE(service.logger->logType(), Logger::EventLog);
    QCOMPARE(manager().events().size(), 1);
    QCOMPARE(manager().events().first().type, quint16(EVENTLOG_ERROR_TYPE));
    QCOMPARE(manager().events().first().strings,
             QStringList{ QStringLiteral("Couldn't read config file: ") + dataFolder
                          + QStringLiteral("settings.json: ") + reason });
}

void tst_PrinterConfig::logType_data()
{
    QTest::addColumn<QByteArray>("logtype");
    QTest::addColumn<int>("type");

    QTest::newRow("textfile") << QByteArray("\"textfile\"") << int(Logger::TextFileLog);
    QTest::newRow("TEXTFILE") << QByteArray("\"TEXTFILE\"") << int(Logger::TextFileLog);
    QTest::newRow("TextFile") << QByteArray("\"TextFile\"") << int(Logger::TextFileLog);
    QTest::newRow("text file") << QByteArray("\"text file\"") << int(Logger::EventLog);
    QTest::newRow("eventlog") << QByteArray("\"eventlog\"") << int(Logger::EventLog);
    QTest::newRow("not a string") << QByteArray("2") << int(Logger::EventLog);
}

void tst_PrinterConfig::logType()
{
    QFETCH(QByteArray, logtype);
    QFETCH(int, type);

    writeSettings("{\"logtype\": " + logtype + ", \"printers\": [{\"localname\": \"p\"}]}");
    PrinterService service(1, argv);
    QVERIFY(service.loadConfig());
    QCOMPARE(int(service.logger->logType()), type);
    const QString line = QStringLiteral("Listen address for printer \"p\" is 0.0.0.0 port 0");
    if (type == Logger::TextFileLog) {
        QCOMPARE(logLines(), QStringList{ QStringLiteral("Info   ") + line });
        QCOMPARE(manager().events().size(), 0);
    } else {
        QCOMPARE(manager().events().size(), 1);
        QCOMPARE(manager().events().first().strings, QStringList{ line });
        QVERIFY(!QFile::exists(dataFolder + QStringLiteral("Quillport.log")));
    }
}

void tst_PrinterConfig::printer_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<QString>("localname");
    QTest::addColumn<bool>("active");
    QTest::addColumn<bool>("storejobs");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("listen");
    QTest::addColumn<int>("waitTime");
    QTest::addColumn<int>("log");
    QTest::addColumn<QStringList>("subnets");
    QTest::addColumn<QString>("listenLine");

    const int p = PrinterConfig::LogPrint, e = PrinterConfig::LogError, d = PrinterConfig::LogDebug,
              a = PrinterConfig::LogAccess;
    const QString defaultLine = QStringLiteral("Listen address for printer \"\" is 0.0.0.0 port 0");

    QTest::newRow("a number instead of an object")
        << QByteArray("42") << "" << false << false << 0 << "0.0.0.0" << 60 << 0 << QStringList() << defaultLine;
    QTest::newRow("a string instead of an object")
        << QByteArray("\"printer\"") << "" << false << false << 0 << "0.0.0.0" << 60 << 0 << QStringList()
        << defaultLine;
    QTest::newRow("wrong types give defaults")
        << QByteArray("{\"localname\": 5, \"active\": \"true\", \"storejobs\": 1, \"port\": \"9100\", "
                      "\"listen\": 7, \"interfacewaittime\": \"30\", \"log\": [\"d\"], "
                      "\"subnets\": [\"127.0.0.0/8\"]}")
        << "" << false << false << 0 << "0.0.0.0" << 60 << 0 << QStringList() << defaultLine;
    QTest::newRow("every key")
        << QByteArray("{\"localname\": \"Lobby \u00e9\", \"active\": true, \"storejobs\": true, \"port\": 9100, "
                      "\"listen\": \"127.0.0.1\", \"interfacewaittime\": 25, \"log\": \"pead\", "
                      "\"subnets\": \"10.0.0.0/8\", \"unknown\": 1}")
        << "Lobby \u00e9" << true << true << 9100 << "127.0.0.1" << 25 << (p | e | d | a)
        << QStringList{ "10.0.0.0/8" } << "Listen address for printer \"Lobby \u00e9\" is 127.0.0.1 port 9100";
    QTest::newRow("port wraps above the largest")
        << QByteArray("{\"port\": 65536}") << "" << false << false << 0 << "0.0.0.0" << 60 << 0 << QStringList()
        << defaultLine;
    QTest::newRow("port -1 is the largest")
        << QByteArray("{\"port\": -1}") << "" << false << false << 65535 << "0.0.0.0" << 60 << 0 << QStringList()
        << "Listen address for printer \"\" is 0.0.0.0 port 65535";
    QTest::newRow("port keeps its low 16 bits")
        << QByteArray("{\"port\": 70000}") << "" << false << false << 4464 << "0.0.0.0" << 60 << 0 << QStringList()
        << "Listen address for printer \"\" is 0.0.0.0 port 4464";
    QTest::newRow("interfacewaittime 0 is 60")
        << QByteArray("{\"interfacewaittime\": 0}") << "" << false << false << 0 << "0.0.0.0" << 60 << 0
        << QStringList() << defaultLine;
    QTest::newRow("interfacewaittime -5 stays")
        << QByteArray("{\"interfacewaittime\": -5}") << "" << false << false << 0 << "0.0.0.0" << -5 << 0
        << QStringList() << defaultLine;
    QTest::newRow("listen that is no address")
        << QByteArray("{\"localname\": \"x\", \"listen\": \"printhost\", \"port\": 9100}") << "x" << false << false
        << 9100 << "" << 60 << 0 << QStringList() << "Listen address for printer \"x\" is  port 9100";
    QTest::newRow("listen IPv6")
        << QByteArray("{\"listen\": \"::1\"}") << "" << false << false << 0 << "::1" << 60 << 0 << QStringList()
        << "Listen address for printer \"\" is ::1 port 0";
    QTest::newRow("log d") << QByteArray("{\"log\": \"d\"}") << "" << false << false << 0 << "0.0.0.0" << 60 << d
                           << QStringList() << defaultLine;
    QTest::newRow("log upper case P") << QByteArray("{\"log\": \"P\"}") << "" << false << false << 0 << "0.0.0.0"
                                      << 60 << p << QStringList() << defaultLine;
    QTest::newRow("log debug") << QByteArray("{\"log\": \"debug\"}") << "" << false << false << 0 << "0.0.0.0"
                               << 60 << (d | e) << QStringList() << defaultLine;
    QTest::newRow("log access") << QByteArray("{\"log\": \"access\"}") << "" << false << false << 0
                                << "0.0.0.0" << 60 << (a | e) << QStringList() << defaultLine;
    QTest::newRow("log without letters") << QByteArray("{\"log\": \"xyz\"}") << "" << false << false << 0
                                         << "0.0.0.0" << 60 << 0 << QStringList() << defaultLine;
    QTest::newRow("subnets with blanks and empty parts")
        << QByteArray("{\"subnets\": \" 127.0.0.0 / 8 , ,10.1.0.0/16,\"}") << "" << false << false << 0
        << "0.0.0.0" << 60 << 0 << QStringList{ "127.0.0.0/8", "10.1.0.0/16" } << defaultLine;
    QTest::newRow("subnet that does not parse")
        << QByteArray("{\"subnets\": \"printers\"}") << "" << false << false << 0 << "0.0.0.0" << 60 << 0
        << QStringList{ "/-1" } << defaultLine;
}

void tst_PrinterConfig::printer()
{
    QFETCH(QByteArray, element);
    QFETCH(QString, localname);
    QFETCH(bool, active);
    QFETCH(bool, storejobs);
    QFETCH(int, port);
    QFETCH(QString, listen);
    QFETCH(int, waitTime);
    QFETCH(int, log);
    QFETCH(QStringList, subnets);
    QFETCH(QString, listenLine);

    writeSettings("{\"logtype\": \"textfile\", \"printers\": [" + element + "]}");
    PrinterService service(1, argv);
    QVERIFY(service.loadConfig());
    QCOMPARE(service.printers.size(), 1);
    const PrinterConfig &printer = service.printers.first();
    QCOMPARE(printer.localname, localname);
    QCOMPARE(printer.active, active);
    QCOMPARE(printer.storejobs, storejobs);
    QCOMPARE(int(printer.port), port);
    QCOMPARE(printer.listen.toString(), listen);
    QCOMPARE(printer.listen.isNull(), listen.isEmpty());
    QCOMPARE(printer.interfacewaittime, waitTime);
    QCOMPARE(printer.log, log);
    QStringList subnetTexts;
    for (const auto &subnet : printer.subnets)
        subnetTexts << subnetText(subnet);
    QCOMPARE(subnetTexts, subnets);
    // An entry that did not parse contains no address at all.
    for (const auto &subnet : printer.subnets) {
        if (subnet.second == -1) {
            QVERIFY(!QHostAddress(QStringLiteral("127.0.0.1")).isInSubnet(subnet));
            QVERIFY(!QHostAddress(QStringLiteral("::1")).isInSubnet(subnet));
        }
    }
    QCOMPARE(printer.jobspath, dataFolder);
    QCOMPARE(logLines(), QStringList{ QStringLiteral("Info   ") + listenLine });
}

void tst_PrinterConfig::jobFolder_data()
{
    QTest::addColumn<QString>("jobspath"); // $TMP stands for a temporary folder
    QTest::addColumn<QString>("resolved");
    QTest::addColumn<QString>("folderLine"); // empty: none
    QTest::addColumn<bool>("exists");

    QTest::newRow("missing: the data folder") << QString() << "$DATA" << QString() << true;
    QTest::newRow("relative, created") << "jobs" << "$DATAjobs" << "Info   Folder created - $DATAjobs" << true;
    QTest::newRow("relative with parents") << "a/b/c" << "$DATAa/b/c" << "Info   Folder created - $DATAa/b/c"
                                           << true;
    QTest::newRow("absolute, existing") << "$TMP" << "$TMP" << QString() << true;
    QTest::newRow("absolute, created") << "$TMP/new" << "$TMP/new" << "Info   Folder created - $TMP/new" << true;
    QTest::newRow("an existing file counts as existing") << "$TMP/file" << "$TMP/file" << QString() << true;
    QTest::newRow("cannot be created") << "/proc/quillport/jobs" << "/proc/quillport/jobs"
                                       << "Error  Couldn't create folder -/proc/quillport/jobs" << false;
}

void tst_PrinterConfig::jobFolder()
{
    QFETCH(QString, jobspath);
    QFETCH(QString, resolved);
    QFETCH(QString, folderLine);
    QFETCH(bool, exists);

    const auto expand = [this](QString text) {
        return text.replace(QLatin1String("$DATA"), dataFolder)
            .replace(QLatin1String("$TMP"), data->scratch(QStringLiteral("tmp")));
    };
    QVERIFY(QDir().mkpath(expand(QStringLiteral("$TMP"))));
    QFile file(expand(QStringLiteral("$TMP/file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    const QByteArray key = jobspath.isNull() ? QByteArray()
                                             : ", \"jobspath\": \"" + expand(jobspath).toUtf8() + "\"";
    writeSettings("{\"logtype\": \"textfile\", \"printers\": [{\"localname\": \"p\"" + key
                  + "}, {\"localname\": \"q\"}]}");
    PrinterService service(1, argv);
    QVERIFY(service.loadConfig());
    // A folder that cannot be made stops nothing: both printers are loaded.
    QCOMPARE(service.printers.size(), 2);
    QCOMPARE(service.printers.first().jobspath, expand(resolved));
    QCOMPARE(QFileInfo::exists(expand(resolved)), exists);

    QStringList expected;
    if (!folderLine.isEmpty())
        expected << expand(folderLine);
    expected << QStringLiteral("Info   Listen address for printer \"p\" is 0.0.0.0 port 0")
             << QStringLiteral("Info   Listen address for printer \"q\" is 0.0.0.0 port 0");
    QCOMPARE(logLines(), expected);
}

void tst_PrinterConfig::fileOrder()
{
    writeSettings("{\"logtype\": \"textfile\", \"printers\": ["
                  "{\"localname\": \"one\", \"port\": 9100, \"active\": true},"
                  "{\"localname\": \"two\", \"port\": 9100},"
                  "{\"localname\": \"three\", \"port\": 9101, \"active\": true}]}");
    PrinterService service(1, argv);
    QVERIFY(service.loadConfig());
    QStringList names;
    for (const PrinterConfig &printer : qAsConst(service.printers))
        names << printer.localname + QLatin1Char(':') + QString::number(printer.port);
    QCOMPARE(names, (QStringList{ "one:9100", "two:9100", "three:9101" }));
    QCOMPARE(logLines().size(), 3);
    QVERIFY(logLines().at(1).contains(QLatin1String("\"two\" is 0.0.0.0 port 9100")));
}

void tst_PrinterConfig::keysBeyondTheListener_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<bool>("subnetsInvalid");
    QTest::addColumn<int>("retrytime");
    QTest::addColumn<int>("idletimeout");
    QTest::addColumn<int>("maxconnections");
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<QString>("unknownProtocol");

    const int raw = PrinterConfig::Raw, lpd = PrinterConfig::Lpd;
    QTest::newRow("defaults") << QByteArray("{}") << false << 300 << 270 << 100 << "" << raw << "";
    QTest::newRow("~subnets empty string admits all")
        << QByteArray("{\"subnets\": \"\"}") << false << 300 << 270 << 100 << "" << raw << "";
    QTest::newRow("subnets a comma") << QByteArray("{\"subnets\": \",\"}") << true << 300 << 270 << 100 << "" << raw << "";
    QTest::newRow("subnets a blank") << QByteArray("{\"subnets\": \" \"}") << true << 300 << 270 << 100 << "" << raw << "";
    QTest::newRow("subnets an array")
        << QByteArray("{\"subnets\": [\"127.0.0.2/32\"]}") << true << 300 << 270 << 100 << "" << raw << "";
    QTest::newRow("subnets null") << QByteArray("{\"subnets\": null}") << true << 300 << 270 << 100 << "" << raw << "";
    QTest::newRow("every key")
        << QByteArray("{\"retrytime\": 0, \"idletimeout\": 5, \"maxconnections\": 3, "
                      "\"output\": \"socket://printer:9100\", \"protocol\": \"LPD\"}")
        << false << 0 << 5 << 3 << "socket://printer:9100" << lpd << "";
    QTest::newRow("wrong types and ranges")
        << QByteArray("{\"retrytime\": \"10\", \"idletimeout\": -1, \"maxconnections\": 0, \"output\": 1}")
        << false << 300 << 0 << 1 << "" << raw << "";
    QTest::newRow("unknown protocol")
        << QByteArray("{\"protocol\": \"ipp\"}") << false << 300 << 270 << 100 << "" << raw << "ipp";
}

void tst_PrinterConfig::keysBeyondTheListener()
{
    QFETCH(QByteArray, element);
    QFETCH(bool, subnetsInvalid);
    QFETCH(int, retrytime);
    QFETCH(int, idletimeout);
    QFETCH(int, maxconnections);
    QFETCH(QString, output);
    QFETCH(int, protocol);
    QFETCH(QString, unknownProtocol);

    writeSettings("{\"printers\": [" + element + "]}");
    PrinterService service(1, argv);
    QVERIFY(service.loadConfig());
    const PrinterConfig printer = service.printers.value(0);
    QCOMPARE(printer.subnetsInvalid, subnetsInvalid);
    QCOMPARE(printer.retrytime, retrytime);
    QCOMPARE(printer.idletimeout, idletimeout);
    QCOMPARE(printer.maxconnections, maxconnections);
    QCOMPARE(printer.output, output);
    QCOMPARE(int(printer.protocol), protocol);
    QCOMPARE(printer.unknownProtocol, unknownProtocol);
}

QTEST_GUILESS_MAIN(tst_PrinterConfig)
#include "tst_printerconfig.moc"
