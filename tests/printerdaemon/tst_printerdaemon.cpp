// The printer listener over real loopback TCP connections: access by subnet,
// reception and storage of jobs, pausing, listening and its failures. The
// spooler is pointed at a CUPS socket that does not exist, so every job ends
// "with error" at once and its bytes are seen in the stored job files.
#include "logger.h"
#include "printerconfig.h"
#include "printerdaemon.h"

#include <QDir>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using Subnets = QList<QPair<QHostAddress, int>>;

namespace {

const QString printerName = QStringLiteral("Office Laser");

// An address of TEST-NET-2: on no interface of a test machine, so binding it
// fails with "address not available" (binding sends nothing).
const QHostAddress absentAddress(QStringLiteral("198.51.100.7"));

// Every line the Logger writes goes to the info output; the tests read it
// from here.
QStringList capturedLines;
QtMessageHandler previousHandler = nullptr;

void captureLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtInfoMsg) {
        capturedLines.append(message);
        return;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

QString line(Logger::LogCategory category, const QString &message)
{
    return Logger::label(category) + message;
}

QString outcomeLine(const QString &peer)
{
    return line(Logger::Print, QStringLiteral("Print job from ") + peer + QStringLiteral(" finished with error"));
}

Subnets parseSubnets(const QStringList &texts)
{
    Subnets subnets;
    for (const QString &text : texts)
        subnets.append(QHostAddress::parseSubnet(text));
    return subnets;
}

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

// The listener's own end of the connection that `client` made.
QTcpSocket *serverSide(const PrinterDaemon &daemon, const QTcpSocket &client)
{
    const QList<QTcpSocket *> sockets = daemon.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        if (socket->peerPort() == client.localPort())
            return socket;
    }
    return nullptr;
}

// Process limits that a test changes, given back when it ends however it ends.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        // Beyond the limit a write fails with EFBIG instead of killing the
        // process.
        savedSignal = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { restore(); }
    void restore()
    {
        if (restored)
            return;
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, savedSignal);
        restored = true;
    }
    bool active = false;

private:
    rlimit saved{};
    sighandler_t savedSignal = SIG_DFL;
    bool restored = false;
};

} // namespace

class tst_PrinterDaemon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void accessControl_data();
    void accessControl();
    void mappedPeerMatchesIPv4Subnet_data();
    void mappedPeerMatchesIPv4Subnet();

    void deliveredJob_data();
    void deliveredJob();
    void halfClosedClientIsClosedByServer();
    void overlappingConnectionsKeepJobsApart();
    void unopenableJobFile();
    void shortWriteIsNotStored();

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
    std::unique_ptr<PrinterDaemon> listening(PrinterConfig config);
    static std::unique_ptr<QTcpSocket> connectFrom(const QHostAddress &from, const QHostAddress &to, quint16 port);
    QStringList jobFiles() const;
    QByteArray jobFile(const QString &name) const;

    Logger logger;
    QTemporaryDir cupsDir;
    std::unique_ptr<QTemporaryDir> jobsDir;
};

void tst_PrinterDaemon::initTestCase()
{
    QVERIFY(cupsDir.isValid());
    // Set before anything asks libcups for its server.
    qputenv("CUPS_SERVER", QFile::encodeName(cupsDir.filePath(QStringLiteral("no-cupsd.sock"))));
    previousHandler = qInstallMessageHandler(captureLines);
    PrinterDaemon::waitRoundMs = 10;
}

void tst_PrinterDaemon::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void tst_PrinterDaemon::init()
{
    capturedLines.clear();
    jobsDir = std::make_unique<QTemporaryDir>();
    QVERIFY(jobsDir->isValid());
}

void tst_PrinterDaemon::cleanup()
{
    jobsDir.reset();
}

PrinterConfig tst_PrinterDaemon::config() const
{
    PrinterConfig config;
    config.localname = printerName;
    config.active = true;
    config.listen = QHostAddress(QHostAddress::LocalHost);
    config.interfacewaittime = 0;
    config.log = 0;
    config.storejobs = true;
    config.jobspath = jobsDir->path();
    return config;
}

