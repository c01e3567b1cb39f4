// The printer listener in process, as its printer assembles it, over real
// loopback TCP connections: access by subnet, reception of jobs into the
// spool folder and their storage, resets, idle time-outs, the connection
// cap, pausing, listening and its failures. The spooler is pointed at a CUPS
// socket that does not exist and jobs are not retried, so every job ends
// "with error" at once and its bytes are seen in the stored job files.
#include "logcapture.h"
#include "netclient.h"
#include "logger.h"
#include "printerconfig.h"
#include "memorystore.h"
#include "printer.h"
#include "printerdaemon.h"
#include "spoolstore.h"
#include "subnets.h"

#include <QDir>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString printerName = QStringLiteral("Office Laser");
const int Timeout = 10000;

// An address of TEST-NET-2: on no interface of a test machine, so binding it
// fails with "address not available" (binding sends nothing).
const QHostAddress absentAddress(QStringLiteral("198.51.100.7"));

QString line(Logger::LogCategory category, const QString &message)
{
    return Logger::label(category) + message;
}

QString outcomeLine(const QString &peer)
{
    return line(Logger::Print, QStringLiteral("Print job from ") + peer + QStringLiteral(" finished with error"));
}

// The line before the outcome, with why the job did not reach the missing
// scheduler (or was empty).
bool isReasonLine(const QString &captured, const QString &peer = QStringLiteral("127.0.0.1"))
{
    return captured.startsWith(line(Logger::Error, QStringLiteral("Print job from %1 to printer \"Office Laser\" could "
                                                                  "not be delivered: ")
                                                       .arg(peer)));
}

const QRegularExpression storedLine(QStringLiteral(
    "^Print  Print job from .* stored successful with filename \"(\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\})\"$"));

// Bytes of every value, so that nothing on the way may treat the job as text.
QByteArray binaryPayload(int size, char seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + seed) & 0xff);
    return data;
}

bool hasIPv6Loopback()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHostIPv6, 0);
}

// The sockets this process has open, listening ones included.
int openSockets()
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const QStringList entries = fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        char target[256];
        const ssize_t n = ::readlink(QFile::encodeName(fds.filePath(entry)).constData(), target, sizeof target - 1);
        if (n > 0 && QByteArray(target, int(n)).startsWith("socket:"))
            ++count;
    }
    return count;
}

} // namespace

class tst_PrinterDaemon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void accessControl_data();
    void accessControl();
    void mappedPeerMatchesIPv4Subnet_data();
    void mappedPeerMatchesIPv4Subnet();
    void subnetsThatNameNothingAdmitNoOne();

    void deliveredJob_data();
    void deliveredJob();
    void halfClosedClientIsClosedByServer();
    void jobsWholeBeforeTheirAccept_data();
    void jobsWholeBeforeTheirAccept();
    void overlappingConnectionsKeepJobsApart();
    void resetAbortsTheJob_data();
    void resetAbortsTheJob();
    void unopenableJobFolder();
    void withoutSpoolFolder_data();
    void withoutSpoolFolder();
    void untrustedJobsFolder_data();
    void untrustedJobsFolder();

    void idleConnectionTimesOut_data();
    void idleConnectionTimesOut();
    void slowSenderIsNotCut();
    void connectionCapQueuesClients();

    void connectionWhilePausedIsClosedUnlogged();
    void jobAcrossPause_data();
    void jobAcrossPause();

    void refusesToListen_data();
    void refusesToListen();
    void portInUse();
    void waitsForListenAddress_data();
    void waitsForListenAddress();

    void debugLine_data();
    void debugLine();

private:
    PrinterConfig config() const;
    std::unique_ptr<Printer> listening(PrinterConfig config);
    std::unique_ptr<Printer> printer(const PrinterConfig &config);
    // The outcome of startListening(): whether started(true) came.
    static bool start(Printer &daemon);
    static std::unique_ptr<QTcpSocket> connectFrom(const QHostAddress &from, const QHostAddress &to, quint16 port);
    // A whole job from 127.0.0.1: connected, sent, closed.
    static std::unique_ptr<QTcpSocket> sendJob(const Printer &daemon, const QByteArray &payload);
    QStringList jobFiles() const;
    QByteArray jobFile(const QString &name) const;
    // What the connections have written to the spool folder so far.
    qint64 spooledBytes() const;
    QStringList spoolFiles() const;

    LogCapture capture;
    Logger logger;
    QTemporaryDir cupsDir;
    std::unique_ptr<QTemporaryDir> jobsDir;
    std::unique_ptr<QTemporaryDir> dataDir;
    std::unique_ptr<MemoryStore> memory;
    std::unique_ptr<SpoolStore> store;
};

void tst_PrinterDaemon::initTestCase()
{
    QVERIFY(cupsDir.isValid());
    capture.install();
    // Set before anything asks libcups for its server.
    qputenv("CUPS_SERVER", QFile::encodeName(cupsDir.filePath(QStringLiteral("no-cupsd.sock"))));
    PrinterDaemon::waitRoundMs = 10;
    // The bytes reach the spool folder as they arrive, where these tests
    // watch for them.
    SpoolStore::smallJob = 0;
}

