// The systemd binding where no systemd runs: the unit files it writes, how
// it reads systemd's state, what it sends to the notify socket, and a
// service process driven by signals as systemd and the controller send them.
#include "childprocess.h"
#include "notifysocket.h"
#include "systemdstatus_p.h"
#include "systemdunitfile_p.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

using namespace SystemdServiceManager;

namespace {

const QString Probe = QStringLiteral(SYSTEMDPROBE_PATH);
// Generous bounds for waits that normally end in milliseconds.
const int Timeout = 20000;

QByteArray unitText(const QByteArray &description, const QByteArray &execStart, const QByteArray &userLine)
{
    return "[Unit]\nDescription=" + description + "\n\n[Service]\nType=notify\nNotifyAccess=main\nExecStart="
        + execStart + "\n" + userLine + "\n[Install]\nWantedBy=multi-user.target\n";
}

SERVICE_STATUS status(DWORD state, DWORD exitCode = 0)
{
    SERVICE_STATUS result = {};
    result.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    result.dwCurrentState = state;
    result.dwWin32ExitCode = exitCode;
    return result;
}

// Whether the control signals are blocked in every thread of the process
// but the one waiting for them: while a thread is in sigwaitinfo, the kernel
// shows the signals it waits for as unblocked in that thread.
bool onlyDispatcherTakesControls(qint64 pid, QString *report)
{
    const quint64 controls = (quint64(1) << (SIGTERM - 1)) | (quint64(1) << (SIGRTMIN - 1));
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    int blocking = 0;
    int waiting = 0;
    report->clear();
    for (const QString &thread : threads) {
        QFile status(tasks.filePath(thread + QStringLiteral("/status")));
        QFile syscall(tasks.filePath(thread + QStringLiteral("/syscall")));
        if (!status.open(QIODevice::ReadOnly) || !syscall.open(QIODevice::ReadOnly))
            continue; // the thread has ended meanwhile
        quint64 blocked = 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("SigBlk:"))
                blocked = line.mid(7).trimmed().toULongLong(nullptr, 16);
        }
        const QByteArray call = syscall.readAll().split(' ').value(0).trimmed();
        if ((blocked & controls) == controls) {
            ++blocking;
        } else if (call == QByteArray::number(SYS_rt_sigtimedwait)) {
            ++waiting;
        } else {
            *report += QStringLiteral(" thread %1 takes control signals (mask %2, system call %3);")
                           .arg(thread, QString::number(blocked, 16), QString::fromLatin1(call));
        }
    }
    *report += QStringLiteral(" %1 threads block them, %2 wait for them").arg(blocking).arg(waiting);
    return blocking + waiting == threads.size() && waiting == 1;
}

} // namespace

class tst_SystemdBinding : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void unitName_data();
    void unitName();
    void unitFileText_data();
    void unitFileText();
    void writeUnitFile();
    void unitFileDescription();
    void serviceState_data();
    void serviceState();
    void notifyMessages_data();
    void notifyMessages();
    void notifyWithoutSocket_data();
    void notifyWithoutSocket();
    void startedBySystemd_data();
    void startedBySystemd();
    void controlsBySignal();

private:
    // Starts the probe as systemd would start it for a unit: NOTIFY_SOCKET,
    // INVOCATION_ID and SYSTEMD_EXEC_PID, which "$$" sets to the probe's own PID.
    void startProbe(ChildProcess &process, const QByteArray &notifySocket, const QByteArray &invocationId,
                    const QByteArray &execPid);
};

void tst_SystemdBinding::cleanup()
{
    setUnitFolder(QString());
    qunsetenv("NOTIFY_SOCKET");
}

void tst_SystemdBinding::unitName_data()
{
    QTest::addColumn<QString>("serviceName");
    QTest::addColumn<QString>("unit");
    QTest::newRow("plain") << "Quillport" << "Quillport.service";
    QTest::newRow("punctuation systemd allows") << "print-server_2:a.b" << "print-server_2:a.b.service";
    QTest::newRow("~empty") << "" << "";
    QTest::newRow("~blank") << "Quill port" << "";
    QTest::newRow("~slash") << "Quill/port" << "";
    QTest::newRow("~not ASCII") << QStringLiteral("Quillp\u00f6rt") << "";
    QTest::newRow("~too long") << QString(248, QLatin1Char('q')) << "";
}

