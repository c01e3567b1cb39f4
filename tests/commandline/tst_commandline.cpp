// The command line of a real program built on the framework, run as a child
// process on a machine without a Windows service manager, and the platform
// table that stands in for it.
#include "servicecontroller.h"
#include "servicecontrolmanager.h"

#include <QProcess>
#include <QtTest>

#include <signal.h>
#include <thread>
#include <vector>

class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void concurrentBinding();
    void options_data();
    void options();
    void helpText();
    void version();
    void foregroundRun_data();
    void foregroundRun();
    void foregroundInterrupt_data();
    void foregroundInterrupt();
    void noServiceManager();

private:
    struct Result
    {
        int exitCode = -1000;
        QByteArray out;
        QByteArray err;
    };
    static Result run(const QStringList &arguments,
                      const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
};

static const QString program = QStringLiteral(TESTSERVICE_PATH);

tst_CommandLine::Result tst_CommandLine::run(const QStringList &arguments,
                                              const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Result result;
    // Bounded well below the 20 seconds a hung dispatcher start would take.
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1001;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void tst_CommandLine::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    const QByteArray notInstalled = "The service Quillport could not be installed\n";
    const QByteArray notUninstalled = "The service Quillport is not installed\n";
    const QByteArray noStart = "The service Quillport could not start\n";

    // Exit codes as the shell sees them: -1 is 255, -4 is 252.
    QTest::newRow("-i") << QStringList{ "-i" } << 255 << QByteArray() << notInstalled;
    QTest::newRow("-install account password")
        << QStringList{ "-install", "alice", "secret" } << 255 << QByteArray() << notInstalled;
    QTest::newRow("-u") << QStringList{ "-u" } << 0 << QByteArray() << notUninstalled;
    QTest::newRow("-uninstall") << QStringList{ "-uninstall" } << 0 << QByteArray() << notUninstalled;
    QTest::newRow("-p") << QStringList{ "-p" } << 0 << QByteArray() << QByteArray();
    QTest::newRow("-resume") << QStringList{ "-resume" } << 0 << QByteArray() << QByteArray();
    QTest::newRow("-c") << QStringList{ "-c" } << 0 << QByteArray() << QByteArray();
    QTest::newRow("-command abc") << QStringList{ "-command", "abc" } << 0 << QByteArray() << QByteArray();
    QTest::newRow("no option") << QStringList() << 252 << QByteArray() << noStart;
    QTest::newRow("unknown word") << QStringList{ "print" } << 252 << QByteArray() << noStart;
    // Options are compared exactly: none of these is -i.
    QTest::newRow("-I") << QStringList{ "-I" } << 252 << QByteArray() << noStart;
    QTest::newRow("--install") << QStringList{ "--install" } << 252 << QByteArray() << noStart;
    QTest::newRow("/i") << QStringList{ "/i" } << 252 << QByteArray() << noStart;
    QTest::newRow("-inst") << QStringList{ "-inst" } << 252 << QByteArray() << noStart;
}

void tst_CommandLine::options()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);

    const Result result = run(arguments);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.out, out);
    QCOMPARE(result.err, err);
}

void tst_CommandLine::helpText()
{
    const QByteArray expected = "\n" + program.toLatin1()
        + " -[i|u|e|t|p|r|c|v|h]\n"
          "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
          "\t-u(ninstall)\t: Uninstall the service.\n"
          "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
          "\t-t(erminate)\t: Stop the service.\n"
          "\t-p(ause)\t: Pause the service.\n"
          "\t-r(esume)\t: Resume a paused service.\n"
          "\t-c(ommand) num\t: Send command code num to the service.\n"
          "\t-v(ersion)\t: Print version and status information.\n"
          "\t-h(elp)   \t: Show this help\n"
          "\tNo arguments\t: Start the service.\n";
    for (const char *option : { "-h", "-help" }) {
        const Result result = run({ QLatin1String(option) });
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out, expected);
        QCOMPARE(result.err, QByteArray());
    }
}

