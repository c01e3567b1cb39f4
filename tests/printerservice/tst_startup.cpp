// quillport -e as a child process: what each kind of settings.json makes of
// the start, seen in the exit code, the log file and the diagnostic output.
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void missingSettings();
    void runsWithoutPrinters_data();
    void runsWithoutPrinters();
    void printersThatCannotListen_data();
    void printersThatCannotListen();
    void printersThatMustNotListen();

private:
    void writeSettings(const QByteArray &content);
    QByteArrayList logLines() const; // the text log without time stamps
    QProcessEnvironment environment() const;

    std::unique_ptr<QTemporaryDir> dir;
    QString dataFolder;
};

static const QString program = QStringLiteral(QUILLPORT_PATH);

void tst_Startup::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    dataFolder = dir->path() + QStringLiteral("/data/quillport/");
    QVERIFY(QDir().mkpath(dataFolder));
}

QProcessEnvironment tst_Startup::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir->path() + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_DATA_DIRS"), dir->path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("CUPS_SERVER"), dir->path() + QStringLiteral("/no-cups"));
    return env;
}

void tst_Startup::writeSettings(const QByteArray &content)
{
    QFile file(dataFolder + QStringLiteral("settings.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArrayList tst_Startup::logLines() const
{
    QFile file(dataFolder + QStringLiteral("Quillport.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArrayList lines;
    const QByteArrayList raw = file.readAll().split('\n');
    for (const QByteArray &line : raw) {
        if (!line.isEmpty())
            lines << line.mid(20);
    }
    return lines;
}

void tst_Startup::missingSettings()
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, { QStringLiteral("-e") });
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 157); // -99
    const QByteArrayList err = process.readAllStandardError().split('\n');
    QVERIFY2(err.contains("Error  Couldn't open config file: " + dataFolder.toUtf8() + "settings.json"),
             err.join('\n'));
    QVERIFY(!QFile::exists(dataFolder + QStringLiteral("Quillport.log")));
}

void tst_Startup::runsWithoutPrinters_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("empty array") << QByteArray("[]");
    QTest::newRow("invalid JSON") << QByteArray("{\"printers\": [");
    QTest::newRow("top-level array") << QByteArray("[{\"active\": true, \"port\": 1}]");
    QTest::newRow("no active printer")
        << QByteArray("{\"logtype\": \"textfile\", \"printers\": [{\"localname\": \"a\", \"port\": 1}, "
                      "{\"localname\": \"b\", \"active\": \"true\", \"port\": 2}]}");
}

void tst_Startup::runsWithoutPrinters()
{
    QFETCH(QByteArray, content);

    writeSettings(content);
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, { QStringLiteral("-e") });
    QVERIFY(process.waitForStarted());
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("Info   Service started successful\n"),
                             10000);
    // It keeps running until it is stopped.
    QCOMPARE(process.state(), QProcess::Running);
    QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!err.contains("Error  "));
}

void tst_Startup::printersThatCannotListen_data()
{
    QTest::addColumn<QList<int>>("taken");   // indexes of printers whose port is taken
    QTest::addColumn<QByteArrayList>("errorLines");

    const QByteArray inUse = "Error  Failed to start. Error: The bound address is already in use";
    QTest::newRow("the second of three") << QList<int>{ 1 } << QByteArrayList{ "Error  The bound address is already in use", inUse };
    QTest::newRow("the first and the third")
        << QList<int>{ 0, 2 }
        << QByteArrayList{ "Error  The bound address is already in use", inUse,
                           "Error  The bound address is already in use", inUse };
}

void tst_Startup::printersThatCannotListen()
{
    QFETCH(QList<int>, taken);
    QFETCH(QByteArrayList, errorLines);

    // Three free ports, some of them then held by this test.
    QList<QTcpServer *> servers;
    QList<quint16> ports;
    for (int i = 0; i < 3; ++i) {
        auto server = new QTcpServer(this);
        QVERIFY(server->listen(QHostAddress::LocalHost));
        ports << server->serverPort();
        servers << server;
    }
    for (int i = 0; i < 3; ++i) {
        if (!taken.contains(i))
            servers.at(i)->close();
    }

    QByteArray printers;
    for (int i = 0; i < 3; ++i) {
        printers += (i ? "," : "") + QByteArray("{\"localname\": \"p") + QByteArray::number(i)
            + "\", \"active\": true, \"listen\": \"127.0.0.1\", \"port\": " + QByteArray::number(ports.at(i)) + "}";
    }
    writeSettings("{\"logtype\": \"textfile\", \"printers\": [" + printers + "]}");

    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, { QStringLiteral("-e") });
    QVERIFY(process.waitForFinished(10000));
    qDeleteAll(servers);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 158); // -98

    QByteArrayList errors;
    const QByteArrayList lines = logLines();
    for (const QByteArray &line : lines) {
        if (line.startsWith("Error  "))
            errors << line;
    }
    QCOMPARE(errors, errorLines);
    QVERIFY(!lines.contains("Info   Service started successful"));
}

void tst_Startup::printersThatMustNotListen()
{
    // Qt would bind every interface for a text that is no address, and any
    // free port for 0; these printers refuse to listen instead.
    writeSettings("{\"logtype\": \"textfile\", \"printers\": ["
                  "{\"localname\": \"a\", \"active\": true, \"listen\": \"not-an-address\", \"port\": 9100},"
                  "{\"localname\": \"b\", \"active\": true, \"listen\": \"127.0.0.1\"}]}");
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, { QStringLiteral("-e") });
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 158); // -98

    const QByteArrayList lines = logLines();
    QCOMPARE(lines,
             (QByteArrayList{ "Info   Listen address for printer \"a\" is  port 9100",
                              "Info   Listen address for printer \"b\" is 127.0.0.1 port 0",
                              "Error  Printer \"a\" cannot listen: its listen setting is not an address",
                              "Error  Failed to start. Error: its listen setting is not an address",
                              "Error  Printer \"b\" cannot listen: its port is 0",
                              "Error  Failed to start. Error: its port is 0" }));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