void tst_PrinterDaemon::init()
{
    capture.clear();
    jobsDir = std::make_unique<QTemporaryDir>();
    dataDir = std::make_unique<QTemporaryDir>();
    QVERIFY(jobsDir->isValid() && dataDir->isValid());
    store.reset();
    memory = std::make_unique<MemoryStore>(&logger);
    store = std::make_unique<SpoolStore>(dataDir->path() + QLatin1Char('/'), &logger, memory.get());
    QVERIFY(store->prepare());
}

PrinterConfig tst_PrinterDaemon::config() const
{
    PrinterConfig config;
    config.localname = printerName;
    config.active = true;
    config.listen = QHostAddress(QHostAddress::LocalHost);
    config.interfacewaittime = 0;
    config.storejobs = true;
    config.jobspath = jobsDir->path();
    config.retrytime = 0;
    return config;
}

std::unique_ptr<Printer> tst_PrinterDaemon::printer(const PrinterConfig &config)
{
    return std::make_unique<Printer>(config, &logger, store.get());
}

bool tst_PrinterDaemon::start(Printer &daemon)
{
    QSignalSpy started(&daemon, &Printer::started);
    daemon.startListening();
    if (started.isEmpty() && !started.wait(Timeout))
        return false;
    return started.size() == 1 && started.first().first().toBool();
}

// A listener on a free port of the configured address; the lines written
// while finding one are dropped.
std::unique_ptr<Printer> tst_PrinterDaemon::listening(PrinterConfig config)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(config.listen, 0))
            return nullptr;
        config.port = probe.serverPort();
        probe.close();
        auto daemon = printer(config);
        if (start(*daemon)) {
            capture.clear();
            return daemon;
        }
    }
    return nullptr;
}

// The kernel completes the connection from its backlog, so the client is
// connected before the listener has seen it.
std::unique_ptr<QTcpSocket> tst_PrinterDaemon::connectFrom(const QHostAddress &from, const QHostAddress &to,
                                                           quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    if (!from.isNull() && !socket->bind(from))
        return nullptr;
    socket->connectToHost(to, port);
    if (!socket->waitForConnected(5000))
        return nullptr;
    return socket;
}

std::unique_ptr<QTcpSocket> tst_PrinterDaemon::sendJob(const Printer &daemon, const QByteArray &payload)
{
    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon.serverPort());
    if (socket) {
        socket->write(payload);
        socket->disconnectFromHost();
    }
    return socket;
}

QStringList tst_PrinterDaemon::jobFiles() const
{
    return QDir(jobsDir->path()).entryList(QDir::Files | QDir::Hidden);
}

