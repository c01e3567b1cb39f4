// The print service in process, run as the emulated service manager's
// service, paused and continued again and again while client threads stream
// jobs at it. While paused, new connections are turned away, and a
// connection admitted before the pause is not read: its job goes through
// once the service continues. No job may be delivered in part, and every
// job that a client saw through must be delivered.
#include "emulatedservicemanager.h"
#include "inprocessservice.h"
#include "netclient.h"
#include "logger.h"
#include "memorystore.h"
#include "printerservice.h"
#include "printjob.h"
#include "servicecontroller.h"
#include "spoolstore.h"

#include <QCryptographicHash>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QThread>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const QString Name = QStringLiteral("Quillport");
const int Timeout = 60000;
const int Streamers = 3;
const int Cycles = 40;
// The longest a streaming client runs, whatever happens.
const int StreamLimitMs = 10 * Timeout;

QByteArray fingerprint(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1);
}

// What every client did: a fingerprint per job, kept apart by whether the
// client saw the job through; and counters the driver waits on.
class Record
{
public:
    void add(const QByteArray &print, bool completed, bool turnedAway, const QString &error)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            (completed ? completedJobs : otherJobs).insert(print, 0);
            if (completed)
                ++completedCount;
            if (turnedAway)
                ++turnedAwayCount;
            if (!error.isEmpty() && errors.size() < 10)
                errors << error;
        }
        changed.notify_all();
    }
    // A client that gave up without a job of its own.
    void fail(const QString &error)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (errors.size() < 10)
                errors << error;
        }
        changed.notify_all();
    }

    // Waits until the counter has reached the value; false after the time.
    bool waitFor(const int Record::*counter, int value, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return this->*counter >= value || !errors.isEmpty(); })
            && this->*counter >= value;
    }
    int count(const int Record::*counter)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return this->*counter;
    }

    std::mutex mutex;
    std::condition_variable changed;
    QHash<QByteArray, int> completedJobs;
    QHash<QByteArray, int> otherJobs;
    QStringList errors;
    int completedCount = 0;
    int turnedAwayCount = 0;
};

// One client thread: job after job on its own connection, each with its own
// payload, until told to stop. How many jobs that is depends on the machine:
// while the service is paused each one is turned away at once, and a fast run
// makes tens of thousands. So a client is bounded by time alone, and one that
// reaches the bound says so rather than leaving the driver waiting for jobs
// that nobody sends.
void stream(int streamer, quint16 port, const std::atomic<bool> &stop, Record &record)
{
    QRandomGenerator sizes(quint32(1000 + streamer));
    const QDeadlineTimer deadline(StreamLimitMs);
    for (quint64 attempt = 0; !stop; ++attempt) {
        if (deadline.hasExpired()) {
            record.fail(QStringLiteral("streamer %1 was not stopped within %2 s").arg(streamer).arg(StreamLimitMs / 1000));
            return;
        }
        // No two payloads are the same, whatever the number of attempts: the
        // seed is unique to the client and the attempt.
        const QByteArray payload = randomBytes(16 + int(sizes.bounded(64 * 1024)), attempt * Streamers + quint64(streamer));
        ClientPool pool(port);
        ClientConnection *connection = pool.add(payload, Ending::Finish);
        if (!pool.runUntilDone(QDeadlineTimer(Timeout))) {
            record.add(fingerprint(payload), false, false, QStringLiteral("a job got no answer in time"));
            return;
        }
        const bool completed = connection->completed();
        // Turned away: closed or reset by the server before the job was in.
        const bool turnedAway = !completed
            && (connection->outcome == Outcome::ServerReset || connection->outcome == Outcome::ServerClosed);
        record.add(fingerprint(payload), completed, turnedAway,
                   completed || turnedAway ? QString() : QStringLiteral("streamed job: ") + connection->error);
    }
}

// A line of /proc/self/status, in bytes.
qint64 residentMemory(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

int debugLines(const QString &logFile)
{
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return int(file.readAll().count("Debug  Local address: "));
}

} // namespace

class tst_PauseUnderLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pauseAndContinueWhileStreaming();
    void pausedPrinterHoldsNoJobInMemory();

private:
    static QJsonObject printer(const QString &name, quint16 port, const QString &log = QString());

    InProcessService service;
};

void tst_PauseUnderLoad::initTestCase()
{
    QVERIFY(EmulatedServiceManager::install());
    QVERIFY(raiseDescriptorLimit() > 0);
}

