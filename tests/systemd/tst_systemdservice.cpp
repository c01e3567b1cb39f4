// Quillport as a systemd service, end to end: a throw-away container boots
// this machine's own system with systemd as its init, the build folder and a
// data folder bound in, and the program's command line installs, starts,
// pauses, resumes, commands, stops and removes the service inside it. Then
// the packaged unit, installed as `cmake --install` lays it out, runs in its
// sandbox: it prints through CUPS's Unix socket, reopens its log on a reload
// and a rotation, stops cleanly, and binds a port below 1024 only with its
// opt-in drop-in. Last, the Debian package goes through a life of its own in
// a second container, whose root is the machine's under an overlay, so that
// dpkg sees the machine's packages: installed, printing, upgraded with jobs
// waiting, removed and purged.
#include "childprocess.h"
#include "netclient.h"
#include "privatecups.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Quillport = QStringLiteral(QUILLPORT_PATH);
const QString Probe = QStringLiteral(SYSTEMDPROBE_PATH);
const QString BuildFolder = QStringLiteral(BUILD_FOLDER);
const QString CMake = QStringLiteral(CMAKE_PROGRAM);
// Read in a sanitizer build only.
const QString LeakSuppressions = QStringLiteral(LSAN_SUPPRESSIONS);
// Where the data folder appears inside the container; the services find it
// through XDG_DATA_DIRS, which the container's systemd gives them.
const QString InnerDataFolder = QStringLiteral("/srv/quillport");
const int Port = 9100;
// The packaged unit: where the build is installed (the container sees the
// staged tree there), its data folder, and its printer, a CUPS queue.
const QString InnerPrefix = QStringLiteral("/opt/quillport");
const QString StateFolder = QStringLiteral("/var/lib/quillport");
const QString PackagedUnit = QStringLiteral("quillport");
const QString Queue = QStringLiteral("front-desk");
const int PackagedPort = 9101;
const int PrivilegedPort = 515;
// The Debian package, as scripts/package.sh builds it, and the version that
// a rebuild of it for the upgrade carries; where the container sees both.
const QString PackageFile = QStringLiteral(QUILLPORT_DEB);
const QString UpgradeVersion = QStringLiteral(QUILLPORT_VERSION "+upgrade1");
const QString InnerPackages = QStringLiteral("/srv/packages");
const QString ExampleSettings = QStringLiteral(SOURCE_FOLDER "/packaging/settings.json");
// The packaged service's printer sends its jobs to a listener on this port.
const int OutputPort = 9103;
// Generous bounds for waits that normally end well within a second.
const int Timeout = 60000;

// The container shuts down when the test process dies.
class ContainerProcess : public ChildProcess
{
public:
    ContainerProcess() : ChildProcess(SIGTERM) {}
};

QSet<QByteArray> lines(const QByteArray &text)
{
    QSet<QByteArray> result;
    for (const QByteArray &line : text.split('\n')) {
        if (!line.isEmpty())
            result.insert(line);
    }
    return result;
}

