// The job store on its own, without sockets: a process that dies at each
// step of a commit or of storing leaves what the next start sorts out into
// exactly the complete jobs, none twice and none torn; a full disk or a
// file-size limit at each step leaves no file under a final name and says
// why in the system's words; a start leaves alone what is not a job file of
// the service's own.
#include "filesizelimit.h"
#include "logcapture.h"
#include "logger.h"
#include "memorystore.h"
#include "netclient.h"
#include "printjob.h"
#include "spoolstore.h"

#include <QDir>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The step the forked process dies at.
JobStore::Step crashStep = JobStore::Step::Written;
const int Crashed = 42;
const int Finished = 43;

void crashAt(JobStore::Step step)
{
    if (step == crashStep)
        ::_exit(Crashed);
}

QByteArray bytesOf(JobStore &store, const PrintJob &job)
{
    QString error;
    const std::unique_ptr<QIODevice> device = store.open(job, &error);
    return device ? device->read(job.size) : QByteArray("<" + error.toUtf8() + ">");
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

} // namespace

class tst_JobStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void crashAtEachStep_data();
    void crashAtEachStep();
    void fullDiskAtEachStep_data();
    void fullDiskAtEachStep();
    void memoryIsBounded();
    void descriptionSurvivesAStart();
    void recoveryLeavesForeignFilesAlone_data();
    void recoveryLeavesForeignFilesAlone();

private:
    // A job from 127.0.0.1 with `bytes`, committed; false when it was not.
    bool commit(JobStore &store, const QByteArray &bytes, PrintJob &job);
    QString otherFileSystem();

    LogCapture capture;
    Logger logger;
    std::unique_ptr<QTemporaryDir> data;
    std::unique_ptr<QTemporaryDir> elsewhere;
    std::unique_ptr<MemoryStore> memory;
    std::unique_ptr<SpoolStore> spool;
    QString jobs;
};

void tst_JobStore::initTestCase()
{
    capture.install();
}

void tst_JobStore::init()
{
    capture.clear();
    data = std::make_unique<QTemporaryDir>();
    QVERIFY(data->isValid());
    memory = std::make_unique<MemoryStore>(&logger);
    spool = std::make_unique<SpoolStore>(data->path() + QLatin1Char('/'), &logger, memory.get());
    QVERIFY(spool->prepare());
    jobs = data->filePath(QStringLiteral("jobs"));
    QVERIFY(QDir().mkpath(jobs));
}

bool tst_JobStore::commit(JobStore &store, const QByteArray &bytes, PrintJob &job)
{
    job.printer = QStringLiteral("lobby");
    job.peer = QStringLiteral("127.0.0.1");
    const std::unique_ptr<IncomingJob> incoming = store.create(job.peer);
    // In pieces, as a connection hands them over.
    for (int at = 0; at < bytes.size(); at += 10000) {
        if (!incoming->append(bytes.constData() + at, qMin(10000, bytes.size() - at)))
            return false;
    }
    return incoming->commit(job);
}

QString tst_JobStore::otherFileSystem()
{
    elsewhere = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/tst_jobstore-XXXXXX"));
    if (!elsewhere->isValid() || QStorageInfo(elsewhere->path()).device() == QStorageInfo(jobs).device())
        return QString();
    return elsewhere->path();
}

void tst_JobStore::crashAtEachStep_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("archived");
    QTest::addColumn<bool>("acrossFileSystems");
    // What the next start has: the job waiting in the spool folder, the job
    // stored, or nothing (its client was never acknowledged).
    QTest::addColumn<QString>("result");

    // Large enough for a copy of more than one piece; a small job is written
    // once, whole, under its final name.
    const int large = 3 * 1024 * 1024 + 7;
    const int small = 4096;
    using Step = JobStore::Step;
    QTest::newRow("before the description") << int(Step::Written) << large << false << false << "nothing";
    QTest::newRow("before the rename") << int(Step::Described) << large << false << false << "nothing";
    QTest::newRow("committed") << -1 << large << false << false << "waiting";
    QTest::newRow("small: before it is written") << int(Step::Written) << small << false << false << "nothing";
    QTest::newRow("small: written, not acknowledged") << int(Step::Described) << small << false << false << "waiting";
    QTest::newRow("storing: moved out of the spool folder") << int(Step::MovedOut) << large << true << false << "stored";
    QTest::newRow("storing: description cut off") << int(Step::Cut) << large << true << false << "stored";
    QTest::newRow("storing: copy half-way") << int(Step::Copying) << large << true << true << "waiting";
    QTest::newRow("stored") << -1 << large << true << false << "stored";
    QTest::newRow("stored by a copy") << -1 << large << true << true << "stored";
}