QJsonObject tst_PauseUnderLoad::printer(const QString &name, quint16 port, const QString &log)
{
    return QJsonObject{ { QStringLiteral("localname"), name },
                        { QStringLiteral("active"), true },
                        { QStringLiteral("port"), int(port) },
                        { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
                        { QStringLiteral("storejobs"), true },
                        { QStringLiteral("jobspath"), name },
                        { QStringLiteral("log"), log },
                        { QStringLiteral("retrytime"), 0 } };
}

void tst_PauseUnderLoad::pauseAndContinueWhileStreaming()
{
    // Jobs stream to one printer; the jobs that straddle a pause go to the
    // other, whose Debug line tells when the service has admitted one.
    const quint16 streamPort = freePort();
    const quint16 straddlePort = freePort();
    QVERIFY(streamPort != 0 && straddlePort != 0 && streamPort != straddlePort);
    const QJsonArray printers{ printer(QStringLiteral("stream"), streamPort, QString()),
                               printer(QStringLiteral("straddle"), straddlePort, QStringLiteral("d")) };

    Record record;
    QList<QByteArray> straddlers;
    const QString driverError = service.run(printers, [&]() -> QString {
        const QString logFile = service.dataFolder() + QStringLiteral("Quillport.log");
        std::atomic<bool> stopStreaming{ false };
        std::vector<std::thread> streamers;
        for (int i = 0; i < Streamers; ++i)
            streamers.emplace_back(stream, i, streamPort, std::cref(stopStreaming), std::ref(record));
        auto drive = [&]() -> QString {
            ServiceController controller(InProcessService::Name);
            for (int cycle = 0; cycle < Cycles; ++cycle) {
                // Running: jobs go through.
                const int completed = record.count(&Record::completedCount);
                if (!record.waitFor(&Record::completedCount, completed + 5, Timeout))
                    return QStringLiteral("cycle %1: no jobs went through while running").arg(cycle);

                // A job that starts before the pause and ends during it.
                const QByteArray payload = randomBytes(20000 + cycle * 1000, quint64(900 + cycle));
                straddlers << payload;
                ClientPool pool(straddlePort);
                ClientConnection *connection = pool.add(payload, Ending::Finish, nullptr, payload.size() / 2);
                if (!pool.stepUntil([&] { return connection->isHeld() || connection->isDone(); },
                                    QDeadlineTimer(Timeout))
                    || !connection->isHeld())
                    return QStringLiteral("cycle %1: the straddling job did not start").arg(cycle);
                if (!pool.stepUntil([&] { return debugLines(logFile) == cycle + 1 || connection->isDone(); },
                                    QDeadlineTimer(Timeout))
                    || connection->isDone())
                    return QStringLiteral("cycle %1: the straddling job was not admitted").arg(cycle);

                if (!controller.pause())
                    return QStringLiteral("cycle %1: pause failed").arg(cycle);
                // Paused: new connections are turned away. (The streamers
                // may all be in connections admitted before the pause, which
                // wait unread.)
                for (int probe = 0; probe < 3; ++probe) {
                    ClientPool turnedAway(streamPort);
                    ClientConnection *refused = turnedAway.add(randomBytes(4000, quint64(probe)), Ending::Finish);
                    if (!turnedAway.runUntilDone(QDeadlineTimer(Timeout)) || refused->completed())
                        return QStringLiteral("cycle %1: a connection was not turned away while paused").arg(cycle);
                }
                // The admitted client sends the rest and closes; nobody
                // reads it while paused.
                connection->release();
                if (pool.runUntilDone(QDeadlineTimer(100)))
                    return QStringLiteral("cycle %1: the straddling job was read while paused").arg(cycle);

                if (!controller.resume())
                    return QStringLiteral("cycle %1: continue failed").arg(cycle);
                if (!pool.runUntilDone(QDeadlineTimer(Timeout)) || !connection->completed())
                    return QStringLiteral("cycle %1: the straddling job did not go through once continued: %2")
                        .arg(cycle)
                        .arg(connection->error);
            }
            return QString();
        };
        const QString error = drive();
        stopStreaming = true;
        for (std::thread &thread : streamers)
            thread.join();
        return error;
    });
    // What the clients recorded comes with the driver's failure: a driver
    // that saw no jobs go through may only be telling that a client failed.
    QStringList failures = record.errors;
    if (!driverError.isEmpty())
        failures.prepend(driverError);
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
    const QString logFile = service.dataFolder() + QStringLiteral("Quillport.log");

    // What waits in the spool folder, for the printer that took it, as the
    // next start would find it.
    Logger logger;
    MemoryStore memory(&logger);
    SpoolStore spool(service.dataFolder(), &logger, &memory);
    QHash<QString, QList<QByteArray>> waiting;
    for (const PrintJob &job : spool.recover()) {
        QString error;
        const std::unique_ptr<QIODevice> bytes = spool.open(job, &error);
        QVERIFY2(bytes, qPrintable(error));
        waiting[job.printer] << bytes->read(job.size);
    }
    const auto storedJobs = [&](const QString &printer) {
        QList<QByteArray> jobs;
        const QDir folder(service.dataFolder() + printer);
        for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
            QFile job(folder.filePath(name));
            jobs << (job.open(QIODevice::ReadOnly) ? job.readAll() : QByteArray("<unreadable " + name.toUtf8() + '>'));
        }
        return jobs;
    };

    // Every stored job is one whole payload that a client saw through, and
    // every job that a client saw through is stored, or waits in the spool
    // folder when the stop came before its delivery: none in part, none twice.
    QHash<QByteArray, int> stored;
    const QList<QByteArray> streamed = storedJobs(QStringLiteral("stream")) + waiting.value(QStringLiteral("stream"));
    for (const QByteArray &job : streamed) {
        const QByteArray print = fingerprint(job);
        QVERIFY2(!record.otherJobs.contains(print), "a job that its client did not see through was kept");
        QVERIFY2(record.completedJobs.contains(print), "a job was kept that is no whole job");
        QVERIFY2(!stored.contains(print), "a job was kept twice");
        stored.insert(print, 0);
    }
    QCOMPARE(stored.size(), record.completedJobs.size());

    QList<QByteArray> straddled = storedJobs(QStringLiteral("straddle")) + waiting.value(QStringLiteral("straddle"));
    std::sort(straddled.begin(), straddled.end());
    std::sort(straddlers.begin(), straddlers.end());
    QVERIFY(straddled == straddlers);

    // One outcome line and one storing line per job; every one names its
    // client.
    QFile log(logFile);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'));
    const int jobs = int(streamed.size() + straddled.size()) - waiting.value(QStringLiteral("stream")).size()
        - waiting.value(QStringLiteral("straddle")).size();
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral(" Print  Print job from 127\\.0\\.0\\.1 finished with error$"))).size(),
             jobs);
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral(" Print  Print job from 127\\.0\\.0\\.1 stored successful "))).size(),
             jobs);
    // The jobs left in the spool folder are told per printer at the stop.
    const QRegularExpression waitLine(
        QStringLiteral(" Info   (\\d+) print job\\(s\\) for printer \"(\\w+)\" wait in the spool folder for the next start$"));
    QHash<QString, int> told;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = waitLine.match(line);
        if (match.hasMatch())
            told[match.captured(2)] += match.captured(1).toInt();
    }
    for (auto left = waiting.cbegin(); left != waiting.cend(); ++left)
        QCOMPARE(told.value(left.key()), left.value().size());
    QCOMPARE(told.size(), waiting.size());
    qInfo("%d jobs streamed through, %d connections turned away while paused, %d jobs across a pause; "
          "%d straddling and %d streamed job(s) waited in the spool folder at the stop",
          int(stored.size()), record.turnedAwayCount, int(straddled.size()),
          int(waiting.value(QStringLiteral("straddle")).size()), int(waiting.value(QStringLiteral("stream")).size()));
}

