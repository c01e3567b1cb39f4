// The whole way of a print job with real parts: a raw client on loopback,
// the quillport program run in the foreground as a child process, and a
// private CUPS scheduler whose queues keep every printed job as a file.
#include "privatecups.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

#include <algorithm>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Program = QStringLiteral(QUILLPORT_PATH);
// Generous bounds for waits that normally end in milliseconds; a 20 MB job
// under the sanitizers takes a few seconds.
const int Timeout = 60000;

const QString Completed = QStringLiteral("Print  Print job from 127.0.0.1 completed successful");
const QString Failed = QStringLiteral("Print  Print job from 127.0.0.1 finished with error");
const QRegularExpression StoredLine(QStringLiteral(
    "^Print  Print job from 127\\.0\\.0\\.1 stored successful with filename "
    "\"(\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\})\"$"));

// The service must not outlive a test process that dies.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

// A raw print client that ends its job as real clients do: it sends the
// bytes, shuts its sending side and waits for the server to close.
class RawClient
{
public:
    ~RawClient()
    {
        if (fd >= 0)
            close(fd);
    }

    bool connectTo(quint16 port)
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            ? true
            : fail("connect");
    }

    bool send(const char *data, qsizetype size)
    {
        while (size > 0) {
            const ssize_t sent = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
            if (sent < 0)
                return fail("send");
            data += sent;
            size -= sent;
        }
        return true;
    }
    bool send(const QByteArray &data) { return send(data.constData(), data.size()); }

    bool shutdownWrite() { return ::shutdown(fd, SHUT_WR) == 0 ? true : fail("shutdown"); }

    // True when the server closes the connection in an orderly way within
    // the time, without having sent anything.
    bool waitForClose(int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        pollfd entry = { fd, POLLIN, 0 };
        for (;;) {
            const int ready = poll(&entry, 1, int(qMax<qint64>(deadline.remainingTime(), 0)));
            if (ready == 0) {
                error = QStringLiteral("the server did not close the connection");
                return false;
            }
            if (ready < 0)
                return fail("poll");
            char byte;
            const ssize_t got = recv(fd, &byte, 1, 0);
            if (got == 0)
                return true;
            if (got > 0) {
                error = QStringLiteral("the server sent data");
                return false;
            }
            return fail("recv");
        }
    }

    bool finish(int timeoutMs) { return shutdownWrite() && waitForClose(timeoutMs); }

    QString error;

private:
    bool fail(const char *what)
    {
        error = QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
        return false;
    }

    int fd = -1;
};

QByteArray randomBytes(int size, quint32 seed)
{
    QVector<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

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

// The job file that a storing line names; empty for any other line.
QString storedFile(const QString &line)
{
    const QRegularExpressionMatch match = StoredLine.match(line);
    return match.hasMatch() ? match.captured(1) + QStringLiteral(".prn") : QString();
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

} // namespace

#define QVERIFY_SAME_BYTES(actual, expected)                                                                  \
    do {                                                                                                      \
        const QByteArray difference = sameBytes(actual, expected);                                            \
        QVERIFY2(difference.isEmpty(), difference.constData());                                               \
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

private:
    bool startService(const QString &localname, bool storeJobs, const QString &logSelection = QString());
    bool stopService();
    // The log lines without their time stamps.
    QStringList logLines() const;
    QStringList printLines() const;
    int count(const QString &line) const { return int(logLines().count(line)); }
    int storedCount() const { return int(logLines().filter(StoredLine).size()); }
    QString jobsFolder() const { return dataFolder + QStringLiteral("jobs"); }
    QStringList jobFiles() const { return QDir(jobsFolder()).entryList(QDir::Files | QDir::Hidden); }
    QByteArray jobFile(const QString &name) const;
    QString serviceOutput() const;

    PrivateCups cups;
    int queues = 0;
    QString queue;
    std::unique_ptr<QTemporaryDir> temporary;
    QString dataFolder;
    QString cupsServer;
    std::unique_ptr<QProcess> service;
    quint16 port = 0;
};

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
    temporary.reset(new QTemporaryDir);
    QVERIFY(temporary->isValid());
    dataFolder = temporary->filePath(QStringLiteral("share/quillport/"));
    QVERIFY(QDir().mkpath(dataFolder));
    cupsServer = cups.serverName();
}

