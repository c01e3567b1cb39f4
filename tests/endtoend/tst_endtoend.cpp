// The whole way of a print job with real parts: a raw client on loopback,
// the quillport program run in the foreground as a child process, and a
// private CUPS scheduler whose queues keep every printed job as a file. Also
// what the way survives: a hung or absent scheduler, a stop, a crash.
#include "netclient.h"
#include "privatecups.h"
#include "quillportchild.h"

#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

const QString Program = QStringLiteral(QUILLPORT_PATH);
// Generous bounds for waits that normally end in milliseconds; a 20 MB job
// under the sanitizers takes a few seconds.
const int Timeout = 60000;
// A stop gives deliveries in progress five seconds; this is that and the
// rest of the way out.
const int StopBound = 10000;

const QString Completed = QStringLiteral("Print  Print job from 127.0.0.1 completed successful");
const QString Failed = QStringLiteral("Print  Print job from 127.0.0.1 finished with error");
const QString Deferred = QStringLiteral("Error  Print job from 127.0.0.1 waits for printer*");
const QRegularExpression StoredLine(QStringLiteral(
    "^Print  Print job from 127\\.0\\.0\\.1 stored successful with filename "
    "\"(\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\})\"$"));

// Equality of large byte arrays, with a short message instead of a dump.
QByteArray sameBytes(const QByteArray &actual, const QByteArray &expected)
{
    if (actual == expected)
        return QByteArray();
    int at = 0;
    while (at < actual.size() && at < expected.size() && actual.at(at) == expected.at(at))
        ++at;
    return QStringLiteral("%1 bytes where %2 were expected, first difference at %3")
        .arg(actual.size())
        .arg(expected.size())
        .arg(at)
        .toLatin1();
}

} // namespace

#define QVERIFY_SAME_BYTES(actual, expected)                                                                  \
    do {                                                                                                      \
        const QByteArray difference = sameBytes(actual, expected);                                            \
        QVERIFY2(difference.isEmpty(), difference.constData());                                               \
    } while (false)

#define QVERIFY_SENT(port, payload)                                                                           \
    do {                                                                                                      \
        QString why;                                                                                          \
        QVERIFY2(sendJob(port, payload, Timeout, &why), qPrintable(why));                                     \
    } while (false)

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void oneJob_data();
    void oneJob();
    void jobsInARow();
    void emptyJob();
    void printerUnreachable_data();
    void printerUnreachable();
    void overlappingConnections();
    void schedulerRestart();

    void schedulerAwayForAWhile();
    void schedulerAtItsJobLimit();
    void hungSchedulerHoldsNoOtherPrinter();
    void crashLosesNoCompleteJob();
    void jobLeftInTheSpoolFolder_data();
    void jobLeftInTheSpoolFolder();

private:
    QJsonObject printer(const QString &localname, bool storeJobs, int retrytime = 0) const;
    // quillport with the given printers, printing to the private scheduler.
    bool startService(const QList<QJsonObject> &printers);
    bool startService(const QString &localname, bool storeJobs, int retrytime = 0)
    {
        return startService({ printer(localname, storeJobs, retrytime) });
    }
    QStringList printLines() const { return child->logLines().filter(QRegularExpression(QStringLiteral("^Print  "))); }
    int storedCount() const { return child->logLines().filter(StoredLine).size(); }
    static QString storedFile(const QString &line);
    // The complete jobs in the spool folder.
    int spooledJobs() const { return child->spoolFiles().filter(QRegularExpression(QStringLiteral("\\.job$"))).size(); }

    PrivateCups cups;
    int queues = 0;
    QString queue;
    QString cupsServer;
    std::unique_ptr<QuillportChild> child;
    quint16 port = 0;
};

QString tst_EndToEnd::storedFile(const QString &line)
{
    const QRegularExpressionMatch match = StoredLine.match(line);
    return match.hasMatch() ? match.captured(1) + QStringLiteral(".prn") : QString();
}

