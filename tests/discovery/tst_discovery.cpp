// Discovery end to end with a real avahi-daemon. Two network namespaces,
// joined by a veth pair, each with a D-Bus system bus and an avahi-daemon of
// its own: the print service runs in this process on side A's bus, and
// avahi-browse on side B looks for its printers the way print clients do.
#include "childprocess.h"
#include "emulatedservicemanager.h"
#include "inprocessservice.h"
#include "netclient.h"
#include "quillportchild.h"
#include "servicecontroller.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

#include <signal.h>
#include <unistd.h>

namespace {

const QString PdlType = QStringLiteral("_pdl-datastream._tcp");
const QString PrinterType = QStringLiteral("_printer._tcp");
// The bound on any one step: a daemon starting, a record appearing or going.
const int StepMs = 10000;
// Namespaces of this test are named this, then the process id.
const QString NamespacePrefix = QStringLiteral("quillport-discovery-");

// One service as avahi-browse -rpt resolved it.
struct Found
{
    QString name;
    QString host;
    QString address;
    int port = -1;
    QMap<QString, QString> txt;
};

// avahi-browse's parsable output writes "\." and "\\" for those characters
// and "\DDD" (decimal) for any other byte outside [A-Za-z0-9_-].
QString unescape(const QByteArray &text)
{
    QByteArray bytes;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == '\\' && i + 3 < text.size() && text.at(i + 1) >= '0' && text.at(i + 1) <= '9') {
            bytes.append(char(text.mid(i + 1, 3).toInt()));
            i += 3;
        } else if (text.at(i) == '\\' && i + 1 < text.size()) {
            bytes.append(text.at(++i));
        } else {
            bytes.append(text.at(i));
        }
    }
    return QString::fromUtf8(bytes);
}

// The TXT field: quoted strings with backslash escapes, apart by blanks.
QMap<QString, QString> parseTxt(const QByteArray &field)
{
    QMap<QString, QString> entries;
    int i = 0;
    while ((i = field.indexOf('"', i)) >= 0) {
        int end = i + 1;
        while (end < field.size() && field.at(end) != '"')
            end += field.at(end) == '\\' ? 2 : 1;
        const QString entry = unescape(field.mid(i + 1, end - i - 1));
        entries.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        i = end + 1;
    }
    return entries;
}

// Runs a program to its end; its exit code (-1 when it did not end in
// time), with its output in `output`.
int run(const QString &program, const QStringList &arguments, QString *output = nullptr,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    ChildProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    const bool ended = process.waitForFinished(StepMs);
    if (output)
        *output = QString::fromLocal8Bit(process.readAll()).trimmed();
    return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// The log lines of the in-process service's last run, without time stamps.
QStringList serviceLog(const InProcessService &service)
{
    QFile file(service.dataFolder() + QStringLiteral("Quillport.log"));
    QStringList lines;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n'))
            lines << QString::fromUtf8(line).section(QLatin1Char(' '), 1);
    }
    return lines;
}

// Starts a program that runs on beside the test, its output going to
// `logFile`, and waits until that holds `text`. (No pipes: nothing reads
// them while the service runs.)
bool startUntil(ChildProcess &process, const QString &program, const QStringList &arguments,
                const QProcessEnvironment &environment, const QString &logFile, const QByteArray &text)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(logFile);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    QFile log(logFile);
    QDeadlineTimer deadline(StepMs);
    while (!deadline.hasExpired()) {
        if (log.open(QIODevice::ReadOnly) && log.readAll().contains(text))
            return true;
        log.close();
        if (process.waitForFinished(20))
            break;
    }
    log.open(QIODevice::ReadOnly);
    qWarning().noquote() << program << arguments.join(QLatin1Char(' ')) << "did not start:" << log.readAll();
    return false;
}

// One side of the link: a network namespace with its end of the veth pair,
// a D-Bus system bus and an avahi-daemon on that bus and that interface.
struct Side
{
    QString netns;
    QString interface;
    QString hostName;
    QString address;
    QString busAddress;
    ChildProcess bus;
    ChildProcess avahi;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
        return environment;
    }
};

} // namespace

