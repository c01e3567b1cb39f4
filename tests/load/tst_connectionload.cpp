// The quillport program under many connections over loopback: hundreds of
// jobs at once, a flood of denied peers, clients that reset or abandon their
// connections among normal jobs, and a program killed again and again while
// jobs stream in. Nothing may be lost or mixed up, and the program's open
// descriptors must return to their number before the load.
#include "netclient.h"
#include "quillportchild.h"

#include <QCryptographicHash>
#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Program = QStringLiteral(QUILLPORT_PATH);
const QString Printer = QStringLiteral("Load");
// Bounds for waits that end in well under a second when all is well.
const int Timeout = 120000;

const QRegularExpression StoredLine(QStringLiteral(
    "^Print  Print job from (\\S*) stored successful with filename \"\\{[-0-9a-f]{36}\\}\"$"));
const QRegularExpression OutcomeLine(QStringLiteral("^Print  Print job from (\\S*) finished with error$"));
const QRegularExpression AbortedLine(QStringLiteral("^Error  Print job from 127\\.0\\.0\\.1 aborted after \\d+ bytes: "));

QJsonObject printer(quint16 port, const QString &subnets = QString())
{
    return QJsonObject{ { QStringLiteral("localname"), Printer },
                        { QStringLiteral("active"), true },
                        { QStringLiteral("port"), int(port) },
                        { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
                        { QStringLiteral("storejobs"), true },
                        { QStringLiteral("jobspath"), QStringLiteral("jobs") },
                        { QStringLiteral("subnets"), subnets },
                        { QStringLiteral("retrytime"), 0 } };
}

QString describe(const ClientConnection &connection)
{
    static const char *const names[] = { "pending", "closed by the server", "reset by the server",
                                         "ended by the client", "failed" };
    return QStringLiteral("%1 bytes, %2 acknowledged: %3 %4")
        .arg(connection.payload.size())
        .arg(connection.bytesAcknowledged)
        .arg(QLatin1String(names[int(connection.outcome)]), connection.error);
}

// Distinct payloads of random sizes in [minSize, maxSize].
QList<QByteArray> payloads(int count, int minSize, int maxSize, quint64 seed)
{
    QRandomGenerator sizes{ quint32(seed) };
    QList<QByteArray> list;
    for (int i = 0; i < count; ++i)
        list.append(randomBytes(sizes.bounded(minSize, maxSize + 1), seed * 100000 + quint64(i)));
    return list;
}

int countMatching(const QStringList &lines, const QRegularExpression &expression)
{
    return int(lines.filter(expression).size());
}

} // namespace

class tst_ConnectionLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void manyConnectionsAtOnce();
    void deniedFlood();
    void resetsAmongJobs();
    void acknowledgedJobsSurviveKills();
    void outOfDescriptors();

private:
    bool startChild(QuillportChild &child, const QJsonObject &settings);
    // Waits until the program holds `count` descriptors.
    bool waitForDescriptors(QuillportChild &child, int count, ClientPool *pool = nullptr);

    quint16 port = 0;
};

void tst_ConnectionLoad::initTestCase()
{
    QVERIFY2(QFileInfo(Program).isExecutable(), qPrintable(Program));
    // 500 connections at once take 500 descriptors here and as many in the
    // program, which inherits the limit.
    const long limit = raiseDescriptorLimit();
    QVERIFY2(limit >= 1200, qPrintable(QStringLiteral("descriptor limit %1").arg(limit)));
}

