// Outputs beyond the local spooler, with quillport -e as a child process: a
// network printer on its raw port (Debian's p910nd writing to a file, or a
// printer of the test's own that breaks its connection), and a device (a
// FIFO the test reads, a regular file). A printer that stops reading is
// tried on the outputs themselves, in process.
#include "childprocess.h"
#include "deviceoutput.h"
#include "netclient.h"
#include "quillportchild.h"
#include "socketoutput.h"

#include <QBuffer>
#include <QMutex>

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Program = QStringLiteral(QUILLPORT_PATH);
const int Timeout = 30000;
const QString Completed = QStringLiteral("Print  Print job from 127.0.0.1 completed successful");
const QString Deferred = QStringLiteral("Error  Print job from 127.0.0.1 waits for printer \"out\": *");
// p910nd listens on port 9100 + its printer number, here on an address of
// its own.
const QString PrinterAddress = QStringLiteral("127.0.0.9");
const quint16 PrinterPort = 9101;

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A raw print daemon as the network printer. It writes each job from the
// start of its device, so its device is a FIFO whose reader collects the
// jobs one after another into `file`. Both end with the test.
class RawPrinter
{
public:
    bool start(const QString &file)
    {
        // Where the daemon keeps its lock, made by its init script otherwise.
        QDir().mkpath(QStringLiteral("/var/lock/p910nd"));
        const QString fifo = file + QStringLiteral(".fifo");
        QFile::remove(fifo);
        if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
            return false;
        // Opened for reading and writing, the FIFO does not end between jobs.
        collector.start(QStringLiteral("sh"), { QStringLiteral("-c"), QStringLiteral("exec cat 0<>\"$0\" >\"$1\""),
                                                fifo, file });
        daemon.start(QStringLiteral("p910nd"), { QStringLiteral("-d"), QStringLiteral("-f"), fifo, QStringLiteral("-i"),
                                                 PrinterAddress, QString::number(PrinterPort - 9100) });
        if (!collector.waitForStarted(Timeout) || !daemon.waitForStarted(Timeout))
            return false;
        // Up once it takes connections.
        for (QDeadlineTimer deadline(Timeout); !deadline.hasExpired(); QThread::msleep(20)) {
            QTcpSocket probe;
            probe.connectToHost(PrinterAddress, PrinterPort);
            if (probe.waitForConnected(1000))
                return true;
        }
        return false;
    }

private:
    ChildProcess collector;
    ChildProcess daemon;
};

} // namespace

class tst_Outputs : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void networkPrinter();
    void networkPrinterAwayForAWhile();
    void networkPrinterResetsMidJob();
    void deviceThatBlocks();
    void regularFile();
    void printerThatStopsReading_data();
    void printerThatStopsReading();

private:
    bool startService(const QString &output);
    void send(const QByteArray &payload);

    QTemporaryDir folder;
    std::unique_ptr<QuillportChild> child;
    quint16 port = 0;
};

void tst_Outputs::init()
{
    QVERIFY(folder.isValid());
    child = std::make_unique<QuillportChild>(Program);
}

void tst_Outputs::cleanup()
{
    if (QTest::currentTestFailed() && child)
        qWarning().noquote() << child->output();
    child.reset();
}

