// quillport -e as a child process: what each kind of settings.json makes of
// the start, seen in the exit code, the log file and the diagnostic output.
#include "netclient.h"
#include "notifysocket.h"
#include "quillportchild.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <signal.h>
#include <unistd.h>

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void missingSettings();
    void unparsableSettings();
    void runsWithoutPrinters_data();
    void runsWithoutPrinters();
    void printersThatCannotListen_data();
    void printersThatCannotListen();
    void printersThatMustNotListen();
    void morePrintersThanDescriptors_data();
    void morePrintersThanDescriptors();
    void stopDuringTheAddressWait();
    void addressAppearsDuringTheWait();
    void tellsTheServiceManager();
    void hangupReopensTheLog();
    void filesArePrivate();
    void metricsForAScraper();

private:
    static QJsonObject printer(const QString &name, quint16 port);
    static QStringList errorLines(const QuillportChild &child);
};

static const QString program = QStringLiteral(QUILLPORT_PATH);
static const int Timeout = 10000;
// The owner's, the group's and the others' rights.
static const QFile::Permissions AccessBits(0x7077);

QJsonObject tst_Startup::printer(const QString &name, quint16 port)
{
    return { { QStringLiteral("localname"), name },
             { QStringLiteral("active"), true },
             { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
             { QStringLiteral("port"), port },
             { QStringLiteral("retrytime"), 0 } };
}

QStringList tst_Startup::errorLines(const QuillportChild &child)
{
    QStringList errors;
    const QStringList lines = child.logLines();
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Error  ")))
            errors << line;
    }
    return errors;
}

void tst_Startup::missingSettings()
{
    QuillportChild child(program);
    QVERIFY(child.launch());
    QCOMPARE(child.waitForExit(Timeout), 157); // -99
    QVERIFY2(child.output().contains(QStringLiteral("Error  Couldn't open config file: ") + child.dataFolder()
                                     + QStringLiteral("settings.json")),
             qPrintable(child.output()));
    QVERIFY(!QFile::exists(child.dataFolder() + QStringLiteral("Quillport.log")));
}

// A syntax error (here a trailing comma) must not start a service with no
// printer, logging to the event log instead of the file it was asked for.
void tst_Startup::unparsableSettings()
{
    QuillportChild child(program);
    QVERIFY(child.writeSettings("{\"logtype\": \"textfile\", \"printers\": [{\"port\": 9100},]}"));
    QVERIFY(child.launch());
    QCOMPARE(child.waitForExit(Timeout), 157); // -99
    QVERIFY2(child.output().contains(QStringLiteral("Error  Couldn't read config file: ") + child.dataFolder()
                                     + QStringLiteral("settings.json: object is missing after a comma at offset 53")),
             qPrintable(child.output()));
    QVERIFY(!child.output().contains(QStringLiteral("Service started successful")));
}

void tst_Startup::runsWithoutPrinters_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("blank file") << QByteArray(" \n");
    QTest::newRow("empty object") << QByteArray("{}");
    QTest::newRow("top-level array") << QByteArray("[{\"active\": true, \"port\": 1}]");
    QTest::newRow("no active printer")
        << QByteArray("{\"logtype\": \"textfile\", \"printers\": [{\"localname\": \"a\", \"port\": 1}, "
                      "{\"localname\": \"b\", \"active\": \"true\", \"port\": 2}]}");
}

void tst_Startup::runsWithoutPrinters()
{
    QFETCH(QByteArray, content);

    QuillportChild child(program);
    QVERIFY(child.writeSettings(content));
    QVERIFY(child.launch());
    QTRY_VERIFY_WITH_TIMEOUT(child.output().contains(QStringLiteral("Info   Service started successful")), Timeout);
    // It keeps running until it is stopped.
    QVERIFY(child.isRunning());
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));
    QVERIFY(!child.output().contains(QStringLiteral("Error  ")));
}

