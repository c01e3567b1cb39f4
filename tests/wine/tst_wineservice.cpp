// The framework's Windows build over a real service manager: a small
// program built on it (testservice.exe) is installed, started, paused,
// resumed, sent commands, stopped and removed through its own command line,
// under Wine. Run by the service manager, it appends what happens to it to a
// file that the test reads.
#include "servicecontrolmanager.h"
#include "wineprefix.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <signal.h>

namespace {

const QString Program = QStringLiteral(WINDOWS_TESTSERVICE_PATH);
const int Timeout = 60000;

// Windows programs end their lines with CR LF on standard output and error.
QByteArray crlf(QByteArray text)
{
    return text.replace("\n", "\r\n");
}

QByteArray versionText(bool installed, bool running)
{
    return "The service\n\tQuillport\n\t" + WinePrefix::windowsPath(Program).toLatin1() + "\n\nis "
        + (installed ? "installed" : "not installed") + " and " + (running ? "running" : "not running") + "\n\n";
}

} // namespace

class tst_WineService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLine_data();
    void commandLine();
    void startFromConsole();
    void accounts_data();
    void accounts();
    void consoleControl_data();
    void consoleControl();

private:
    int serviceState() const { return wine.serviceState(QStringLiteral("Quillport")); }
    bool waitForState(int state) const { return wine.waitForServiceState(QStringLiteral("Quillport"), state, Timeout); }
    // The service's registry value (reg query).
    QString registryValue(const QString &name) const;
    // The whole lines the program has written to its file so far.
    QByteArrayList logLines() const;
    QByteArrayList newLogLines() const { return logLines().mid(linesRead); }

    WinePrefix wine;
    QTemporaryDir folder;
    QString logPath;
    int linesRead = 0;
};

void tst_WineService::initTestCase()
{
    if (!WinePrefix::isInstalled())
        QSKIP("Wine is not installed (Debian: wine64)");
    QVERIFY2(QFile::exists(Program), qPrintable(Program));
    QVERIFY(folder.isValid());
    logPath = folder.filePath(QStringLiteral("testservice.log"));
    wine.setEnvironment(QStringLiteral("TESTSERVICE_LOG"), WinePrefix::windowsPath(logPath));
    // Qt's warnings go to standard error as in a console window, not to the
    // debugger.
    wine.setEnvironment(QStringLiteral("QT_ASSUME_STDERR_HAS_CONSOLE"), QStringLiteral("1"));
    QVERIFY2(wine.start(), qPrintable(wine.errorString()));
}

QString tst_WineService::registryValue(const QString &name) const
{
    const WinePrefix::Result result = wine.run(
        QStringLiteral("reg"), { QStringLiteral("query"),
                                 QStringLiteral("HKLM\\System\\CurrentControlSet\\Services\\Quillport"),
                                 QStringLiteral("/v"), name });
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^\\s*%1\\s+REG_\\w+\\s+(.*?)\\s*$").arg(name),
                           QRegularExpression::MultilineOption)
            .match(QString::fromLocal8Bit(result.out));
    return match.captured(1);
}

QByteArrayList tst_WineService::logLines() const
{
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArrayList lines = file.readAll().split('\n');
    lines.removeLast(); // an unfinished line, or empty
    return lines;
}