class tst_Discovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void announcedUntilStopped();
    void announcedAgainAfterDaemonRestart();
    void longNameShortened();
    void nameCollision_data();
    void nameCollision();
    void withoutDaemon_data();
    void withoutDaemon();

private:
    bool startBus(ChildProcess &bus, const QString &name, QString *address);
    bool startSide(Side &side);
    bool startAvahi(Side &side, ChildProcess &avahi);
    // avahi-browse -rpt on side B, once.
    QList<Found> browse(const QString &type, QString *error);
    // Browses again and again until `wanted` holds of what was found, or the
    // step's time is up; what was found last.
    QList<Found> browseUntil(const QString &type, const std::function<bool(const QList<Found> &)> &wanted,
                             bool *held);
    static QJsonObject printer(const QString &name, quint16 port);

    QTemporaryDir folder;
    Side a;
    Side b;
    bool linked = false;
    InProcessService service;
    // Side A's daemon once it has been restarted.
    std::unique_ptr<ChildProcess> restartedAvahi;
};

static bool named(const QList<Found> &found, const QString &name)
{
    return std::any_of(found.begin(), found.end(), [&](const Found &f) { return f.name == name; });
}

static Found find(const QList<Found> &found, const QString &name)
{
    for (const Found &f : found) {
        if (f.name == name)
            return f;
    }
    return Found();
}

void tst_Discovery::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("network namespaces need root");
    // ip and avahi-daemon are in /usr/sbin, which not every PATH has.
    qputenv("PATH", qgetenv("PATH") + ":/usr/sbin:/sbin");
    for (const char *program : { "ip", "dbus-daemon", "avahi-daemon", "avahi-browse", "avahi-publish" }) {
        if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed (Debian: iproute2, dbus, avahi-daemon, avahi-utils)")
                                 .arg(QLatin1String(program))));
    }
    QVERIFY(folder.isValid());

    // Namespaces left by an earlier run that was killed.
    QString list;
    run(QStringLiteral("ip"), { QStringLiteral("netns"), QStringLiteral("list") }, &list);
    for (const QString &line : list.split(QLatin1Char('\n'))) {
        const QString name = line.section(QLatin1Char(' '), 0, 0);
        if (!name.startsWith(NamespacePrefix))
            continue;
        const QString pid = name.mid(NamespacePrefix.size()).section(QLatin1Char('-'), 0, 0);
        if (!QFile::exists(QStringLiteral("/proc/") + pid))
            run(QStringLiteral("ip"), { QStringLiteral("netns"), QStringLiteral("delete"), name });
    }

    const QString pid = QString::number(::getpid());
    a.netns = NamespacePrefix + pid + QStringLiteral("-a");
    b.netns = NamespacePrefix + pid + QStringLiteral("-b");
    a.interface = QStringLiteral("qpd%1a").arg(pid);
    b.interface = QStringLiteral("qpd%1b").arg(pid);
    a.hostName = QStringLiteral("quillport-a");
    b.hostName = QStringLiteral("quillport-b");
    QString why;
    if (run(QStringLiteral("ip"), { QStringLiteral("netns"), QStringLiteral("add"), a.netns }, &why) != 0)
        QSKIP(qPrintable(QStringLiteral("cannot make a network namespace: ") + why));
    linked = true;
    if (run(QStringLiteral("ip"), { QStringLiteral("netns"), QStringLiteral("add"), b.netns }, &why) != 0
        || run(QStringLiteral("ip"),
               { QStringLiteral("link"), QStringLiteral("add"), a.interface, QStringLiteral("netns"), a.netns,
                 QStringLiteral("type"), QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"),
                 b.interface, QStringLiteral("netns"), b.netns },
               &why)
            != 0)
        QSKIP(qPrintable(QStringLiteral("cannot make the namespaces and their link: ") + why));
    a.address = QStringLiteral("10.231.12.1");
    b.address = QStringLiteral("10.231.12.2");
    for (Side *side : { &a, &b }) {
        const QStringList in{ QStringLiteral("-n"), side->netns };
        QVERIFY2(run(QStringLiteral("ip"), in + QStringList{ QStringLiteral("address"), QStringLiteral("add"),
                                                             side->address + QStringLiteral("/24"),
                                                             QStringLiteral("dev"), side->interface },
                     &why) == 0,
                 qPrintable(why));
        QVERIFY2(run(QStringLiteral("ip"), in + QStringList{ QStringLiteral("link"), QStringLiteral("set"),
                                                             QStringLiteral("lo"), QStringLiteral("up") }, &why) == 0,
                 qPrintable(why));
        QVERIFY2(run(QStringLiteral("ip"), in + QStringList{ QStringLiteral("link"), QStringLiteral("set"),
                                                             side->interface, QStringLiteral("up") }, &why) == 0,
                 qPrintable(why));
    }
    QVERIFY(startSide(a));
    QVERIFY(startSide(b));

    // QtDBus connects to the system bus once for the process: side A's.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", a.busAddress.toLocal8Bit());
    QVERIFY(EmulatedServiceManager::install());
}