// A listener on a free port of the configured address; the lines written
// while finding one are dropped.
std::unique_ptr<PrinterDaemon> tst_PrinterDaemon::listening(PrinterConfig config)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(config.listen, 0))
            return nullptr;
        config.port = probe.serverPort();
        probe.close();
        auto daemon = std::make_unique<PrinterDaemon>(config, &logger);
        if (daemon->startListening()) {
            capturedLines.clear();
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

void tst_PrinterDaemon::accessControl_data()
{
    QTest::addColumn<QStringList>("subnets");
    QTest::addColumn<QString>("client");
    QTest::addColumn<bool>("allowed");

    QTest::newRow("no subnets") << QStringList() << "127.0.0.3" << true;
    QTest::newRow("/32") << QStringList{ "127.0.0.2/32" } << "127.0.0.2" << true;
    QTest::newRow("~/32") << QStringList{ "127.0.0.2/32" } << "127.0.0.3" << false;
    QTest::newRow("/31 upper end") << QStringList{ "127.0.0.2/31" } << "127.0.0.3" << true;
    QTest::newRow("~/31 upper end") << QStringList{ "127.0.0.2/31" } << "127.0.0.4" << false;
    QTest::newRow("/30 lower end") << QStringList{ "127.0.0.4/30" } << "127.0.0.4" << true;
    QTest::newRow("~/30 lower end") << QStringList{ "127.0.0.4/30" } << "127.0.0.3" << false;
    QTest::newRow("overlapping") << QStringList{ "127.0.0.0/8", "127.0.0.2/32" } << "127.0.0.2" << true;
    QTest::newRow("~overlapping") << QStringList{ "127.0.0.0/30", "127.0.0.2/31" } << "127.0.0.4" << false;
    QTest::newRow("second entry") << QStringList{ "10.0.0.0/8", "127.0.0.2/32" } << "127.0.0.2" << true;
    QTest::newRow("~IPv6 entry, IPv4 peer") << QStringList{ "::1/128" } << "127.0.0.2" << false;
    QTest::newRow("unparsable before a match") << QStringList{ "garbage", "127.0.0.0/8" } << "127.0.0.2" << true;
    QTest::newRow("~unparsable only") << QStringList{ "garbage" } << "127.0.0.2" << false;
    QTest::newRow("~unparsable only, several")
        << QStringList{ "garbage", "127.0.0.300/8", "127.0.0.1/33", "::1/129" } << "127.0.0.1" << false;
}

void tst_PrinterDaemon::accessControl()
{
    QFETCH(QStringList, subnets);
    QFETCH(QString, client);
    QFETCH(bool, allowed);

    PrinterConfig config = this->config();
    config.subnets = parseSubnets(subnets);
    if (QByteArray(QTest::currentDataTag()).contains("unparsable only")) {
        // As the configuration keeps entries that do not parse.
        for (const auto &subnet : qAsConst(config.subnets))
            QVERIFY(subnet.first.isNull() && subnet.second == -1);
    }
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
        QTRY_VERIFY(capturedLines.contains(outcomeLine(client)));
        QStringList access;
        for (const QString &captured : qAsConst(capturedLines)) {
            if (captured.startsWith(Logger::label(Logger::Access)))
                access.append(captured);
        }
        QCOMPARE(access, subnets.isEmpty() ? QStringList() : QStringList{ allowedLine });
        const QStringList files = jobFiles();
        QCOMPARE(files.size(), 1);
        QCOMPARE(jobFile(files.first()), payload);
    } else {
        // The client does not close: the listener does.
        QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(capturedLines, QStringList{ deniedLine });
        QCOMPARE(jobFiles(), QStringList());
    }
    // Either way the listener keeps nothing of the connection.
    QTRY_COMPARE(daemon->findChildren<QTcpSocket *>().size(), 0);
    QCOMPARE(capturedLines.count(outcomeLine(client)), allowed ? 1 : 0);
}

void tst_PrinterDaemon::mappedPeerMatchesIPv4Subnet_data()
{
    QTest::addColumn<QString>("subnet");
    QTest::addColumn<bool>("allowed");

    QTest::newRow("127.0.0.0/8") << "127.0.0.0/8" << true;
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
    config.subnets = parseSubnets({ subnet });
    auto daemon = listening(config);
    QVERIFY(daemon);

    auto socket = connectFrom(QHostAddress(QStringLiteral("127.0.0.2")), QHostAddress::LocalHost,
                              daemon->serverPort());
    QVERIFY(socket);
    const QByteArray payload = "mapped";
    socket->write(payload);

    const QString peer = QStringLiteral("::ffff:127.0.0.2");
    if (allowed) {
        socket->disconnectFromHost();
        QTRY_VERIFY(capturedLines.contains(outcomeLine(peer)));
        QCOMPARE(capturedLines.first(),
                 line(Logger::Access, QStringLiteral("Access from ::ffff:127.0.0.2 to printer \"Office Laser\" is allowed")));
        const QStringList files = jobFiles();
        QCOMPARE(files.size(), 1);
        QCOMPARE(jobFile(files.first()), payload);
    } else {
        QTRY_COMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(capturedLines,
                 QStringList{ line(Logger::Access,
                                   QStringLiteral("Access from ::ffff:127.0.0.2 to printer Office Laser is denied")) });
        QCOMPARE(jobFiles(), QStringList());
    }
}