bool tst_Outputs::startService(const QString &output)
{
    port = freePort();
    const QJsonObject printer{ { QStringLiteral("localname"), QStringLiteral("out") },
                               { QStringLiteral("active"), true },
                               { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
                               { QStringLiteral("port"), port },
                               { QStringLiteral("output"), output },
                               { QStringLiteral("storejobs"), true },
                               { QStringLiteral("jobspath"), QStringLiteral("jobs") },
                               { QStringLiteral("retrytime"), 60 } };
    if (child->writePrinters({ printer }) && child->start(Timeout))
        return true;
    qWarning().noquote() << child->errorString;
    return false;
}

void tst_Outputs::send(const QByteArray &payload)
{
    QString why;
    QVERIFY2(sendJob(port, payload, Timeout, &why), qPrintable(why));
}

void tst_Outputs::networkPrinter()
{
    if (QStandardPaths::findExecutable(QStringLiteral("p910nd")).isEmpty())
        QSKIP("p910nd is not installed (Debian: p910nd)");
    const QString printed = folder.filePath(QStringLiteral("printed"));
    RawPrinter printer;
    QVERIFY(printer.start(printed));
    QVERIFY(startService(QStringLiteral("socket://%1:%2").arg(PrinterAddress).arg(PrinterPort)));

    const QList<QByteArray> payloads{ randomBytes(300000, 1), randomBytes(5, 2), randomBytes(70000, 3) };
    for (const QByteArray &payload : payloads)
        send(payload);
    QVERIFY(child->waitForLine(Completed, Timeout, payloads.size()));
    // Each job whole and once, in order; and stored as any other job.
    QTRY_COMPARE_WITH_TIMEOUT(contents(printed).size(), payloads.join().size(), Timeout);
    QVERIFY(contents(printed) == payloads.join());
    QTRY_COMPARE_WITH_TIMEOUT(child->jobFiles().size(), payloads.size(), Timeout);
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
}

// A printer switched off for a while: the jobs wait and arrive once each
// when it is back.
void tst_Outputs::networkPrinterAwayForAWhile()
{
    if (QStandardPaths::findExecutable(QStringLiteral("p910nd")).isEmpty())
        QSKIP("p910nd is not installed (Debian: p910nd)");
    QVERIFY(startService(QStringLiteral("socket://%1:%2").arg(PrinterAddress).arg(PrinterPort)));
    const QList<QByteArray> payloads{ randomBytes(20000, 4), randomBytes(30000, 5) };
    for (const QByteArray &payload : payloads)
        send(payload);
    QVERIFY(child->waitForLine(Deferred, Timeout, 2));

    const QString printed = folder.filePath(QStringLiteral("printed-later"));
    RawPrinter printer;
    QVERIFY(printer.start(printed));
    QVERIFY(child->waitForLine(Completed, Timeout, payloads.size()));
    QTRY_COMPARE_WITH_TIMEOUT(contents(printed).size(), payloads.join().size(), Timeout);
    QVERIFY(contents(printed) == payloads.join());
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
}

// A printer that breaks the connection part-way: the job is not printed,
// it is sent again, whole.
void tst_Outputs::networkPrinterResetsMidJob()
{
    QTcpServer printer;
    QVERIFY(printer.listen(QHostAddress::LocalHost));
    int connections = 0;
    QByteArray received;
    bool closed = false;
    connect(&printer, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *socket = printer.nextPendingConnection();
        socket->setParent(&printer);
        const bool first = ++connections == 1;
        connect(socket, &QTcpSocket::readyRead, socket, [&, socket, first] {
            const QByteArray piece = socket->readAll();
            if (!first) {
                received += piece;
                return;
            }
            // Part of the first try, then a reset.
            const linger reset = { 1, 0 };
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            socket->abort();
        });
        connect(socket, &QTcpSocket::disconnected, socket, [&, first] { closed = closed || !first; });
        if (!first) {
            // The job has ended when the sender shuts its side: close ours.
            connect(socket, &QTcpSocket::readChannelFinished, socket, [socket] { socket->disconnectFromHost(); });
        }
    });

    QVERIFY(startService(QStringLiteral("socket://127.0.0.1:%1").arg(printer.serverPort())));
    const QByteArray payload = randomBytes(3 * 1024 * 1024, 6);
    send(payload);
    QTRY_VERIFY_WITH_TIMEOUT(child->countLines(Completed) == 1, Timeout);
    QCOMPARE(connections, 2);
    QVERIFY(received == payload);
    const QStringList deferrals = child->logLines().filter(QStringLiteral(" waits for printer \"out\": "));
    QCOMPARE(deferrals.size(), 1);
    QCOMPARE(child->countLines(QStringLiteral("Print  Print job from 127.0.0.1 finished with error")), 0);
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
}

// A FIFO stands for a printer device: not there until somebody reads it (a
// printer switched off), then taking data only as fast as it is read.
void tst_Outputs::deviceThatBlocks()
{
    const QString fifo = folder.filePath(QStringLiteral("lp0"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(startService(QStringLiteral("device:") + fifo));
    const QByteArray payload = randomBytes(1024 * 1024, 7);
    send(payload);
    QVERIFY(child->waitForLine(Deferred, Timeout));

    // The printer comes on, and reads slowly.
    const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    QByteArray read;
    QDeadlineTimer deadline(Timeout);
    char buffer[16384];
    while (read.size() < payload.size() && !deadline.hasExpired()) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0)
            read.append(buffer, int(count));
        else
            QThread::msleep(2);
    }
    ::close(fd);
    QVERIFY(read == payload);
    QVERIFY(child->waitForLine(Completed, Timeout));
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
}

// A regular file collects the jobs one after another.
void tst_Outputs::regularFile()
{
    const QString file = folder.filePath(QStringLiteral("collected.prn"));
    QFile create(file);
    QVERIFY(create.open(QIODevice::WriteOnly) && create.write("before\n") == 7);
    create.close();
    QVERIFY(startService(QStringLiteral("device:") + file));
    const QList<QByteArray> payloads{ randomBytes(4000, 8), randomBytes(9000, 9) };
    for (const QByteArray &payload : payloads)
        send(payload);
    QVERIFY(child->waitForLine(Completed, Timeout, payloads.size()));
    QVERIFY(contents(file) == "before\n" + payloads.join());
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
}