void tst_Discovery::cleanupTestCase()
{
    for (Side *side : { &a, &b }) {
        ChildProcess *avahi = side == &a && restartedAvahi ? restartedAvahi.get() : &side->avahi;
        for (ChildProcess *process : { avahi, &side->bus }) {
            process->terminate();
            process->waitForFinished(StepMs);
        }
    }
    // The veth pair goes with the namespaces.
    if (linked) {
        for (Side *side : { &a, &b })
            run(QStringLiteral("ip"), { QStringLiteral("netns"), QStringLiteral("delete"), side->netns });
    }
}

bool tst_Discovery::startBus(ChildProcess &bus, const QString &name, QString *address)
{
    // Anyone may own any name and send anything: the bus is the test's own.
    const QString socketFolder = folder.filePath(name);
    QDir().mkpath(socketFolder);
    QFile config(folder.filePath(name + QStringLiteral(".conf")));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                "<busconfig>\n"
                                "  <type>system</type>\n"
                                // A path, not an abstract socket: those belong to a network namespace.
                                "  <listen>unix:dir=%1</listen>\n"
                                "  <auth>EXTERNAL</auth>\n"
                                "  <policy context=\"default\">\n"
                                "    <allow user=\"*\"/>\n"
                                "    <allow own=\"*\"/>\n"
                                "    <allow send_destination=\"*\"/>\n"
                                "    <allow receive_sender=\"*\"/>\n"
                                "  </policy>\n"
                                "</busconfig>\n")
                     .arg(socketFolder)
                     .toUtf8());
    config.close();
    const QString output = folder.filePath(name + QStringLiteral(".out"));
    if (!startUntil(bus, QStringLiteral("dbus-daemon"),
                    { QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                      QStringLiteral("--print-address") },
                    QProcessEnvironment::systemEnvironment(), output, "unix:path="))
        return false;
    QFile file(output);
    file.open(QIODevice::ReadOnly);
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("unix:path="))
            *address = QString::fromLocal8Bit(line);
    }
    return true;
}

bool tst_Discovery::startSide(Side &side)
{
    return startBus(side.bus, side.netns, &side.busAddress) && startAvahi(side, side.avahi);
}