bool tst_ConnectionLoad::startChild(QuillportChild &child, const QJsonObject &settings)
{
    port = quint16(settings.value(QStringLiteral("port")).toInt());
    if (!child.writePrinters({ settings }) || !child.start(Timeout)) {
        qWarning().noquote() << child.errorString;
        return false;
    }
    // A first job from an address every printer here admits, delivered and
    // stored before the descriptors are counted: what the program opens
    // once (and, in a sanitized build, the sanitizer's own pipe) is open by
    // then. Its file goes, and its lines are rotated away (SIGHUP).
    ClientPool first(port);
    ClientConnection *job = first.add("first", Ending::Finish, "127.0.0.2");
    if (!first.runUntilDone(QDeadlineTimer(Timeout)) || !job->completed()
        || !child.waitForLine(QStringLiteral("Print  Print job from 127.0.0.2 stored successful*"), Timeout)) {
        qWarning() << "the first job did not go through";
        return false;
    }
    for (const QString &file : child.jobFiles())
        QFile::remove(child.jobFilePath(file));
    const QString log = child.dataFolder() + QStringLiteral("Quillport.log");
    if (!QFile::rename(log, log + QStringLiteral(".first")) || ::kill(pid_t(child.pid()), SIGHUP) != 0)
        return false;
    for (QDeadlineTimer deadline(Timeout); !QFile::exists(log); QThread::msleep(5)) {
        if (deadline.hasExpired())
            return false;
    }
    return true;
}

bool tst_ConnectionLoad::waitForDescriptors(QuillportChild &child, int count, ClientPool *pool)
{
    QDeadlineTimer deadline(Timeout);
    int now = child.openDescriptors();
    while (now != count && !deadline.hasExpired()) {
        if (pool)
            pool->step(5);
        else
            QTest::qWait(5);
        now = child.openDescriptors();
    }
    if (now != count)
        qWarning() << "quillport holds" << now << "descriptors where" << count << "were expected";
    return now == count;
}

void tst_ConnectionLoad::manyConnectionsAtOnce()
{
    QuillportChild child(Program);
    QJsonObject settings = printer(freePort());
    settings.insert(QStringLiteral("maxconnections"), 500);
    QVERIFY(startChild(child, settings));
    const int baseline = child.openDescriptors();
    QVERIFY(baseline > 0);

    const int clients = 500;
    const QList<QByteArray> jobs = payloads(clients, 1, 32 * 1024, 1);
    ClientPool pool(port);
    auto allHeld = [&] {
        return std::all_of(pool.connections().begin(), pool.connections().end(),
                           [](const std::unique_ptr<ClientConnection> &c) { return c->isHeld(); });
    };
    // Every connection is open, and admitted by the program, before any
    // sends a byte: each holds its socket (a job's file comes once it has
    // more bytes than the program holds in memory). They are opened
    // a batch at a time, each batch smaller than the listen backlog: a
    // handshake beyond a full backlog is left to SYN cookies and completes on
    // the server only once data comes.
    const int batch = 25;
    for (int opened = 0; opened < clients; opened += batch) {
        for (int i = opened; i < opened + batch; ++i)
            pool.add(jobs.at(i), Ending::Finish, nullptr, 0);
        QVERIFY(pool.stepUntil(allHeld, QDeadlineTimer(Timeout)));
        QVERIFY(waitForDescriptors(child, baseline + opened + batch, &pool));
    }
    QCOMPARE(pool.connected(), clients);

    for (auto &connection : pool.connections())
        connection->release();
    QVERIFY(pool.runUntilDone(QDeadlineTimer(Timeout)));
    for (const auto &connection : pool.connections())
        QVERIFY2(connection->completed(), qPrintable(describe(*connection)));

    QTRY_COMPARE_WITH_TIMEOUT(countMatching(child.logLines(), StoredLine), clients, Timeout);
    QVERIFY(waitForDescriptors(child, baseline));
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));

    const QStringList lines = child.logLines();
    QCOMPARE(countMatching(lines, OutcomeLine), clients);
    QCOMPARE(countMatching(lines, StoredLine), clients);

    // Sorted, the stored files and the payloads are the same list: each
    // file is byte for byte one payload, and each payload is in one file.
    QList<QByteArray> expected = jobs;
    std::sort(expected.begin(), expected.end());
    QVERIFY(std::adjacent_find(expected.begin(), expected.end()) == expected.end());
    const QStringList files = child.jobFiles();
    QCOMPARE(files.size(), clients);
    QList<QByteArray> stored;
    for (const QString &file : files)
        stored.append(child.jobFile(file));
    std::sort(stored.begin(), stored.end());
    QVERIFY(stored == expected);
}