void tst_Startup::printersThatCannotListen_data()
{
    QTest::addColumn<QList<int>>("taken"); // indexes of printers whose port is taken

    QTest::newRow("the second of three") << QList<int>{ 1 };
    QTest::newRow("the first and the third") << QList<int>{ 0, 2 };
}

void tst_Startup::printersThatCannotListen()
{
    QFETCH(QList<int>, taken);

    // Three free ports, some of them then held by this test.
    std::vector<std::unique_ptr<QTcpServer>> servers;
    QList<QJsonObject> printers;
    for (int i = 0; i < 3; ++i) {
        servers.push_back(std::make_unique<QTcpServer>());
        QVERIFY(servers.back()->listen(QHostAddress::LocalHost));
        printers << printer(QStringLiteral("p%1").arg(i), servers.back()->serverPort());
    }
    QStringList expected;
    for (int i = 0; i < 3; ++i) {
        if (!taken.contains(i)) {
            servers.at(i)->close();
            continue;
        }
        // The system's own text, then the printer it concerns.
        const QString error = QStringLiteral("The bound address is already in use (printer \"p%1\", 127.0.0.1 port %2)")
                                  .arg(i)
                                  .arg(servers.at(i)->serverPort());
        expected << QStringLiteral("Error  ") + error << QStringLiteral("Error  Failed to start. Error: ") + error;
    }

    // An inactive printer on a taken port is never tried.
    QJsonObject inactive = printer(QStringLiteral("off"), servers.at(taken.first())->serverPort());
    inactive.insert(QStringLiteral("active"), false);
    printers << inactive;

    QuillportChild child(program);
    QVERIFY(child.writePrinters(printers));
    QVERIFY(child.launch());
    QCOMPARE(child.waitForExit(Timeout), 158); // -98
    QCOMPARE(errorLines(child), expected);
    QVERIFY(!child.logLines().contains(QStringLiteral("Info   Service started successful")));
}

// Qt would bind every interface for a text that is no address, and any free
// port for 0; an output or protocol that names nothing would lose every job.
void tst_Startup::printersThatMustNotListen()
{
    QJsonObject noAddress = printer(QStringLiteral("a"), 9100);
    noAddress.insert(QStringLiteral("listen"), QStringLiteral("not-an-address"));
    QJsonObject noPort = printer(QStringLiteral("b"), 0);
    QJsonObject badOutput = printer(QStringLiteral("c"), 9101);
    badOutput.insert(QStringLiteral("output"), QStringLiteral("usb:/dev/usb/lp0"));
    QJsonObject badProtocol = printer(QStringLiteral("d"), 9102);
    badProtocol.insert(QStringLiteral("protocol"), QStringLiteral("ipp"));
    QJsonObject noDeviceFolder = printer(QStringLiteral("e"), 9103);
    noDeviceFolder.insert(QStringLiteral("output"), QStringLiteral("device:/nonexistent/usb/lp0"));

    QuillportChild child(program);
    QVERIFY(child.writePrinters({ noAddress, noPort, badOutput, badProtocol, noDeviceFolder }));
    QVERIFY(child.launch());
    QCOMPARE(child.waitForExit(Timeout), 158); // -98

    const QStringList reasons{
        QStringLiteral("its listen setting is not an address"),
        QStringLiteral("its port is 0"),
        QStringLiteral("its output \"usb:/dev/usb/lp0\" cannot be used: it is neither empty, device:/path nor "
                       "socket://host:port"),
        QStringLiteral("its protocol \"ipp\" is neither raw nor lpd"),
        QStringLiteral("its output \"device:/nonexistent/usb/lp0\" cannot be used: the folder /nonexistent/usb does "
                       "not exist"),
    };
    QStringList expected;
    for (int i = 0; i < reasons.size(); ++i) {
        expected << QStringLiteral("Error  Printer \"%1\" cannot listen: %2").arg(QChar('a' + i)).arg(reasons.at(i))
                 << QStringLiteral("Error  Failed to start. Error: ") + reasons.at(i);
    }
    QCOMPARE(errorLines(child), expected);
}