bool tst_Discovery::startAvahi(Side &side, ChildProcess &avahi)
{
    QFile config(folder.filePath(side.netns + QStringLiteral("-avahi.conf")));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write(QStringLiteral("[server]\n"
                                "host-name=%1\n"
                                "domain-name=local\n"
                                "use-ipv4=yes\n"
                                "use-ipv6=no\n"
                                "allow-interfaces=%2\n"
                                "enable-dbus=yes\n"
                                "[wide-area]\n"
                                "enable-wide-area=no\n"
                                "[publish]\n"
                                "publish-workstation=no\n"
                                "publish-hinfo=no\n"
                                "publish-domain=no\n"
                                "[reflector]\n"
                                "enable-reflector=no\n")
                     .arg(side.hostName, side.interface)
                     .toUtf8());
    config.close();
    // `ip netns exec` gives the daemon a mount namespace of its own: its
    // /run (pid file, socket) and the static services folder are private
    // there, apart from any other avahi-daemon's.
    return startUntil(avahi, QStringLiteral("ip"),
                     { QStringLiteral("netns"), QStringLiteral("exec"), side.netns, QStringLiteral("sh"),
                       QStringLiteral("-c"),
                       QStringLiteral("mount -t tmpfs none /run && mkdir /run/avahi-daemon"
                                      " && mount -t tmpfs none /etc/avahi/services && exec \"$@\""),
                       QStringLiteral("sh"), QStringLiteral("avahi-daemon"), QStringLiteral("--no-drop-root"),
                       QStringLiteral("--no-chroot"), QStringLiteral("--no-rlimits"), QStringLiteral("-f"),
                       config.fileName() },
                      side.environment(), folder.filePath(side.netns + QStringLiteral("-avahi.log")),
                      "Server startup complete");
}

QList<Found> tst_Discovery::browse(const QString &type, QString *error)
{
    QString output;
    if (run(QStringLiteral("ip"),
            { QStringLiteral("netns"), QStringLiteral("exec"), b.netns, QStringLiteral("avahi-browse"),
              QStringLiteral("-rpt"), type },
            &output, b.environment())
        != 0) {
        *error = QStringLiteral("avahi-browse failed: ") + output;
        return {};
    }
    // "+;interface;protocol;name;type;domain" when a service is found, the
    // same with "=" and ";host;address;port;txt" once it is resolved, with
    // "-" when it goes.
    QList<Found> found;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        const QByteArray bytes = line.toUtf8();
        const QList<QByteArray> fields = bytes.split(';');
        // A service that went while avahi-browse ran.
        if (fields.size() >= 4 && fields.at(0) == "-") {
            const QString name = unescape(fields.at(3));
            found.erase(std::remove_if(found.begin(), found.end(), [&](const Found &f) { return f.name == name; }),
                        found.end());
        }
        if (fields.size() < 10 || fields.at(0) != "=")
            continue;
        Found service;
        service.name = unescape(fields.at(3));
        service.host = QString::fromUtf8(fields.at(6));
        service.address = QString::fromUtf8(fields.at(7));
        service.port = fields.at(8).toInt();
        // The TXT strings may hold ';' themselves.
        int txtStart = 0;
        for (int i = 0; i < 9; ++i)
            txtStart = bytes.indexOf(';', txtStart) + 1;
        service.txt = parseTxt(bytes.mid(txtStart));
        found << service;
    }
    error->clear();
    return found;
}

QList<Found> tst_Discovery::browseUntil(const QString &type, const std::function<bool(const QList<Found> &)> &wanted,
                                        bool *held)
{
    QDeadlineTimer deadline(StepMs);
    QList<Found> found;
    QString error;
    do {
        found = browse(type, &error);
        *held = error.isEmpty() && wanted(found);
    } while (!*held && !deadline.hasExpired());
    if (!error.isEmpty())
        qWarning() << error;
    return found;
}