void tst_WineService::commandLine_data()
{
    QTest::addColumn<QString>("program"); // testservice, or sc (whose output is not checked)
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QRegularExpression>("err");
    QTest::addColumn<int>("state"); // afterwards; 0: not installed
    QTest::addColumn<QByteArrayList>("logged");

    const auto row = [](const char *name, const QStringList &arguments, int exitCode, const QByteArray &out,
                        const QByteArray &err, int state, const QByteArrayList &logged = {}) {
        const QString pattern = QLatin1Char('^') + QRegularExpression::escape(QString::fromLatin1(crlf(err)))
            + QLatin1Char('$');
        QTest::newRow(name) << QStringLiteral("testservice") << arguments << exitCode << crlf(out)
                            << QRegularExpression(pattern) << state << logged;
    };
    const QByteArray path = WinePrefix::windowsPath(Program).toLatin1();
    const int none = 0;

    // One service's life, row after row; exit codes as Linux sees them.
    row("-v, not installed", { "-v" }, 0, versionText(false, false), "", none);
    row("-u, not installed", { "-u" }, 0, "", "The service Quillport is not installed\n", none);
    row("-p, not installed", { "-p" }, 0, "", "", none);
    row("-i", { "-i" }, 0, "The service Quillport has been installed under: " + path + "\n", "", SERVICE_STOPPED);
    row("-install, installed", { "-install" }, 0, "", "The service Quillport is already installed\n",
        SERVICE_STOPPED);
    row("-v, stopped", { "-v" }, 0, versionText(true, false), "", SERVICE_STOPPED);
    row("-c 5, stopped", { "-c", "5" }, 0, "", "", SERVICE_STOPPED);
    // The error's own text is the last error as Wine leaves it.
    QTest::newRow("-t, stopped")
        << QStringLiteral("testservice") << QStringList{ "-t" } << 0 << QByteArray()
        << QRegularExpression(QStringLiteral("^stopping \\(Service not active\\.\\)\r\n"
                                             "The service could not be stopped\\. \\(.*\\)\r\n$"))
        << SERVICE_STOPPED << QByteArrayList();
    // The service manager hands the service its name first, then the start
    // arguments.
    QTest::newRow("sc start with two words")
        << QStringLiteral("sc") << QStringList{ "start", "Quillport", "one", "two" } << 0 << QByteArray()
        << QRegularExpression() << SERVICE_RUNNING << QByteArrayList{ "start: Quillport|one|two" };
    row("-v, running", { "-v" }, 0, versionText(true, true), "", SERVICE_RUNNING);
    row("-i, running", { "-i" }, 0, "", "The service Quillport is already installed\n", SERVICE_RUNNING);
    row("-p", { "-p" }, 0, "", "", SERVICE_PAUSED, { "pause" });
    row("-v, paused", { "-v" }, 0, versionText(true, true), "", SERVICE_PAUSED);
    row("-c 3, paused", { "-c", "3" }, 0, "", "", SERVICE_PAUSED, { "command 3" });
    row("-resume", { "-resume" }, 0, "", "", SERVICE_RUNNING, { "resume" });
    row("-c 0", { "-c", "0" }, 0, "", "", SERVICE_RUNNING, { "command 0" });
    row("-command 127", { "-command", "127" }, 0, "", "", SERVICE_RUNNING, { "command 127" });
    row("-c 128, out of range", { "-c", "128" }, 0, "", "", SERVICE_RUNNING);
    row("-c -1, out of range", { "-c", "-1" }, 0, "", "", SERVICE_RUNNING);
    row("-t", { "-t" }, 0, "", "", SERVICE_STOPPED, { "stop", "application deleted" });
    row("-v, stopped again", { "-v" }, 0, versionText(true, false), "", SERVICE_STOPPED);
    row("-u", { "-u" }, 0, "The service Quillport has been uninstalled.\n", "", none);
    row("-v, uninstalled", { "-v" }, 0, versionText(false, false), "", none);
}

void tst_WineService::commandLine()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QRegularExpression, err);
    QFETCH(int, state);
    QFETCH(QByteArrayList, logged);

    const bool ownCommand = program == QLatin1String("testservice");
    const WinePrefix::Result result = wine.run(ownCommand ? Program : program, arguments);
    QCOMPARE(result.exitCode, exitCode);
    if (ownCommand) {
        QCOMPARE(result.out, out);
        QVERIFY2(err.match(QString::fromLatin1(result.err)).hasMatch(), result.err);
    }
    QVERIFY2(waitForState(state), qPrintable(QStringLiteral("state %1, not %2").arg(serviceState()).arg(state)));
    // A control returns once the service has handled it; a start, once the
    // service has reported that it runs.
    QTRY_COMPARE_WITH_TIMEOUT(newLogLines().mid(0, logged.size()), logged, Timeout);
    linesRead += logged.size();
    QCOMPARE(newLogLines(), QByteArrayList());
}