// The permission bits, as ls shows them in octal.
QString mode(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("missing");
    return QString::number(info.st_mode & 07777, 8);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_SystemdService : public QObject
{
    Q_OBJECT

public:
    ~tst_SystemdService() override { stopContainer(); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void install();
    void startBySystemd();
    void pauseAndResume();
    void userCommand();
    void stop();
    void uninstall();
    void probeService();
    void packagedUnitStarts();
    void packagedUnitPrints();
    void packagedUnitReloads();
    void packagedUnitRotates();
    void packagedUnitStops();
    void privilegedPort_data();
    void privilegedPort();
    void packageInstalls();
    void packagePrints();
    void packageUpgrades();
    void packageRemoval_data();
    void packageRemoval();

private:
    struct Result
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    // Runs a command inside the container, in all of its namespaces, with a
    // clean environment.
    Result inside(const QStringList &command) const;
    QByteArray property(const QString &unit, const char *name) const;
    QByteArray journal(const QStringList &match) const;
    // Read again until the value is there or Timeout of real time has
    // passed; they give the last reading.
    QByteArray propertyBecomes(const QString &unit, const char *name, const QByteArray &expected) const;
    QByteArray journalWith(const QStringList &match, const QByteArray &line) const;
    // Starts `program` with `arguments`, which boot a container, and waits
    // until its system is up; the reason when it does not come up.
    QString boot(const QString &program, const QStringList &arguments);
    // Sends one print job over the container's loopback.
    bool sendJob(const QByteArray &job, int port = Port) const;
    // A path of the container's file system as seen from here.
    QString innerPath(const QString &path) const;
    bool writePackagedSettings(const QList<int> &ports) const;
    // Sends a job to the packaged unit's printer and waits until CUPS has
    // printed it; false with the reason in `why` otherwise.
    bool printedThroughCups(const QByteArray &job, int port, QByteArray *why);
    QStringList storedJobs() const;
    QByteArray log() const;
    void stopContainer();
    // apt-get with its arguments inside the container.
    Result apt(const QStringList &arguments) const;
    // Starts a listener for the packaged printer's output, which writes what
    // it receives to `file` in the container.
    bool startOutputListener(const QString &file) const;

    QTemporaryDir data;
    ContainerProcess container;
    qint64 containerPid = 0;
    qint64 init = 0;
    QByteArray mainPid;

    // The packaged unit's installed tree, its CUPS scheduler, and why its
    // tests cannot run here (empty when they can).
    QTemporaryDir staging;
    PrivateCups cups;
    QString packagedSkip;
    QByteArray packagedPid;

    // The packages the second container installs, the overlay its root is
    // made of, and the installed service's process.
    QTemporaryDir packages;
    QTemporaryDir overlay;
    QByteArray packagePid;
};

tst_SystemdService::Result tst_SystemdService::inside(const QStringList &command) const
{
    QProcess process;
    process.start(QStringLiteral("nsenter"),
                  QStringList{ QStringLiteral("-t"), QString::number(init), QStringLiteral("-a"), QStringLiteral("env"),
                               QStringLiteral("-i"), QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                               QStringLiteral("LANG=C.UTF-8"),
                               // Qt is built without frame pointers: only the slow
                               // unwinder finds the QtDBus frames the suppression names.
                               QStringLiteral("ASAN_OPTIONS=fast_unwind_on_malloc=0"),
                               QStringLiteral("LSAN_OPTIONS=print_suppressions=0:suppressions=") + LeakSuppressions }
                      + command);
    Result result;
    if (!process.waitForFinished(Timeout)) {
        process.kill();
        process.waitForFinished();
        result.err = "did not end: " + command.join(QLatin1Char(' ')).toLocal8Bit();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QByteArray tst_SystemdService::property(const QString &unit, const char *name) const
{
    return inside({ QStringLiteral("systemctl"), QStringLiteral("show"), QStringLiteral("--value"),
                    QStringLiteral("-p"), QLatin1String(name), unit })
        .out.trimmed();
}

QByteArray tst_SystemdService::journal(const QStringList &match) const
{
    return inside(QStringList{ QStringLiteral("journalctl"), QStringLiteral("--no-pager"), QStringLiteral("-o"),
                               QStringLiteral("cat") }
                  + match)
        .out;
}

QByteArray tst_SystemdService::propertyBecomes(const QString &unit, const char *name,
                                               const QByteArray &expected) const
{
    // A status text is compared by its first word: a moment after the word
    // ("Running") the service adds its figures ("Running: 1 printer(s) ...").
    const auto current = [&] {
        const QByteArray value = property(unit, name);
        return qstrcmp(name, "StatusText") == 0 ? value.split(':').first() : value;
    };
    QDeadlineTimer deadline(Timeout);
    QByteArray value = current();
    while (value != expected && !deadline.hasExpired()) {
        QTest::qWait(50);
        value = current();
    }
    return value;
}

QByteArray tst_SystemdService::journalWith(const QStringList &match, const QByteArray &line) const
{
    QDeadlineTimer deadline(Timeout);
    QByteArray text = journal(match);
    while (!text.contains(line) && !deadline.hasExpired()) {
        QTest::qWait(50);
        text = journal(match);
    }
    return text;
}

bool tst_SystemdService::sendJob(const QByteArray &job, int port) const
{
    // bash's /dev/tcp: connect, send, and close, which ends the job.
    return inside({ QStringLiteral("bash"), QStringLiteral("-c"),
                    QStringLiteral("exec 3<>/dev/tcp/127.0.0.1/%1 && printf %s \"$0\" >&3").arg(port),
                    QString::fromLatin1(job) })
               .exitCode
        == 0;
}

QString tst_SystemdService::innerPath(const QString &path) const
{
    return QStringLiteral("/proc/%1/root").arg(init) + path;
}

bool tst_SystemdService::writePackagedSettings(const QList<int> &ports) const
{
    // One printer per port, all printing to the one queue.
    QJsonArray printers;
    for (const int port : ports) {
        printers.append(QJsonObject{ { "localname", Queue }, { "active", true },  { "listen", "127.0.0.1" },
                                     { "port", port },       { "subnets", "127.0.0.0/8" }, { "storejobs", true },
                                     { "jobspath", "jobs" }, { "retrytime", 0 },           { "log", "pa" } });
    }
    QJsonObject settings{ { "logtype", "textfile" }, { "printers", printers } };
    QFile file(innerPath(StateFolder + QStringLiteral("/settings.json")));
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(settings).toJson()) > 0;
}

bool tst_SystemdService::printedThroughCups(const QByteArray &job, int port, QByteArray *why)
{
    const int before = cups.jobFiles(Queue).size();
    if (!sendJob(job, port)) {
        *why = "cannot connect to port " + QByteArray::number(port);
        return false;
    }
    if (!cups.waitForJobs(Queue, before + 1, Timeout)) {
        *why = "CUPS printed nothing; log:\n" + readFile(innerPath(StateFolder + QStringLiteral("/Quillport.log")));
        return false;
    }
    const QByteArray printed = cups.documents(Queue).value(before);
    if (printed != job) {
        *why = "CUPS printed \"" + printed + "\"";
        return false;
    }
    return true;
}

QStringList tst_SystemdService::storedJobs() const
{
    return QDir(data.filePath(QStringLiteral("jobs"))).entryList(QDir::Files, QDir::Name);
}

QByteArray tst_SystemdService::log() const
{
    QFile file(data.filePath(QStringLiteral("Quillport.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void tst_SystemdService::initTestCase()
{
    if (geteuid() != 0)
        QSKIP("Booting a container needs root.");
    const QString nspawn = QStandardPaths::findExecutable(QStringLiteral("systemd-nspawn"));
    if (nspawn.isEmpty())
        QSKIP("systemd-nspawn is not installed (Debian package systemd-container).");
    if (QStandardPaths::findExecutable(QStringLiteral("nsenter")).isEmpty())
        QSKIP("nsenter is not installed (Debian package util-linux).");
    if (!QFileInfo::exists(QStringLiteral("/usr/lib/systemd/systemd")))
        QSKIP("systemd is not installed, so there is no system to boot.");

    // The packaged unit as `cmake --install` lays it out for the prefix
    // InnerPrefix, which the container sees at that place.
    QVERIFY(staging.isValid());
    QProcess install;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), staging.path());
    install.setProcessEnvironment(environment);
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(CMake, { QStringLiteral("--install"), BuildFolder, QStringLiteral("--prefix"), InnerPrefix });
    QVERIFY2(install.waitForFinished(Timeout) && install.exitStatus() == QProcess::NormalExit
                 && install.exitCode() == 0,
             install.readAll().right(2000));
    // Its CUPS is a private scheduler out here, whose socket the container
    // sees where the machine's own would be.
    if (!PrivateCups::isInstalled())
        packagedSkip = QStringLiteral("The CUPS scheduler is not installed (Debian package cups-daemon).");
    else if (!cups.start() || !cups.addQueue(Queue))
        QFAIL(qPrintable(QStringLiteral("The private CUPS scheduler does not start: ") + cups.errorString()));

    QVERIFY(data.isValid());
    QVERIFY(QDir(data.path()).mkpath(QStringLiteral("jobs")));
    QJsonObject printer{ { "localname", "lobby" },       { "active", true },       { "listen", "127.0.0.1" },
                         { "port", Port },                { "subnets", "127.0.0.0/8" }, { "storejobs", true }, { "retrytime", 0 },
                         { "jobspath", "jobs" },          { "interfacewaittime", 1 },   { "log", "pa" } };
    QJsonObject settings{ { "logtype", "textfile" }, { "printers", QJsonArray{ printer } } };
    QFile file(data.filePath(QStringLiteral("settings.json")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(QJsonDocument(settings).toJson()) > 0);
    file.close();

    // The volatile root leaves the machine's own files untouched. The
    // container's CUPS and Avahi are masked; the private scheduler has no
    // queue "lobby", so a job of the service the program installs fails to
    // print at once and is kept in the jobs folder. The packaged unit waits
    // for network-online.target, which a container without a network
    // reaches only when the wait for one is masked.
    QStringList arguments{ QStringLiteral("--directory=/"), QStringLiteral("--volatile=yes"),
                           QStringLiteral("--boot"), QStringLiteral("--register=no"), QStringLiteral("--keep-unit"),
                           QStringLiteral("--private-network"),
                           QStringLiteral("--machine=quillport-test-%1").arg(getpid()),
                           QStringLiteral("--bind-ro=") + BuildFolder,
                           QStringLiteral("--bind=%1:%2").arg(data.path(), InnerDataFolder),
                           QStringLiteral("--bind-ro=%1%2:%2").arg(staging.path(), InnerPrefix) };
    if (cups.isRunning())
        arguments << QStringLiteral("--bind=%1:/run/cups/cups.sock").arg(cups.serverName());
    arguments << QStringLiteral("--") << QStringLiteral("systemd.firstboot=off")
              << QStringLiteral("systemd.setenv=XDG_DATA_DIRS=/srv:/usr/share")
              << QStringLiteral("systemd.mask=cups.service") << QStringLiteral("systemd.mask=cups.socket")
              << QStringLiteral("systemd.mask=cups.path") << QStringLiteral("systemd.mask=avahi-daemon.service")
              << QStringLiteral("systemd.mask=avahi-daemon.socket")
              << QStringLiteral("systemd.mask=systemd-networkd-wait-online.service");
    const QString why = boot(nspawn, arguments);
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
}

QString tst_SystemdService::boot(const QString &program, const QStringList &arguments)
{
    init = 0;
    container.setProcessChannelMode(QProcess::MergedChannels);
    container.start(program, arguments);
    if (!container.waitForStarted())
        return program + QStringLiteral(" does not start: ") + container.errorString();
    containerPid = container.processId();

    // The container's init is the child of systemd-nspawn that runs systemd.
    QDeadlineTimer deadline(Timeout);
    while (!init && !deadline.hasExpired() && container.state() == QProcess::Running) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(containerPid));
        if (children.open(QIODevice::ReadOnly)) {
            const qint64 child = children.readAll().trimmed().split(' ').value(0).toLongLong();
            QFile comm(QStringLiteral("/proc/%1/comm").arg(child));
            if (child > 0 && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "systemd")
                init = child;
        }
        if (!init)
            QTest::qWait(50);
    }
    if (!init) {
        container.waitForFinished(1000);
        return QStringLiteral("The container does not boot on this machine:\n")
            + QString::fromLocal8Bit(container.readAll().right(2000));
    }

    // Until its system manager is up, systemctl inside fails at once.
    QByteArray state;
    while (!deadline.hasExpired() && container.state() == QProcess::Running) {
        state = inside({ QStringLiteral("systemctl"), QStringLiteral("is-system-running"), QStringLiteral("--wait") })
                    .out.trimmed();
        if (state == "running" || state == "degraded")
            return QString();
        QTest::qWait(100);
    }
    return QStringLiteral("The container's system does not come up (%1):\n").arg(QString::fromLatin1(state))
        + QString::fromLocal8Bit(container.readAll().right(2000));
}

void tst_SystemdService::stopContainer()
{
    if (container.state() == QProcess::NotRunning)
        return;
    // systemd-nspawn shuts the container's system down on SIGTERM.
    ::kill(pid_t(containerPid), SIGTERM);
    if (!container.waitForFinished(Timeout)) {
        ::kill(pid_t(containerPid), SIGKILL);
        container.waitForFinished(Timeout);
    }
}

void tst_SystemdService::cleanupTestCase()
{
    if (!init)
        return;
    stopContainer();
    QCOMPARE(container.state(), QProcess::NotRunning);
    // Nothing of the container is left: no init, no mounts of its folders.
    QVERIFY(::kill(pid_t(init), 0) != 0);
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    QVERIFY(mounts.open(QIODevice::ReadOnly));
    QVERIFY(!mounts.readAll().contains(QFile::encodeName(data.path())));
}

void tst_SystemdService::install()
{
    Result result = inside({ Quillport, QStringLiteral("-v") });
    QVERIFY2(result.out.contains("is not installed and not running"), result.out + result.err);

    result = inside({ Quillport, QStringLiteral("-i") });
    QVERIFY2(result.exitCode == 0, result.err);
    QCOMPARE(result.out, "The service Quillport has been installed under: " + Quillport.toLocal8Bit() + "\n");

    // The unit runs the program with no option and waits for it to report.
    QFile unit(QStringLiteral("/proc/%1/root/etc/systemd/system/Quillport.service").arg(init));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    QCOMPARE(unit.readAll(), "[Unit]\nDescription=Quillport\n\n[Service]\nType=notify\nNotifyAccess=main\nExecStart="
                                 + Quillport.toLocal8Bit() + "\n\n[Install]\nWantedBy=multi-user.target\n");
    // systemd has loaded it as such; starting on demand leaves it disabled.
    result = inside({ QStringLiteral("systemctl"), QStringLiteral("show"), QStringLiteral("-p"),
                      QStringLiteral("LoadState,Type,NotifyAccess,UnitFileState"), QStringLiteral("Quillport") });
    QCOMPARE(lines(result.out), lines("LoadState=loaded\nType=notify\nNotifyAccess=main\nUnitFileState=disabled\n"));

    result = inside({ Quillport, QStringLiteral("-v") });
    QVERIFY2(result.out.contains("is installed and not running"), result.out + result.err);
    result = inside({ Quillport, QStringLiteral("-i") });
    QVERIFY2(result.exitCode == 0, result.err);
    QCOMPARE(result.err, QByteArray("The service Quillport is already installed\n"));
}

void tst_SystemdService::startBySystemd()
{
    // Run from a console, the program asks systemd to start the unit.
    Result result = inside({ Quillport });
    QVERIFY2(result.exitCode == 0, result.err);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(propertyBecomes(QStringLiteral("Quillport"), "ActiveState", QByteArray("active")), QByteArray("active"));
    QCOMPARE(property(QStringLiteral("Quillport"), "StatusText"), QByteArray("Running"));
    result = inside({ Quillport, QStringLiteral("-v") });
    QVERIFY2(result.out.contains("is installed and running"), result.out + result.err);

    // systemd started the program itself, with no option.
    mainPid = property(QStringLiteral("Quillport"), "MainPID");
    QVERIFY2(mainPid.toInt() > 0, mainPid);
    QFile commandLine(QStringLiteral("/proc/%1/root/proc/%2/cmdline").arg(init).arg(QLatin1String(mainPid)));
    QVERIFY(commandLine.open(QIODevice::ReadOnly));
    QCOMPARE(commandLine.readAll(), Quillport.toLocal8Bit() + '\0');
    QVERIFY2(log().contains("Service started successful"), log());

    QVERIFY(sendJob("first job"));
    QTRY_COMPARE_WITH_TIMEOUT(storedJobs().size(), 1, Timeout);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("stored successful"), Timeout);
    QFile job(data.filePath(QStringLiteral("jobs/") + storedJobs().at(0)));
    QVERIFY(job.open(QIODevice::ReadOnly));
    QCOMPARE(job.readAll(), QByteArray("first job"));
}

void tst_SystemdService::pauseAndResume()
{
    Result result = inside({ Quillport, QStringLiteral("-p") });
    QVERIFY2(result.exitCode == 0, result.err);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(propertyBecomes(QStringLiteral("Quillport"), "StatusText", QByteArray("Paused")), QByteArray("Paused"));
    result = inside({ Quillport, QStringLiteral("-v") });
    QVERIFY2(result.out.contains("is installed and running"), result.out + result.err);

    // A connection is taken and reset at once: the client learns that its
    // job was not taken instead of waiting out its own bound (timeout's 124)
    // or reading an end that would mean it was.
    const QByteArray logBefore = log();
    result = inside({ QStringLiteral("bash"), QStringLiteral("-c"),
                      QStringLiteral("exec 3<>/dev/tcp/127.0.0.1/%1 && timeout 30 cat <&3").arg(Port) });
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.contains("Connection reset by peer"), result.err);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(storedJobs().size(), 1);
    QCOMPARE(log(), logBefore);

    result = inside({ Quillport, QStringLiteral("-r") });
    QVERIFY2(result.exitCode == 0, result.err);
    QCOMPARE(propertyBecomes(QStringLiteral("Quillport"), "StatusText", QByteArray("Running")), QByteArray("Running"));
    QVERIFY(sendJob("second job"));
    QTRY_COMPARE_WITH_TIMEOUT(storedJobs().size(), 2, Timeout);
}

void tst_SystemdService::userCommand()
{
    // The command travels as a queued real-time signal, whose default would
    // end the process; the service takes it and goes on. What the command
    // does inside a service shows in probeService.
    Result result = inside({ Quillport, QStringLiteral("-c"), QStringLiteral("5") });
    QVERIFY2(result.exitCode == 0, result.err);
    QCOMPARE(result.err, QByteArray());
    // A pause after it is handled as well, by the same process.
    QCOMPARE(inside({ Quillport, QStringLiteral("-p") }).exitCode, 0);
    QCOMPARE(propertyBecomes(QStringLiteral("Quillport"), "StatusText", QByteArray("Paused")), QByteArray("Paused"));
    QCOMPARE(property(QStringLiteral("Quillport"), "MainPID"), mainPid);
    QCOMPARE(inside({ Quillport, QStringLiteral("-r") }).exitCode, 0);
    QCOMPARE(propertyBecomes(QStringLiteral("Quillport"), "StatusText", QByteArray("Running")), QByteArray("Running"));
}

void tst_SystemdService::stop()
{
    // The controller waits for the stop, so the unit is down when it returns.
    Result result = inside({ Quillport, QStringLiteral("-t") });
    QVERIFY2(result.exitCode == 0, result.err);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(property(QStringLiteral("Quillport"), "ActiveState"), QByteArray("inactive"));
    result = inside({ Quillport, QStringLiteral("-v") });
    QVERIFY2(result.out.contains("is installed and not running"), result.out + result.err);
    const QByteArray text = journalWith(
        { QStringLiteral("_PID=") + QLatin1String(mainPid), QStringLiteral("SYSLOG_IDENTIFIER=Quillport") },
        "Service stopped with code 0\n");
    QVERIFY2(text.contains("Service stopped with code 0\n"), text);
}

void tst_SystemdService::uninstall()
{
    Result result = inside({ Quillport, QStringLiteral("-u") });
    QVERIFY2(result.exitCode == 0, result.err);
    QCOMPARE(result.out, QByteArray("The service Quillport has been uninstalled.\n"));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1/root/etc/systemd/system/Quillport.service").arg(init)));
    result = inside({ Quillport, QStringLiteral("-v") });
    QVERIFY2(result.out.contains("is not installed and not running"), result.out + result.err);
    result = inside({ Quillport, QStringLiteral("-u") });
    QCOMPARE(result.err, QByteArray("The service Quillport is not installed\n"));
}

void tst_SystemdService::probeService()
{
    const QString unit = QStringLiteral("QuillportProbe");
    const QString enabledLink =
        QStringLiteral("/proc/%1/root/etc/systemd/system/multi-user.target.wants/QuillportProbe.service").arg(init);

    // Installed to start with the system: enabled.
    Result result = inside({ Probe, QStringLiteral("-i") });
    QVERIFY2(result.exitCode == 0, result.err);
    QCOMPARE(inside({ QStringLiteral("systemctl"), QStringLiteral("is-enabled"), unit }).out, QByteArray("enabled\n"));
    QVERIFY(QFileInfo(enabledLink).isSymLink());
    result = inside({ Probe, QStringLiteral("query") });
    QCOMPARE(result.out, "installed: yes\nrunning: no\npath: " + Probe.toLocal8Bit()
                             + "\ndescription: Quillport probe service\nstartup: automatic\n");

    // systemctl starts it as well; each control runs its operation in the
    // application thread, and its lines reach the journal.
    QCOMPARE(inside({ QStringLiteral("systemctl"), QStringLiteral("start"), unit }).exitCode, 0);
    QCOMPARE(property(unit, "ActiveState"), QByteArray("active"));
    QCOMPARE(inside({ Probe, QStringLiteral("query") }).out.split('\n').value(1), QByteArray("running: yes"));
    const QStringList unitJournal{ QStringLiteral("-u"), unit };
    {
        const QByteArray text = journalWith(unitJournal, "start in the application thread\n");
        QVERIFY2(text.contains("start in the application thread\n"), text);
    }

    QCOMPARE(inside({ Probe, QStringLiteral("-c"), QStringLiteral("5") }).exitCode, 0);
    {
        const QByteArray text = journalWith(unitJournal, "command 5 in the application thread\n");
        QVERIFY2(text.contains("command 5 in the application thread\n"), text);
    }
    QCOMPARE(inside({ Probe, QStringLiteral("-p") }).exitCode, 0);
    {
        const QByteArray text = journalWith(unitJournal, "pause in the application thread\n");
        QVERIFY2(text.contains("pause in the application thread\n"), text);
    }
    QCOMPARE(propertyBecomes(unit, "StatusText", QByteArray("Paused")), QByteArray("Paused"));
    QCOMPARE(inside({ Probe, QStringLiteral("-r") }).exitCode, 0);
    {
        const QByteArray text = journalWith(unitJournal, "resume in the application thread\n");
        QVERIFY2(text.contains("resume in the application thread\n"), text);
    }

    result = inside({ Probe, QStringLiteral("-t") });
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(property(unit, "ActiveState"), QByteArray("inactive"));
    {
        const QByteArray text = journalWith(unitJournal, "stop in the application thread\n");
        QVERIFY2(text.contains("stop in the application thread\n"), text);
    }

    // Removing it disables it first.
    result = inside({ Probe, QStringLiteral("-u") });
    QCOMPARE(result.out, QByteArray("The service QuillportProbe has been uninstalled.\n"));
    QVERIFY(!QFileInfo(enabledLink).isSymLink());
    QCOMPARE(inside({ Probe, QStringLiteral("query") }).out.split('\n').value(0), QByteArray("installed: no"));
}

void tst_SystemdService::packagedUnitStarts()
{
    if (!packagedSkip.isEmpty())
        QSKIP(qPrintable(packagedSkip));
    // What installing it takes, as the README says: its user, the unit, the
    // log's rotation, and a data folder with the settings in it.
    Result result = inside(
        { QStringLiteral("sh"), QStringLiteral("-ec"),
          QStringLiteral("systemd-sysusers %1/lib/sysusers.d/quillport.conf\n"
                         "cp %1/lib/systemd/system/quillport.service /etc/systemd/system/\n"
                         "mkdir -p /etc/logrotate.d && cp %1/etc/logrotate.d/quillport /etc/logrotate.d/\n"
                         "install -d -o quillport -g quillport %2\n"
                         "systemctl daemon-reload")
              .arg(InnerPrefix, StateFolder) });
    QVERIFY2(result.exitCode == 0, result.err);
#ifdef __SANITIZE_ADDRESS__
    // The leak check at exit stops the program's threads with ptrace, which
    // the unit's system-call filter denies; the other tests look for leaks.
    result = inside({ QStringLiteral("sh"), QStringLiteral("-ec"),
                      QStringLiteral("mkdir -p /run/systemd/system/quillport.service.d\n"
                                     "printf '[Service]\\nEnvironment=ASAN_OPTIONS=detect_leaks=0\\n'"
                                     " >/run/systemd/system/quillport.service.d/sanitizer.conf\n"
                                     "systemctl daemon-reload") });
    QVERIFY2(result.exitCode == 0, result.err);
#endif
    QVERIFY(writePackagedSettings({ PackagedPort }));

    // A notify unit is started once the program has said READY=1: its
    // printer listens by then, and its status line tells so.
    result = inside({ QStringLiteral("systemctl"), QStringLiteral("start"), PackagedUnit });
    QVERIFY2(result.exitCode == 0, result.err + journal({ QStringLiteral("-u"), PackagedUnit }));
    QCOMPARE(property(PackagedUnit, "ActiveState"), QByteArray("active"));
    const QByteArray status = property(PackagedUnit, "StatusText");
    QVERIFY2(status.startsWith("Running: 1 printer(s) listening, 0 paused"), status);
    packagedPid = property(PackagedUnit, "MainPID");
    QVERIFY2(packagedPid.toInt() > 0, packagedPid);

    // The system-call filter lets the printer's delivery thread lower its
    // priority (nice, the 17th field after a thread's name).
    result = inside({ QStringLiteral("sh"), QStringLiteral("-c"),
                      QStringLiteral("for t in /proc/%1/task/*/stat; do sed 's/.*) //' $t | cut -d' ' -f17; done")
                          .arg(QString::fromLatin1(packagedPid)) });
    QVERIFY2(result.out.split('\n').contains("3"), result.out + result.err);
}

void tst_SystemdService::packagedUnitPrints()
{
    if (packagedPid.isEmpty())
        QSKIP("The packaged unit did not start.");
    // Control characters and an escape sequence, as printer languages have.
    const QByteArray job = "\x1b%-12345X@PJL ENTER LANGUAGE = PCL\r\n\x1b" "E packaged unit\x0c";
    QByteArray why;
    QVERIFY2(printedThroughCups(job, PackagedPort, &why), why);
    const QString jobs = innerPath(StateFolder + QStringLiteral("/jobs"));
    QTRY_COMPARE_WITH_TIMEOUT(QDir(jobs).entryList(QDir::Files).size(), 1, Timeout);
    const QString stored = jobs + QLatin1Char('/') + QDir(jobs).entryList(QDir::Files).at(0);
    QCOMPARE(readFile(stored), job);

    // Nothing the service made is for other users: the data folder's mode
    // comes from the unit, the others from the program.
    const QString state = innerPath(StateFolder);
    const QStringList paths{ state, state + QStringLiteral("/.spool"), jobs, stored,
                             state + QStringLiteral("/Quillport.log") };
    QStringList modes;
    for (const QString &path : paths)
        modes << path.mid(state.size()) + QLatin1Char(' ') + mode(path);
    QCOMPARE(modes, QStringList({ " 750", "/.spool 700", "/jobs 750", stored.mid(state.size()) + " 600",
                                  "/Quillport.log 640" }));
}

void tst_SystemdService::packagedUnitReloads()
{
    if (packagedPid.isEmpty())
        QSKIP("The packaged unit did not start.");
    // Moved aside as a rotation does; the program goes on writing to the
    // moved file until the reload.
    const QString logPath = innerPath(StateFolder + QStringLiteral("/Quillport.log"));
    const QString moved = logPath + QStringLiteral(".1");
    QVERIFY(QFile::rename(logPath, moved));
    // The reload also applies a changed settings.json: a second printer.
    QVERIFY(writePackagedSettings({ PackagedPort, PackagedPort + 2 }));
    Result result = inside({ QStringLiteral("systemctl"), QStringLiteral("reload"), PackagedUnit });
    QVERIFY2(result.exitCode == 0, result.err);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(logPath), Timeout);
    const QByteArray movedText = readFile(moved);
    // The program has told systemd that it reloaded (RELOADING=1, then
    // READY=1 with its new status line).
    QTRY_VERIFY2_WITH_TIMEOUT(property(PackagedUnit, "StatusText").startsWith("Running: 2 printer(s) listening"),
                              property(PackagedUnit, "StatusText"), Timeout);
    QCOMPARE(property(PackagedUnit, "ActiveState"), QByteArray("active"));
    QVERIFY2(readFile(logPath).contains("Info   Settings reloaded: 1 printer(s) added, 0 removed, 0 changed, 1 unchanged\n"),
             readFile(logPath));

    QByteArray why;
    QVERIFY2(printedThroughCups("after the reload", PackagedPort, &why), why);
    QVERIFY2(printedThroughCups("to the printer the reload added", PackagedPort + 2, &why), why);
    QTRY_VERIFY_WITH_TIMEOUT(readFile(logPath).contains("completed successful"), Timeout);
    QCOMPARE(readFile(moved), movedText);
    QCOMPARE(mode(logPath), QStringLiteral("640"));
    // A reload, not a restart.
    QCOMPARE(property(PackagedUnit, "MainPID"), packagedPid);
}

void tst_SystemdService::packagedUnitRotates()
{
    if (packagedPid.isEmpty())
        QSKIP("The packaged unit did not start.");
    if (QStandardPaths::findExecutable(QStringLiteral("logrotate"), { QStringLiteral("/usr/sbin") }).isEmpty())
        QSKIP("logrotate is not installed (Debian package logrotate).");
    // The installed file as cron would run it, forced: the log moves to .1,
    // the one before is compressed, and the reload starts a new log.
    const QString logPath = innerPath(StateFolder + QStringLiteral("/Quillport.log"));
    const QByteArray before = readFile(logPath);
    Result result = inside({ QStringLiteral("logrotate"), QStringLiteral("-s"),
                             QStringLiteral("/run/logrotate.status"), QStringLiteral("-f"),
                             QStringLiteral("/etc/logrotate.d/quillport") });
    QVERIFY2(result.exitCode == 0, result.out + result.err);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(logPath), Timeout);
    QCOMPARE(QDir(innerPath(StateFolder)).entryList({ QStringLiteral("Quillport.log*") }, QDir::Files, QDir::Name),
             QStringList({ "Quillport.log", "Quillport.log.1", "Quillport.log.2.gz" }));

    QByteArray why;
    QVERIFY2(printedThroughCups("after the rotation", PackagedPort, &why), why);
    QTRY_VERIFY_WITH_TIMEOUT(readFile(logPath).contains("completed successful"), Timeout);
    QCOMPARE(readFile(logPath + QStringLiteral(".1")), before);
}