void tst_PrinterDaemon::deliveredJob_data()
{
    QTest::addColumn<bool>("storejobs");
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("stored") << true << binaryPayload(256 * 1024 + 17, 1);
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

    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);
    socket->write(payload);
    socket->disconnectFromHost();

    const QString outcome = outcomeLine(QStringLiteral("127.0.0.1"));
    QTRY_VERIFY(capturedLines.contains(outcome));
    QTRY_COMPARE(daemon->findChildren<QTcpSocket *>().size(), 0);
    if (!storejobs) {
        QCOMPARE(capturedLines, QStringList{ outcome });
        QCOMPARE(jobFiles(), QStringList());
        return;
    }

    QCOMPARE(capturedLines.size(), 2);
    QCOMPARE(capturedLines.first(), outcome);
    static const QRegularExpression stored(
        QStringLiteral("^Print  Print job from 127\\.0\\.0\\.1 stored successful with filename "
                       "\"(\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\})\"$"));
    const QRegularExpressionMatch match = stored.match(capturedLines.last());
    QVERIFY2(match.hasMatch(), qPrintable(capturedLines.last()));
    QCOMPARE(jobFiles(), QStringList{ match.captured(1) + QStringLiteral(".prn") });
    const QByteArray content = jobFile(jobFiles().first());
    QCOMPARE(content.size(), payload.size());
    QVERIFY(content == payload);
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
    QCOMPARE(capturedLines.count(outcomeLine(QStringLiteral("127.0.0.1"))), 1);
    const QStringList files = jobFiles();
    QCOMPARE(files.size(), 1);
    QVERIFY(jobFile(files.first()) == payload);
}

void tst_PrinterDaemon::overlappingConnectionsKeepJobsApart()
{
    auto daemon = listening(config());
    QVERIFY(daemon);
    auto first = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    auto second = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(first && second);
    QTcpSocket *firstServer = nullptr;
    QTcpSocket *secondServer = nullptr;
    QTRY_VERIFY((firstServer = serverSide(*daemon, *first)) && (secondServer = serverSide(*daemon, *second)));

    // Each part is read by the listener before the next one is sent, so the
    // two jobs really arrive interleaved.
    QSignalSpy firstRead(firstServer, &QIODevice::readyRead);
    QSignalSpy secondRead(secondServer, &QIODevice::readyRead);
    first->write("first job, part one; ");
    QVERIFY(firstRead.wait());
    second->write("second job, part one; ");
    QVERIFY(secondRead.wait());
    first->write("first job, part two");
    QVERIFY(firstRead.wait());
    second->write("second job, part two");
    QVERIFY(secondRead.wait());

    const QString outcome = outcomeLine(QStringLiteral("127.0.0.1"));
    first->disconnectFromHost();
    QTRY_COMPARE(capturedLines.count(outcome), 1);
    second->disconnectFromHost();
    QTRY_COMPARE(capturedLines.count(outcome), 2);

    // The storing lines, in the order of delivery, name the files.
    static const QRegularExpression stored(QStringLiteral(" stored successful with filename \"(\\{[^}]+\\})\"$"));
    QStringList names;
    for (const QString &captured : qAsConst(capturedLines)) {
        const QRegularExpressionMatch match = stored.match(captured);
        if (match.hasMatch())
            names.append(match.captured(1) + QStringLiteral(".prn"));
    }
    QCOMPARE(names.size(), 2);
    QVERIFY(names.first() != names.last());
    QCOMPARE(jobFile(names.first()), QByteArray("first job, part one; first job, part two"));
    QCOMPARE(jobFile(names.last()), QByteArray("second job, part one; second job, part two"));
    QCOMPARE(jobFiles().size(), 2);
}

