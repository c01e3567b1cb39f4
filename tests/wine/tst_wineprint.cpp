// The print path of the Windows build under Wine: quillport.exe, run in the
// foreground and as an installed service, takes raw jobs over loopback and
// prints them through Wine's winspool, which hands them to a private CUPS
// scheduler whose queue keeps every job as a file. Its event-log entries are
// read from Wine's eventlog debug channel.
#include "netclient.h"
#include "privatecups.h"
#include "servicecontrolmanager.h"
#include "wineprefix.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

#include <signal.h>

namespace {

const QString Program = QStringLiteral(QUILLPORT_WINDOWS_FOLDER "/quillport.exe");
const QString Service = QStringLiteral("Quillport");
const QString Queue = QStringLiteral("winequeue");
const QString DataFolder = QStringLiteral("C:\\ProgramData\\quillport\\");
const int Timeout = 60000;

const QString Started = QStringLiteral("Info   Service started successful");
const QRegularExpression StoredLine(QStringLiteral(
    "^Print  Print job from 127\\.0\\.0\\.1 stored successful with filename "
    "\"(\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\})\"$"));
// Wine writes an entry's text to its eventlog channel, at the level of the
// entry's type: err for errors, warn for warnings, trace for the others.
const QRegularExpression EventLine(QStringLiteral("^[0-9a-f]+:(trace|warn|err):eventlog:ReportEventW L\"(.*)\"\\r?$"),
                                   QRegularExpression::MultilineOption);

quint16 freeLoopbackPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

QJsonObject printer(const QString &name, quint16 port)
{
    return { { QStringLiteral("localname"), name },
             { QStringLiteral("active"), true },
             { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
             { QStringLiteral("port"), port },
             { QStringLiteral("subnets"), QStringLiteral("127.0.0.0/8") },
             { QStringLiteral("storejobs"), true },
             { QStringLiteral("jobspath"), QStringLiteral("jobs") },
             { QStringLiteral("log"), QStringLiteral("d") } };
}

QByteArray settings(const QString &logtype, const QList<QJsonObject> &printers)
{
    QJsonArray list;
    for (const QJsonObject &entry : printers)
        list.append(entry);
    return QJsonDocument(QJsonObject{ { QStringLiteral("logtype"), logtype },
                                      { QStringLiteral("printers"), list } })
        .toJson();
}

// The event-log entries in a program's Wine debug output, as "level: text".
QStringList eventEntries(const QByteArray &debugOutput)
{
    QStringList entries;
    auto matches = EventLine.globalMatch(QString::fromUtf8(debugOutput));
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        entries.append(match.captured(1) + QStringLiteral(": ")
                       + match.captured(2).replace(QLatin1String("\\\""), QLatin1String("\"")));
    }
    return entries;
}

} // namespace

class tst_WinePrint : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void foregroundJobs_data() { jobRows(); }
    void foregroundJobs();
    void foregroundInterrupt();
    void serviceJobs_data() { jobRows(); }
    void serviceJobs();
    void servicePause();
    void serviceReload();
    void serviceStop();
    void eventLog_data();
    void eventLog();

private:
    static void jobRows();
    // Sends one job to the printer of the row and checks where it went: to
    // the CUPS queue byte for byte (or nowhere), to its stored file, and to
    // the log.
    void checkJob();
    bool writeSettings(const QByteArray &content);
    // The text log's whole lines, without their time stamps.
    QStringList logLines() const;
    bool waitForLogLine(const QString &line, int from) const;

    PrivateCups cups;
    WinePrefix wine;
    QProcess foreground;
    quint16 printPort = 0;
    quint16 unknownPort = 0;
    quint64 seed = 1;
};

void tst_WinePrint::initTestCase()
{
    if (!WinePrefix::isInstalled())
        QSKIP("Wine is not installed (Debian: wine64)");
    if (!PrivateCups::isInstalled())
        QSKIP("cupsd is not installed (Debian: cups-daemon)");
    QVERIFY2(QFile::exists(Program), qPrintable(Program));
    QVERIFY2(cups.start(), qPrintable(cups.errorString()));
    QVERIFY2(cups.addQueue(Queue), qPrintable(cups.errorString()));

    // Wine's winspool finds the CUPS queues as printers of the same names.
    wine.setEnvironment(QStringLiteral("CUPS_SERVER"), cups.serverName());
    QVERIFY2(wine.start(), qPrintable(wine.errorString()));

    printPort = freeLoopbackPort();
    unknownPort = freeLoopbackPort();
    QVERIFY(printPort && unknownPort && printPort != unknownPort);
    QVERIFY(writeSettings(settings(QStringLiteral("textfile"),
                                   { printer(Queue, printPort), printer(QStringLiteral("nosuchprinter"), unknownPort) })));
}