// The wait for a listen address holds up neither the other printers nor a
// stop.
void tst_Startup::stopDuringTheAddressWait()
{
    const QHostAddress absent(QStringLiteral("198.51.100.7")); // TEST-NET-2
    if (QNetworkInterface::allAddresses().contains(absent))
        QSKIP("The address this test needs absent is on an interface of this machine");
    const quint16 port = freePort();
    QVERIFY(port != 0);

    QJsonObject waiting = printer(QStringLiteral("waiting"), 9100);
    waiting.insert(QStringLiteral("listen"), absent.toString());
    waiting.insert(QStringLiteral("interfacewaittime"), 100000);
    // Printers start in file order: once the waiting one says so, the one
    // before it listens.
    QuillportChild child(program);
    QVERIFY(child.writePrinters({ printer(QStringLiteral("serving"), port), waiting }));
    QVERIFY(child.launch());
    QVERIFY(child.waitForLine(QStringLiteral("Error  Wait 10 seconds for network interface with address 198.51.100.7"),
                              Timeout));

    ClientPool clients(port);
    ClientConnection *job = clients.add("served meanwhile", Ending::Finish);
    QVERIFY(clients.runUntilDone(QDeadlineTimer(Timeout)));
    QVERIFY2(job->completed(), qPrintable(job->error));
    QVERIFY(child.waitForLine(QStringLiteral("Print  Print job from 127.0.0.1 finished with error"), Timeout));

    QVERIFY2(child.stop(1000), qPrintable(child.errorString));
    QVERIFY(!child.logLines().contains(QStringLiteral("Info   Service started successful")));
}

// The listen address comes up while the printer waits for it: the printer
// listens from the next round on. The program runs in a network of its own,
// where the test adds the address to the loopback interface.
void tst_Startup::addressAppearsDuringTheWait()
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("nsenter")).isEmpty()
        || QProcess::execute(QStringLiteral("unshare"), { QStringLiteral("-n"), QStringLiteral("true") }) != 0)
        QSKIP("A network of the program's own needs root, unshare and nsenter");
    QJsonObject waiting = printer(QStringLiteral("waiting"), 9100);
    waiting.insert(QStringLiteral("listen"), QStringLiteral("10.77.0.1"));
    waiting.insert(QStringLiteral("interfacewaittime"), 30);

    QuillportChild child(program);
    child.setLauncher({ QStringLiteral("unshare"), QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                        QStringLiteral("ip link set lo up && exec \"$@\""), QStringLiteral("sh") });
    QVERIFY(child.writePrinters({ waiting }));
    QVERIFY(child.launch());
    QVERIFY(child.waitForLine(QStringLiteral("Error  Wait 10 seconds for network interface with address 10.77.0.1"),
                              Timeout));
    QCOMPARE(QProcess::execute(QStringLiteral("nsenter"),
                               { QStringLiteral("-t"), QString::number(child.pid()), QStringLiteral("-n"),
                                 QStringLiteral("ip"), QStringLiteral("addr"), QStringLiteral("add"),
                                 QStringLiteral("10.77.0.1/32"), QStringLiteral("dev"), QStringLiteral("lo") }),
             0);
    QVERIFY2(child.waitForLine(QStringLiteral("Info   Service started successful"), 3 * Timeout),
             qPrintable(QStringLiteral("exit code %1:\n%2").arg(child.waitForExit(0)).arg(child.output())));
    QCOMPARE(child.countLines(QStringLiteral("Error  Wait 10 seconds for network interface with address 10.77.0.1")), 1);
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));
}