QJsonObject tst_Discovery::printer(const QString &name, quint16 port)
{
    return { { QStringLiteral("localname"), name },
             { QStringLiteral("active"), true },
             { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
             { QStringLiteral("port"), port },
             { QStringLiteral("retrytime"), 0 },
             { QStringLiteral("advertise"), true } };
}

// A printer without a title is announced as "<localname> on <host>", with
// its port and the TXT keys print clients read, plus the placeholder on port
// 0; pausing withdraws both, continuing brings them back, a stop withdraws
// them for good.
void tst_Discovery::announcedUntilStopped()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QJsonObject desk = printer(QStringLiteral("Front desk"), port);
    desk.insert(QStringLiteral("model"), QStringLiteral("Acme LaserJet 5000"));
    desk.insert(QStringLiteral("location"), QStringLiteral("Büro 4.12; 2nd floor"));
    const QString name = QStringLiteral("Front desk on ") + a.hostName;

    QList<Found> running, placeholder, paused, pausedPlaceholder, resumed;
    bool found = false, printerFound = false, gone = false, printerGone = false, back = false;
    const QString error = service.run({ desk }, [&]() -> QString {
        const auto present = [&](const QList<Found> &f) { return named(f, name); };
        const auto absent = [&](const QList<Found> &f) { return !named(f, name); };
        running = browseUntil(PdlType, present, &found);
        placeholder = browseUntil(PrinterType, present, &printerFound);
        ServiceController controller(InProcessService::Name);
        if (!controller.pause())
            return QStringLiteral("pause failed");
        paused = browseUntil(PdlType, absent, &gone);
        pausedPlaceholder = browseUntil(PrinterType, absent, &printerGone);
        if (!controller.resume())
            return QStringLiteral("continue failed");
        resumed = browseUntil(PdlType, present, &back);
        return QString();
    });
    QVERIFY2(error.isEmpty(), qPrintable(error));

    QVERIFY2(found, "the printer was not found while running");
    const Found announced = find(running, name);
    QCOMPARE(announced.port, int(port));
    QCOMPARE(announced.host, a.hostName + QStringLiteral(".local"));
    QCOMPARE(announced.address, a.address);
    const QMap<QString, QString> txt{ { QStringLiteral("txtvers"), QStringLiteral("1") },
                                      { QStringLiteral("qtotal"), QStringLiteral("1") },
                                      { QStringLiteral("ty"), QStringLiteral("Acme LaserJet 5000") },
                                      { QStringLiteral("product"), QStringLiteral("(Acme LaserJet 5000)") },
                                      { QStringLiteral("pdl"), QStringLiteral("application/octet-stream") },
                                      { QStringLiteral("note"), QStringLiteral("Büro 4.12; 2nd floor") },
                                      { QStringLiteral("priority"), QStringLiteral("0") } };
    QCOMPARE(announced.txt, txt);
    QVERIFY2(printerFound, "the _printer._tcp placeholder was not found");
    QCOMPARE(find(placeholder, name).port, 0);

    QVERIFY2(gone, "the printer was still announced while paused");
    QVERIFY2(printerGone, "the placeholder was still announced while paused");
    QVERIFY2(back, "the printer was not announced again once continued");
    QCOMPARE(find(resumed, name).port, int(port));
    QCOMPARE(find(resumed, name).txt, txt);

    bool stopped = false;
    browseUntil(PdlType, [&](const QList<Found> &f) { return !named(f, name); }, &stopped);
    QVERIFY2(stopped, "the printer was still announced after the stop");
    browseUntil(PrinterType, [&](const QList<Found> &f) { return !named(f, name); }, &stopped);
    QVERIFY2(stopped, "the placeholder was still announced after the stop");
}

// avahi-daemon restarted (an upgrade, say) forgets every announcement: the
// printer is announced again by the new daemon, with a line each way.
void tst_Discovery::announcedAgainAfterDaemonRestart()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    const QString name = QStringLiteral("desk on ") + a.hostName;
    bool before = false, gone = false, after = false;
    const QString error = service.run({ printer(QStringLiteral("desk"), port) }, [&]() -> QString {
        const auto present = [&](const QList<Found> &f) { return named(f, name); };
        browseUntil(PdlType, present, &before);
        if (::kill(pid_t(a.avahi.processId()), SIGTERM) != 0)
            return QStringLiteral("avahi-daemon could not be stopped");
        browseUntil(PdlType, [&](const QList<Found> &f) { return !named(f, name); }, &gone);
        // Started on the main thread: a child is killed when the thread that
        // started it ends, and this one ends with the run.
        bool started = false;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [&] {
                restartedAvahi = std::make_unique<ChildProcess>();
                started = startAvahi(a, *restartedAvahi);
            },
            Qt::BlockingQueuedConnection);
        if (!started)
            return QStringLiteral("avahi-daemon did not start again");
        browseUntil(PdlType, present, &after);
        return QString();
    });
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY2(before, "the printer was not found before the restart");
    QVERIFY2(gone, "the printer was still found with its daemon stopped");
    QVERIFY2(after, "the printer was not announced again by the new daemon");
    const QStringList notices = serviceLog(service).filter(QStringLiteral("Printer \"desk\" is"));
    QCOMPARE(notices, QStringList({ QStringLiteral("Error  Printer \"desk\" is not announced on the network: "
                                                   "avahi-daemon has stopped"),
                                    QStringLiteral("Info   Printer \"desk\" is announced again: avahi-daemon has "
                                                   "started") }));
}