// What a paused printer's client sends waits in the system's buffers and
// the client's window, not in this program's memory: 200 MiB against a
// paused printer, then continued, leave the resident memory where it was.
void tst_PauseUnderLoad::pausedPrinterHoldsNoJobInMemory()
{
    const quint16 port = freePort();
    QJsonObject settings = printer(QStringLiteral("paused"), port, QStringLiteral("d"));
    settings.insert(QStringLiteral("storejobs"), false);
    qint64 before = 0;
    qint64 peak = 0;
    const QString error = service.run(QJsonArray{ settings }, [&]() -> QString {
        // A client of its own, so that the 200 MiB are not in this process.
        QProcess client;
        client.start(QStringLiteral("sh"), { QStringLiteral("-c"),
                                             QStringLiteral("head -c 209715200 /dev/zero | nc -N 127.0.0.1 %1").arg(port) });
        if (!client.waitForStarted(Timeout))
            return QStringLiteral("the client did not start");
        // Admitted (its Debug line is written), then paused.
        QDeadlineTimer admitted(Timeout);
        while (debugLines(service.dataFolder() + QStringLiteral("Quillport.log")) == 0 && !admitted.hasExpired())
            QThread::msleep(5);
        if (!ServiceController(InProcessService::Name).pause())
            return QStringLiteral("pause failed");
        // The peak from here on (writing 5 resets it).
        QFile peakReset(QStringLiteral("/proc/self/clear_refs"));
        if (!peakReset.open(QIODevice::WriteOnly) || peakReset.write("5") != 1)
            return QStringLiteral("cannot reset the peak of resident memory");
        peakReset.close();
        before = residentMemory(QByteArrayLiteral("VmRSS:"));
        // Nothing to wait for: the printer is not to read. The client fills
        // what the system buffers long before this.
        if (client.waitForFinished(2000))
            return QStringLiteral("the paused printer took the whole job");
        if (!ServiceController(InProcessService::Name).resume())
            return QStringLiteral("continue failed");
        if (!client.waitForFinished(Timeout) || client.exitCode() != 0)
            return QStringLiteral("the job did not go through once continued");
        peak = residentMemory(QByteArrayLiteral("VmHWM:"));
        return QString();
    });
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY2(peak - before < 64 * 1024 * 1024,
             qPrintable(QStringLiteral("resident memory rose from %1 to %2 kB").arg(before / 1024).arg(peak / 1024)));
}

QTEST_APPLESS_MAIN(tst_PauseUnderLoad)
#include "tst_pauseunderload.moc"