void tst_EndToEnd::initTestCase()
{
    if (!PrivateCups::isInstalled())
        QSKIP("cupsd is not installed: the print path ends in a CUPS scheduler");
    QVERIFY2(QFileInfo(Program).isExecutable(), qPrintable(Program));
    QVERIFY2(cups.start(), qPrintable(cups.errorString()));
}

void tst_EndToEnd::init()
{
    // A queue and a data folder of its own for every test.
    queue = QStringLiteral("e2e%1").arg(++queues);
    QVERIFY2(cups.addQueue(queue), qPrintable(cups.errorString()));
    cupsServer = cups.serverName();
    child = std::make_unique<QuillportChild>(Program);
}

void tst_EndToEnd::cleanup()
{
    if (QTest::currentTestFailed() && child)
        qWarning().noquote() << "quillport's output:\n" << child->output();
    child.reset();
    if (!cups.isRunning())
        QVERIFY2(cups.restart(), qPrintable(cups.errorString()));
}

QJsonObject tst_EndToEnd::printer(const QString &localname, bool storeJobs, int retrytime) const
{
    return { { QStringLiteral("localname"), localname },
             { QStringLiteral("active"), true },
             { QStringLiteral("port"), int(freePort()) },
             { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
             { QStringLiteral("storejobs"), storeJobs },
             { QStringLiteral("jobspath"), QStringLiteral("jobs") },
             { QStringLiteral("retrytime"), retrytime } };
}

bool tst_EndToEnd::startService(const QList<QJsonObject> &printers)
{
    port = quint16(printers.first().value(QStringLiteral("port")).toInt());
    child->setEnvironment(QStringLiteral("CUPS_SERVER"), cupsServer);
    if (child->writePrinters(printers) && child->start(Timeout))
        return true;
    qWarning().noquote() << child->errorString;
    return false;
}

void tst_EndToEnd::oneJob_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("storeJobs");

    QTest::newRow("1 byte, stored") << 1 << true;
    QTest::newRow("100 KB, stored") << 100 * 1024 << true;
    QTest::newRow("20 MB, stored") << 20 * 1024 * 1024 << true;
    QTest::newRow("1 byte, not stored") << 1 << false;
    QTest::newRow("20 MB, not stored") << 20 * 1024 * 1024 << false;
}

void tst_EndToEnd::oneJob()
{
    QFETCH(int, size);
    QFETCH(bool, storeJobs);

    QVERIFY(startService(queue, storeJobs));
    const QByteArray payload = randomBytes(size, quint32(size));
    QVERIFY_SENT(port, payload);

    QVERIFY(cups.waitForJobs(queue, 1, Timeout));
    QVERIFY(child->waitForLine(Completed, Timeout));
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));

    const QList<QByteArray> documents = cups.documents(queue);
    QCOMPARE(documents.size(), 1);
    QVERIFY_SAME_BYTES(documents.first(), payload);
    // Nothing of a delivered job stays in the spool folder.
    QCOMPARE(child->spoolFiles(), QStringList());

    const QStringList lines = printLines();
    if (!storeJobs) {
        QCOMPARE(lines, QStringList{ Completed });
        QCOMPARE(child->jobFiles(), QStringList());
        return;
    }
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), Completed);
    const QString name = storedFile(lines.at(1));
    QVERIFY2(!name.isEmpty(), qPrintable(lines.at(1)));
    QCOMPARE(child->jobFiles(), QStringList{ name });
    QVERIFY_SAME_BYTES(child->jobFile(name), payload);
}