QByteArray tst_PrinterDaemon::jobFile(const QString &name) const
{
    QFile file(QDir(jobsDir->path()).filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<cannot open ") + name.toUtf8() + '>';
    return file.readAll();
}

qint64 tst_PrinterDaemon::spooledBytes() const
{
    qint64 total = 0;
    const QFileInfoList files = QDir(store->folder()).entryInfoList({ QStringLiteral("*.part") }, QDir::Files);
    for (const QFileInfo &file : files)
        total += file.size();
    return total;
}

QStringList tst_PrinterDaemon::spoolFiles() const
{
    return QDir(store->folder()).entryList(QDir::Files | QDir::Hidden);
}

void tst_PrinterDaemon::accessControl_data()
{
    QTest::addColumn<QStringList>("subnets");
    QTest::addColumn<QString>("client");
    QTest::addColumn<bool>("allowed");

    QTest::newRow("no subnets") << QStringList() << "127.0.0.3" << true;
    QTest::newRow("/32") << QStringList{ "127.0.0.2/32" } << "127.0.0.2" << true;
    QTest::newRow("~/32") << QStringList{ "127.0.0.2/32" } << "127.0.0.3" << false;
    QTest::newRow("overlapping") << QStringList{ "127.0.0.0/8", "127.0.0.2/32" } << "127.0.0.2" << true;
    QTest::newRow("second entry") << QStringList{ "10.0.0.0/8", "127.0.0.2/32" } << "127.0.0.2" << true;
    QTest::newRow("~unparsable only") << QStringList{ "garbage" } << "127.0.0.2" << false;
}

// The decision itself is tested without sockets in tst_subnets; here, what a
// listener does with it.
void tst_PrinterDaemon::accessControl()
{
    QFETCH(QStringList, subnets);
    QFETCH(QString, client);
    QFETCH(bool, allowed);

    PrinterConfig config = this->config();
    config.subnets = parseSubnets(subnets.join(QLatin1Char(',')));
    auto daemon = listening(config);
    QVERIFY(daemon);

    auto socket = connectFrom(QHostAddress(client), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);
    QCOMPARE(socket->localAddress(), QHostAddress(client));
    const QByteArray payload = "%!PS job from " + client.toLatin1() + "\r\n\f";
    socket->write(payload);

    const QString allowedLine = line(Logger::Access, QStringLiteral("Access from ") + client
                                                         + QStringLiteral(" to printer \"Office Laser\" is allowed"));
    const QString deniedLine = line(Logger::Access, QStringLiteral("Access from ") + client
                                                        + QStringLiteral(" to printer Office Laser is denied"));
    if (allowed) {
        socket->disconnectFromHost();
        QVERIFY(capture.waitFor(outcomeLine(client), Timeout));
        QCOMPARE(capture.starting(Logger::label(Logger::Access)),
                 subnets.isEmpty() ? QStringList() : QStringList{ allowedLine });
        const QStringList files = jobFiles();
        QCOMPARE(files.size(), 1);
        QCOMPARE(jobFile(files.first()), payload);
    } else {
        // The client does not close: the listener does.
        QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(capture.lines(), QStringList{ deniedLine });
        QCOMPARE(jobFiles(), QStringList());
    }
    // Either way the listener keeps nothing of the connection.
    QTRY_COMPARE(daemon->connectionCount(), 0);
    QCOMPARE(spoolFiles(), QStringList());
}

void tst_PrinterDaemon::mappedPeerMatchesIPv4Subnet_data()
{
    QTest::addColumn<QString>("subnet");
    QTest::addColumn<bool>("allowed");

    QTest::newRow("/31") << "127.0.0.2/31" << true;
    QTest::newRow("~/31") << "127.0.0.0/31" << false;
    QTest::newRow("mapped form") << "::ffff:127.0.0.2/128" << true;
    QTest::newRow("~IPv6 loopback") << "::1/128" << false;
}

// A listener on every interface of both families sees an IPv4 peer as an
// IPv4-mapped IPv6 address.
void tst_PrinterDaemon::mappedPeerMatchesIPv4Subnet()
{
    QFETCH(QString, subnet);
    QFETCH(bool, allowed);
    if (!hasIPv6Loopback())
        QSKIP("This machine has no IPv6");

    PrinterConfig config = this->config();
    config.listen = QHostAddress(QStringLiteral("::")); // as "listen": "::" reads
    config.subnets = parseSubnets(subnet);
    auto daemon = listening(config);
    QVERIFY(daemon);

    auto socket = connectFrom(QHostAddress(QStringLiteral("127.0.0.2")), QHostAddress::LocalHost,
                              daemon->serverPort());
    QVERIFY(socket);
    socket->write("mapped");

    const QString peer = QStringLiteral("::ffff:127.0.0.2");
    if (allowed) {
        socket->disconnectFromHost();
        QVERIFY(capture.waitFor(outcomeLine(peer), Timeout));
        QCOMPARE(capture.lines().first(),
                 line(Logger::Access, QStringLiteral("Access from ::ffff:127.0.0.2 to printer \"Office Laser\" is allowed")));
        QCOMPARE(jobFile(jobFiles().value(0)), QByteArray("mapped"));
    } else {
        QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(capture.lines(),
                 QStringList{ line(Logger::Access,
                                   QStringLiteral("Access from ::ffff:127.0.0.2 to printer Office Laser is denied")) });
    }
}

// A "subnets" value that is there but names no subnet is a mistake: nobody
// gets in, and the start says why.
void tst_PrinterDaemon::subnetsThatNameNothingAdmitNoOne()
{
    PrinterConfig config = this->config();
    config.subnetsInvalid = true;
    config.port = freePort();
    QVERIFY(config.port != 0);
    auto daemon = printer(config);
    QVERIFY(start(*daemon));
    QCOMPARE(capture.lines(),
             QStringList{ line(Logger::Error, QStringLiteral("Printer \"Office Laser\" admits no one: its subnets "
                                                             "setting names no subnet")) });
    capture.clear();

    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);
    QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(capture.lines(),
             QStringList{ line(Logger::Access, QStringLiteral("Access from 127.0.0.1 to printer Office Laser is denied")) });
}

void tst_PrinterDaemon::deliveredJob_data()
{
    QTest::addColumn<bool>("storejobs");
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("stored") << true << binaryPayload(3 * 1024 * 1024 + 17, 1);
    QTest::newRow("empty, stored") << true << QByteArray();
    QTest::newRow("not stored") << false << binaryPayload(4096, 2);
    QTest::newRow("empty, not stored") << false << QByteArray();
}

void tst_PrinterDaemon::deliveredJob()
{
    QFETCH(bool, storejobs);
    QFETCH(QByteArray, payload);

    PrinterConfig config = this->config();
    config.storejobs = storejobs;
    auto daemon = listening(config);
    QVERIFY(daemon);
    auto socket = sendJob(*daemon, payload);
    QVERIFY(socket);

    const QString outcome = outcomeLine(QStringLiteral("127.0.0.1"));
    QVERIFY(capture.waitFor(outcome, Timeout));
    QTRY_COMPARE(daemon->connectionCount(), 0);
    // Delivered jobs leave nothing in the spool folder.
    QTRY_COMPARE(spoolFiles(), QStringList());
    // Why it failed comes first: the scheduler is missing, or the job is
    // empty.
    const QString reason = capture.lines().value(0);
    QVERIFY2(isReasonLine(reason), qPrintable(reason));
    QVERIFY2(reason.endsWith(QLatin1String(": the job is empty")) == payload.isEmpty(), qPrintable(reason));
    if (!storejobs) {
        QCOMPARE(capture.lines(), (QStringList{ reason, outcome }));
        QCOMPARE(jobFiles(), QStringList());
        return;
    }

    QTRY_COMPARE(capture.lines().size(), 3);
    QCOMPARE(capture.lines().at(1), outcome);
    const QRegularExpressionMatch match = storedLine.match(capture.lines().last());
    QVERIFY2(match.hasMatch(), qPrintable(capture.lines().last()));
    QCOMPARE(jobFiles(), QStringList{ match.captured(1) + QStringLiteral(".prn") });
    const QFileInfo stored(QDir(jobsDir->path()).filePath(jobFiles().first()));
    QCOMPARE(stored.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFile::Permissions());
    QVERIFY(jobFile(jobFiles().first()) == payload);
}