void tst_SystemdBinding::unitName()
{
    QFETCH(QString, serviceName);
    QFETCH(QString, unit);
    QCOMPARE(SystemdServiceManager::unitName(serviceName), unit);
}

void tst_SystemdBinding::unitFileText_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("binaryPath");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QByteArray>("expected");

    const QString program = QStringLiteral("/usr/bin/quillport");
    QTest::newRow("local system: no account") << "Quillport" << program << QString()
                                              << unitText("Quillport", "/usr/bin/quillport", "");
    QTest::newRow("local system by name") << "Quillport" << program << "LocalSystem"
                                          << unitText("Quillport", "/usr/bin/quillport", "");
    QTest::newRow("local system of this machine") << "Quillport" << program << ".\\LocalSystem"
                                                  << unitText("Quillport", "/usr/bin/quillport", "");
    QTest::newRow("account of this machine") << "Quillport" << program << ".\\quillport"
                                             << unitText("Quillport", "/usr/bin/quillport", "User=quillport\n");
    QTest::newRow("account without prefix") << "Quillport" << program << "printing"
                                            << unitText("Quillport", "/usr/bin/quillport", "User=printing\n");
    QTest::newRow("~local system in small letters") << "Quillport" << program << ".\\localsystem"
                                                    << unitText("Quillport", "/usr/bin/quillport",
                                                                "User=localsystem\n");
    QTest::newRow("path with a blank") << "Quillport" << "/opt/print server/quillport" << QString()
                                       << unitText("Quillport", "\"/opt/print server/quillport\"", "");
    QTest::newRow("path with specifier and variable signs")
        << "Quillport" << "/opt/100%/$HOME/quillport" << QString()
        << unitText("Quillport", "/opt/100%%/$$HOME/quillport", "");
    QTest::newRow("path with quote and backslash")
        << "Quillport" << "/opt/a\"b\\c/quillport" << QString()
        << unitText("Quillport", "\"/opt/a\\\"b\\\\c/quillport\"", "");
    QTest::newRow("description with line break and specifier")
        << "Print\nserver 100%" << program << QString()
        << unitText("Print server 100%%", "/usr/bin/quillport", "");
}

void tst_SystemdBinding::unitFileText()
{
    QFETCH(QString, description);
    QFETCH(QString, binaryPath);
    QFETCH(QString, account);
    QFETCH(QByteArray, expected);
    QCOMPARE(SystemdServiceManager::unitFileText(description, binaryPath, account), expected);
}

void tst_SystemdBinding::writeUnitFile()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QCOMPARE(unitFolder(), QStringLiteral("/etc/systemd/system"));
    setUnitFolder(folder.path());
    QCOMPARE(unitFolder(), folder.path());

    const QByteArray text = SystemdServiceManager::unitFileText(QStringLiteral("Quillport"), QStringLiteral("/usr/bin/quillport"), QString());
    QVERIFY(SystemdServiceManager::writeUnitFile(QStringLiteral("Quillport.service"), text));
    QFile written(folder.filePath(QStringLiteral("Quillport.service")));
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), text);
    struct stat info;
    QCOMPARE(stat(QFile::encodeName(written.fileName()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0644));

    // A unit already there stays as it is.
    SetLastError(0);
    QVERIFY(!SystemdServiceManager::writeUnitFile(QStringLiteral("Quillport.service"), "other"));
    QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_EXISTS));
    written.seek(0);
    QCOMPARE(written.readAll(), text);

    // A masked unit is a link to /dev/null, which must not be written through.
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), folder.filePath(QStringLiteral("Masked.service"))));
    SetLastError(0);
    QVERIFY(!SystemdServiceManager::writeUnitFile(QStringLiteral("Masked.service"), text));
    QCOMPARE(GetLastError(), DWORD(ERROR_SERVICE_EXISTS));

    // A folder that cannot be written.
    setUnitFolder(folder.filePath(QStringLiteral("missing")));
    QVERIFY(!SystemdServiceManager::writeUnitFile(QStringLiteral("Other.service"), text));
    QVERIFY(GetLastError() != DWORD(ERROR_SERVICE_EXISTS));
}