void tst_EndToEnd::jobsInARow()
{
    QVERIFY(startService(queue, true));
    const QList<QByteArray> payloads{ randomBytes(5000, 11), randomBytes(7000, 12), randomBytes(3, 13) };
    for (const QByteArray &payload : payloads)
        QVERIFY_SENT(port, payload);
    QVERIFY(cups.waitForJobs(queue, payloads.size(), Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), payloads.size(), Timeout);
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));

    // Printed in the order the clients finished, each its own document.
    QCOMPARE(cups.documents(queue), payloads);
    const QStringList lines = printLines();
    QCOMPARE(lines.size(), 2 * payloads.size());
    QStringList names;
    for (int i = 0; i < payloads.size(); ++i) {
        QCOMPARE(lines.at(2 * i), Completed);
        names.append(storedFile(lines.at(2 * i + 1)));
        QCOMPARE(child->jobFile(names.last()), payloads.at(i));
    }
    names.sort();
    QCOMPARE(child->jobFiles(), names);
    const QList<PrivateCups::Job> jobs = cups.jobs(queue);
    QCOMPARE(jobs.size(), payloads.size());
    QCOMPARE(jobs.first().name, QStringLiteral("Quillport"));
}

void tst_EndToEnd::emptyJob()
{
    QVERIFY(startService(queue, true, 300));
    QVERIFY_SENT(port, QByteArray());
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), 1, Timeout);
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));

    // An empty connection is no document: the job is reported as failed at
    // once, without a retry, and neither prints nor queues. It is still
    // stored, empty.
    const QStringList lines = printLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), Failed);
    const QString name = storedFile(lines.at(1));
    QCOMPARE(child->jobFiles(), QStringList{ name });
    QCOMPARE(child->jobFile(name), QByteArray());
    bool ok = false;
    QCOMPARE(cups.jobs(queue, &ok).size(), 0);
    QVERIFY(ok);
}

void tst_EndToEnd::printerUnreachable_data()
{
    QTest::addColumn<bool>("knownQueue");
    QTest::addColumn<bool>("schedulerThere");
    QTest::addColumn<int>("retrytime");
    QTest::addColumn<QString>("reason");

    // A refusal that a retry cannot mend is final at once, whatever the
    // retry time; an absent scheduler with no retry time is tried once.
    // Either way the reason comes first: the scheduler's status text, or
    // why it could not be reached.
    QTest::newRow("queue that CUPS does not know") << false << true << 300 << "The printer or class does not exist.";
    QTest::newRow("no scheduler, retrytime 0") << true << false << 0 << "no connection to the scheduler at ";
}

void tst_EndToEnd::printerUnreachable()
{
    QFETCH(bool, knownQueue);
    QFETCH(bool, schedulerThere);
    QFETCH(int, retrytime);
    QFETCH(QString, reason);

    bool ok = false;
    const int jobsBefore = cups.jobs(QString(), &ok).size();
    QVERIFY(ok);

    if (!schedulerThere)
        cupsServer = child->dataFolder() + QStringLiteral("missing.sock");
    QVERIFY(startService(knownQueue ? queue : QStringLiteral("nosuchqueue"), true, retrytime));
    const QByteArray payload = randomBytes(100 * 1024, 21);
    QVERIFY_SENT(port, payload);
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), 1, Timeout);
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));

    // The lines of a single attempt, nothing else.
    const QStringList lines = child->logLines().filter(QRegularExpression(QStringLiteral("^(Print|Error)  ")));
    QCOMPARE(lines.size(), 3);
    const QString because = QStringLiteral("Error  Print job from 127.0.0.1 to printer \"%1\" could not be delivered: ")
                                .arg(knownQueue ? queue : QStringLiteral("nosuchqueue"));
    QVERIFY2(lines.first().startsWith(because + reason), qPrintable(lines.first()));
    QCOMPARE(lines.at(1), Failed);
    const QString name = storedFile(lines.at(2));
    QCOMPARE(child->jobFiles(), QStringList{ name });
    QVERIFY_SAME_BYTES(child->jobFile(name), payload);

    // Nothing reached any queue; the job is kept only in its file.
    QCOMPARE(cups.jobs(QString(), &ok).size(), jobsBefore);
    QVERIFY(ok);
}