void tst_EndToEnd::cleanup()
{
    if (QTest::currentTestFailed() && service)
        qWarning().noquote() << "quillport's output:\n" << serviceOutput();
    if (service && service->state() != QProcess::NotRunning) {
        service->kill();
        service->waitForFinished(Timeout);
    }
    service.reset();
}

bool tst_EndToEnd::startService(const QString &localname, bool storeJobs, const QString &logSelection)
{
    port = freePort();
    if (port == 0)
        return false;
    const QJsonObject printer{ { QStringLiteral("localname"), localname },
                               { QStringLiteral("active"), true },
                               { QStringLiteral("port"), int(port) },
                               { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
                               { QStringLiteral("storejobs"), storeJobs },
                               { QStringLiteral("jobspath"), QStringLiteral("jobs") },
                               { QStringLiteral("subnets"), QString() },
                               { QStringLiteral("log"), logSelection } };
    const QJsonObject settings{ { QStringLiteral("logtype"), QStringLiteral("textfile") },
                                { QStringLiteral("printers"), QJsonArray{ printer } } };
    QFile file(dataFolder + QStringLiteral("settings.json"));
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(settings).toJson()) <= 0)
        return false;
    file.close();

    // The data folder is the first of XDG_DATA_DIRS, plus the program name.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), temporary->filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), temporary->filePath(QStringLiteral("share")));
    environment.insert(QStringLiteral("CUPS_SERVER"), cupsServer);
    service.reset(new ChildProcess);
    service->setProcessEnvironment(environment);
    service->setStandardOutputFile(temporary->filePath(QStringLiteral("stdout")));
    service->setStandardErrorFile(temporary->filePath(QStringLiteral("stderr")));
    service->start(Program, { QStringLiteral("-e") });
    if (!service->waitForStarted(Timeout))
        return false;

    QDeadlineTimer deadline(Timeout);
    while (!logLines().contains(QStringLiteral("Info   Service started successful"))) {
        if (service->waitForFinished(10) || deadline.hasExpired()) {
            qWarning().noquote() << "quillport did not start:" << serviceOutput();
            return false;
        }
    }
    return true;
}

bool tst_EndToEnd::stopService()
{
    // SIGTERM ends the foreground run as a stop does, with exit code 0; the
    // log is complete once the program has ended.
    if (::kill(pid_t(service->processId()), SIGTERM) != 0 || !service->waitForFinished(Timeout)) {
        qWarning().noquote() << "quillport did not stop:" << serviceOutput();
        return false;
    }
    if (service->exitStatus() != QProcess::NormalExit || service->exitCode() != 0) {
        qWarning().noquote() << "quillport ended with" << service->exitCode() << serviceOutput();
        return false;
    }
    return true;
}