void tst_CommandLine::version()
{
    const Result result = run({ QStringLiteral("-v") });
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, "The service\n\tQuillport\n\t" + program.toLatin1()
                 + "\n\nis not installed and not running\n\n");

    // A refused stop is a warning, not a failure of the command line.
    const Result stop = run({ QStringLiteral("-t") });
    QCOMPARE(stop.exitCode, 0);
    QVERIFY2(stop.err.contains("The service could not be stopped."), stop.err);
}

void tst_CommandLine::foregroundRun_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("exitCode");
    QTest::addColumn<int>("expectedExit");
    QTest::addColumn<QByteArray>("startLine");

    const QByteArray prog = program.toLocal8Bit();
    QTest::newRow("-e, exit 0") << QStringList{ "-e" } << "0" << 0 << "start: " + prog;
    QTest::newRow("-exec with two words, exit 3")
        << QStringList{ "-exec", "one", "two" } << "3" << 3 << "start: " + prog + "|one|two";
    QTest::newRow("-e, exit -98") << QStringList{ "-e" } << "-98" << 158 << "start: " + prog;
}

void tst_CommandLine::foregroundRun()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, exitCode);
    QFETCH(int, expectedExit);
    QFETCH(QByteArray, startLine);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TESTSERVICE_EXIT"), exitCode);
    const Result result = run(arguments, environment);
    QCOMPARE(result.exitCode, expectedExit);
    // start() ran inside the loop with argument 0 kept and the option removed,
    // and the application object was deleted once the loop had ended.
    QCOMPARE(result.out, startLine + "\napplication deleted\n");
}

void tst_CommandLine::foregroundInterrupt_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_CommandLine::foregroundInterrupt()
{
    QFETCH(int, signalNumber);

    QProcess process;
    process.start(program, { QStringLiteral("-e") });
    QVERIFY(process.waitForStarted());
    // Wait until the service runs inside its event loop.
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains("start: "), 10000);

    QCOMPARE(::kill(pid_t(process.processId()), signalNumber), 0);
    QVERIFY(process.waitForFinished(10000));
    out += process.readAllStandardOutput();

    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(out.endsWith("\nstop\napplication deleted\n"), out);
}

void tst_CommandLine::noServiceManager()
{
    // Without a service manager the controller answers as for a service
    // that does not exist, whatever it is asked.
    ServiceController controller(QStringLiteral("Quillport"));
    QVERIFY(resolveServiceApi());
    QVERIFY(!controller.isInstalled());
    QVERIFY(!controller.isRunning());
    QCOMPARE(controller.serviceFilePath(), QString());
    QCOMPARE(controller.serviceDescription(), QString());
    QCOMPARE(controller.startupType(), ServiceBase::StartOnDemand);
    QVERIFY(!controller.start());
    QVERIFY(!controller.start({ QStringLiteral("x") }));
    QVERIFY(!controller.stop());
    QVERIFY(!controller.pause());
    QVERIFY(!controller.resume());
    QVERIFY(!controller.sendCommand(1));
    QVERIFY(!controller.uninstall());

    // And no dispatcher can be started from here.
    const SERVICE_TABLE_ENTRYW table[] = { { nullptr, nullptr } };
    QVERIFY(!serviceApi().StartServiceCtrlDispatcherW(table));
    QCOMPARE(GetLastError(), DWORD(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

void tst_CommandLine::concurrentBinding()
{
    // Every thread sees the same bound table, whoever binds it first.
    const int threads = 8;
    std::vector<std::thread> workers;
    std::vector<POpenSCManagerW> seen(threads, nullptr);
    std::vector<int> bound(threads, 0);
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([i, &seen, &bound] {
            bound[size_t(i)] = resolveServiceApi();
            seen[size_t(i)] = serviceApi().OpenSCManagerW;
        });
    }
    for (auto &worker : workers)
        worker.join();
    for (int i = 0; i < threads; ++i) {
        QVERIFY(bound[size_t(i)]);
        QVERIFY(seen[size_t(i)] != nullptr);
        QVERIFY(seen[size_t(i)] == seen[0]);
    }
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