void tst_SystemdBinding::unitFileDescription()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    setUnitFolder(folder.path());
    const QString program = QStringLiteral("/usr/bin/quillport");
    QVERIFY(SystemdServiceManager::writeUnitFile(QStringLiteral("Quillport.service"),
                                                 SystemdServiceManager::unitFileText(QStringLiteral("Quillport"), program,
                                                              QStringLiteral(".\\quillport"))));

    // The description replaces the display name and nothing else changes.
    const QString path = folder.filePath(QStringLiteral("Quillport.service"));
    QVERIFY(setUnitFileDescription(path, QStringLiteral("Network print server, 100%")));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), SystemdServiceManager::unitFileText(QStringLiteral("Network print server, 100%"), program,
                                          QStringLiteral(".\\quillport")));

    SetLastError(0);
    QVERIFY(!setUnitFileDescription(folder.filePath(QStringLiteral("Missing.service")), QStringLiteral("x")));
    QCOMPARE(GetLastError(), DWORD(2));
}

void tst_SystemdBinding::serviceState_data()
{
    QTest::addColumn<QString>("activeState");
    QTest::addColumn<QString>("statusText");
    QTest::addColumn<uint>("state");

    QTest::newRow("activating") << "activating" << "Starting" << uint(SERVICE_START_PENDING);
    QTest::newRow("active") << "active" << "Running" << uint(SERVICE_RUNNING);
    QTest::newRow("active without text") << "active" << "" << uint(SERVICE_RUNNING);
    QTest::newRow("reloading") << "reloading" << "" << uint(SERVICE_RUNNING);
    QTest::newRow("active, pausing") << "active" << "Pausing" << uint(SERVICE_PAUSE_PENDING);
    QTest::newRow("active, paused") << "active" << "Paused" << uint(SERVICE_PAUSED);
    QTest::newRow("~active, text only begins with paused") << "active" << "Paused since noon" << uint(SERVICE_RUNNING);
    QTest::newRow("~active, paused in small letters") << "active" << "paused" << uint(SERVICE_RUNNING);
    QTest::newRow("active, resuming") << "active" << "Resuming" << uint(SERVICE_CONTINUE_PENDING);
    QTest::newRow("~activating, paused") << "activating" << "Paused" << uint(SERVICE_START_PENDING);
    QTest::newRow("deactivating") << "deactivating" << "Stopping" << uint(SERVICE_STOP_PENDING);
    QTest::newRow("~deactivating, paused") << "deactivating" << "Paused" << uint(SERVICE_STOP_PENDING);
    QTest::newRow("inactive") << "inactive" << "" << uint(SERVICE_STOPPED);
    QTest::newRow("failed") << "failed" << "Stopped with code -98" << uint(SERVICE_STOPPED);
    QTest::newRow("~inactive, text left running") << "inactive" << "Running" << uint(SERVICE_STOPPED);
}

void tst_SystemdBinding::serviceState()
{
    QFETCH(QString, activeState);
    QFETCH(QString, statusText);
    QFETCH(uint, state);
    QCOMPARE(uint(SystemdServiceManager::serviceState(activeState, statusText)), state);
}

void tst_SystemdBinding::notifyMessages_data()
{
    QTest::addColumn<bool>("abstractSocket");
    QTest::addColumn<uint>("state");
    QTest::addColumn<uint>("exitCode");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("start pending") << false << uint(SERVICE_START_PENDING) << 0u << QByteArray("STATUS=Starting");
    QTest::newRow("running") << false << uint(SERVICE_RUNNING) << 0u << QByteArray("READY=1\nSTATUS=Running");
    QTest::newRow("pause pending") << false << uint(SERVICE_PAUSE_PENDING) << 0u << QByteArray("STATUS=Pausing");
    QTest::newRow("paused") << false << uint(SERVICE_PAUSED) << 0u << QByteArray("STATUS=Paused");
    QTest::newRow("continue pending") << false << uint(SERVICE_CONTINUE_PENDING) << 0u
                                      << QByteArray("STATUS=Resuming");
    QTest::newRow("stop pending") << false << uint(SERVICE_STOP_PENDING) << 0u
                                  << QByteArray("STOPPING=1\nSTATUS=Stopping");
    QTest::newRow("stopped") << false << uint(SERVICE_STOPPED) << 0u
                             << QByteArray("STOPPING=1\nSTATUS=Stopped with code 0");
    QTest::newRow("stopped with -98") << false << uint(SERVICE_STOPPED) << 0xFFFFFF9Eu
                                      << QByteArray("STOPPING=1\nSTATUS=Stopped with code -98");
    QTest::newRow("abstract socket") << true << uint(SERVICE_RUNNING) << 0u
                                     << QByteArray("READY=1\nSTATUS=Running");
}