// A process that dies with SIGKILL at a step is a process that ends there
// without another system call: the store's step hook ends a forked child.
void tst_JobStore::crashAtEachStep()
{
    QFETCH(int, step);
    QFETCH(int, size);
    QFETCH(bool, archived);
    QFETCH(bool, acrossFileSystems);
    QFETCH(QString, result);
    const QString folder = acrossFileSystems ? otherFileSystem() : jobs;
    if (folder.isEmpty())
        QSKIP("No second file system (/dev/shm) here");
    const QByteArray bytes = randomBytes(size, quint64(step + 10));

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        crashStep = JobStore::Step(step);
        JobStore::stepTaken = step >= 0 ? crashAt : nullptr;
        PrintJob job;
        const bool done = commit(*spool, bytes, job) && (!archived || spool->archive(job, folder));
        ::_exit(done ? Finished : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), step >= 0 ? Crashed : Finished);

    // The next start.
    SpoolStore next(data->path() + QLatin1Char('/'), &logger, memory.get());
    next.recoverStoring(folder);
    const QList<PrintJob> waiting = next.recover();
    QStringList stored = filesIn(folder);
    QCOMPARE(waiting.size(), result == QLatin1String("waiting") ? 1 : 0);
    QCOMPARE(stored.size(), result == QLatin1String("stored") ? 1 : 0);
    if (!waiting.isEmpty())
        QVERIFY(bytesOf(next, waiting.first()) == bytes);
    if (!stored.isEmpty()) {
        QVERIFY2(stored.first().endsWith(QLatin1String(".prn")), qPrintable(stored.first()));
        QFile file(folder + QLatin1Char('/') + stored.first());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == bytes);
    }
    // Nothing else is left behind.
    QCOMPARE(filesIn(next.folder()).size(), waiting.size());
}

void tst_JobStore::fullDiskAtEachStep_data()
{
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QStringList>("lines");

    const QString notKept = QStringLiteral("Error  Print job from 127.0.0.1 is not kept on disk: File too large");
    const QString notStored = QStringLiteral("Error  Print job from 127.0.0.1 could not be stored in %1: File too large");
    // The job has 64 KiB; its description follows it in the spool file.
    QTest::newRow("in the bytes") << qint64(4096) << false << QStringList{ notKept, notStored };
    QTest::newRow("in the description") << qint64(64 * 1024 + 10) << true << QStringList{ notKept };
}

// A file-size limit stands for a full disk here (a tmpfs full to the byte
// would need a mount): the write fails with the system's reason. The job
// goes on in memory, and storing it from there fails the same way or not
// at all.
void tst_JobStore::fullDiskAtEachStep()
{
    QFETCH(qint64, limit);
    QFETCH(bool, stored);
    QFETCH(QStringList, lines);
    const QByteArray bytes = randomBytes(64 * 1024, 3);

    FileSizeLimit fileSizeLimit{ rlim_t(limit) };
    QVERIFY(fileSizeLimit.active);
    PrintJob job;
    QVERIFY(commit(*spool, bytes, job));
    QCOMPARE(job.store, static_cast<JobStore *>(memory.get()));
    QVERIFY(bytesOf(*job.store, job) == bytes);
    QCOMPARE(job.store->archive(job, jobs), stored);

    const QStringList errors = capture.starting(QStringLiteral("Error  "));
    QCOMPARE(errors.mid(0, 1), lines.mid(0, 1));
    if (lines.size() > 1)
        QCOMPARE(errors.at(1), lines.at(1).arg(jobs));
    // Never a file under a job's final name that is not the whole job.
    const QStringList files = filesIn(jobs);
    QCOMPARE(files.size(), stored ? 1 : 0);
    if (stored) {
        QFile file(jobs + QLatin1Char('/') + files.first());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == bytes);
    }
    QCOMPARE(filesIn(spool->folder()), QStringList());
    QCOMPARE(memory->held(), 0);
}