void tst_SystemdService::packagedUnitStops()
{
    if (packagedPid.isEmpty())
        QSKIP("The packaged unit did not start.");
    // A clean stop: the program ends by itself with 0, long before systemd
    // would kill it, and its last line reaches syslog from the sandbox.
    Result result = inside({ QStringLiteral("systemctl"), QStringLiteral("stop"), PackagedUnit });
    QVERIFY2(result.exitCode == 0, result.err);
    const QByteArray unitResult = property(PackagedUnit, "Result");
    QVERIFY2(unitResult == "success",
             unitResult + '\n' + journal({ QStringLiteral("-u"), PackagedUnit }).right(3000));
    QCOMPARE(property(PackagedUnit, "ActiveState"), QByteArray("inactive"));
    const QByteArray text = journalWith(
        { QStringLiteral("_PID=") + QLatin1String(packagedPid), QStringLiteral("SYSLOG_IDENTIFIER=Quillport") },
        "Service stopped with code 0\n");
    QVERIFY2(text.contains("Service stopped with code 0\n"), text);
}

void tst_SystemdService::privilegedPort_data()
{
    QTest::addColumn<bool>("dropIn");
    QTest::newRow("sandbox alone") << false;
    QTest::newRow("privileged-port.conf") << true;
}

void tst_SystemdService::privilegedPort()
{
    QFETCH(bool, dropIn);
    if (packagedPid.isEmpty())
        QSKIP("The packaged unit did not start.");
    const QString folder = QStringLiteral("/etc/systemd/system/quillport.service.d");
    const QString setUp = dropIn
        ? QStringLiteral("mkdir -p %1 && cp %2/share/doc/quillport/examples/privileged-port.conf %1/")
              .arg(folder, InnerPrefix)
        : QStringLiteral("rm -rf %1").arg(folder);
    Result result = inside(
        { QStringLiteral("sh"), QStringLiteral("-c"), setUp + QStringLiteral(" && systemctl daemon-reload") });
    QVERIFY2(result.exitCode == 0, result.err);
    QVERIFY(writePackagedSettings({ PrivilegedPort }));

    result = inside({ QStringLiteral("systemctl"), QStringLiteral("start"), PackagedUnit });
    const QByteArray logText = readFile(innerPath(StateFolder + QStringLiteral("/Quillport.log")));
    const QByteArray refused = "(printer \"" + Queue.toUtf8() + "\", 127.0.0.1 port 515)";
    if (dropIn) {
        QVERIFY2(result.exitCode == 0, result.err + logText);
        QByteArray why;
        QVERIFY2(printedThroughCups("on port 515", PrivilegedPort, &why), why);
    } else {
        QVERIFY(result.exitCode != 0);
        QVERIFY2(logText.contains(refused), logText);
        QCOMPARE(property(PackagedUnit, "Result"), QByteArray("exit-code"));
    }
    // Also cancels the restart that systemd schedules after a failure.
    result = inside({ QStringLiteral("systemctl"), QStringLiteral("stop"), PackagedUnit });
    QVERIFY2(result.exitCode == 0, result.err);
}