void tst_WinePrint::cleanupTestCase()
{
    if (foreground.state() != QProcess::NotRunning) {
        foreground.kill();
        foreground.waitForFinished();
    }
}

bool tst_WinePrint::writeSettings(const QByteArray &content)
{
    QDir().mkpath(wine.hostPath(DataFolder));
    QFile file(wine.hostPath(DataFolder + QStringLiteral("settings.json")));
    if (content.isNull())
        return !file.exists() || file.remove();
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList tst_WinePrint::logLines() const
{
    QFile file(wine.hostPath(DataFolder + QStringLiteral("Quillport.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    // A text file on Windows: every line ends with CR LF.
    const QList<QByteArray> raw = file.readAll().split('\n');
    for (int i = 0; i + 1 < raw.size(); ++i) {
        const QByteArray &line = raw.at(i);
        lines.append(line.endsWith('\r') ? QString::fromUtf8(line.chopped(1)).section(QLatin1Char(' '), 1)
                                         : QStringLiteral("no CR LF: ") + QString::fromUtf8(line));
    }
    return lines;
}

bool tst_WinePrint::waitForLogLine(const QString &line, int from) const
{
    QDeadlineTimer deadline(Timeout);
    while (!logLines().mid(from).contains(line)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

void tst_WinePrint::jobRows()
{
    QTest::addColumn<bool>("knownPrinter");
    QTest::addColumn<int>("size");

    QTest::newRow("small job") << true << 1000;
    // Past 1 MiB a stored job goes to its file as it arrives, and is printed
    // from the file mapped into memory.
    QTest::newRow("3 MiB job, stored as it arrives") << true << 3 * 1024 * 1024 + 17;
    QTest::newRow("unknown printer") << false << 1000;
}

void tst_WinePrint::checkJob()
{
    QFETCH(bool, knownPrinter);
    QFETCH(int, size);

    const QByteArray payload = randomBytes(size, seed++);
    const int printedBefore = cups.jobFiles(Queue).size();
    const int from = logLines().size();

    ClientPool pool(knownPrinter ? printPort : unknownPort);
    ClientConnection *client = pool.add(payload, Ending::Finish);
    QVERIFY(pool.runUntilDone(QDeadlineTimer(Timeout)));
    QVERIFY2(client->completed(), qPrintable(client->error));

    // Debug, Access, the outcome (after the spooler's reason for a failure),
    // and where the job was stored.
    QTRY_COMPARE_WITH_TIMEOUT(logLines().mid(from).size(), knownPrinter ? 4 : 5, Timeout);
    QStringList lines = logLines().mid(from);
    const QString printerName = knownPrinter ? Queue : QStringLiteral("nosuchprinter");
    if (!knownPrinter) {
        const QString reason = lines.takeAt(2);
        const QString prefix = QStringLiteral("Error  Print job from 127.0.0.1 to printer \"nosuchprinter\" could not be "
                                              "delivered: ");
        QVERIFY2(reason.startsWith(prefix) && reason.size() > prefix.size(), qPrintable(reason));
    }
    QCOMPARE(lines.at(0), QStringLiteral("Debug  Local address: 127.0.0.1protocol: 0"));
    QCOMPARE(lines.at(1), QStringLiteral("Access Access from 127.0.0.1 to printer \"%1\" is allowed").arg(printerName));
    QCOMPARE(lines.at(2), knownPrinter ? QStringLiteral("Print  Print job from 127.0.0.1 completed successful")
                                       : QStringLiteral("Print  Print job from 127.0.0.1 finished with error"));
    const QRegularExpressionMatch stored = StoredLine.match(lines.at(3));
    QVERIFY2(stored.hasMatch(), qPrintable(lines.at(3)));

    QFile file(wine.hostPath(DataFolder + QStringLiteral("jobs\\") + stored.captured(1) + QStringLiteral(".prn")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == payload);

    if (knownPrinter) {
        QVERIFY(cups.waitForJobs(Queue, printedBefore + 1, Timeout));
        QVERIFY(cups.documents(Queue).value(printedBefore) == payload);
    }
    QCOMPARE(cups.jobFiles(Queue).size(), printedBefore + (knownPrinter ? 1 : 0));
}

void tst_WinePrint::foregroundJobs()
{
    if (foreground.state() == QProcess::NotRunning) {
        const int from = logLines().size();
        QProcessEnvironment debug;
        debug.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all,+eventlog"));
        wine.prepare(foreground, Program, { QStringLiteral("-e") }, debug);
        foreground.start();
        QVERIFY(foreground.waitForStarted());
        QVERIFY2(waitForLogLine(Started, from), foreground.readAllStandardError());
    }
    checkJob();
}

void tst_WinePrint::foregroundInterrupt()
{
    // Ctrl+C: Wine hands SIGINT to the program's console control handler.
    QVERIFY(foreground.state() == QProcess::Running);
    QCOMPARE(::kill(pid_t(foreground.processId()), SIGINT), 0);
    QVERIFY(foreground.waitForFinished(Timeout));
    QCOMPARE(foreground.exitStatus(), QProcess::NormalExit);
    QCOMPARE(foreground.exitCode(), 0);
    // The run ended as a stop does, not with the process killed: main went
    // on to write its last event-log entry.
    const QStringList entries = eventEntries(foreground.readAllStandardError());
    QCOMPARE(entries.value(entries.size() - 1), QStringLiteral("trace: Service stopped with code 0"));
}

void tst_WinePrint::serviceJobs()
{
    if (wine.serviceState(Service) != SERVICE_RUNNING) {
        const WinePrefix::Result install = wine.run(Program, { QStringLiteral("-i") });
        QCOMPARE(install.exitCode, 0);
        const int from = logLines().size();
        QCOMPARE(wine.run(QStringLiteral("sc"), { QStringLiteral("start"), Service }).exitCode, 0);
        QVERIFY(wine.waitForServiceState(Service, SERVICE_RUNNING, Timeout));
        QVERIFY2(waitForLogLine(Started, from), wine.systemOutput());
    }
    checkJob();
}

void tst_WinePrint::servicePause()
{
    // Paused, the listener closes every new connection at once: nothing is
    // printed or logged. Resumed, it prints again.
    QCOMPARE(wine.run(Program, { QStringLiteral("-p") }).exitCode, 0);
    QVERIFY(wine.waitForServiceState(Service, SERVICE_PAUSED, Timeout));
    const int printedBefore = cups.jobFiles(Queue).size();
    const int from = logLines().size();
    ClientPool pool(printPort);
    ClientConnection *refused = pool.add(randomBytes(1000, seed++), Ending::Finish);
    QVERIFY(pool.runUntilDone(QDeadlineTimer(Timeout)));
    QVERIFY(!refused->completed());
    QCOMPARE(logLines().mid(from), QStringList());

    QCOMPARE(wine.run(Program, { QStringLiteral("-r") }).exitCode, 0);
    QVERIFY(wine.waitForServiceState(Service, SERVICE_RUNNING, Timeout));
    const QByteArray payload = randomBytes(1000, seed++);
    ClientConnection *printed = pool.add(payload, Ending::Finish);
    QVERIFY(pool.runUntilDone(QDeadlineTimer(Timeout)));
    QVERIFY2(printed->completed(), qPrintable(printed->error));
    QVERIFY(cups.waitForJobs(Queue, printedBefore + 1, Timeout));
    QVERIFY(cups.documents(Queue).value(printedBefore) == payload);
}

// User command 1 (129 to the service manager) reads the settings again: a
// printer added to them listens and prints, the others go on. (Wine's sc
// has no "control"; the program's own -c sends the same control.)
void tst_WinePrint::serviceReload()
{
    const quint16 addedPort = freeLoopbackPort();
    QVERIFY(addedPort && addedPort != printPort && addedPort != unknownPort);
    QVERIFY(writeSettings(settings(QStringLiteral("textfile"), { printer(Queue, printPort),
                                                                 printer(QStringLiteral("nosuchprinter"), unknownPort),
                                                                 printer(Queue, addedPort) })));
    const int from = logLines().size();
    const WinePrefix::Result control = wine.run(Program, { QStringLiteral("-c"), QStringLiteral("1") });
    QVERIFY2(control.exitCode == 0, control.out + control.err);
    QVERIFY2(waitForLogLine(QStringLiteral("Info   Settings reloaded: 1 printer(s) added, 0 removed, 0 changed, "
                                           "2 unchanged"),
                            from),
             qPrintable(logLines().mid(from).join(QLatin1Char('\n'))));
    const int printedBefore = cups.jobFiles(Queue).size();
    const QByteArray payload = randomBytes(5000, seed++);
    ClientPool pool(addedPort);
    ClientConnection *client = pool.add(payload, Ending::Finish);
    QVERIFY(pool.runUntilDone(QDeadlineTimer(Timeout)));
    QVERIFY2(client->completed(), qPrintable(client->error));
    QVERIFY(cups.waitForJobs(Queue, printedBefore + 1, Timeout));
    QVERIFY(cups.documents(Queue).value(printedBefore) == payload);
}

void tst_WinePrint::serviceStop()
{
    QCOMPARE(wine.run(Program, { QStringLiteral("-t") }).exitCode, 0);
    QCOMPARE(wine.serviceState(Service), SERVICE_STOPPED);
    const WinePrefix::Result uninstall = wine.run(Program, { QStringLiteral("-u") });
    QCOMPARE(uninstall.exitCode, 0);
    QCOMPARE(uninstall.out, QByteArray("The service Quillport has been uninstalled.\r\n"));
    QCOMPARE(wine.serviceState(Service), 0);
}

void tst_WinePrint::eventLog_data()
{
    QTest::addColumn<QByteArray>("settings"); // null: no settings.json
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("entries");

    const QString listening = QStringLiteral("trace: Listen address for printer \"%1\" is 127.0.0.1 port %2");
    // Jobs are not stored, and go to the data folder, which is there.
    const auto unstored = [](quint16 port) {
        QJsonObject entry = printer(Queue, port);
        entry.insert(QStringLiteral("storejobs"), false);
        entry.remove(QStringLiteral("jobspath"));
        return entry;
    };
    // Info lines are information entries, Debug lines warnings, Error lines
    // errors; the last entry is main's.
    QTest::newRow("a job, then Ctrl+C")
        << settings(QStringLiteral("eventlog"), { unstored(printPort) }) << 0
        << QStringList{ listening.arg(Queue).arg(printPort),
                        "trace: Service started successful",
                        "warn: Local address: 127.0.0.1protocol: 0",
                        "trace: Access from 127.0.0.1 to printer \"" + Queue + "\" is allowed",
                        "trace: Print job from 127.0.0.1 completed successful",
                        "trace: Service stopped with code 0" };
    QTest::newRow("a printer on port 0")
        << settings(QStringLiteral("any other text"), { unstored(0) }) << 158
        << QStringList{ listening.arg(Queue).arg(0),
                        "err: Printer \"" + Queue + "\" cannot listen: its port is 0",
                        "err: Failed to start. Error: its port is 0",
                        "err: Service stopped with code -98" };
    QTest::newRow("no settings.json")
        << QByteArray() << 157
        << QStringList{ "err: Couldn't open config file: C:/ProgramData/quillport/settings.json",
                        "err: Service stopped with code -99" };
}

void tst_WinePrint::eventLog()
{
    QFETCH(QByteArray, settings);
    QFETCH(int, exitCode);
    QFETCH(QStringList, entries);

    QVERIFY(writeSettings(settings));
    QProcess process;
    QProcessEnvironment debug;
    debug.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all,+eventlog"));
    wine.prepare(process, Program, { QStringLiteral("-e") }, debug);
    process.start();
    QVERIFY(process.waitForStarted());
    QByteArray err;
    if (exitCode == 0) {
        QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("Service started successful"),
                                 Timeout);
        const QByteArray payload = randomBytes(500, seed++);
        ClientPool pool(printPort);
        ClientConnection *client = pool.add(payload, Ending::Finish);
        QVERIFY(pool.runUntilDone(QDeadlineTimer(Timeout)));
        QVERIFY2(client->completed(), qPrintable(client->error));
        QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("Print job from"), Timeout);
        QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
    }
    QVERIFY(process.waitForFinished(Timeout));
    err += process.readAllStandardError();
    QCOMPARE(process.exitCode(), exitCode);
    QCOMPARE(eventEntries(err).join(QLatin1Char('\n')), entries.join(QLatin1Char('\n')));
}

QTEST_GUILESS_MAIN(tst_WinePrint)
#include "tst_wineprint.moc"