// What all jobs in memory hold together is bounded: one that would pass the
// bound is dropped with a line, and what a delivered job held is free again.
void tst_JobStore::memoryIsBounded()
{
    const qint64 capacity = MemoryStore::capacity;
    MemoryStore::capacity = 100000;
    const auto restore = qScopeGuard([capacity] { MemoryStore::capacity = capacity; });

    PrintJob first;
    QVERIFY(commit(*memory, randomBytes(60000, 1), first));
    PrintJob second;
    QVERIFY(!commit(*memory, randomBytes(60000, 2), second));
    QCOMPARE(capture.lines(), QStringList{ QStringLiteral("Error  Print job from 127.0.0.1 dropped: the jobs held in "
                                                          "memory would pass 100000 bytes") });
    QCOMPARE(memory->held(), 60000);
    memory->remove(first);
    QCOMPARE(memory->held(), 0);
    QVERIFY(commit(*memory, randomBytes(60000, 3), second));
}

// What a job's description holds comes back whole at the next start, also
// what a client may put in it: quotes, backslashes, control characters,
// text beyond ASCII.
void tst_JobStore::descriptionSurvivesAStart()
{
    PrintJob job;
    job.title = QStringLiteral("report \"final\" \\ v2\t\x01 B\u00fcro \u202e");
    job.port = 9100;
    job.attributes = { { QStringLiteral("user"), QStringLiteral("m\u00e4x\n\"quoted\""), true },
                       { QStringLiteral("host"), QString(), false } };
    QVERIFY(commit(*spool, "bytes", job));
    SpoolStore next(data->path() + QLatin1Char('/'), &logger, memory.get());
    const QList<PrintJob> jobs = next.recover();
    QCOMPARE(jobs.size(), 1);
    const PrintJob &found = jobs.first();
    QCOMPARE(found.id, job.id);
    QCOMPARE(found.printer, job.printer);
    QCOMPARE(found.port, job.port);
    QCOMPARE(found.peer, job.peer);
    QCOMPARE(found.title, job.title);
    QCOMPARE(found.completed, job.completed);
    QCOMPARE(found.sequence, job.sequence);
    QCOMPARE(found.attributes.size(), 2);
    QCOMPARE(found.attributes.at(0).value, job.attributes.at(0).value);
    QCOMPARE(found.details(), job.details());
    QCOMPARE(bytesOf(next, found), QByteArray("bytes"));
}

void tst_JobStore::recoveryLeavesForeignFilesAlone_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");

    QTest::newRow("symbolic link to a job") << "link" << "it is a symbolic link";
    QTest::newRow("FIFO") << "fifo" << "it is not a regular file";
    QTest::newRow("another user's job") << "owner" << "it belongs to another user";
}

// A file in the spool folder that the service did not make itself is never
// printed, stored, moved or cut: a link's target would otherwise be
// delivered to a stranger and truncated.
void tst_JobStore::recoveryLeavesForeignFilesAlone()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    if (kind == QLatin1String("owner") && ::geteuid() != 0)
        QSKIP("Giving a file to another user needs root");

    // A real job, whose file is then taken out of the spool folder.
    const QByteArray bytes = "someone else's document";
    PrintJob job;
    QVERIFY(commit(*spool, bytes, job));
    const QString name = job.id + QStringLiteral(".job");
    const QString planted = spool->folder() + QLatin1Char('/') + name;
    const QString outside = data->filePath(QStringLiteral("outside"));
    QVERIFY(QFile::rename(planted, outside));
    const QByteArray before = [&] {
        QFile file(outside);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    if (kind == QLatin1String("link")) {
        QVERIFY(QFile::link(outside, planted));
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(planted).constData(), 0600), 0);
    } else {
        QVERIFY(QFile::rename(outside, planted));
        QCOMPARE(::chown(QFile::encodeName(planted).constData(), 65534, 65534), 0);
    }
    capture.clear();

    SpoolStore next(data->path() + QLatin1Char('/'), &logger, memory.get());
    QCOMPARE(next.recover().size(), 0);
    QCOMPARE(capture.lines(), QStringList{ QStringLiteral("Error  Skipped %1 in the spool folder: %2").arg(name, reason) });
    QVERIFY(QFileInfo::exists(planted) || QFileInfo(planted).isSymLink());
    if (kind == QLatin1String("link")) {
        QFile file(outside);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == before);
    }
}

QTEST_GUILESS_MAIN(tst_JobStore)
#include "tst_jobstore.moc"