// Clients that half-close after the job, then wait for the other end to
// close, must not hang.
void tst_PrinterDaemon::halfClosedClientIsClosedByServer()
{
    auto daemon = listening(config());
    QVERIFY(daemon);
    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);

    const QByteArray payload = binaryPayload(10000, 3);
    socket->write(payload);
    // All of it in the kernel before the write side is shut.
    socket->flush();
    QCOMPARE(socket->bytesToWrite(), 0);
    QCOMPARE(::shutdown(int(socket->socketDescriptor()), SHUT_WR), 0);

    QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(capture.waitFor(outcomeLine(QStringLiteral("127.0.0.1")), Timeout));
    QTRY_COMPARE(jobFiles().size(), 1);
    QVERIFY(jobFile(jobFiles().first()) == payload);
}

void tst_PrinterDaemon::jobsWholeBeforeTheirAccept_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("clients");

    QTest::newRow("a small job") << 4096 << 1;
    QTest::newRow("more than is read at once") << 200000 << 1;
    QTest::newRow("an empty job") << 0 << 1;
    QTest::newRow("eight at once, two connections at most") << 4096 << 8;
}

// Jobs that are whole, end of stream included, by the time the listener
// takes their connections: each client gets its close with the job
// committed, each connection that ends so counts against the cap no longer,
// and each admission is logged before its job's delivery.
void tst_PrinterDaemon::jobsWholeBeforeTheirAccept()
{
    QFETCH(int, size);
    QFETCH(int, clients);
    PrinterConfig config = this->config();
    config.maxconnections = 2;
    config.subnets = parseSubnets(QStringLiteral("127.0.0.0/8"));
    auto daemon = listening(config);
    QVERIFY(daemon);

    ClientPool pool(daemon->serverPort());
    QList<QByteArray> sent;
    for (int i = 0; i < clients; ++i) {
        sent.append(binaryPayload(size, char(i)));
        pool.add(sent.last(), Ending::Finish);
    }
    // The clients send and shut their sides while the listener has no turn.
    QVERIFY(pool.stepUntil([&] { return pool.connected() == clients; }, QDeadlineTimer(Timeout)));
    for (int round = 0; round < 5; ++round)
        pool.step(10);
    const QDeadlineTimer deadline(Timeout);
    while (pool.active() > 0 && !deadline.hasExpired()) {
        QCoreApplication::processEvents();
        pool.step(5);
    }
    const auto done = pool.takeDone();
    QCOMPARE(int(done.size()), clients);
    for (const auto &connection : done)
        QVERIFY2(connection->completed(), qPrintable(connection->error));

    QTRY_COMPARE(capture.starting(QStringLiteral("Print  Print job from 127.0.0.1 stored")).size(), clients);
    QCOMPARE(daemon->connectionCount(), 0);
    int admitted = 0;
    for (const QString &captured : capture.lines()) {
        admitted += captured.startsWith(line(Logger::Access, QStringLiteral("Access from 127.0.0.1"))) ? 1 : 0;
        if (isReasonLine(captured))
            QVERIFY2(--admitted >= 0, qPrintable(capture.lines().join(QLatin1Char('\n'))));
    }
    QList<QByteArray> stored;
    for (const QString &name : jobFiles())
        stored.append(jobFile(name));
    std::sort(sent.begin(), sent.end());
    std::sort(stored.begin(), stored.end());
    QCOMPARE(stored, sent);
}

void tst_PrinterDaemon::overlappingConnectionsKeepJobsApart()
{
    auto daemon = listening(config());
    QVERIFY(daemon);
    auto first = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    auto second = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(first && second);

    // Each part is in the spool folder before the next one is sent, so the
    // two jobs really arrive interleaved.
    const QList<QByteArray> parts{ "first job, part one; ", "second job, part one; ", "first job, part two",
                                   "second job, part two" };
    qint64 sent = 0;
    for (int i = 0; i < parts.size(); ++i) {
        (i % 2 ? second : first)->write(parts.at(i));
        sent += parts.at(i).size();
        QTRY_COMPARE(spooledBytes(), sent);
    }

    const QString outcome = outcomeLine(QStringLiteral("127.0.0.1"));
    first->disconnectFromHost();
    QVERIFY(capture.waitFor(outcome, Timeout));
    second->disconnectFromHost();
    QVERIFY(capture.waitFor(outcome, Timeout, 2));

    // The storing lines, in the order of delivery, name the files.
    QStringList names;
    QTRY_COMPARE(capture.starting(QStringLiteral("Print  Print job from 127.0.0.1 stored")).size(), 2);
    for (const QString &captured : capture.lines()) {
        const QRegularExpressionMatch match = storedLine.match(captured);
        if (match.hasMatch())
            names.append(match.captured(1) + QStringLiteral(".prn"));
    }
    QCOMPARE(jobFile(names.value(0)), QByteArray("first job, part one; first job, part two"));
    QCOMPARE(jobFile(names.value(1)), QByteArray("second job, part one; second job, part two"));
    QCOMPARE(jobFiles().size(), 2);
}