// An instance name is one DNS label, at most 63 bytes: a longer default
// name is cut there, at a whole character, and the printer is announced.
void tst_Discovery::longNameShortened()
{
    const quint16 port = freePort();
    QVERIFY(port != 0);
    // 81 bytes with " on quillport-a"; the 63rd byte is the first of "ä".
    const QString localname = QStringLiteral("Buchhaltung, zweiter Stock, Westflügel - Farblaser für Baupläne");
    const QString shortened = QStringLiteral("Buchhaltung, zweiter Stock, Westflügel - Farblaser für Baupl");
    QList<Found> services;
    bool found = false;
    const QString error = service.run({ printer(localname, port) }, [&]() -> QString {
        services = browseUntil(
            PdlType,
            [&](const QList<Found> &f) {
                return std::any_of(f.begin(), f.end(), [&](const Found &one) { return one.port == port; });
            },
            &found);
        return QString();
    });
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY2(found, qPrintable(QStringLiteral("the printer was not found:\n")
                               + serviceLog(service).join(QLatin1Char('\n'))));
    QCOMPARE(find(services, shortened).port, int(port));
}

void tst_Discovery::nameCollision_data()
{
    QTest::addColumn<bool>("local");
    QTest::newRow("on another host") << false;
    QTest::newRow("on this host") << true;
}

// A name already taken, by a service of another host or of this one: the
// printer takes the daemon's alternative for both of its records, and says
// so in the log.
void tst_Discovery::nameCollision()
{
    QFETCH(bool, local);
    const QString title = QStringLiteral("Hall printer");
    const QString alternative = QStringLiteral("Hall printer #2");
    const Side &other = local ? a : b;
    ChildProcess publisher;
    QTemporaryDir publisherFolder;
    QVERIFY(startUntil(publisher, QStringLiteral("ip"),
                       { QStringLiteral("netns"), QStringLiteral("exec"), other.netns, QStringLiteral("avahi-publish"),
                         QStringLiteral("-s"), title, PdlType, QStringLiteral("9") },
                       other.environment(), publisherFolder.filePath(QStringLiteral("output")),
                       "Established under name 'Hall printer'"));

    const quint16 port = freePort();
    QVERIFY(port != 0);
    QJsonObject hall = printer(QStringLiteral("hall"), port);
    hall.insert(QStringLiteral("title"), title);
    QList<Found> services, placeholders;
    bool found = false, printerFound = false;
    const QString error = service.run({ hall }, [&]() -> QString {
        services = browseUntil(PdlType, [&](const QList<Found> &f) { return named(f, alternative); }, &found);
        placeholders =
            browseUntil(PrinterType, [&](const QList<Found> &f) { return named(f, alternative); }, &printerFound);
        return QString();
    });
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QStringList log = serviceLog(service);
    QVERIFY2(found, qPrintable(QStringLiteral("the printer was not found under the alternative name:\n")
                               + log.join(QLatin1Char('\n'))));
    QCOMPARE(find(services, alternative).port, int(port));
    QCOMPARE(find(services, title).port, 9);
    QVERIFY2(printerFound, "the placeholder was not found under the alternative name");
    QCOMPARE(find(placeholders, alternative).port, 0);
    QCOMPARE(log.count(QStringLiteral("Info   Printer \"hall\" is announced as \"Hall printer #2\": \"Hall printer\" "
                                      "is taken on the network")),
             1);

    bool stopped = false;
    const QList<Found> after =
        browseUntil(PdlType, [&](const QList<Found> &f) { return !named(f, alternative); }, &stopped);
    QVERIFY2(stopped, "the printer was still announced after the stop");
    QCOMPARE(find(after, title).port, 9);
}