void tst_ConnectionLoad::deniedFlood()
{
    // Only 127.0.0.2 may print; the flood comes from 127.0.0.1 and 127.0.0.3.
    QuillportChild child(Program);
    QVERIFY(startChild(child, printer(freePort(), QStringLiteral("127.0.0.2/32"))));
    const int baseline = child.openDescriptors();
    QVERIFY(baseline > 0);

    const int total = 5000;
    // Fewer at a time than the program's listen backlog, so that no
    // connection waits for a repeated SYN.
    const int window = 32;
    const char *const sources[] = { nullptr, "127.0.0.3" };
    int started = 0;
    int closedByServer = 0;
    ClientPool pool(port);
    QDeadlineTimer deadline(Timeout);
    while ((started < total || pool.active() > 0) && !deadline.hasExpired()) {
        while (started < total && pool.active() < window) {
            // Some send a job, some send nothing; none closes its side: the
            // server must close.
            const QByteArray job = started % 3 == 0 ? QByteArray() : randomBytes(1 + started % 2000, quint64(started));
            pool.add(job, Ending::AwaitClose, sources[started % 2]);
            ++started;
        }
        pool.step(100);
        for (const auto &connection : pool.takeDone()) {
            QVERIFY2(connection->outcome == Outcome::ServerClosed || connection->outcome == Outcome::ServerReset,
                     qPrintable(describe(*connection)));
            ++closedByServer;
        }
    }
    QCOMPARE(closedByServer, total);

    const QString denied = QStringLiteral("Access Access from %1 to printer ") + Printer + QStringLiteral(" is denied");
    auto deniedCount = [&](const QString &source) { return int(child.logLines().count(denied.arg(source))); };
    QTRY_COMPARE_WITH_TIMEOUT(deniedCount(QStringLiteral("127.0.0.1")) + deniedCount(QStringLiteral("127.0.0.3")), total,
                              Timeout);
    QCOMPARE(deniedCount(QStringLiteral("127.0.0.1")), total / 2);
    QCOMPARE(deniedCount(QStringLiteral("127.0.0.3")), total / 2);
    QVERIFY(waitForDescriptors(child, baseline));
    QCOMPARE(child.jobFiles(), QStringList());

    // The program still serves the address that may print.
    ClientPool allowed(port);
    const QByteArray job = randomBytes(10000, 77);
    ClientConnection *connection = allowed.add(job, Ending::Finish, "127.0.0.2");
    QVERIFY(allowed.runUntilDone(QDeadlineTimer(Timeout)));
    QVERIFY2(connection->completed(), qPrintable(describe(*connection)));
    QTRY_COMPARE_WITH_TIMEOUT(countMatching(child.logLines(), StoredLine), 1, Timeout);
    QVERIFY(waitForDescriptors(child, baseline));
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));

    const QStringList lines = child.logLines();
    const QStringList printLines = lines.filter(QRegularExpression(QStringLiteral("^Print  ")));
    QCOMPARE(printLines.size(), 2);
    QCOMPARE(printLines.first(), QStringLiteral("Print  Print job from 127.0.0.2 finished with error"));
    QCOMPARE(StoredLine.match(printLines.last()).captured(1), QStringLiteral("127.0.0.2"));
    QCOMPARE(lines.filter(QStringLiteral(" is allowed")),
             QStringList{ QStringLiteral("Access Access from 127.0.0.2 to printer \"") + Printer
                          + QStringLiteral("\" is allowed") });
    const QStringList files = child.jobFiles();
    QCOMPARE(files.size(), 1);
    QCOMPARE(child.jobFile(files.first()), job);
}