void tst_PrinterDaemon::resetAbortsTheJob_data()
{
    QTest::addColumn<int>("size");

    QTest::newRow("100000 bytes") << 100000;
    QTest::newRow("nothing sent") << 0;
}

// Only an orderly close ends a job: a client that resets part-way gets
// nothing printed or stored.
void tst_PrinterDaemon::resetAbortsTheJob()
{
    QFETCH(int, size);
    auto daemon = listening(config());
    QVERIFY(daemon);
    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);
    QTRY_COMPARE(daemon->connectionCount(), 1);
    socket->write(binaryPayload(size, 6));
    QVERIFY(socket->waitForBytesWritten(Timeout) || size == 0);
    QTRY_COMPARE(spooledBytes(), qint64(size));

    const linger reset = { 1, 0 };
    QCOMPARE(::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    socket->abort();

    QTRY_COMPARE(daemon->connectionCount(), 0);
    const QStringList lines = capture.lines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(line(Logger::Error, QStringLiteral("Print job from 127.0.0.1 aborted after %1 bytes: the connection broke").arg(size))),
             qPrintable(lines.first()));
    QCOMPARE(jobFiles(), QStringList());
    QCOMPARE(spoolFiles(), QStringList());
}

void tst_PrinterDaemon::unopenableJobFolder()
{
    PrinterConfig config = this->config();
    config.jobspath = jobsDir->filePath(QStringLiteral("missing"));
    auto daemon = listening(config);
    QVERIFY(daemon);
    auto socket = sendJob(*daemon, "lost job");
    QVERIFY(socket);

    QTRY_COMPARE(capture.lines().size(), 4);
    QCOMPARE(capture.lines().at(1), outcomeLine(QStringLiteral("127.0.0.1")));
    // The storing line, after one with the system's reason.
    QCOMPARE(capture.lines().at(2),
             line(Logger::Error, QStringLiteral("Print job from 127.0.0.1 could not be stored in %1: No such file or "
                                                "directory")
                                     .arg(config.jobspath)));
    const QRegularExpression error(
        QStringLiteral("^Error  Couldn't open file \"") + QRegularExpression::escape(config.jobspath)
        + QStringLiteral("/\\{[0-9a-f-]{36}\\}\\.prn\" for writing print job from 127\\.0\\.0\\.1$"));
    QVERIFY2(error.match(capture.lines().last()).hasMatch(), qPrintable(capture.lines().last()));
    // Storing never makes the folder.
    QVERIFY(!QFileInfo::exists(config.jobspath));
}

void tst_PrinterDaemon::withoutSpoolFolder_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("delivered");

    QTest::newRow("held in memory") << 40000 << true;
    QTest::newRow("larger than memory holds") << 70000 << false;
}

// A spool file that cannot be made at all: the job goes on in memory, up to
// what memory holds (made small here); past it, it is dropped, not cut, and
// its client is reset rather than acknowledged.
void tst_PrinterDaemon::withoutSpoolFolder()
{
    QFETCH(int, size);
    QFETCH(bool, delivered);
    const qint64 capacity = MemoryStore::capacity;
    MemoryStore::capacity = 64 * 1024;
    const auto restore = qScopeGuard([capacity] { MemoryStore::capacity = capacity; });
    QVERIFY(QDir(store->folder()).removeRecursively());

    auto daemon = listening(config());
    QVERIFY(daemon);
    const QByteArray payload = binaryPayload(size, 8);
    auto socket = sendJob(*daemon, payload);
    QVERIFY(socket);

    const QString notKept = line(Logger::Error, QStringLiteral("Print job from 127.0.0.1 is not kept on disk: *"));
    QTRY_VERIFY_WITH_TIMEOUT(!capture.starting(notKept.chopped(1)).isEmpty(), Timeout);
    if (delivered) {
        QVERIFY(capture.waitFor(outcomeLine(QStringLiteral("127.0.0.1")), Timeout));
        QTRY_COMPARE(jobFiles().size(), 1);
        QVERIFY(jobFile(jobFiles().first()) == payload);
        return;
    }
    const QString dropped = line(Logger::Error, QStringLiteral("Print job from 127.0.0.1 dropped: the jobs held in "
                                                               "memory would pass 65536 bytes"));
    QVERIFY(capture.waitFor(dropped, Timeout));
    QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(capture.count(outcomeLine(QStringLiteral("127.0.0.1"))), 0);
    QCOMPARE(jobFiles(), QStringList());
}