void tst_EndToEnd::overlappingConnections()
{
    QJsonObject settings = printer(queue, true);
    settings.insert(QStringLiteral("log"), QStringLiteral("d"));
    QVERIFY(startService({ settings }));

    const int clients = 20;
    QList<QByteArray> payloads;
    ClientPool pool(port);
    for (int i = 0; i < clients; ++i) {
        payloads.append(randomBytes(1000 + int(QRandomGenerator(quint32(100 + i)).bounded(200 * 1024)),
                                    quint32(100 + i)));
        pool.add(payloads.last(), Ending::Finish, nullptr, payloads.last().size() / 2);
    }
    // The Debug line of every accepted connection shows when the service
    // holds all of them at once, each half-way through its job.
    QVERIFY(pool.stepUntil([&] { return child->countLines(QStringLiteral("Debug  Local address: *")) == clients; },
                           QDeadlineTimer(Timeout)));
    QCOMPARE(printLines(), QStringList());
    for (auto &connection : pool.connections())
        connection->release();
    QVERIFY(pool.runUntilDone(QDeadlineTimer(Timeout)));
    for (auto &connection : pool.connections())
        QVERIFY2(connection->completed(), qPrintable(connection->error));

    QVERIFY(cups.waitForJobs(queue, clients, Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), clients, Timeout);
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
    QCOMPARE(child->countLines(Completed), clients);

    // Every document and every stored file is exactly one of the payloads,
    // and every payload arrived once: the sorted lists are equal.
    QList<QByteArray> expected = payloads;
    std::sort(expected.begin(), expected.end());
    QList<QByteArray> documents = cups.documents(queue);
    std::sort(documents.begin(), documents.end());
    QVERIFY(documents == expected);
    QList<QByteArray> stored;
    for (const QString &file : child->jobFiles())
        stored.append(child->jobFile(file));
    std::sort(stored.begin(), stored.end());
    QVERIFY(stored == expected);
}

void tst_EndToEnd::schedulerRestart()
{
    // Each delivery has a connection of its own to the scheduler; a restart
    // between two jobs costs nothing.
    QVERIFY(startService(queue, false));
    const QList<QByteArray> payloads{ randomBytes(3000, 31), randomBytes(4000, 32) };
    for (int i = 0; i < payloads.size(); ++i) {
        if (i == 1) {
            // Completed first, so that the restarted scheduler does not print it again.
            QTRY_VERIFY_WITH_TIMEOUT(cups.jobs(queue).value(0).state == PrivateCups::Job::Completed, Timeout);
            QVERIFY2(cups.restart(), qPrintable(cups.errorString()));
        }
        QVERIFY_SENT(port, payloads.at(i));
        QTRY_COMPARE_WITH_TIMEOUT(printLines().size(), i + 1, Timeout);
    }
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));

    QCOMPARE(printLines(), (QStringList{ Completed, Completed }));
    QVERIFY(cups.waitForJobs(queue, 2, Timeout));
    QCOMPARE(cups.documents(queue), payloads);
}

// A scheduler at its limit of active jobs refuses more for the moment
// ("not possible"): the job waits like one for an absent scheduler and
// prints once there is room, within the retry time.
void tst_EndToEnd::schedulerAtItsJobLimit()
{
    PrivateCups limited;
    limited.setExtraConfig("MaxJobs 2\n");
    QVERIFY2(limited.start() && limited.addQueue(queue), qPrintable(limited.errorString()));
    // A stopped queue keeps what it takes pending: two jobs fill it.
    QVERIFY2(limited.setEnabled(queue, false), qPrintable(limited.errorString()));
    cupsServer = limited.serverName();
    QVERIFY(startService(queue, false, 60));

    const QList<QByteArray> jobs{ randomBytes(1000, 31), randomBytes(2000, 32), randomBytes(3000, 33) };
    for (const QByteArray &job : jobs)
        QVERIFY_SENT(port, job);
    QVERIFY(child->waitForLine(QStringLiteral("Error  Print job from 127.0.0.1 waits for printer \"%1\": Too many "
                                              "active jobs.; next attempt in *")
                                   .arg(queue),
                               Timeout));
    QVERIFY2(limited.setEnabled(queue, true), qPrintable(limited.errorString()));
    QVERIFY(limited.waitForJobs(queue, 3, Timeout));
    QCOMPARE(limited.documents(queue), jobs);
    QTRY_COMPARE_WITH_TIMEOUT(printLines(), (QStringList{ Completed, Completed, Completed }), Timeout);
}

