// The Windows installer under Wine: msiexec installs quillport.exe with its
// DLLs, registers the service and the event-log source, starts the service,
// and gives the data folder the example settings only when it has none; the
// service prints through Wine's winspool onto a private CUPS scheduler; and
// msiexec /x removes the service, the source and the program's files but
// leaves the data folder.
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
#include <QtTest>

#include <sched.h>
#include <unistd.h>

namespace {

const QString Installer = QStringLiteral(QUILLPORT_MSI);
const QString Version = QStringLiteral(QUILLPORT_VERSION);
const QString ExampleSettings = QStringLiteral(EXAMPLE_SETTINGS);
const QString Windres = QStringLiteral(WINDRES);
const QString Service = QStringLiteral("Quillport");
// The example's printer; the administrator's settings use it too.
const QString Queue = QStringLiteral("lobby");
const QString Program = QStringLiteral("C:\\Program Files\\Quillport\\quillport.exe");
const QString DataFolder = QStringLiteral("C:\\ProgramData\\quillport\\");
const QString ServiceKey = QStringLiteral("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Quillport");
const QString EventSourceKey =
    QStringLiteral("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quillport");
const int Timeout = 60000;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_WinePackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installAndRemove_data();
    void installAndRemove();

private:
    // A registry value as `reg query` shows it, "TYPE data"; empty when it
    // is not there.
    QString registryValue(const QString &key, const QString &name) const;
    void checkProgramResources();

    PrivateCups cups;
    WinePrefix wine;
    bool ownNetwork = false;
    quint64 seed = 1;
};

void tst_WinePackage::initTestCase()
{
    if (!WinePrefix::isInstalled())
        QSKIP("Wine is not installed (Debian: wine64)");
    if (!PrivateCups::isInstalled())
        QSKIP("cupsd is not installed (Debian: cups-daemon)");
    if (!QFileInfo::exists(Installer))
        QSKIP(qPrintable(Installer + QStringLiteral(" is not built: wixl or msibuild is missing "
                                                    "(Debian: wixl, msitools)")));
    // The example settings listen on every address, on port 9100: where it
    // can (as root), the test runs in a network of its own, with a loopback
    // only. Every process it starts from here on is in it.
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0) {
        QCOMPARE(QProcess::execute(QStringLiteral("ip"), { QStringLiteral("link"), QStringLiteral("set"),
                                                           QStringLiteral("lo"), QStringLiteral("up") }),
                 0);
        ownNetwork = true;
    }
    QVERIFY2(cups.start(), qPrintable(cups.errorString()));
    QVERIFY2(cups.addQueue(Queue), qPrintable(cups.errorString()));
    // Wine's winspool finds the CUPS queues as printers of the same names.
    wine.setEnvironment(QStringLiteral("CUPS_SERVER"), cups.serverName());
    QVERIFY2(wine.start(), qPrintable(wine.errorString()));
}

QString tst_WinePackage::registryValue(const QString &key, const QString &name) const
{
    const WinePrefix::Result result =
        wine.run(QStringLiteral("reg"), { QStringLiteral("query"), key, QStringLiteral("/v"), name });
    const QRegularExpression line(QStringLiteral("^\\s+%1\\s+(REG_\\w+)\\s+(.*?)\\s*$")
                                      .arg(QRegularExpression::escape(name)),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromLocal8Bit(result.out));
    return result.exitCode == 0 && match.hasMatch() ? match.captured(1) + QLatin1Char(' ') + match.captured(2)
                                                    : QString();
}

void tst_WinePackage::checkProgramResources()
{
    if (Windres.isEmpty())
        QSKIP("x86_64-w64-mingw32-windres is not installed: the program's resources are not read");
    // Message 0 of the program's message table is its one string alone: an
    // event viewer shows each entry as the program wrote it. The version is
    // the project's, the installer's.
    QProcess windres;
    windres.start(Windres, { QStringLiteral("-J"), QStringLiteral("coff"), QStringLiteral("-O"), QStringLiteral("rc"),
                             QStringLiteral("-i"), wine.hostPath(Program) });
    QVERIFY(windres.waitForFinished(Timeout));
    QVERIFY2(windres.exitCode() == 0, windres.readAllStandardError());
    const QByteArray resources = windres.readAllStandardOutput();
    QVERIFY2(resources.contains("MessageId = 0x0\n   %1\\n"), resources);
    const QByteArray numbers = Version.toLatin1().replace('.', ", ") + ", 0";
    QVERIFY2(resources.contains(" FILEVERSION " + numbers + '\n'), resources);
    QVERIFY2(resources.contains("VALUE \"ProductVersion\", \"" + Version.toLatin1() + '"'), resources);
}