void tst_PrinterDaemon::untrustedJobsFolder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");

    QTest::newRow("symbolic link") << "link" << "it is a symbolic link";
    QTest::newRow("writable by others") << "writable" << "other users may write to it";
    QTest::newRow("another user's") << "owner" << "it belongs to another user";
}

// A jobs folder that another local user planted or may write to would hand
// that user other people's documents: the printer does not store there.
void tst_PrinterDaemon::untrustedJobsFolder()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    const QString folder = jobsDir->filePath(QStringLiteral("jobs"));
    const QString real = jobsDir->filePath(QStringLiteral("real"));
    if (kind == QLatin1String("link")) {
        QVERIFY(QDir().mkdir(real));
        QVERIFY(QFile::link(real, folder));
    } else {
        QVERIFY(QDir().mkdir(folder));
        if (kind == QLatin1String("writable")) {
            QVERIFY(QFile::setPermissions(folder, QFile::Permissions(0x7777)));
        } else {
            if (::geteuid() != 0)
                QSKIP("Giving a folder to another user needs root");
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
        }
    }
    PrinterConfig config = this->config();
    config.jobspath = folder;
    config.port = freePort();
    QVERIFY(config.port != 0);
    auto daemon = printer(config);
    const QString refusal = QStringLiteral("its jobs folder %1 is not safe: %2").arg(folder, reason);
    QCOMPARE(capture.lines(),
             QStringList{ line(Logger::Error, QStringLiteral("Printer \"Office Laser\" does not store jobs: ") + refusal) });
    QVERIFY(start(*daemon));
    capture.clear();

    auto socket = sendJob(*daemon, "a private document");
    QVERIFY(socket);
    const QString notStored = line(Logger::Error, QStringLiteral("Print job from 127.0.0.1 not stored: ") + refusal);
    QVERIFY(capture.waitFor(notStored, Timeout));
    QCOMPARE(capture.lines().at(1), outcomeLine(QStringLiteral("127.0.0.1")));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(spoolFiles(), QStringList());
}

void tst_PrinterDaemon::idleConnectionTimesOut_data()
{
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("nothing sent") << QByteArray();
    QTest::newRow("part of a job") << QByteArray("a job whose client went quiet");
}

// A silent client does not hold its connection for ever: after the idle
// time what arrived is the job, and an empty one is no job at all.
void tst_PrinterDaemon::idleConnectionTimesOut()
{
    QFETCH(QByteArray, payload);
    PrinterConfig config = this->config();
    config.idletimeout = 1;
    auto daemon = listening(config);
    QVERIFY(daemon);
    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);
    socket->write(payload);

    QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QAbstractSocket::UnconnectedState, Timeout);
    if (payload.isEmpty()) {
        QCOMPARE(capture.lines(),
                 QStringList{ line(Logger::Error, QStringLiteral("Connection from 127.0.0.1 timed out after 1 s without data")) });
        QCOMPARE(jobFiles(), QStringList());
        return;
    }
    QVERIFY(capture.waitFor(outcomeLine(QStringLiteral("127.0.0.1")), Timeout));
    QCOMPARE(capture.lines().first(),
             line(Logger::Error, QStringLiteral("Print job from 127.0.0.1 timed out after 1 s without data; its %1 "
                                                "bytes are the job").arg(payload.size())));
    QTRY_COMPARE(jobFiles().size(), 1);
    QCOMPARE(jobFile(jobFiles().first()), payload);
}

void tst_PrinterDaemon::slowSenderIsNotCut()
{
    PrinterConfig config = this->config();
    config.idletimeout = 1;
    auto daemon = listening(config);
    QVERIFY(daemon);
    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);

    // A byte every 400 ms for three idle times.
    QByteArray sent;
    for (int i = 0; i < 8; ++i) {
        socket->write("x");
        sent += 'x';
        QTest::qWait(400);
        QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
    }
    socket->disconnectFromHost();
    QVERIFY(capture.waitFor(outcomeLine(QStringLiteral("127.0.0.1")), Timeout));
    QCOMPARE(capture.lines().filter(QStringLiteral("timed out")), QStringList());
    QTRY_COMPARE(jobFiles().size(), 1);
    QCOMPARE(jobFile(jobFiles().first()), sent);
}

// Past the cap, a client waits in the system's backlog and is served once a
// connection ends.
void tst_PrinterDaemon::connectionCapQueuesClients()
{
    PrinterConfig config = this->config();
    config.maxconnections = 3;
    auto daemon = listening(config);
    QVERIFY(daemon);

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort()));
        QVERIFY(clients.back());
    }
    QTRY_COMPARE(daemon->connectionCount(), 3);
    clients.back()->write("the fourth job");
    QTest::qWait(200);
    QCOMPARE(daemon->connectionCount(), 3);
    QCOMPARE(spooledBytes(), 0);

    clients.front()->disconnectFromHost();
    clients.back()->disconnectFromHost();
    QVERIFY(capture.waitFor(outcomeLine(QStringLiteral("127.0.0.1")), Timeout, 2));
    QTRY_COMPARE(jobFiles().size(), 2);
    QStringList contents{ jobFile(jobFiles().at(0)), jobFile(jobFiles().at(1)) };
    contents.sort();
    QCOMPARE(contents, (QStringList{ QString(), QStringLiteral("the fourth job") }));
}