void tst_SystemdBinding::notifyMessages()
{
    QFETCH(bool, abstractSocket);
    QFETCH(uint, state);
    QFETCH(uint, exitCode);
    QFETCH(QByteArray, message);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    NotifySocket socket;
    QVERIFY(socket.open(abstractSocket ? QString() : folder.path()));
    qputenv("NOTIFY_SOCKET", socket.name());

    const QByteArray sent = notifyMessage(status(state, exitCode));
    QCOMPARE(sent, message);
    QVERIFY(notify(sent));
    QCOMPARE(socket.next(Timeout), message);
}

void tst_SystemdBinding::notifyWithoutSocket_data()
{
    QTest::addColumn<QByteArray>("notifySocket");
    QTest::addColumn<uint>("state");
    QTest::addColumn<bool>("messageExists");

    QTest::newRow("no socket named") << QByteArray() << uint(SERVICE_RUNNING) << true;
    QTest::newRow("relative name") << QByteArray("run/notify") << uint(SERVICE_RUNNING) << true;
    QTest::newRow("nobody listening") << QByteArray("/nonexistent/notify") << uint(SERVICE_RUNNING) << true;
    QTest::newRow("no such state") << QByteArray() << 0u << false;
    QTest::newRow("no such state either") << QByteArray() << 8u << false;
}

void tst_SystemdBinding::notifyWithoutSocket()
{
    QFETCH(QByteArray, notifySocket);
    QFETCH(uint, state);
    QFETCH(bool, messageExists);

    if (!notifySocket.isEmpty())
        qputenv("NOTIFY_SOCKET", notifySocket);
    const QByteArray message = notifyMessage(status(state));
    QCOMPARE(!message.isEmpty(), messageExists);
    if (!messageExists)
        return;
    SetLastError(0);
    QVERIFY(!notify(message));
    QVERIFY(GetLastError() != 0);
}

void tst_SystemdBinding::startProbe(ChildProcess &process, const QByteArray &notifySocket,
                                    const QByteArray &invocationId, const QByteArray &execPid)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(notifySocket));
    if (invocationId.isEmpty())
        environment.remove(QStringLiteral("INVOCATION_ID"));
    else
        environment.insert(QStringLiteral("INVOCATION_ID"), QString::fromLatin1(invocationId));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("/bin/sh"),
                  { QStringLiteral("-c"), QStringLiteral("SYSTEMD_EXEC_PID=%1 exec \"$0\"").arg(QLatin1String(execPid)),
                    Probe });
}

void tst_SystemdBinding::startedBySystemd_data()
{
    QTest::addColumn<QByteArray>("invocationId");
    QTest::addColumn<QByteArray>("execPid");
    QTest::addColumn<bool>("runsAsService");

    QTest::newRow("started for a unit") << QByteArray("0123456789abcdef") << QByteArray("$$") << true;
    QTest::newRow("~no invocation") << QByteArray() << QByteArray("$$") << false;
    QTest::newRow("~a child of the unit's process") << QByteArray("0123456789abcdef") << QByteArray("1") << false;
}

void tst_SystemdBinding::startedBySystemd()
{
    QFETCH(QByteArray, invocationId);
    QFETCH(QByteArray, execPid);
    QFETCH(bool, runsAsService);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    NotifySocket socket;
    QVERIFY(socket.open(folder.path()));
    ChildProcess process;
    startProbe(process, socket.name(), invocationId, execPid);
    QVERIFY(process.waitForStarted());

    if (runsAsService) {
        QCOMPARE(socket.next(Timeout), QByteArray("STATUS=Starting"));
        QCOMPARE(socket.next(Timeout), QByteArray("READY=1\nSTATUS=Running"));
        QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
        QVERIFY(process.waitForFinished(Timeout));
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(process.readAllStandardOutput().startsWith("start in the application thread\n"));
    } else {
        // Not started by systemd: the dispatcher refuses, and the program,
        // as if run from a console, finds no service manager to start it.
        QVERIFY(process.waitForFinished(Timeout));
        QCOMPARE(process.exitCode(), 252);
        QCOMPARE(process.readAllStandardError(), QByteArray("The service QuillportProbe could not start\n"));
        QCOMPARE(socket.next(0), QByteArray());
    }
}