void tst_PrinterDaemon::unopenableJobFile()
{
    PrinterConfig config = this->config();
    config.jobspath = jobsDir->filePath(QStringLiteral("missing"));
    auto daemon = listening(config);
    QVERIFY(daemon);

    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);
    socket->write("lost job");
    socket->disconnectFromHost();

    QTRY_COMPARE(capturedLines.size(), 2);
    QCOMPARE(capturedLines.first(), outcomeLine(QStringLiteral("127.0.0.1")));
    const QRegularExpression error(
        QStringLiteral("^Error  Couldn't open file \"") + QRegularExpression::escape(config.jobspath)
        + QStringLiteral("/\\{[0-9a-f-]{36}\\}\\.prn\" for writing print job from 127\\.0\\.0\\.1$"));
    QVERIFY2(error.match(capturedLines.last()).hasMatch(), qPrintable(capturedLines.last()));
    // Storing never makes the folder.
    QVERIFY(!QFileInfo::exists(config.jobspath));
}

// A file size limit makes the write of the job file short, as a full disk
// would.
void tst_PrinterDaemon::shortWriteIsNotStored()
{
    auto daemon = listening(config());
    QVERIFY(daemon);
    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);
    const QByteArray payload = binaryPayload(64 * 1024, 4);
    socket->write(payload);

    {
        FileSizeLimit limit(4096);
        QVERIFY(limit.active);
        socket->disconnectFromHost();
        QTRY_COMPARE(capturedLines.size(), 2);
    }

    QCOMPARE(capturedLines.first(), outcomeLine(QStringLiteral("127.0.0.1")));
    const QRegularExpression error(QStringLiteral("^Error  Couldn't write print job to file \"")
                                   + QRegularExpression::escape(jobsDir->path())
                                   + QStringLiteral("/\\{[0-9a-f-]{36}\\}\\.prn\" from 127\\.0\\.0\\.1$"));
    QVERIFY2(error.match(capturedLines.last()).hasMatch(), qPrintable(capturedLines.last()));
    // Whatever stays on disk is not the job.
    const QStringList files = jobFiles();
    for (const QString &name : files)
        QVERIFY(jobFile(name).size() < payload.size());
}

void tst_PrinterDaemon::connectionWhilePausedIsClosedUnlogged()
{
    PrinterConfig config = this->config();
    config.subnets = parseSubnets({ QStringLiteral("127.0.0.0/8") });
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
    QCOMPARE(capturedLines, QStringList());
    QCOMPARE(daemon->findChildren<QTcpSocket *>().size(), 0);
    // The listener's end of the connection is closed, not left open.
    refused.reset();
    QCOMPARE(openSockets(), socketsBefore);

    daemon->resume();
    QVERIFY(!daemon->isPaused());
    auto served = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(served);
    served->write("sent after resume");
    served->disconnectFromHost();
    QTRY_VERIFY(capturedLines.contains(outcomeLine(QStringLiteral("127.0.0.1"))));
    QVERIFY(capturedLines.contains(
        line(Logger::Access, QStringLiteral("Access from 127.0.0.1 to printer \"Office Laser\" is allowed"))));
    const QStringList files = jobFiles();
    QCOMPARE(files.size(), 1);
    QCOMPARE(jobFile(files.first()), QByteArray("sent after resume"));
}

void tst_PrinterDaemon::jobAcrossPause_data()
{
    QTest::addColumn<bool>("resumeBeforeClose");
    QTest::addColumn<QByteArray>("afterResume");

    QTest::newRow("closed while paused") << false << QByteArray();
    QTest::newRow("closed after resume") << true << QByteArray();
    QTest::newRow("continued after resume") << true << QByteArray("part three");
}

void tst_PrinterDaemon::jobAcrossPause()
{
    QFETCH(bool, resumeBeforeClose);
    QFETCH(QByteArray, afterResume);

    auto daemon = listening(config());
    QVERIFY(daemon);
    auto socket = connectFrom(QHostAddress(), QHostAddress::LocalHost, daemon->serverPort());
    QVERIFY(socket);
    QTcpSocket *server = nullptr;
    QTRY_VERIFY((server = serverSide(*daemon, *socket)));
    QSignalSpy arrived(server, &QIODevice::readyRead);

    const QByteArray before = "part one, before the pause; ";
    socket->write(before);
    QVERIFY(arrived.wait());
    QCOMPARE(server->bytesAvailable(), 0);

    daemon->pause();
    const QByteArray whilePaused = binaryPayload(2000, 5);
    socket->write(whilePaused);
    QVERIFY(arrived.wait());
    // Held back in the connection while paused.
    QCOMPARE(server->bytesAvailable(), qint64(whilePaused.size()));

    if (resumeBeforeClose)
        daemon->resume();
    if (!afterResume.isEmpty()) {
        socket->write(afterResume);
        QVERIFY(arrived.wait());
        QCOMPARE(server->bytesAvailable(), 0);
    }
    socket->disconnectFromHost();

    QTRY_COMPARE(capturedLines.count(outcomeLine(QStringLiteral("127.0.0.1"))), 1);
    QCOMPARE(daemon->isPaused(), !resumeBeforeClose);
    const QStringList files = jobFiles();
    QCOMPARE(files.size(), 1);
    QVERIFY(jobFile(files.first()) == before + whilePaused + afterResume);
}