QStringList tst_EndToEnd::logLines() const
{
    QFile file(dataFolder + QStringLiteral("Quillport.log"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines;
    // Only whole lines: the last one may still be being written.
    const QList<QByteArray> raw = file.readAll().split('\n');
    for (int i = 0; i + 1 < raw.size(); ++i)
        lines.append(QString::fromUtf8(raw.at(i)).section(QLatin1Char(' '), 1));
    return lines;
}

QStringList tst_EndToEnd::printLines() const
{
    return logLines().filter(QRegularExpression(QStringLiteral("^Print  ")));
}

QByteArray tst_EndToEnd::jobFile(const QString &name) const
{
    QFile file(jobsFolder() + QLatin1Char('/') + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArrayLiteral("(missing)");
}

QString tst_EndToEnd::serviceOutput() const
{
    QFile file(temporary->filePath(QStringLiteral("stderr")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

void tst_EndToEnd::oneJob_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("storeJobs");

    QTest::newRow("1 byte, stored") << 1 << true;
    QTest::newRow("100 KB, stored") << 100 * 1024 << true;
    QTest::newRow("20 MB, stored") << 20 * 1024 * 1024 << true;
    QTest::newRow("1 byte, not stored") << 1 << false;
    QTest::newRow("100 KB, not stored") << 100 * 1024 << false;
}

void tst_EndToEnd::oneJob()
{
    QFETCH(int, size);
    QFETCH(bool, storeJobs);

    QVERIFY(startService(queue, storeJobs));
    const QByteArray payload = randomBytes(size, quint32(size));
    RawClient client;
    QVERIFY2(client.connectTo(port) && client.send(payload) && client.finish(Timeout), qPrintable(client.error));

    QVERIFY(cups.waitForJobs(queue, 1, Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(count(Completed), 1, Timeout);
    QVERIFY(stopService());

    const QList<QByteArray> documents = cups.documents(queue);
    QCOMPARE(documents.size(), 1);
    QVERIFY_SAME_BYTES(documents.first(), payload);

    const QStringList lines = printLines();
    if (!storeJobs) {
        QCOMPARE(lines, QStringList{ Completed });
        QCOMPARE(jobFiles(), QStringList());
        return;
    }
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), Completed);
    const QString name = storedFile(lines.at(1));
    QVERIFY2(!name.isEmpty(), qPrintable(lines.at(1)));
    QCOMPARE(jobFiles(), QStringList{ name });
    QVERIFY_SAME_BYTES(jobFile(name), payload);
}

void tst_EndToEnd::jobsInARow()
{
    QVERIFY(startService(queue, true));
    const QList<QByteArray> payloads{ randomBytes(5000, 11), randomBytes(7000, 12) };
    for (int i = 0; i < payloads.size(); ++i) {
        RawClient client;
        QVERIFY2(client.connectTo(port) && client.send(payloads.at(i)) && client.finish(Timeout),
                 qPrintable(client.error));
        // The second job starts only when the first has gone through.
        QTRY_COMPARE_WITH_TIMEOUT(storedCount(), i + 1, Timeout);
    }
    QVERIFY(cups.waitForJobs(queue, 2, Timeout));
    QVERIFY(stopService());

    QCOMPARE(cups.documents(queue), payloads);
    const QStringList lines = printLines();
    QCOMPARE(lines.size(), 4);
    QStringList names;
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(lines.at(2 * i), Completed);
        names.append(storedFile(lines.at(2 * i + 1)));
        QVERIFY2(!names.last().isEmpty(), qPrintable(lines.at(2 * i + 1)));
        QCOMPARE(jobFile(names.last()), payloads.at(i));
    }
    QVERIFY(names.at(0) != names.at(1));
    names.sort();
    QCOMPARE(jobFiles(), names);
}

void tst_EndToEnd::emptyJob()
{
    QVERIFY(startService(queue, true));
    RawClient client;
    QVERIFY2(client.connectTo(port) && client.finish(Timeout), qPrintable(client.error));
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), 1, Timeout);
    QVERIFY(stopService());

    // CUPS takes no document without data: the job is reported as failed,
    // and neither prints nor stays queued. It is still stored, empty.
    const QStringList lines = printLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), Failed);
    const QString name = storedFile(lines.at(1));
    QVERIFY2(!name.isEmpty(), qPrintable(lines.at(1)));
    QCOMPARE(jobFiles(), QStringList{ name });
    QCOMPARE(jobFile(name), QByteArray());

    bool ok = false;
    QVERIFY(cups.pendingJobs(queue, &ok).isEmpty());
    QVERIFY(ok);
    QCOMPARE(cups.jobFiles(queue), QStringList());
}

void tst_EndToEnd::printerUnreachable_data()
{
    QTest::addColumn<bool>("knownQueue");
    QTest::addColumn<bool>("schedulerThere");

    QTest::newRow("queue that CUPS does not know") << false << true;
    QTest::newRow("no scheduler") << true << false;
}

void tst_EndToEnd::printerUnreachable()
{
    QFETCH(bool, knownQueue);
    QFETCH(bool, schedulerThere);

    bool ok = false;
    const int jobsBefore = cups.jobs(QString(), &ok).size();
    QVERIFY(ok);

    if (!schedulerThere)
        cupsServer = temporary->filePath(QStringLiteral("missing.sock"));
    QVERIFY(startService(knownQueue ? queue : QStringLiteral("nosuchqueue"), true));
    const QByteArray payload = randomBytes(100 * 1024, 21);
    RawClient client;
    QVERIFY2(client.connectTo(port) && client.send(payload) && client.finish(Timeout), qPrintable(client.error));
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), 1, Timeout);
    QVERIFY(stopService());

    const QStringList lines = printLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), Failed);
    const QString name = storedFile(lines.at(1));
    QVERIFY2(!name.isEmpty(), qPrintable(lines.at(1)));
    QCOMPARE(jobFiles(), QStringList{ name });
    QVERIFY_SAME_BYTES(jobFile(name), payload);

    // Nothing reached any queue; the job is kept only in its file.
    QCOMPARE(cups.jobs(QString(), &ok).size(), jobsBefore);
    QVERIFY(ok);
}