void tst_SystemdBinding::controlsBySignal()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    NotifySocket socket;
    QVERIFY(socket.open(folder.path()));
    ChildProcess process;
    startProbe(process, socket.name(), "0123456789abcdef", "$$");
    QVERIFY(process.waitForStarted());
    const pid_t pid = pid_t(process.processId());

    // Each transition is reported when it begins, when it is done, and once more.
    QCOMPARE(socket.next(Timeout), QByteArray("STATUS=Starting"));
    QCOMPARE(socket.next(Timeout), QByteArray("READY=1\nSTATUS=Running"));
    QCOMPARE(socket.next(Timeout), QByteArray("READY=1\nSTATUS=Running"));

    // Only the dispatcher may take the control signals: a thread that did not
    // block them would let them end the process.
    // The dispatcher enters sigwaitinfo once the handler is registered, which
    // may be a moment after the start-up reports.
    // (Looked at until it holds once: a thread's mask and its system call
    // are read one after the other, so a look may catch the dispatcher
    // between two waits.)
    QString report;
    QDeadlineTimer deadline(Timeout);
    bool onlyDispatcher = false;
    while (!(onlyDispatcher = onlyDispatcherTakesControls(pid, &report)) && !deadline.hasExpired())
        QTest::qWait(50);
    QVERIFY2(onlyDispatcher, qPrintable(report));

    struct Control
    {
        int code;
        QList<QByteArray> reports;
        QByteArray line;
    };
    const QList<Control> controls = {
        { SERVICE_CONTROL_PAUSE, { "STATUS=Pausing", "STATUS=Paused", "STATUS=Paused" },
          "pause in the application thread\n" },
        { SERVICE_CONTROL_CONTINUE, { "STATUS=Resuming", "READY=1\nSTATUS=Running", "READY=1\nSTATUS=Running" },
          "resume in the application thread\n" },
        { 128 + 5, { "READY=1\nSTATUS=Running" }, "command 5 in the application thread\n" },
        { 128 + 127, { "READY=1\nSTATUS=Running" }, "command 127 in the application thread\n" },
    };
    QByteArray expectedOut = "start in the application thread\n";
    for (const Control &control : controls) {
        sigval value;
        value.sival_int = control.code;
        QCOMPARE(sigqueue(pid, SIGRTMIN, value), 0);
        for (const QByteArray &expected : control.reports)
            QCOMPARE(socket.next(Timeout), expected);
        expectedOut += control.line;
    }

    // A control signal without a value is no control, and does not end the
    // process either: the next control is the next thing handled.
    QCOMPARE(::kill(pid, SIGRTMIN), 0);
    sigval value;
    value.sival_int = 128;
    QCOMPARE(sigqueue(pid, SIGRTMIN, value), 0);
    QCOMPARE(socket.next(Timeout), QByteArray("READY=1\nSTATUS=Running"));
    expectedOut += "command 0 in the application thread\n";

    // systemd stops a unit with SIGTERM; STOPPED with the exit code comes last.
    QCOMPARE(::kill(pid, SIGTERM), 0);
    QCOMPARE(socket.next(Timeout), QByteArray("STOPPING=1\nSTATUS=Stopping"));
    QCOMPARE(socket.next(Timeout), QByteArray("STOPPING=1\nSTATUS=Stopping"));
    QCOMPARE(socket.next(Timeout), QByteArray("STOPPING=1\nSTATUS=Stopped with code 0"));
    QVERIFY(process.waitForFinished(Timeout));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(socket.next(0), QByteArray());
    expectedOut += "stop in the application thread\n";
    QCOMPARE(process.readAllStandardOutput(), expectedOut);
}

QTEST_GUILESS_MAIN(tst_SystemdBinding)
#include "tst_systemdbinding.moc"