void tst_Outputs::printerThatStopsReading_data()
{
    QTest::addColumn<bool>("network");
    QTest::addColumn<bool>("stop");

    QTest::newRow("network printer") << true << false;
    QTest::newRow("device") << false << false;
    QTest::newRow("network printer, stop while waiting") << true << true;
    QTest::newRow("device, stop while waiting") << false << true;
}

// A printer out of paper takes the start of a job and then nothing: it is
// waited on, not failed, with a line once it has read nothing for a while
// and one once it reads again; the job arrives whole. A stop while it waits
// ends the delivery at once as "not there right now", which keeps the job.
void tst_Outputs::printerThatStopsReading()
{
    QFETCH(bool, network);
    QFETCH(bool, stop);
    const int notice = Output::stallNoticeMs;
    Output::stallNoticeMs = 1000;
    const auto restore = qScopeGuard([notice] { Output::stallNoticeMs = notice; });

    // The printer: a listening socket, or a FIFO opened for reading; read
    // from only when the test says.
    int listener = -1;
    int printer = -1;
    std::unique_ptr<Output> output;
    QString name;
    if (network) {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(listener, 1) == 0
                && ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        name = QStringLiteral("127.0.0.1 port %1").arg(ntohs(address.sin_port));
        output = std::make_unique<SocketOutput>(QStringLiteral("127.0.0.1"), ntohs(address.sin_port));
    } else {
        name = folder.filePath(QStringLiteral("paperless-%1").arg(qHash(QByteArray(QTest::currentDataTag()))));
        QCOMPARE(::mkfifo(QFile::encodeName(name).constData(), 0600), 0);
        printer = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(printer >= 0);
        output = std::make_unique<DeviceOutput>(name);
    }
    const auto closeAll = qScopeGuard([&] {
        for (const int fd : { listener, printer }) {
            if (fd >= 0)
                ::close(fd);
        }
    });
    QMutex mutex;
    QStringList notices;
    output->notices = [&](const QString &text, bool problem) {
        QMutexLocker locker(&mutex);
        notices << (problem ? QStringLiteral("problem: ") : QStringLiteral("news: ")) + text;
    };
    const auto noticeCount = [&] {
        QMutexLocker locker(&mutex);
        return notices.size();
    };

    // Far more than the system buffers between the two.
    QByteArray payload = randomBytes(32 * 1024 * 1024, 11);
    QBuffer document(&payload);
    QVERIFY(document.open(QIODevice::ReadOnly));
    std::atomic<bool> stopping{ false };
    Output::Result result{ Output::Failed, QStringLiteral("not run") };
    std::thread delivering([&] { result = output->deliver(document, payload.size(), QStringLiteral("job"), stopping); });
    const auto join = qScopeGuard([&] {
        if (delivering.joinable()) {
            stopping = true;
            delivering.join();
        }
    });
    if (network) {
        pollfd waiting = { listener, POLLIN, 0 };
        QVERIFY(::poll(&waiting, 1, Timeout) == 1);
        printer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        QVERIFY(printer >= 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(noticeCount(), 1, Timeout);
    QCOMPARE(notices.first(), QStringLiteral("problem: %1 has read nothing for 1 s; waiting").arg(name));
    if (stop) {
        stopping = true;
        delivering.join();
        QCOMPARE(result.outcome, Output::Unavailable);
        QCOMPARE(result.reason, QStringLiteral("the service is stopping"));
        return;
    }

    // Paper again: the printer reads the job to its end, then closes.
    QByteArray printed;
    char buffer[65536];
    for (QDeadlineTimer deadline(Timeout); !deadline.hasExpired();) {
        const ssize_t count = ::read(printer, buffer, sizeof buffer);
        if (count > 0)
            printed.append(buffer, int(count));
        else if (count == 0 || printed.size() == payload.size())
            break;
        else
            QThread::msleep(1);
    }
    ::close(printer);
    printer = -1;
    delivering.join();
    QCOMPARE(result.outcome, Output::Delivered);
    QVERIFY(printed == payload);
    QCOMPARE(notices, (QStringList{ QStringLiteral("problem: %1 has read nothing for 1 s; waiting").arg(name),
                                    QStringLiteral("news: %1 reads again").arg(name) }));
}

QTEST_GUILESS_MAIN(tst_Outputs)
#include "tst_outputs.moc"