void tst_Discovery::withoutDaemon_data()
{
    QTest::addColumn<QString>("bus");
    QTest::newRow("no bus") << QStringLiteral("none");
    QTest::newRow("a bus without avahi") << QStringLiteral("empty");
    QTest::newRow("an avahi that does not answer") << QStringLiteral("stopped");
}

// Where no DNS-SD daemon answers there is one Error line, and printing goes
// on all the while: jobs go through while the announcement is tried and
// after it failed.
void tst_Discovery::withoutDaemon()
{
    QFETCH(QString, bus);
    ChildProcess emptyBus;
    QString address = QStringLiteral("unix:path=") + folder.filePath(QStringLiteral("no-bus"));
    if (bus == QLatin1String("empty"))
        QVERIFY(startBus(emptyBus, QStringLiteral("empty"), &address));
    // Side B's daemon, stopped: its name is on the bus, nothing answers.
    const bool stopDaemon = bus == QLatin1String("stopped");
    const auto resumeDaemon = qScopeGuard([&] {
        if (stopDaemon)
            ::kill(pid_t(b.avahi.processId()), SIGCONT);
    });
    if (stopDaemon) {
        address = b.busAddress;
        QCOMPARE(::kill(pid_t(b.avahi.processId()), SIGSTOP), 0);
    }

    QTemporaryDir deviceFolder;
    const QString device = deviceFolder.filePath(QStringLiteral("device"));
    QFile(device).open(QIODevice::WriteOnly);
    const quint16 port = freePort();
    QVERIFY(port != 0);
    QJsonObject desk = printer(QStringLiteral("desk"), port);
    desk.insert(QStringLiteral("output"), QStringLiteral("device:") + device);
    QuillportChild child(QStringLiteral(QUILLPORT_PATH));
    child.setEnvironment(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
    QVERIFY(child.writePrinters({ desk }));
    QVERIFY2(child.start(StepMs), qPrintable(child.errorString));

    const QString unannounced = QStringLiteral("Error  Printer \"desk\" is not announced on the network: *");
    QByteArray printed;
    QDeadlineTimer deadline(StepMs);
    int jobs = 0;
    do {
        const QByteArray job = "job " + QByteArray::number(++jobs) + '\n';
        // A small job on loopback takes milliseconds; a service busy with
        // the daemon takes seconds.
        QElapsedTimer took;
        took.start();
        QString why;
        QVERIFY2(sendJob(port, job, StepMs, &why), qPrintable(why));
        QVERIFY2(took.elapsed() < 2500, qPrintable(QStringLiteral("job %1 took %2 ms").arg(jobs).arg(took.elapsed())));
        printed += job;
        QThread::msleep(20);
    } while (child.countLines(unannounced) == 0 && !deadline.hasExpired());
    const QStringList notices = child.logLines().filter(QRegularExpression(QStringLiteral("^(Error|Info)")));
    QVERIFY2(child.countLines(unannounced) == 1, qPrintable(notices.join(QLatin1Char('\n'))));
    QString why;
    QVERIFY2(sendJob(port, "last\n", StepMs, &why), qPrintable(why));
    printed += "last\n";
    QVERIFY(child.waitForLine(QStringLiteral("Print  Print job from 127.0.0.1 completed successful"), StepMs,
                              jobs + 1));
    QVERIFY2(child.stop(StepMs), qPrintable(child.errorString));
    QCOMPARE(child.countLines(unannounced), 1);
    QFile file(device);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), printed);
}

// The service makes the application object of its own runs.
QTEST_APPLESS_MAIN(tst_Discovery)
#include "tst_discovery.moc"
