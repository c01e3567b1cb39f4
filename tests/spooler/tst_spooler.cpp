// Raw jobs handed to a real CUPS scheduler, a private one started by the
// test, whose queues keep every job they print as a file.
#include "privatecups.h"
#include "spooler.h"

#include <QRandomGenerator>
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
    void noServer_data();
    void noServer();

private:
    static QByteArray randomBytes(int size, quint32 seed);
    static int send(const QString &printer, const QByteArray &data);

    PrivateCups cups;
    QString queue;
    int queues = 0;
};

QByteArray tst_Spooler::randomBytes(int size, quint32 seed)
{
    QVector<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

int tst_Spooler::send(const QString &printer, const QByteArray &data)
{
    return sendRawToPrinter(reinterpret_cast<const char16_t *>(printer.utf16()), data.constData(),
                            quint32(data.size()));
}

void tst_Spooler::initTestCase()
{
    if (!PrivateCups::isInstalled())
        QSKIP("cupsd is not installed: the spooler needs a CUPS scheduler to talk to");
    QVERIFY2(cups.start(), qPrintable(cups.errorString()));
    // Read by libcups on this thread's first call, on every later call the
    // same: all jobs go to the private scheduler.
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

    QCOMPARE(send(QStringLiteral("nosuchqueue"), QByteArrayLiteral("a job for nobody")), 0);

    // No job was made anywhere on the server, pending or otherwise.
    const QList<PrivateCups::Job> after = cups.jobs(QString(), &ok);
    QVERIFY(ok);
    QCOMPARE(after.size(), before.size());
}

void tst_Spooler::wholeJob()
{
    const QByteArray data = randomBytes(20 * 1024 * 1024, 1);
    QCOMPARE(send(queue, data), 1);

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
    QCOMPARE(jobs.first().name, QStringLiteral("Quillport"));
    QCOMPARE(jobs.first().documentName, QStringLiteral("Quillport"));
}

void tst_Spooler::jobsInARow()
{
    const QByteArray first = randomBytes(100 * 1024, 2);
    const QByteArray second = randomBytes(3, 3);
    QCOMPARE(send(queue, first), 1);
    QCOMPARE(send(queue, second), 1);

    QVERIFY(cups.waitForJobs(queue, 2, 30000));
    QCOMPARE(cups.documents(queue), (QList<QByteArray>{ first, second }));
    const QList<PrivateCups::Job> jobs = cups.jobs(queue);
    QCOMPARE(jobs.size(), 2);
    QVERIFY(jobs.at(0).id != jobs.at(1).id);
}

void tst_Spooler::emptyJob()
{
    // CUPS refuses a document without data, so the job it had created for it
    // must not stay behind waiting for one.
    QCOMPARE(send(queue, QByteArray()), 0);

    bool ok = false;
    const QList<PrivateCups::Job> jobs = cups.jobs(queue, &ok);
    QVERIFY(ok);
    QCOMPARE(jobs.size(), 1);
    QVERIFY2(!jobs.first().isPending(), qPrintable(QStringLiteral("job state %1").arg(jobs.first().state)));
    QVERIFY(cups.pendingJobs(QString(), &ok).isEmpty());
    QVERIFY(ok);
    // Ended without printing: no backend runs for it any more.
    QVERIFY(jobs.first().state != PrivateCups::Job::Completed);
    QCOMPARE(cups.jobFiles(queue), QStringList());
}

void tst_Spooler::noServer_data()
{
    QTest::addColumn<QString>("server");

    QTest::newRow("missing socket") << cups.folder() + QStringLiteral("/missing.sock");
    // Found free once; nothing listens there.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    QTest::newRow("closed port") << QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
}

void tst_Spooler::noServer()
{
    QFETCH(QString, server);

    // libcups reads CUPS_SERVER once per thread, so the job goes out from a
    // new thread. It is detached so that a hanging call fails the bounded
    // wait below rather than blocking the test.
    const QByteArray previous = qgetenv("CUPS_SERVER");
    const auto restore = qScopeGuard([&previous] { qputenv("CUPS_SERVER", previous); });
    qputenv("CUPS_SERVER", QFile::encodeName(server));
    auto result = std::make_shared<std::atomic<int>>(-1);
    const QString printer = queue;
    std::thread([result, printer] { result->store(send(printer, QByteArrayLiteral("job"))); }).detach();
    QTRY_VERIFY_WITH_TIMEOUT(result->load() != -1, 10000);

    QCOMPARE(result->load(), 0);
}

QTEST_GUILESS_MAIN(tst_Spooler)
#include "tst_spooler.moc"