tst_SystemdService::Result tst_SystemdService::apt(const QStringList &arguments) const
{
    return inside(QStringList{ QStringLiteral("env"), QStringLiteral("DEBIAN_FRONTEND=noninteractive"),
                               QStringLiteral("apt-get"), QStringLiteral("-q"), QStringLiteral("-y") }
                  + arguments);
}

bool tst_SystemdService::startOutputListener(const QString &file) const
{
    // nc takes one connection, writes what comes to the file and ends when
    // the sender closes.
    return inside({ QStringLiteral("systemd-run"), QStringLiteral("--quiet"), QStringLiteral("sh"),
                    QStringLiteral("-c"), QStringLiteral("exec nc -l 127.0.0.1 %1 >%2").arg(OutputPort).arg(file) })
               .exitCode
        == 0;
}

void tst_SystemdService::packageInstalls()
{
#ifdef __SANITIZE_ADDRESS__
    QSKIP("The package holds the build without the sanitizers; its tests run in the normal build.");
#endif
    if (!QFileInfo::exists(PackageFile))
        QSKIP(qPrintable(PackageFile + QStringLiteral(" is not there: bash scripts/package.sh builds it.")));

    // The same package with a higher version: the upgrade to a rebuild.
    QVERIFY(packages.isValid() && overlay.isValid());
    const QString unpacked = packages.filePath(QStringLiteral("unpacked"));
    const QString debs = packages.filePath(QStringLiteral("debs"));
    const QString upgrade = QStringLiteral("quillport_%1_amd64.deb").arg(UpgradeVersion);
    QVERIFY(QDir().mkpath(debs));
    QVERIFY(QFile::copy(PackageFile, debs + QStringLiteral("/quillport.deb")));
    const QString repack = QStringLiteral(
        "dpkg-deb -R \"$0\" \"$1\" && sed -i \"s/^Version: .*/Version: $3/\" \"$1/DEBIAN/control\" && "
        "dpkg-deb --root-owner-group -b \"$1\" \"$2\" >/dev/null");
    QProcess rebuild;
    rebuild.setProcessChannelMode(QProcess::MergedChannels);
    rebuild.start(QStringLiteral("sh"), { QStringLiteral("-c"), repack, PackageFile, unpacked,
                                          debs + QLatin1Char('/') + upgrade, UpgradeVersion });
    QVERIFY2(rebuild.waitForFinished(Timeout) && rebuild.exitStatus() == QProcess::NormalExit
                 && rebuild.exitCode() == 0,
             rebuild.readAll());

    // The machine's root under an overlay in a mount namespace of the
    // container's own: it writes to a tmpfs that goes with it. Only the base
    // of the system is started, so that none of the machine's own services
    // (a p910nd on the example's port 9100, say) comes up.
    stopContainer();
    const QString mountAndBoot = QStringLiteral(
        "mount -t tmpfs tmpfs \"$0\" && mkdir \"$0/upper\" \"$0/work\" \"$0/root\" && "
        "mount -t overlay overlay -o \"lowerdir=/,upperdir=$0/upper,workdir=$0/work\" \"$0/root\" && "
        "exec systemd-nspawn --directory=\"$0/root\" \"$@\"");
    const QString why = boot(
        QStringLiteral("unshare"),
        { QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"), QStringLiteral("sh"),
          QStringLiteral("-c"), mountAndBoot, overlay.path(), QStringLiteral("--boot"), QStringLiteral("--register=no"),
          QStringLiteral("--keep-unit"), QStringLiteral("--private-network"),
          QStringLiteral("--machine=quillport-package-%1").arg(getpid()),
          QStringLiteral("--bind-ro=%1:%2").arg(debs, InnerPackages), QStringLiteral("--"),
          QStringLiteral("systemd.firstboot=off"), QStringLiteral("systemd.unit=basic.target"),
          QStringLiteral("systemd.mask=cups.socket"), QStringLiteral("systemd.mask=avahi-daemon.socket") });
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    if (inside({ QStringLiteral("dpkg-query"), QStringLiteral("-W"), QStringLiteral("quillport") }).exitCode == 0)
        QSKIP("The package quillport is installed on this machine; its test needs a machine without it.");
    // A policy-rc.d (a container image's, or install-deps.sh's while it
    // installs) would keep the package from starting its service.
    QCOMPARE(inside({ QStringLiteral("rm"), QStringLiteral("-f"), QStringLiteral("/usr/sbin/policy-rc.d") }).exitCode,
             0);

    Result result = apt({ QStringLiteral("install"), InnerPackages + QStringLiteral("/quillport.deb") });
    QVERIFY2(result.exitCode == 0, result.out.right(2000) + result.err);
    // The unit is started by the installation, and a notify unit is active
    // only once the program has said READY=1: the example's printer listens.
    QCOMPARE(property(PackagedUnit, "Type"), QByteArray("notify"));
    QCOMPARE(property(PackagedUnit, "ActiveState"), QByteArray("active"));
    QCOMPARE(property(PackagedUnit, "UnitFileState"), QByteArray("enabled"));
    const QByteArray status = property(PackagedUnit, "StatusText");
    QVERIFY2(status.startsWith("Running: 1 printer(s) listening"), status);
    packagePid = property(PackagedUnit, "MainPID");

    // The data folder has the example settings, and both are the service's
    // user's alone.
    QCOMPARE(readFile(innerPath(StateFolder + QStringLiteral("/settings.json"))), readFile(ExampleSettings));
    result = inside({ QStringLiteral("stat"), QStringLiteral("-c"), QStringLiteral("%U:%G %a %n"), StateFolder,
                      StateFolder + QStringLiteral("/settings.json") });
    QCOMPARE(result.out, QByteArray("quillport:quillport 750 /var/lib/quillport\n"
                                    "quillport:quillport 640 /var/lib/quillport/settings.json\n"));
}