void tst_WinePackage::installAndRemove_data()
{
    QTest::addColumn<QByteArray>("before"); // null: no settings.json
    QTest::addColumn<QByteArray>("installed");

    const QJsonObject printer{ { "localname", Queue },        { "active", true },     { "listen", "127.0.0.1" },
                               { "port", int(freePort()) }, { "subnets", "127.0.0.0/8" }, { "log", "pa" } };
    const QByteArray own =
        QJsonDocument(QJsonObject{ { "logtype", "textfile" }, { "printers", QJsonArray{ printer } } }).toJson();
    QTest::newRow("the administrator's settings are kept") << own << own;
    QTest::newRow("the example where there are none") << QByteArray() << readFile(ExampleSettings);
}

void tst_WinePackage::installAndRemove()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, installed);
    if (before.isNull() && !ownNetwork)
        QSKIP("The example settings open port 9100 on every address; without a network of the test's own "
              "(root, to unshare one) that is not done here.");

    const QString settingsPath = wine.hostPath(DataFolder + QStringLiteral("settings.json"));
    QVERIFY(QDir(wine.hostPath(DataFolder)).removeRecursively());
    if (!before.isNull()) {
        QVERIFY(QDir().mkpath(wine.hostPath(DataFolder)));
        QFile file(settingsPath);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
    }

    const QString installer = WinePrefix::windowsPath(Installer);
    WinePrefix::Result result =
        wine.run(QStringLiteral("msiexec"), { QStringLiteral("/i"), installer, QStringLiteral("/qn") }, 2 * Timeout);
    QVERIFY2(result.exitCode == 0, result.out + result.err + wine.systemOutput().right(3000));
    QVERIFY2(wine.waitForServiceState(Service, SERVICE_RUNNING, Timeout), wine.systemOutput().right(3000));
    QCOMPARE(registryValue(ServiceKey, QStringLiteral("ImagePath")), QStringLiteral("REG_SZ ") + Program);
    QCOMPARE(registryValue(ServiceKey, QStringLiteral("Start")), QStringLiteral("REG_DWORD 0x2"));
    QCOMPARE(registryValue(EventSourceKey, QStringLiteral("EventMessageFile")),
             QStringLiteral("REG_EXPAND_SZ ") + Program);
    QCOMPARE(readFile(settingsPath), installed);
    checkProgramResources();

    // A job through winspool onto the CUPS queue, byte for byte.
    const quint16 port =
        quint16(QJsonDocument::fromJson(installed).object().value(QStringLiteral("printers"))[0][QStringLiteral("port")]
                    .toInt());
    const QByteArray payload = randomBytes(200 * 1024, seed++);
    const int printed = cups.jobFiles(Queue).size();
    ClientPool pool(port);
    ClientConnection *client = pool.add(payload, Ending::Finish);
    QVERIFY(pool.runUntilDone(QDeadlineTimer(Timeout)));
    QVERIFY2(client->completed(), qPrintable(client->error));
    QVERIFY(cups.waitForJobs(Queue, printed + 1, Timeout));
    QVERIFY(cups.documents(Queue).value(printed) == payload);

    // Removed: the service, its event-log source and the program go; the
    // data folder, with the settings and the log, stays.
    result = wine.run(QStringLiteral("msiexec"), { QStringLiteral("/x"), installer, QStringLiteral("/qn") },
                      2 * Timeout);
    QVERIFY2(result.exitCode == 0, result.out + result.err);
    QCOMPARE(wine.serviceState(Service), 0);
    QCOMPARE(registryValue(EventSourceKey, QStringLiteral("EventMessageFile")), QString());
    QVERIFY(!QFileInfo::exists(wine.hostPath(QStringLiteral("C:\\Program Files\\Quillport"))));
    QCOMPARE(readFile(settingsPath), installed);
    QVERIFY(readFile(wine.hostPath(DataFolder + QStringLiteral("Quillport.log"))).contains("Service started successful"));
}

QTEST_GUILESS_MAIN(tst_WinePackage)
#include "tst_winepackage.moc"