// The scheduler goes away for a while (an upgrade restarting it): the jobs
// wait, are tried again, and each prints once, in order.
void tst_EndToEnd::schedulerAwayForAWhile()
{
    QVERIFY(startService(queue, false, 300));
    cups.stop();
    const QList<QByteArray> payloads{ randomBytes(2000, 41), randomBytes(3000, 42), randomBytes(4000, 43) };
    for (const QByteArray &payload : payloads)
        QVERIFY_SENT(port, payload); // the client's part is over at once
    QVERIFY(child->waitForLine(Deferred, Timeout, 2));
    QCOMPARE(printLines(), QStringList());
    QCOMPARE(spooledJobs(), payloads.size());

    QVERIFY2(cups.restart(), qPrintable(cups.errorString()));
    QVERIFY(child->waitForLine(Completed, Timeout, payloads.size()));
    QVERIFY(cups.waitForJobs(queue, payloads.size(), Timeout));
    QCOMPARE(cups.documents(queue), payloads);
    QCOMPARE(child->spoolFiles(), QStringList());
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
    QCOMPARE(printLines(), QVector<QString>(payloads.size(), Completed).toList());
}

// A scheduler that hangs holds the printer whose job it has, and no other;
// a stop does not wait for it, and the jobs are printed after the next start.
void tst_EndToEnd::hungSchedulerHoldsNoOtherPrinter()
{
    const QString other = queue + QStringLiteral("b");
    QVERIFY2(cups.addQueue(other), qPrintable(cups.errorString()));
    const QJsonObject first = printer(queue, false, 300);
    const QJsonObject second = printer(other, false, 300);
    const quint16 secondPort = quint16(second.value(QStringLiteral("port")).toInt());
    QVERIFY(startService({ first, second }));

    QVERIFY(cups.freeze(true));
    auto thaw = qScopeGuard([this] { cups.freeze(false); });
    const QByteArray stuck = randomBytes(300 * 1024, 51);
    const QByteArray waiting = randomBytes(4096, 52);
    QVERIFY_SENT(port, stuck);
    // The second printer's client is done as soon as it has sent its job.
    QString why;
    QVERIFY2(sendJob(secondPort, waiting, 1000, &why), qPrintable(why));
    QCOMPARE(spooledJobs(), 2);

    QVERIFY2(child->stop(StopBound), qPrintable(child->errorString));
    QCOMPARE(spooledJobs(), 2);
    QCOMPARE(printLines(), QStringList());

    thaw.dismiss();
    QVERIFY(cups.freeze(false));
    QVERIFY(child->start(Timeout));
    QVERIFY(child->waitForLine(QStringLiteral("Info   Found 2 complete print job(s) in the spool folder"), Timeout));
    QVERIFY(child->waitForLine(Completed, Timeout, 2));
    QVERIFY(cups.waitForJobs(queue, 1, Timeout) && cups.waitForJobs(other, 1, Timeout));
    QCOMPARE(cups.documents(queue), QList<QByteArray>{ stuck });
    QCOMPARE(cups.documents(other), QList<QByteArray>{ waiting });
    QCOMPARE(child->spoolFiles(), QStringList());
}

