// quillport -e as a child process, its settings changed and reloaded
// (SIGHUP) while clients stream jobs: what changed is applied printer by
// printer, what did not goes on untouched, and a file that would not start
// changes nothing.
#include "netclient.h"
#include "quillportchild.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QSet>
#include <QTcpSocket>
#include <QtTest>

#include <signal.h>

namespace {

const QString Program = QStringLiteral(QUILLPORT_PATH);
const int Timeout = 30000;
const QString Reloaded = QStringLiteral("Info   Settings reloaded: *");

QJsonObject printer(const QString &name, quint16 port, const QString &subnets = QStringLiteral("127.0.0.0/8"))
{
    return { { QStringLiteral("localname"), name },
             { QStringLiteral("active"), true },
             { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
             { QStringLiteral("port"), port },
             { QStringLiteral("subnets"), subnets },
             { QStringLiteral("storejobs"), true },
             { QStringLiteral("jobspath"), name },
             { QStringLiteral("retrytime"), 0 } };
}

QByteArray fingerprint(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1);
}

} // namespace

class tst_Reload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void underAStreamOfJobs();
    void settingsThatWouldNotStart_data();
    void settingsThatWouldNotStart();

private:
    // The stored jobs of a printer, by fingerprint, with how often each is.
    static QHash<QByteArray, int> stored(const QuillportChild &child, const QString &printer);
};

void tst_Reload::initTestCase()
{
    QVERIFY2(QFileInfo(Program).isExecutable(), qPrintable(Program));
}

QHash<QByteArray, int> tst_Reload::stored(const QuillportChild &child, const QString &printer)
{
    QHash<QByteArray, int> jobs;
    const QDir folder(child.dataFolder() + printer);
    for (const QString &name : folder.entryList(QDir::Files)) {
        QFile file(folder.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            ++jobs[fingerprint(file.readAll())];
    }
    return jobs;
}

// Two printers take a stream of jobs; a reload keeps the first as it is,
// gives the second another access list, removes a third and adds a fourth.
void tst_Reload::underAStreamOfJobs()
{
    const QList<quint16> ports = freePorts(4);
    QCOMPARE(ports.size(), 4);
    const quint16 kept = ports.at(0), changed = ports.at(1), removed = ports.at(2), added = ports.at(3);
    QuillportChild child(Program);
    QVERIFY(child.writePrinters({ printer(QStringLiteral("kept"), kept), printer(QStringLiteral("changed"), changed),
                                  printer(QStringLiteral("removed"), removed) }));
    QVERIFY2(child.start(Timeout), qPrintable(child.errorString));

    // Three clients on each of the two printers, one job after another, and
    // one job held open on the unchanged printer across the reload.
    QSet<QByteArray> acknowledged;
    QHash<QByteArray, QString> sentTo;
    quint64 seed = 0;
    std::vector<std::unique_ptr<ClientPool>> pools;
    pools.push_back(std::make_unique<ClientPool>(kept));
    pools.push_back(std::make_unique<ClientPool>(changed));
    const QStringList names{ QStringLiteral("kept"), QStringLiteral("changed") };
    const QByteArray heldJob = randomBytes(100000, 99);
    ClientConnection *held = pools.front()->add(heldJob, Ending::Finish, nullptr, 40000);
    sentTo.insert(fingerprint(heldJob), names.first());
    // Once done, a connection leaves its pool.
    bool heldDone = false;
    QString failure;
    const auto stream = [&](int milliseconds) {
        const QDeadlineTimer until(milliseconds);
        while (!until.hasExpired() && failure.isEmpty()) {
            for (size_t i = 0; i < pools.size(); ++i) {
                while (pools.at(i)->active() < 3 + (i == 0 && !heldDone ? 1 : 0)) {
                    ++seed;
                    const QByteArray job = randomBytes(100 + int(seed % 20000), seed);
                    sentTo.insert(fingerprint(job), names.at(int(i)));
                    pools.at(i)->add(job, Ending::Finish);
                }
                pools.at(i)->step(1);
                for (const auto &done : pools.at(i)->takeDone()) {
                    heldDone = heldDone || done.get() == held;
                    if (done->completed())
                        acknowledged.insert(fingerprint(done->payload));
                    else
                        failure = QStringLiteral("a job to %1 did not go through: %2").arg(names.at(int(i)), done->error);
                }
            }
        }
    };
    stream(500);
    QVERIFY2(!heldDone && held->isHeld(), qPrintable(failure));

    // A job from 127.0.0.3 that the changed printer takes now and refuses
    // after the reload.
    ClientPool insider(changed);
    ClientConnection *admitted = insider.add("from 127.0.0.3, before", Ending::Finish, "127.0.0.3");
    QVERIFY(insider.runUntilDone(QDeadlineTimer(Timeout)) && admitted->completed());
    QVERIFY(child.writePrinters({ printer(QStringLiteral("kept"), kept),
                                  printer(QStringLiteral("changed"), changed, QStringLiteral("127.0.0.1/32")),
                                  printer(QStringLiteral("added"), added) }));
    QCOMPARE(::kill(pid_t(child.pid()), SIGHUP), 0);
    while (child.countLines(Reloaded) == 0 && failure.isEmpty())
        stream(20);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(child.logLines().filter(QStringLiteral("Settings reloaded")),
             QStringList{ QStringLiteral("Info   Settings reloaded: 1 printer(s) added, 1 removed, 1 changed, "
                                         "1 unchanged") });
    QVERIFY(!heldDone);
    held->release();
    stream(500);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    for (const auto &pool : pools)
        QVERIFY(pool->runUntilDone(QDeadlineTimer(Timeout)));
    for (const auto &pool : pools) {
        for (const auto &done : pool->takeDone()) {
            QVERIFY2(done->completed(), qPrintable(done->error));
            acknowledged.insert(fingerprint(done->payload));
        }
    }
    QVERIFY(acknowledged.contains(fingerprint(heldJob)));

    // The removed printer's port is closed; the added printer prints; the
    // changed one admits by its new list.
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, removed);
    QVERIFY(!probe.waitForConnected(Timeout));
    QCOMPARE(probe.error(), QAbstractSocket::ConnectionRefusedError);
    QString why;
    QVERIFY2(sendJob(added, "to the added printer", Timeout, &why), qPrintable(why));
    ClientPool outsider(changed);
    ClientConnection *refused = outsider.add("from 127.0.0.3, after", Ending::Finish, "127.0.0.3");
    QVERIFY(outsider.runUntilDone(QDeadlineTimer(Timeout)));
    QVERIFY(!refused->completed());
    QVERIFY(child.waitForLine(QStringLiteral("Access Access from 127.0.0.3 to printer changed is denied"), Timeout));
    // On a busy machine the delivery may run behind the clients, and a stop
    // leaves what it has not reached in the spool folder for the next
    // start: every job is stored before the stop.
    QVERIFY(child.waitForLine(QStringLiteral("Print  Print job from 127.0.0.1 stored successful*"), Timeout,
                              acknowledged.size() + 1));
    QVERIFY(child.waitForLine(QStringLiteral("Print  Print job from 127.0.0.3 stored successful*"), Timeout));
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));

    // Every job a client saw closed is stored once, by the printer it went
    // to.
    QTRY_COMPARE_WITH_TIMEOUT(stored(child, QStringLiteral("added")).keys(),
                              QList<QByteArray>{ fingerprint("to the added printer") }, Timeout);
    QHash<QString, QHash<QByteArray, int>> jobs;
    for (const QString &name : names) {
        jobs.insert(name, stored(child, name));
        for (const int copies : jobs.value(name))
            QVERIFY2(copies == 1, qPrintable(name + QStringLiteral(": a job stored twice")));
    }
    // And the one from 127.0.0.3.
    QCOMPARE(jobs.value(names.at(0)).size() + jobs.value(names.at(1)).size() - 1, acknowledged.size());
    for (const QByteArray &job : qAsConst(acknowledged))
        QVERIFY2(jobs.value(sentTo.value(job)).contains(job), "an acknowledged job is not stored");
    QVERIFY(jobs.value(QStringLiteral("changed")).contains(fingerprint("from 127.0.0.3, before")));
    qInfo("%d jobs through a reload", int(acknowledged.size()));
}