void tst_WineService::startFromConsole()
{
    // Run from a console with no option, the program first asks for the
    // service dispatcher, which fails at once on Windows when the service
    // manager did not start the process. Wine cannot tell: its dispatcher
    // connects to the control pipe of whichever service the manager started
    // last, and so waits ten seconds on a running service's pipe, or takes
    // over the control connection of a service that is starting (Wine's own
    // services start on demand). The tests start services with "sc start".
    QSKIP("Wine's StartServiceCtrlDispatcherW cannot tell a console program from a service process");
}

void tst_WineService::accounts_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("type");

    // Wine records the account but checks neither it nor the password, and
    // runs every service as the Wine user.
    QTest::newRow("none: LocalSystem") << QStringList{ "-i" } << "LocalSystem" << "0x110";
    QTest::newRow("LocalSystem by name") << QStringList{ "-i", "LocalSystem" } << "LocalSystem" << "0x110";
    QTest::newRow(".\\LocalSystem") << QStringList{ "-i", ".\\LocalSystem" } << "LocalSystem" << "0x110";
    QTest::newRow("local user, password") << QStringList{ "-i", "alice", "secret" } << ".\\alice" << "0x10";
    QTest::newRow("domain account") << QStringList{ "-install", "NT AUTHORITY\\LocalService" }
                                    << "NT AUTHORITY\\LocalService" << "0x10";
}

void tst_WineService::accounts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, objectName);
    QFETCH(QString, type);

    QCOMPARE(wine.run(Program, arguments).exitCode, 0);
    QCOMPARE(registryValue(QStringLiteral("ObjectName")), objectName);
    QCOMPARE(registryValue(QStringLiteral("Type")), type);
    QCOMPARE(registryValue(QStringLiteral("Start")), QStringLiteral("0x3")); // on demand

    linesRead = logLines().size();
    QCOMPARE(wine.run(QStringLiteral("sc"), { QStringLiteral("start"), QStringLiteral("Quillport") }).exitCode, 0);
    QVERIFY(waitForState(SERVICE_RUNNING));
    QTRY_COMPARE_WITH_TIMEOUT(newLogLines().mid(0, 1), QByteArrayList{ "start: Quillport" }, Timeout);
    QCOMPARE(wine.run(Program, { QStringLiteral("-t") }).exitCode, 0);
    QCOMPARE(wine.run(Program, { QStringLiteral("-u") }).exitCode, 0);
    QVERIFY(waitForState(0));
}

void tst_WineService::consoleControl_data()
{
    QTest::addColumn<QString>("control");
    QTest::newRow("Ctrl+C") << "Ctrl+C";
    QTest::newRow("Ctrl+Break") << "Ctrl+Break";
    QTest::newRow("close") << "close";
}

void tst_WineService::consoleControl()
{
    QFETCH(QString, control);
    // Wine turns SIGINT into CTRL_C_EVENT for the process's handlers; it has
    // no way in from outside for the other two.
    if (control == QLatin1String("Ctrl+Break"))
        QSKIP("Wine raises CTRL_BREAK_EVENT only from GenerateConsoleCtrlEvent inside a Wine console");
    if (control == QLatin1String("close"))
        QSKIP("Wine raises CTRL_CLOSE_EVENT only when the window of its own console closes; "
              "a program run from Linux has none");

    QProcess process;
    wine.prepare(process, Program, { QStringLiteral("-e") });
    process.start();
    QVERIFY(process.waitForStarted());
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains("start: "), Timeout);

    QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
    QVERIFY(process.waitForFinished(Timeout));
    out += process.readAllStandardOutput();
    // The run ended as a stop does: the service's stop, then the end of the
    // event loop and of the application.
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(out.endsWith("\r\nstop\r\napplication deleted\r\n"), out);
}

QTEST_GUILESS_MAIN(tst_WineService)
#include "tst_wineservice.moc"