void tst_PrinterDaemon::refusesToListen_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("portZero");
    QTest::addColumn<QString>("reasonWord");

    QTest::newRow("null address") << QString() << false << "address";
    QTest::newRow("port 0") << "127.0.0.1" << true << "port";
}

// Qt would take a null address for every interface and port 0 for any port.
void tst_PrinterDaemon::refusesToListen()
{
    QFETCH(QString, address);
    QFETCH(bool, portZero);
    QFETCH(QString, reasonWord);

    PrinterConfig config = this->config();
    config.listen = QHostAddress(address);
    config.interfacewaittime = 60;
    if (!portZero) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        config.port = probe.serverPort();
    }
    PrinterDaemon daemon(config, &logger);
    const int socketsBefore = openSockets();

    QVERIFY(!daemon.startListening());
    QVERIFY(!daemon.isListening());
    QCOMPARE(openSockets(), socketsBefore);
    QVERIFY(daemon.errorString().contains(reasonWord));
    QCOMPARE(capturedLines,
             QStringList{ line(Logger::Error, QStringLiteral("Printer \"Office Laser\" cannot listen: ")
                                                  + daemon.errorString()) });
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
    PrinterDaemon daemon(config, &logger);
    QVERIFY(!daemon.startListening());
    QVERIFY(!daemon.isListening());
    QCOMPARE(capturedLines, QStringList{ line(Logger::Error, second.errorString()) });
    QCOMPARE(daemon.errorString(), second.errorString());
}

void tst_PrinterDaemon::waitsForListenAddress_data()
{
    QTest::addColumn<int>("interfacewaittime");
    QTest::addColumn<int>("rounds");

    QTest::newRow("negative") << -10 << 0;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("5") << 5 << 0;
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
    PrinterDaemon daemon(config, &logger);

    QVERIFY(!daemon.startListening());
    QVERIFY(!daemon.isListening());
    QCOMPARE(daemon.serverError(), QAbstractSocket::SocketAddressNotAvailableError);
    const QString wait =
        line(Logger::Error, QStringLiteral("Wait 10 seconds for network interface with address 198.51.100.7"));
    QStringList expected;
    for (int i = 0; i < rounds; ++i)
        expected.append(wait);
    QCOMPARE(capturedLines, expected);
}

// The address comes up while the listener waits for it: added to the
// loopback interface when the first wait line is written.
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
    QTest::newRow("ed") << ipv4 << "127.0.0.0/8" << (PrinterConfig::LogError | PrinterConfig::LogDebug) << local4
                        << allowed4;
    QTest::newRow("~none") << ipv4 << "127.0.0.0/8" << 0 << QString() << allowed4;
    QTest::newRow("~p") << ipv4 << "127.0.0.0/8" << int(PrinterConfig::LogPrint) << QString() << allowed4;
    QTest::newRow("~a") << ipv4 << "127.0.0.0/8" << int(PrinterConfig::LogAccess) << QString() << allowed4;
    QTest::newRow("~pe") << ipv4 << "127.0.0.0/8" << (PrinterConfig::LogPrint | PrinterConfig::LogError)
                         << QString() << allowed4;
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
    config.subnets = parseSubnets({ subnet });
    config.log = log;
    auto daemon = listening(config);
    QVERIFY(daemon);
    auto socket = connectFrom(QHostAddress(), address, daemon->serverPort());
    QVERIFY(socket);

    const QString accessLine = line(Logger::Access, access);
    QTRY_VERIFY(capturedLines.contains(accessLine));
    QStringList expected;
    if (!debug.isEmpty())
        expected.append(line(Logger::Debug, debug));
    expected.append(accessLine);
    QCOMPARE(capturedLines, expected);
}

QTEST_GUILESS_MAIN(tst_PrinterDaemon)
#include "tst_printerdaemon.moc"