void tst_Reload::settingsThatWouldNotStart_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("reason");

    QTest::newRow("text that does not parse") << QByteArray("{ \"printers\": [ ")
                                              << "Couldn't read config file: *";
    QTest::newRow("a printer on port 0")
        << QByteArray("{ \"printers\": [ { \"localname\": \"zero\", \"active\": true, \"listen\": \"127.0.0.1\" } ] }")
        << "printer \"zero\" cannot listen: its port is 0";
    QTest::newRow("an output that names nothing")
        << QByteArray("{ \"printers\": [ { \"localname\": \"lpt\", \"active\": true, \"port\": 9, \"output\": \"lpt:1\" } ] }")
        << "printer \"lpt\" cannot listen: its output \"lpt:1\" cannot be used: *";
}

// A reload that a start would refuse changes nothing: the service goes on
// with the settings it has, and says why.
void tst_Reload::settingsThatWouldNotStart()
{
    QFETCH(QByteArray, settings);
    QFETCH(QString, reason);
    const quint16 port = freePort();
    QuillportChild child(Program);
    QVERIFY(child.writePrinters({ printer(QStringLiteral("lobby"), port) }));
    QVERIFY2(child.start(Timeout), qPrintable(child.errorString));
    QVERIFY(child.writeSettings(settings));
    QCOMPARE(::kill(pid_t(child.pid()), SIGHUP), 0);
    QVERIFY(child.waitForLine(QStringLiteral("Error  Settings not reloaded: ") + reason, Timeout));
    QCOMPARE(child.countLines(Reloaded), 0);
    QString why;
    QVERIFY2(sendJob(port, "still printing", Timeout, &why), qPrintable(why));
    QVERIFY(child.waitForLine(QStringLiteral("Print  Print job from 127.0.0.1 stored successful*"), Timeout));
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));
}

QTEST_GUILESS_MAIN(tst_Reload)
#include "tst_reload.moc"