void tst_SystemdService::packagePrints()
{
    if (packagePid.isEmpty())
        QSKIP("The package is not installed.");
    // The administrator's settings: a printer that sends its jobs over the
    // network, and keeps trying for an hour when the output is away.
    QJsonObject printer{ { "localname", "desk" },    { "active", true },        { "listen", "127.0.0.1" },
                         { "port", PackagedPort },   { "subnets", "127.0.0.0/8" }, { "storejobs", true },
                         { "jobspath", "jobs" },      { "retrytime", 3600 },     { "log", "pa" },
                         { "output", QStringLiteral("socket://127.0.0.1:%1").arg(OutputPort) } };
    QFile settings(innerPath(StateFolder + QStringLiteral("/settings.json")));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    QVERIFY(settings.write(QJsonDocument(QJsonObject{ { "logtype", "textfile" }, { "printers", QJsonArray{ printer } } })
                               .toJson())
            > 0);
    settings.close();
    Result result = inside({ QStringLiteral("systemctl"), QStringLiteral("restart"), PackagedUnit });
    QVERIFY2(result.exitCode == 0, result.err + journal({ QStringLiteral("-u"), PackagedUnit }).right(3000));

    // Every byte value, as printer languages have: sent from a file in the
    // container, since a command line carries no NUL.
    const QByteArray job = randomBytes(256 * 1024, 21);
    QFile jobFile(innerPath(QStringLiteral("/var/tmp/job.prn")));
    QVERIFY(jobFile.open(QIODevice::WriteOnly) && jobFile.write(job) == job.size());
    jobFile.close();
    QVERIFY(startOutputListener(QStringLiteral("/var/tmp/first.prn")));
    result = inside({ QStringLiteral("bash"), QStringLiteral("-c"),
                      QStringLiteral("exec 3<>/dev/tcp/127.0.0.1/%1 && cat /var/tmp/job.prn >&3").arg(PackagedPort) });
    QVERIFY2(result.exitCode == 0, result.err);
    const QString received = innerPath(QStringLiteral("/var/tmp/first.prn"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(received).size(), job.size(), Timeout);
    QVERIFY(readFile(received) == job);

    // With nothing listening, the next job waits in the spool folder.
    QVERIFY(sendJob("waits for the upgrade", PackagedPort));
    const QString logPath = innerPath(StateFolder + QStringLiteral("/Quillport.log"));
    QTRY_VERIFY_WITH_TIMEOUT(readFile(logPath).contains("waits for printer \"desk\""), Timeout);
    const QDir spool(innerPath(StateFolder + QStringLiteral("/.spool")));
    QCOMPARE(spool.entryList(QDir::Files).size(), 1);
}

void tst_SystemdService::packageUpgrades()
{
    if (packagePid.isEmpty())
        QSKIP("The package is not installed.");
    const QString state = innerPath(StateFolder);
    const QByteArray settings = readFile(state + QStringLiteral("/settings.json"));
    const QByteArray logText = readFile(state + QStringLiteral("/Quillport.log"));
    const QStringList stored = QDir(state + QStringLiteral("/jobs")).entryList(QDir::Files);
    QCOMPARE(stored.size(), 1);
    const QByteArray pid = property(PackagedUnit, "MainPID");

    Result result =
        apt({ QStringLiteral("install"), InnerPackages + QStringLiteral("/quillport_%1_amd64.deb").arg(UpgradeVersion) });
    QVERIFY2(result.exitCode == 0, result.out.right(2000) + result.err);
    QCOMPARE(inside({ QStringLiteral("dpkg-query"), QStringLiteral("-W"), QStringLiteral("-f=${Version}"),
                      QStringLiteral("quillport") })
                 .out,
             UpgradeVersion.toLatin1());
    // The service was restarted by the upgrade, on everything it had.
    QCOMPARE(property(PackagedUnit, "ActiveState"), QByteArray("active"));
    QVERIFY(property(PackagedUnit, "MainPID") != pid);
    QCOMPARE(readFile(state + QStringLiteral("/settings.json")), settings);
    QVERIFY(readFile(state + QStringLiteral("/Quillport.log")).startsWith(logText));
    QCOMPARE(QDir(state + QStringLiteral("/jobs")).entryList(QDir::Files), stored);

    // The job spooled before the upgrade is delivered after it.
    QVERIFY(startOutputListener(QStringLiteral("/var/tmp/second.prn")));
    const QString received = innerPath(QStringLiteral("/var/tmp/second.prn"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(received), QByteArray("waits for the upgrade"), Timeout);
}

void tst_SystemdService::packageRemoval_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("kept");
    QTest::newRow("remove keeps the user and the data") << QStringLiteral("remove") << true;
    QTest::newRow("purge removes them") << QStringLiteral("purge") << false;
}

void tst_SystemdService::packageRemoval()
{
    QFETCH(QString, action);
    QFETCH(bool, kept);
    if (packagePid.isEmpty())
        QSKIP("The package is not installed.");
    Result result = apt({ action, QStringLiteral("quillport") });
    QVERIFY2(result.exitCode == 0, result.out.right(2000) + result.err);

    QCOMPARE(property(PackagedUnit, "LoadState"), QByteArray("not-found"));
    QCOMPARE(property(PackagedUnit, "ActiveState"), QByteArray("inactive"));
    QCOMPARE(inside({ QStringLiteral("getent"), QStringLiteral("passwd"), QStringLiteral("quillport") }).exitCode == 0,
             kept);
    QCOMPARE(inside({ QStringLiteral("getent"), QStringLiteral("group"), QStringLiteral("quillport") }).exitCode == 0,
             kept);
    QCOMPARE(QFileInfo::exists(innerPath(StateFolder + QStringLiteral("/settings.json"))), kept);
    QCOMPARE(QFileInfo::exists(innerPath(StateFolder)), kept);
    // The link that enabled the unit goes with the purge, as does the
    // logrotate file; the one a removal leaves still rotates the log.
    const QFileInfo enabled(innerPath(QStringLiteral("/etc/systemd/system/multi-user.target.wants/quillport.service")));
    QCOMPARE(enabled.isSymLink(), kept);
    QCOMPARE(QFileInfo::exists(innerPath(QStringLiteral("/etc/logrotate.d/quillport"))), kept);
    if (kept) {
        result = inside({ QStringLiteral("logrotate"), QStringLiteral("-f"), QStringLiteral("-s"),
                          QStringLiteral("/run/logrotate.status"), QStringLiteral("/etc/logrotate.d/quillport") });
        QVERIFY2(result.exitCode == 0, result.out + result.err);
        QVERIFY(QFileInfo::exists(innerPath(StateFolder + QStringLiteral("/Quillport.log.1"))));
    }
}

QTEST_GUILESS_MAIN(tst_SystemdService)
#include "tst_systemdservice.moc"