// With NOTIFY_SOCKET set, as systemd runs a Type=notify unit: ready once
// every printer listens, a status line that follows the jobs, stopping.
void tst_Startup::tellsTheServiceManager()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QTemporaryDir folder;
    NotifySocket socket;
    QVERIFY(socket.open(folder.path()));

    QuillportChild child(program);
    child.setEnvironment(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(socket.name()));
    QVERIFY(child.writePrinters({ printer(QStringLiteral("p"), port) }));
    QVERIFY(child.start(Timeout));
    QCOMPARE(socket.next(Timeout),
             QByteArray("READY=1\nSTATUS=Running: 1 printer(s) listening, 0 paused; 0 job(s) printed, 0 failed, 0 waiting"));

    QString why;
    QVERIFY2(sendJob(port, "a job", Timeout, &why), qPrintable(why));
    const QByteArray status = socket.next(Timeout);
    QVERIFY2(status.startsWith("STATUS=Running: 1 printer(s) listening, 0 paused; 0 job(s) printed, 1 failed, 0 waiting; "
                               "last job 20"),
             status);
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));
    QCOMPARE(socket.next(Timeout), QByteArray("STOPPING=1\nSTATUS=Stopping"));
}

// Log rotation moves the log aside and sends SIGHUP; the next line goes to a
// new file of the old name.
void tst_Startup::hangupReopensTheLog()
{
    QuillportChild child(program);
    QVERIFY(child.writePrinters({}));
    QVERIFY(child.start(Timeout));
    const QString log = child.dataFolder() + QStringLiteral("Quillport.log");
    QVERIFY(QFile::rename(log, log + QStringLiteral(".1")));
    QCOMPARE(::kill(pid_t(child.pid()), SIGHUP), 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(log), Timeout);
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));
    QVERIFY(child.isRunning() == false);

    QFile rotated(log + QStringLiteral(".1"));
    QVERIFY(rotated.open(QIODevice::ReadOnly));
    QVERIFY(rotated.readAll().contains("Service started successful"));
    QCOMPARE(QFileInfo(log).permissions() & AccessBits, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
}