void tst_ConnectionLoad::resetsAmongJobs()
{
    QuillportChild child(Program);
    QVERIFY(startChild(child, printer(freePort())));
    const int baseline = child.openDescriptors();
    QVERIFY(baseline > 0);

    // Normal jobs; clients that send part of a job and reset the connection;
    // clients that close, or reset, as soon as they are connected.
    const int normal = 80;
    const int resets = 80;
    const int closes = 40;
    const int resetsAtOnce = 40;
    const QList<QByteArray> jobs = payloads(normal, 1, 64 * 1024, 2);
    QList<QByteArray> parts;
    QRandomGenerator cut(3);
    for (const QByteArray &whole : payloads(resets, 32, 256 * 1024, 4))
        parts.append(whole.left(cut.bounded(16, whole.size())));

    struct Planned
    {
        QByteArray payload;
        Ending ending;
    };
    std::vector<Planned> plan;
    for (const QByteArray &job : jobs)
        plan.push_back({ job, Ending::Finish });
    for (const QByteArray &part : parts)
        plan.push_back({ part, Ending::Reset });
    for (int i = 0; i < closes; ++i)
        plan.push_back({ QByteArray(), Ending::CloseAtOnce });
    for (int i = 0; i < resetsAtOnce; ++i)
        plan.push_back({ QByteArray(), Ending::ResetAtOnce });
    std::shuffle(plan.begin(), plan.end(), QRandomGenerator(5));

    const int window = 24;
    size_t next = 0;
    ClientPool pool(port);
    std::vector<std::unique_ptr<ClientConnection>> done;
    QDeadlineTimer deadline(Timeout);
    while ((next < plan.size() || pool.active() > 0) && !deadline.hasExpired()) {
        while (next < plan.size() && pool.active() < window) {
            pool.add(plan[next].payload, plan[next].ending);
            ++next;
        }
        pool.step(100);
        for (auto &connection : pool.takeDone())
            done.push_back(std::move(connection));
    }
    QCOMPARE(done.size(), plan.size());
    for (const auto &connection : done) {
        if (connection->ending == Ending::Finish)
            QVERIFY2(connection->completed(), qPrintable(describe(*connection)));
        else
            QVERIFY2(connection->outcome == Outcome::ClientEnded, qPrintable(describe(*connection)));
        // A reset comes only once the program's TCP holds the whole part.
        if (connection->ending == Ending::Reset)
            QVERIFY2(connection->bytesAcknowledged >= quint64(connection->payload.size()),
                     qPrintable(describe(*connection)));
    }

    // The program goes on serving.
    const QByteArray last = randomBytes(50000, 6);
    ClientPool after(port);
    ClientConnection *lastConnection = after.add(last, Ending::Finish);
    QVERIFY(after.runUntilDone(QDeadlineTimer(Timeout)));
    QVERIFY2(lastConnection->completed(), qPrintable(describe(*lastConnection)));

    // Every connection has been let go once the descriptors are back, and
    // every job is delivered once its line is there: the normal ones, the
    // empty ones of the connections that closed at once, and the last.
    QVERIFY(waitForDescriptors(child, baseline));
    QVERIFY(child.waitForLine(QStringLiteral("Print  Print job from 127.0.0.1 finished with error"), Timeout,
                              normal + closes + 1));
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));

    // Only an orderly close ends a job: the normal jobs and the last are
    // stored whole, each connection that closed at once is an empty job, and
    // a reset aborts its job, whatever had arrived. A connection that was
    // reset before the program accepted it has no peer left and is dropped
    // without a line.
    QHash<QByteArray, int> expected;
    for (const QByteArray &job : jobs)
        ++expected[job];
    ++expected[last];
    QCOMPARE(expected.size(), normal + 1);

    const QStringList files = child.jobFiles();
    int empty = 0;
    for (const QString &file : files) {
        const QByteArray content = child.jobFile(file);
        if (content.isEmpty()) {
            ++empty;
            continue;
        }
        QVERIFY2(expected.value(content) == 1,
                 qPrintable(QStringLiteral("%1 holds %2 bytes that are no job, or a job stored twice")
                                .arg(file)
                                .arg(content.size())));
        expected.remove(content);
    }
    QVERIFY2(expected.isEmpty(), qPrintable(QStringLiteral("%1 jobs were not stored").arg(expected.size())));
    QCOMPARE(empty, closes);

    const QStringList lines = child.logLines();
    QCOMPARE(countMatching(lines, OutcomeLine), files.size());
    QCOMPARE(countMatching(lines, StoredLine), files.size());
    // A reset that came before the program accepted its connection leaves
    // no line; most come after.
    const int aborted = countMatching(lines, AbortedLine);
    QVERIFY2(aborted > 0 && aborted <= resets + resetsAtOnce, qPrintable(QString::number(aborted)));
    // Every line names its peer.
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = OutcomeLine.match(line);
        if (match.hasMatch())
            QCOMPARE(match.captured(1), QStringLiteral("127.0.0.1"));
    }
    QCOMPARE(child.spoolFiles(), QStringList());
}

