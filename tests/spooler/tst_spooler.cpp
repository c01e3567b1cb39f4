// Raw jobs handed to a real CUPS scheduler, a private one started by the
// test, whose queues keep every job they print as a file.
#include "netclient.h"
#include "privatecups.h"
#include "spooleroutput.h"

#include <QBuffer>
#include <QScopeGuard>
#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

class tst_Spooler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void unknownPrinter();
    void wholeJob();
    void jobsInARow();
    void emptyJob();
    void notThereRightNow_data();
    void notThereRightNow();
    void hungSchedulerGivesWayToAStop();

private:
    // Delivers on a thread of its own, as the service does: libcups keeps
    // its state per thread.
    static Output::Result send(const QString &printer, const QByteArray &data,
                               const QString &title = QStringLiteral("Quillport"),
                               std::atomic<bool> *stopping = nullptr);

    PrivateCups cups;
    QString queue;
    int queues = 0;
};

Output::Result tst_Spooler::send(const QString &printer, const QByteArray &data, const QString &title,
                                 std::atomic<bool> *stopping)
{
    std::atomic<bool> notStopping{ false };
    Output::Result result{ Output::Failed, QStringLiteral("not run") };
    std::thread([&] {
        QByteArray bytes = data;
        QBuffer document(&bytes);
        document.open(QIODevice::ReadOnly);
        result = SpoolerOutput(printer).deliver(document, bytes.size(), title, stopping ? *stopping : notStopping);
    }).join();
    return result;
}

void tst_Spooler::initTestCase()
{
    if (!PrivateCups::isInstalled())
        QSKIP("cupsd is not installed: the spooler needs a CUPS scheduler to talk to");
    QVERIFY2(cups.start(), qPrintable(cups.errorString()));
    qputenv("CUPS_SERVER", QFile::encodeName(cups.serverName()));
}

void tst_Spooler::init()
{
    // A queue of its own for every test, so that job files never mix.
    queue = QStringLiteral("spool%1").arg(++queues);
    QVERIFY2(cups.addQueue(queue), qPrintable(cups.errorString()));
}

void tst_Spooler::unknownPrinter()
{
    bool ok = false;
    const QList<PrivateCups::Job> before = cups.jobs(QString(), &ok);
    QVERIFY(ok);

    // Trying again would not help: no retry.
    QCOMPARE(send(QStringLiteral("nosuchqueue"), QByteArrayLiteral("a job for nobody")).outcome, Output::Failed);

    // No job was made anywhere on the server, pending or otherwise.
    const QList<PrivateCups::Job> after = cups.jobs(QString(), &ok);
    QVERIFY(ok);
    QCOMPARE(after.size(), before.size());
}

void tst_Spooler::wholeJob()
{
    const QByteArray data = randomBytes(20 * 1024 * 1024, 1);
    QCOMPARE(send(queue, data, QStringLiteral("report.txt")).outcome, Output::Delivered);

    QVERIFY(cups.waitForJobs(queue, 1, 30000));
    const QList<QByteArray> documents = cups.documents(queue);
    QCOMPARE(documents.size(), 1);
    QVERIFY2(documents.first() == data, qPrintable(QStringLiteral("%1 bytes printed, %2 sent")
                                                      .arg(documents.first().size())
                                                      .arg(data.size())));

    // The file is in place just before the job counts as completed.
    QList<PrivateCups::Job> jobs;
    QTRY_VERIFY_WITH_TIMEOUT(
        (jobs = cups.jobs(queue)).size() == 1 && jobs.first().state == PrivateCups::Job::Completed, 10000);
    QCOMPARE(jobs.first().name, QStringLiteral("report.txt"));
    QCOMPARE(jobs.first().documentName, QStringLiteral("report.txt"));
}

void tst_Spooler::jobsInARow()
{
    const QByteArray first = randomBytes(100 * 1024, 2);
    const QByteArray second = randomBytes(3, 3);
    QCOMPARE(send(queue, first).outcome, Output::Delivered);
    QCOMPARE(send(queue, second).outcome, Output::Delivered);

    QVERIFY(cups.waitForJobs(queue, 2, 30000));
    QCOMPARE(cups.documents(queue), (QList<QByteArray>{ first, second }));
    const QList<PrivateCups::Job> jobs = cups.jobs(queue);
    QCOMPARE(jobs.size(), 2);
    QVERIFY(jobs.at(0).id != jobs.at(1).id);
    QCOMPARE(jobs.at(0).name, QStringLiteral("Quillport"));
}

void tst_Spooler::emptyJob()
{
    // CUPS refuses a document without data, so the job it had created for it
    // must not stay behind waiting for one.
    QCOMPARE(send(queue, QByteArray()).outcome, Output::Failed);

    bool ok = false;
    const QList<PrivateCups::Job> jobs = cups.jobs(queue, &ok);
    QVERIFY(ok);
    QCOMPARE(jobs.size(), 1);
    QVERIFY2(!jobs.first().isPending(), qPrintable(QStringLiteral("job state %1").arg(jobs.first().state)));
    QVERIFY(cups.pendingJobs(QString(), &ok).isEmpty());
    QVERIFY(ok);
    QCOMPARE(cups.jobFiles(queue), QStringList());
}

void tst_Spooler::notThereRightNow_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("rejecting");

    QTest::newRow("missing socket") << cups.folder() + QStringLiteral("/missing.sock") << false;
    // Found free once; nothing listens there.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    QTest::newRow("closed port") << QStringLiteral("127.0.0.1:%1").arg(probe.serverPort()) << false;
    QTest::newRow("queue rejecting jobs") << QString() << true;
}

// What a retry can mend: no scheduler, or a queue that refuses jobs for now.
void tst_Spooler::notThereRightNow()
{
    QFETCH(QString, server);
    QFETCH(bool, rejecting);

    const QByteArray previous = qgetenv("CUPS_SERVER");
    const auto restore = qScopeGuard([&previous] { qputenv("CUPS_SERVER", previous); });
    if (!server.isEmpty())
        qputenv("CUPS_SERVER", QFile::encodeName(server));
    if (rejecting)
        QVERIFY2(cups.setAccepting(queue, false), qPrintable(cups.errorString()));

    const Output::Result result = send(queue, QByteArrayLiteral("job"));
    QCOMPARE(result.outcome, Output::Unavailable);
    QVERIFY(!result.reason.isEmpty());
    QCOMPARE(cups.jobFiles(queue), QStringList());
}

// A scheduler that hangs holds the delivery only until the service stops.
void tst_Spooler::hungSchedulerGivesWayToAStop()
{
    QVERIFY(cups.freeze(true));
    const auto thaw = qScopeGuard([this] { cups.freeze(false); });

    std::atomic<bool> stopping{ false };
    std::atomic<bool> done{ false };
    Output::Result result{ Output::Failed, QString() };
    std::thread delivery([&] {
        result = send(queue, randomBytes(64 * 1024, 4), QStringLiteral("Quillport"), &stopping);
        done = true;
    });
    QTest::qWait(1500);
    QVERIFY(!done);
    stopping = true;
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 5000);
    delivery.join();
    QCOMPARE(result.outcome, Output::Unavailable);
    QCOMPARE(result.reason, QStringLiteral("the service is stopping"));
}

QTEST_GUILESS_MAIN(tst_Spooler)
#include "tst_spooler.moc"