void tst_EndToEnd::overlappingConnections()
{
    // The Debug line of every accepted connection shows when the service
    // holds all of them at once.
    QVERIFY(startService(queue, true, QStringLiteral("d")));

    const int clients = 20;
    QList<QByteArray> payloads;
    for (int i = 0; i < clients; ++i)
        payloads.append(randomBytes(1000 + int(QRandomGenerator(quint32(100 + i)).bounded(200 * 1024)),
                                    quint32(100 + i)));

    std::vector<std::unique_ptr<RawClient>> connections;
    for (const QByteArray &payload : qAsConst(payloads)) {
        connections.emplace_back(new RawClient);
        RawClient &client = *connections.back();
        QVERIFY2(client.connectTo(port) && client.send(payload.constData(), payload.size() / 2),
                 qPrintable(client.error));
    }
    const QRegularExpression accepted(QStringLiteral("^Debug  Local address: "));
    QTRY_COMPARE_WITH_TIMEOUT(logLines().filter(accepted).size(), clients, Timeout);
    QCOMPARE(printLines(), QStringList());

    for (int i = 0; i < clients; ++i) {
        RawClient &client = *connections[size_t(i)];
        const QByteArray &payload = payloads.at(i);
        QVERIFY2(client.send(payload.constData() + payload.size() / 2, payload.size() - payload.size() / 2)
                     && client.shutdownWrite(),
                 qPrintable(client.error));
    }
    for (auto &client : connections)
        QVERIFY2(client->waitForClose(Timeout), qPrintable(client->error));

    QVERIFY(cups.waitForJobs(queue, clients, Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(storedCount(), clients, Timeout);
    QVERIFY(stopService());
    QCOMPARE(count(Completed), clients);

    // Every document and every stored file is exactly one of the payloads,
    // and every payload arrived once: the sorted lists are equal.
    QList<QByteArray> expected = payloads;
    std::sort(expected.begin(), expected.end());
    QVERIFY(std::adjacent_find(expected.begin(), expected.end()) == expected.end());

    QList<QByteArray> documents = cups.documents(queue);
    QCOMPARE(documents.size(), clients);
    std::sort(documents.begin(), documents.end());
    QVERIFY(documents == expected);

    const QStringList files = jobFiles();
    QCOMPARE(files.size(), clients);
    QList<QByteArray> stored;
    for (const QString &file : files)
        stored.append(jobFile(file));
    std::sort(stored.begin(), stored.end());
    QVERIFY(stored == expected);
}

void tst_EndToEnd::schedulerRestart()
{
    // The service keeps its connection to CUPS from one job to the next; a
    // restart of the scheduler (or its dropping of idle clients) closes it.
    QVERIFY(startService(queue, false));
    const QList<QByteArray> payloads{ randomBytes(3000, 31), randomBytes(4000, 32) };
    for (int i = 0; i < payloads.size(); ++i) {
        if (i == 1) {
            // Completed first, so that the restarted scheduler does not print it again.
            QTRY_VERIFY_WITH_TIMEOUT(cups.jobs(queue).value(0).state == PrivateCups::Job::Completed, Timeout);
            QVERIFY2(cups.restart(), qPrintable(cups.errorString()));
        }
        RawClient client;
        QVERIFY2(client.connectTo(port) && client.send(payloads.at(i)) && client.finish(Timeout),
                 qPrintable(client.error));
        QTRY_COMPARE_WITH_TIMEOUT(printLines().size(), i + 1, Timeout);
    }
    QVERIFY(stopService());

    QCOMPARE(printLines(), (QStringList{ Completed, Completed }));
    QVERIFY(cups.waitForJobs(queue, 2, Timeout));
    QCOMPARE(cups.documents(queue), payloads);
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