// The CPU time a process has used so far, in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // utime and stime, the 14th and 15th fields, counted after the name in
    // parentheses (which may hold blanks).
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : -1;
}

// The server's orderly close means the job is on disk, even when the
// process dies an instant later: twenty kills (SIGKILL) while clients
// stream jobs, each followed by a start that delivers what the spool folder
// holds. Every job whose client saw the close in order is stored at least
// once, and every stored file is one whole job a client sent.
void tst_ConnectionLoad::acknowledgedJobsSurviveKills()
{
    const auto print = [](const QByteArray &data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha1); };
    QuillportChild child(Program);
    port = freePort();
    QVERIFY(child.writePrinters({ printer(port) }));
    QSet<QByteArray> sent;
    QSet<QByteArray> acknowledged;
    const auto record = [&](ClientPool &pool) {
        for (const auto &done : pool.takeDone()) {
            if (done->completed())
                acknowledged.insert(print(done->payload));
        }
    };
    // First a job in the middle of its bytes: all the server has read, it
    // is not whole yet. The client sees the death of the process as a
    // reset, never as the close that acknowledges a job.
    QVERIFY2(child.launch(), qPrintable(child.errorString));
    QVERIFY(child.waitForLine(QStringLiteral("Info   Service started successful"), Timeout));
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(client >= 0);
    const auto closeClient = qScopeGuard([client] { ::close(client); });
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    // More than the program holds in memory, so that its file shows what it
    // has read.
    const int part = 100000;
    QCOMPARE(::send(client, randomBytes(part, 1).constData(), part, 0), ssize_t(part));
    const auto spooled = [&] {
        const QStringList files = child.spoolFiles();
        return files.size() == 1 && QFileInfo(child.spoolFolder() + QLatin1Char('/') + files.first()).size() == part;
    };
    QTRY_VERIFY_WITH_TIMEOUT(spooled(), Timeout);
    child.kill();
    char byte = 0;
    QCOMPARE(::recv(client, &byte, 1, 0), ssize_t(-1));
    QCOMPARE(errno, ECONNRESET);

    QRandomGenerator random(19);
    quint64 seed = 0;
    for (int kill = 2; kill <= 21; ++kill) {
        QVERIFY2(child.launch(), qPrintable(child.errorString));
        QVERIFY2(child.waitForLine(QStringLiteral("Info   Service started successful"), Timeout, kill),
                 qPrintable(child.output()));
        // Six clients at a time, for a moment of random length.
        ClientPool pool(port);
        const QDeadlineTimer moment(100 + random.bounded(400));
        while (!moment.hasExpired()) {
            while (pool.active() < 6) {
                const QByteArray payload = randomBytes(1 + random.bounded(300000), ++seed);
                sent.insert(print(payload));
                pool.add(payload, Ending::Finish);
            }
            pool.step(5);
            record(pool);
        }
        child.kill();
        QVERIFY(pool.runUntilDone(QDeadlineTimer(Timeout)));
        record(pool);
    }
    // The last start delivers what the last kill left, then stops in order.
    QVERIFY2(child.launch(), qPrintable(child.errorString));
    QVERIFY(child.waitForLine(QStringLiteral("Info   Service started successful"), Timeout, 22));
    QTRY_COMPARE_WITH_TIMEOUT(child.spoolFiles(), QStringList(), Timeout);
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));

    QSet<QByteArray> stored;
    for (const QString &file : child.jobFiles()) {
        const QByteArray job = print(child.jobFile(file));
        QVERIFY2(sent.contains(job), qPrintable(file + QStringLiteral(" is not a whole job")));
        stored.insert(job);
    }
    QVERIFY(acknowledged.size() > 100);
    const QSet<QByteArray> lost = acknowledged - stored;
    QVERIFY2(lost.isEmpty(), qPrintable(QStringLiteral("%1 of %2 acknowledged jobs lost").arg(lost.size()).arg(acknowledged.size())));
    qInfo("%d jobs sent, %d acknowledged, %d stored", int(sent.size()), int(acknowledged.size()), int(stored.size()));
}