void tst_PrinterDaemon::connectionWhilePausedIsClosedUnlogged()
{
    PrinterConfig config = this->config();
    config.subnets = parseSubnets(QStringLiteral("127.0.0.0/8"));
    config.log = PrinterConfig::LogPrint | PrinterConfig::LogError | PrinterConfig::LogDebug | PrinterConfig::LogAccess;
    auto daemon = listening(config);
    QVERIFY(daemon);

    daemon->pause();
    QVERIFY(daemon->isPaused());
    const int socketsBefore = openSockets();
    auto refused = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(refused);
    refused->write("sent while paused");
    QTRY_COMPARE(refused->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(capture.lines(), QStringList());
    QCOMPARE(daemon->connectionCount(), 0);
    // The listener's end of the connection is closed, not left open.
    refused.reset();
    QCOMPARE(openSockets(), socketsBefore);

    daemon->resume();
    QVERIFY(!daemon->isPaused());
    auto served = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(served);
    served->write("sent after resume");
    served->disconnectFromHost();
    QVERIFY(capture.waitFor(outcomeLine(QStringLiteral("127.0.0.1")), Timeout));
    QVERIFY(capture.lines().contains(
        line(Logger::Access, QStringLiteral("Access from 127.0.0.1 to printer \"Office Laser\" is allowed"))));
    QTRY_COMPARE(jobFiles().size(), 1);
    QCOMPARE(jobFile(jobFiles().first()), QByteArray("sent after resume"));
}

void tst_PrinterDaemon::jobAcrossPause_data()
{
    QTest::addColumn<bool>("closeWhilePaused");
    QTest::addColumn<QByteArray>("afterResume");

    QTest::newRow("closed while paused") << true << QByteArray();
    QTest::newRow("closed after resume") << false << QByteArray();
    QTest::newRow("continued after resume") << false << QByteArray("part three");
}

// A paused listener reads nothing of the connections it has: their bytes
// wait in the system. Once resumed, the jobs arrive whole.
void tst_PrinterDaemon::jobAcrossPause()
{
    QFETCH(bool, closeWhilePaused);
    QFETCH(QByteArray, afterResume);

    auto daemon = listening(config());
    QVERIFY(daemon);
    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);

    const QByteArray before = "part one, before the pause; ";
    socket->write(before);
    QTRY_COMPARE(spooledBytes(), qint64(before.size()));

    daemon->pause();
    const QByteArray whilePaused = binaryPayload(2000, 5);
    socket->write(whilePaused);
    if (closeWhilePaused)
        socket->disconnectFromHost();
    // Given the time to read, a paused listener does not.
    QTest::qWait(200);
    QCOMPARE(spooledBytes(), qint64(before.size()));
    QCOMPARE(capture.lines(), QStringList());

    daemon->resume();
    if (!closeWhilePaused) {
        socket->write(afterResume);
        socket->disconnectFromHost();
    }
    QVERIFY(capture.waitFor(outcomeLine(QStringLiteral("127.0.0.1")), Timeout));
    QTRY_COMPARE(jobFiles().size(), 1);
    QVERIFY(jobFile(jobFiles().first()) == before + whilePaused + afterResume);
}

void tst_PrinterDaemon::refusesToListen_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("portZero");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("reason");

    QTest::newRow("null address") << QString() << false << QString() << "its listen setting is not an address";
    QTest::newRow("port 0") << "127.0.0.1" << true << QString() << "its port is 0";
    QTest::newRow("unknown output") << "127.0.0.1" << false << "lpt:1"
                                    << "its output \"lpt:1\" cannot be used: it is neither empty, device:/path "
                                       "nor socket://host:port";
}

// Qt would take a null address for every interface and port 0 for any port;
// an output that names nothing usable would lose every job.
void tst_PrinterDaemon::refusesToListen()
{
    QFETCH(QString, address);
    QFETCH(bool, portZero);
    QFETCH(QString, output);
    QFETCH(QString, reason);

    PrinterConfig config = this->config();
    config.listen = QHostAddress(address);
    config.interfacewaittime = 60;
    config.output = output;
    if (!portZero) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        config.port = probe.serverPort();
    }
    auto daemon = printer(config);
    const int socketsBefore = openSockets();

    QVERIFY(!start(*daemon));
    QVERIFY(!daemon->isListening());
    QCOMPARE(openSockets(), socketsBefore);
    QCOMPARE(daemon->errorString(), reason);
    QCOMPARE(capture.lines(),
             QStringList{ line(Logger::Error, QStringLiteral("Printer \"Office Laser\" cannot listen: ") + reason) });
}