// A crash (SIGKILL) loses nothing that was complete; a job whose client had
// not finished is removed at the next start, not printed.
void tst_EndToEnd::crashLosesNoCompleteJob()
{
    QVERIFY(startService(queue, true, 300));
    QVERIFY(cups.setAccepting(queue, false));
    const QList<QByteArray> payloads{ randomBytes(6000, 61), randomBytes(7000, 62) };
    for (const QByteArray &payload : payloads)
        QVERIFY_SENT(port, payload);
    // Past what the spool folder holds in memory until a job is whole, so
    // that its part is on disk when the crash comes.
    ClientPool pool(port);
    ClientConnection *unfinished = pool.add(randomBytes(200000, 63), Ending::Finish, nullptr, 100000);
    QVERIFY(pool.stepUntil([&] { return unfinished->isHeld(); }, QDeadlineTimer(Timeout)));
    QVERIFY(child->waitForLine(Deferred, Timeout));
    QTRY_VERIFY_WITH_TIMEOUT(child->spoolFiles().filter(QRegularExpression(QStringLiteral("\\.part$"))).size() == 1,
                             Timeout);

    child->kill();
    QVERIFY(cups.setAccepting(queue, true));
    QVERIFY(child->start(Timeout));
    QVERIFY(child->waitForLine(QStringLiteral("Info   Found 2 complete print job(s) in the spool folder"), Timeout));
    QVERIFY(child->waitForLine(QStringLiteral("Error  Removed incomplete print job {*"), Timeout));
    QVERIFY(child->waitForLine(Completed, Timeout, 2));
    QVERIFY(cups.waitForJobs(queue, 2, Timeout));
    QCOMPARE(cups.documents(queue), payloads);
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), 2, Timeout);
    QCOMPARE(child->jobFiles().size(), 2);
    QCOMPARE(child->spoolFiles(), QStringList());
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
}

void tst_EndToEnd::jobLeftInTheSpoolFolder_data()
{
    QTest::addColumn<bool>("describedBeside");
    QTest::newRow("an earlier version's job, its description in a file beside") << true;
    QTest::newRow("a job file that does not end with a description") << false;
}

// What a start finds in the spool folder besides its own jobs: those of an
// earlier version are printed and stored whole; a job file without its
// description cannot be, and is removed with a line.
void tst_EndToEnd::jobLeftInTheSpoolFolder()
{
    QFETCH(bool, describedBeside);
    const QJsonObject config = printer(queue, true);
    const QString id = QStringLiteral("{6d1f3c2a-8e4b-4f0a-9c7d-2b5e8a1f0c3d}");
    const QByteArray payload = randomBytes(5000, 71);
    auto write = [&](const QString &suffix, const QByteArray &content) {
        QFile file(child->spoolFolder() + QLatin1Char('/') + id + suffix);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };
    QVERIFY(QDir().mkpath(child->spoolFolder()));
    QVERIFY(write(QStringLiteral(".job"), payload));
    if (describedBeside)
        QVERIFY(write(QStringLiteral(".meta"), QStringLiteral("{\"printer\":\"%1\",\"port\":%2,\"peer\":\"127.0.0.1\","
                                                              "\"title\":\"Quillport\",\"completed\":1,\"sequence\":1}")
                                                   .arg(queue)
                                                   .arg(config.value(QStringLiteral("port")).toInt())
                                                   .toUtf8()));
    QVERIFY(startService({ config }));

    if (describedBeside) {
        QVERIFY(child->waitForLine(QStringLiteral("Info   Found 1 complete print job(s) in the spool folder"), Timeout));
        QVERIFY(child->waitForLine(Completed, Timeout));
        QVERIFY(cups.waitForJobs(queue, 1, Timeout));
        QCOMPARE(cups.documents(queue), QList<QByteArray>{ payload });
        QTRY_COMPARE_WITH_TIMEOUT(storedCount(), 1, Timeout);
        QVERIFY_SAME_BYTES(child->jobFile(id + QStringLiteral(".prn")), payload);
    } else {
        QVERIFY(child->waitForLine(QStringLiteral("Error  Removed incomplete print job %1 (5000 bytes) from the spool folder").arg(id),
                                   Timeout));
        QCOMPARE(child->jobFiles(), QStringList());
    }
    QCOMPARE(child->spoolFiles(), QStringList());
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