// With no descriptor left the program stops accepting, says so, does not
// spin, and accepts again once connections end: it does not go deaf.
void tst_ConnectionLoad::outOfDescriptors()
{
#ifdef QUILLPORT_SANITIZED_BUILD
    QSKIP("The sanitizers' runtime needs descriptors of its own (a pipe for a first type check, files to "
          "report): with none left it ends the program. The normal build runs this test.");
#endif
    QuillportChild child(Program);
    QJsonObject settings = printer(freePort());
    settings.insert(QStringLiteral("maxconnections"), 1000);
    settings.insert(QStringLiteral("idletimeout"), 0);
    child.setDescriptorLimit(64);
    QVERIFY(startChild(child, settings));

    // Idle clients, more than the program can take.
    ClientPool pool(port);
    for (int i = 0; i < 120; ++i)
        pool.add(QByteArray("x"), Ending::Finish, nullptr, 0);
    const QString stopped = QStringLiteral("Error  Printer \"Load\" cannot accept connections: *");
    QVERIFY(pool.stepUntil([&] { return child.countLines(stopped) == 1; }, QDeadlineTimer(Timeout)));

    // Out of descriptors for a second: the program waits, it does not spin.
    const qint64 before = cpuTicks(child.pid());
    pool.stepUntil([] { return false; }, QDeadlineTimer(1000));
    const qint64 used = cpuTicks(child.pid()) - before;
    QVERIFY2(used >= 0 && used < ::sysconf(_SC_CLK_TCK) / 4, qPrintable(QStringLiteral("%1 ticks").arg(used)));
    QCOMPARE(child.countLines(stopped), 1);

    // The idle clients go; a normal job is served.
    pool.connections().clear();
    QVERIFY(child.waitForLine(QStringLiteral("Info   Printer \"Load\" accepts connections again"), Timeout));
    const QByteArray job = randomBytes(5000, 81);
    QString why;
    QVERIFY2(sendJob(port, job, Timeout, &why), qPrintable(why));
    const auto stored = [&] {
        const QStringList files = child.jobFiles();
        return std::any_of(files.begin(), files.end(), [&](const QString &file) { return child.jobFile(file) == job; });
    };
    QTRY_VERIFY_WITH_TIMEOUT(stored(), Timeout);
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));
}

QTEST_GUILESS_MAIN(tst_ConnectionLoad)
#include "tst_connectionload.moc"