void tst_PrinterDaemon::portInUse()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
    // Qt's own text for this failure.
    QTcpServer second;
    QVERIFY(!second.listen(QHostAddress::LocalHost, holder.serverPort()));
    QCOMPARE(second.serverError(), QAbstractSocket::AddressInUseError);

    PrinterConfig config = this->config();
    config.port = holder.serverPort();
    config.interfacewaittime = 25;
    auto daemon = printer(config);
    QVERIFY(!start(*daemon));
    QVERIFY(!daemon->isListening());
    const QString error = second.errorString()
        + QStringLiteral(" (printer \"Office Laser\", 127.0.0.1 port %1)").arg(holder.serverPort());
    QCOMPARE(capture.lines(), QStringList{ line(Logger::Error, error) });
    QCOMPARE(daemon->errorString(), error);
}

void tst_PrinterDaemon::waitsForListenAddress_data()
{
    QTest::addColumn<int>("interfacewaittime");
    QTest::addColumn<int>("rounds");

    QTest::newRow("negative") << -10 << 0;
    QTest::newRow("9") << 9 << 0;
    QTest::newRow("10") << 10 << 1;
    QTest::newRow("19") << 19 << 1;
    QTest::newRow("25") << 25 << 2;
    QTest::newRow("60") << 60 << 6;
}

void tst_PrinterDaemon::waitsForListenAddress()
{
    QFETCH(int, interfacewaittime);
    QFETCH(int, rounds);
    if (QNetworkInterface::allAddresses().contains(absentAddress))
        QSKIP("The address this test needs absent is on an interface of this machine");

    PrinterConfig config = this->config();
    config.listen = absentAddress;
    config.port = 9100;
    config.interfacewaittime = interfacewaittime;
    auto daemon = printer(config);

    QVERIFY(!start(*daemon));
    QVERIFY(!daemon->isListening());
    // Qt's own text for this failure.
    QTcpServer probe;
    QVERIFY(!probe.listen(absentAddress, 9100));
    QCOMPARE(probe.serverError(), QAbstractSocket::SocketAddressNotAvailableError);
    QCOMPARE(daemon->errorString(), probe.errorString() + QStringLiteral(" (printer \"Office Laser\", 198.51.100.7 port 9100)"));
    const QString wait =
        line(Logger::Error, QStringLiteral("Wait 10 seconds for network interface with address 198.51.100.7"));
    QCOMPARE(capture.lines(), QVector<QString>(rounds, wait).toList());
}

void tst_PrinterDaemon::debugLine_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("subnet");
    QTest::addColumn<int>("log");
    QTest::addColumn<QString>("debug");
    QTest::addColumn<QString>("access");

    const QString ipv4 = QStringLiteral("127.0.0.1");
    const QString local4 = QStringLiteral("Local address: 127.0.0.1protocol: 0");
    const QString allowed4 = QStringLiteral("Access from 127.0.0.1 to printer \"Office Laser\" is allowed");
    const QString denied4 = QStringLiteral("Access from 127.0.0.1 to printer Office Laser is denied");
    const int all = PrinterConfig::LogPrint | PrinterConfig::LogError | PrinterConfig::LogDebug
        | PrinterConfig::LogAccess;

    QTest::newRow("d") << ipv4 << "127.0.0.0/8" << int(PrinterConfig::LogDebug) << local4 << allowed4;
    QTest::newRow("d, denied peer") << ipv4 << "10.0.0.0/8" << int(PrinterConfig::LogDebug) << local4 << denied4;
    QTest::newRow("pead") << ipv4 << "127.0.0.0/8" << all << local4 << allowed4;
    QTest::newRow("da") << ipv4 << "127.0.0.0/8" << (PrinterConfig::LogDebug | PrinterConfig::LogAccess) << local4
                        << allowed4;
    QTest::newRow("~none") << ipv4 << "127.0.0.0/8" << 0 << QString() << allowed4;
    QTest::newRow("~pea") << ipv4 << "127.0.0.0/8" << (all & ~PrinterConfig::LogDebug) << QString() << allowed4;
    QTest::newRow("d, IPv6") << "::1" << "::1/128"
                             << int(PrinterConfig::LogDebug) << "Local address: ::1protocol: 1"
                             << "Access from ::1 to printer \"Office Laser\" is allowed";
}

void tst_PrinterDaemon::debugLine()
{
    QFETCH(QString, listen);
    QFETCH(QString, subnet);
    QFETCH(int, log);
    QFETCH(QString, debug);
    QFETCH(QString, access);
    const QHostAddress address(listen);
    if (address.protocol() == QAbstractSocket::IPv6Protocol && !hasIPv6Loopback())
        QSKIP("This machine has no IPv6");

    PrinterConfig config = this->config();
    config.listen = address;
    config.subnets = parseSubnets(subnet);
    config.log = log;
    auto daemon = listening(config);
    QVERIFY(daemon);
    auto socket = connectFrom(QHostAddress(), address, daemon->serverPort());
    QVERIFY(socket);

    const QString accessLine = line(Logger::Access, access);
    QVERIFY(capture.waitFor(accessLine, Timeout));
    QStringList expected;
    if (!debug.isEmpty())
        expected.append(line(Logger::Debug, debug));
    expected.append(accessLine);
    QCOMPARE(capture.lines(), expected);
}

QTEST_GUILESS_MAIN(tst_PrinterDaemon)
#include "tst_printerdaemon.moc"