// Print jobs hold other people's documents, and the log says who printed
// what: neither is for other local users.
void tst_Startup::filesArePrivate()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QJsonObject stored = printer(QStringLiteral("p"), port);
    stored.insert(QStringLiteral("storejobs"), true);
    stored.insert(QStringLiteral("jobspath"), QStringLiteral("jobs"));

    QuillportChild child(program);
    QVERIFY(child.writePrinters({ stored }));
    QVERIFY(child.start(Timeout));
    QString why;
    QVERIFY2(sendJob(port, "a private document", Timeout, &why), qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(child.jobFiles().size(), 1, Timeout);
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));

    const auto mode = [](const QString &path) { return int(QFileInfo(path).permissions() & AccessBits); };
    QCOMPARE(mode(child.jobFilePath(child.jobFiles().first())), int(QFile::ReadOwner | QFile::WriteOwner));
    QCOMPARE(mode(child.dataFolder() + QStringLiteral("Quillport.log")),
             int(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    QCOMPARE(mode(child.spoolFolder()), int(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QCOMPARE(mode(child.jobsFolder()),
             int(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup));
}

// The metrics file parses as Prometheus wants it and holds the counts: a
// printed job (to a file as the printer), a failed one, a denied peer.
void tst_Startup::metricsForAScraper()
{
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        QSKIP("promtool is not installed (Debian: prometheus)");
    QTemporaryDir folder;
    const QList<quint16> ports = freePorts(2);
    QCOMPARE(ports.size(), 2);
    const quint16 printed = ports.at(0);
    const quint16 failing = ports.at(1);
    QJsonObject toFile = printer(QStringLiteral("to \"file\""), printed);
    QFile device(folder.filePath(QStringLiteral("device")));
    QVERIFY(device.open(QIODevice::WriteOnly));
    device.close();
    toFile.insert(QStringLiteral("output"), QStringLiteral("device:") + device.fileName());
    toFile.insert(QStringLiteral("subnets"), QStringLiteral("127.0.0.1/32"));

    QuillportChild child(program);
    const QString metrics = folder.filePath(QStringLiteral("quillport.prom"));
    QVERIFY(child.writeSettings(QJsonDocument(QJsonObject{ { QStringLiteral("logtype"), QStringLiteral("textfile") },
                                                           { QStringLiteral("metricsfile"), metrics },
                                                           { QStringLiteral("printers"),
                                                             QJsonArray{ toFile, printer(QStringLiteral("nowhere"), failing) } } })
                                    .toJson()));
    QVERIFY(child.start(Timeout));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(metrics), Timeout);
    QString why;
    QVERIFY2(sendJob(printed, "printed", Timeout, &why), qPrintable(why));
    QVERIFY2(sendJob(failing, "failed", Timeout, &why), qPrintable(why));
    ClientPool denied(printed);
    denied.add("denied", Ending::Finish, "127.0.0.2");
    denied.runUntilDone(QDeadlineTimer(Timeout));
    QVERIFY(child.waitForLine(QStringLiteral("Print  Print job from 127.0.0.1 completed successful"), Timeout));
    QVERIFY(child.waitForLine(QStringLiteral("Print  Print job from 127.0.0.1 finished with error"), Timeout));
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));

    QProcess check;
    check.start(promtool, { QStringLiteral("check"), QStringLiteral("metrics") });
    QFile file(metrics);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    check.write(text);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(Timeout));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardError() + check.readAllStandardOutput() + "\n" + text);

    const QString file1 = QStringLiteral("printer=\"to \\\"file\\\"\"");
    for (const QString &sample : { QStringLiteral("quillport_jobs_total{%1,outcome=\"printed\"} 1").arg(file1),
                                   QStringLiteral("quillport_jobs_total{%1,outcome=\"failed\"} 0").arg(file1),
                                   QStringLiteral("quillport_jobs_total{printer=\"nowhere\",outcome=\"failed\"} 1"),
                                   QStringLiteral("quillport_job_bytes_total{%1} 7").arg(file1),
                                   QStringLiteral("quillport_connections_denied_total{%1} 1").arg(file1),
                                   QStringLiteral("quillport_connections_open{%1} 0").arg(file1),
                                   QStringLiteral("quillport_jobs_waiting{printer=\"nowhere\"} 0"),
                                   QStringLiteral("quillport_printer_paused{%1} 0").arg(file1) })
        QVERIFY2(text.contains(sample.toUtf8() + '\n'), qPrintable(sample));
    QVERIFY(text.contains("quillport_start_time_seconds "));
    QVERIFY(!text.contains("quillport_last_job_timestamp_seconds{printer=\"nowhere\"} 0.000"));
}

void tst_Startup::morePrintersThanDescriptors_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("starts");

    QTest::newRow("limit 256") << 256 << true;
    QTest::newRow("~limit 64") << 64 << false;
}

// The program raises its soft limit of descriptors to the hard one; a
// start whose printers still would not fit says how many would, rather than
// failing printer after printer.
void tst_Startup::morePrintersThanDescriptors()
{
    QFETCH(int, limit);
    QFETCH(bool, starts);
    const QList<quint16> ports = freePorts(40);
    QCOMPARE(ports.size(), 40);
    QList<QJsonObject> printers;
    for (const quint16 port : ports)
        printers << printer(QStringLiteral("p%1").arg(port), port);
    QuillportChild child(program);
    child.setDescriptorLimit(limit);
    QVERIFY(child.writePrinters(printers));
    if (starts) {
        QVERIFY2(child.start(Timeout), qPrintable(child.errorString));
        QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));
        return;
    }
    QVERIFY(child.launch());
    QCOMPARE(child.waitForExit(Timeout), 158); // -98
    const QRegularExpression line(QStringLiteral("^Error  Couldn't start 40 printers: the service may open 64 files, "
                                                 "enough for about (\\d+) printers$"));
    const QStringList errors = errorLines(child);
    QCOMPARE(errors.size(), 1);
    const QRegularExpressionMatch match = line.match(errors.first());
    QVERIFY2(match.hasMatch(), qPrintable(errors.first()));
    QVERIFY(match.captured(1).toInt() > 0 && match.captured(1).toInt() < 16);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
