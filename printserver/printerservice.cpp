// The print service: configuration, listeners, pause, resume and stop.
#include "printerservice.h"

#include "datafolder.h"
#include "hangupnotifier.h"
#include "logger.h"
#include "metricsfile.h"
#include "printerdaemon.h"
#include "printjob.h"
#include "privatefiles.h"
#include "servicenotify.h"
#include "spoolfolder.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

int PrinterService::stopWaitMs = 5000;
int PrinterService::metricsIntervalMs = 5000;

PrinterService::PrinterService(int argc, char **argv)
    : Service<QCoreApplication>(argc, argv, QStringLiteral("Quillport"))
{
    setServiceDescription(QStringLiteral("Quillport"));
    setServiceFlags(PauseAllowed);
    logger = new Logger;
    // Before any thread of the framework or of the printers starts.
    HangupNotifier::holdBack();
}

PrinterService::~PrinterService()
{
    delete metrics;
    delete logger;
}

bool PrinterService::loadConfig()
{
    dataFolder = dataFolderPath();
    const QString path = dataFolder.isEmpty() ? QString() : dataFolder + QStringLiteral("settings.json");
    qInfo() << qPrintable(Logger::label(Logger::Info) + QStringLiteral("Config file name is")) << path;

    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        logger->setLogType(Logger::EventLog);
        logger->log(QStringLiteral("Couldn't open config file: ") + path, Logger::Error);
        qInfo() << Logger::label(Logger::Error) + QStringLiteral("Couldn't open config file: ") + path;
        return false;
    }
    const QByteArray content = file.readAll();
    file.close();

    // A file that holds nothing is a configuration without printers; text
    // that does not parse is a mistake that must not start a service with
    // none.
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(content, &parseError);
    if (document.isNull() && !content.trimmed().isEmpty()) {
        logger->setLogType(Logger::EventLog);
        logger->log(QStringLiteral("Couldn't read config file: %1: %2 at offset %3")
                        .arg(path, parseError.errorString(), QString::number(parseError.offset)),
                    Logger::Error);
        return false;
    }
    const QJsonObject settings = document.object();

    const QString logType = settings.value(QLatin1String("logtype")).toString().toLower();
    qInfo() << qPrintable(Logger::label(Logger::Info) + QStringLiteral("Logging type")) << logType;
    logger->setLogType(logType == QLatin1String("textfile") ? Logger::TextFileLog : Logger::EventLog);

    metricsFile = settings.value(QLatin1String("metricsfile")).toString();
    if (!metricsFile.isEmpty() && QDir::isRelativePath(metricsFile))
        metricsFile.prepend(dataFolder);

    // Each printer in file order: its job folder made where it is missing,
    // and a line on where it listens.
    const QJsonArray list = settings.value(QLatin1String("printers")).toArray();
    for (const QJsonValue &element : list) {
        const PrinterConfig printer = PrinterConfig::fromJson(element.toObject(), dataFolder);
        if (!printer.jobspath.isEmpty() && !QDir().exists(printer.jobspath)) {
            if (PrivateFiles::makeFolder(printer.jobspath, PrivateFiles::OwnerAndGroup))
                logger->log(QStringLiteral("Folder created - ") + printer.jobspath, Logger::Info);
            else
                logger->log(QStringLiteral("Couldn't create folder -") + printer.jobspath, Logger::Error);
        }
        logger->log(QStringLiteral("Listen address for printer \"%1\" is %2 port %3")
                        .arg(printer.localname, printer.listen.toString(), QString::number(printer.port)),
                    Logger::Info);
        printers.append(printer);
    }
    return true;
}



void PrinterService::start()
{
    if (!loadConfig()) {
        QCoreApplication::exit(-99);
        return;
    }

    // A reload (SIGHUP) reopens the text log, so that a log rotated aside
    // goes on in a new file of the same name.
    auto hangup = new HangupNotifier(application);
    QObject::connect(hangup, &HangupNotifier::hangup, hangup, [this] { logger->reopen(); });

    // Jobs go to the spool folder as they arrive; without it they are held
    // in memory, and a stop loses them.
    const QString spoolFolder = SpoolFolder::path(dataFolder);
    QString spoolError;
    if (!SpoolFolder::create(spoolFolder, &spoolError))
        logger->log(QStringLiteral("Couldn't use spool folder %1: %2").arg(spoolFolder, spoolError), Logger::Error);
    // Read before any new job can arrive, so that none of them is taken
    // for a remnant.
    SpoolFolder::Contents left = SpoolFolder::recover(spoolFolder);

    // Every active printer is tried, also after one has failed; the start
    // is over when each listens or has failed.
    const QList<PrinterConfig> configs = printers;
    for (const PrinterConfig &config : configs) {
        if (!config.active)
            continue;
        auto daemon = new PrinterDaemon(config, logger, spoolFolder, application);
        created.append(daemon);
        ++pendingStarts;
        QObject::connect(daemon, &PrinterDaemon::started, daemon,
                         [this, daemon](bool listening) { daemonStarted(daemon, listening); });
    }
    if (!metricsFile.isEmpty()) {
        metrics = new MetricsFile(metricsFile, QDateTime::currentMSecsSinceEpoch());
        QObject::connect(&metricsTimer, &QTimer::timeout, [this] { writeMetrics(); });
        metricsTimer.start(metricsIntervalMs);
    }

    const QList<PrinterDaemon *> starting = created;
    for (PrinterDaemon *daemon : starting)
        daemon->startListening();
    if (starting.isEmpty())
        daemonStarted(nullptr, true);

    for (const QPair<QString, qint64> &removed : qAsConst(left.removed))
        logger->log(QStringLiteral("Removed incomplete print job %1 (%2 bytes) from the spool folder")
                        .arg(removed.first)
                        .arg(removed.second),
                    Logger::Error);
    if (!left.jobs.isEmpty())
        logger->log(QStringLiteral("Found %1 complete print job(s) in the spool folder").arg(left.jobs.size()),
                    Logger::Info);
    for (const PrintJob &job : qAsConst(left.jobs)) {
        PrinterDaemon *owner = nullptr;
        for (PrinterDaemon *daemon : qAsConst(created)) {
            if (daemon->name() == job.printer && (!owner || daemon->printerPort() == job.port))
                owner = daemon;
        }
        if (owner)
            owner->submit(job);
        else
            logger->log(QStringLiteral("Print job from %1 waits in the spool folder: printer \"%2\" is not active")
                            .arg(job.peer, job.printer),
                        Logger::Error);
    }
}

void PrinterService::daemonStarted(PrinterDaemon *daemon, bool listening)
{
    if (daemon && listening) {
        daemons.append(daemon);
    } else if (daemon) {
        logger->log(QStringLiteral("Failed to start. Error: ") + daemon->errorString(), Logger::Error);
        startFailed = true;
    }
    if (daemon && --pendingStarts > 0)
        return;
    if (startFailed) {
        QCoreApplication::exit(-98);
        return;
    }
    logger->log(QStringLiteral("Service started successful"), Logger::Info);
    // Every printer listens: the service manager may count the service as
    // up, and is kept told how it is doing.
    reportStatus("READY=1\n");
    if (metrics)
        writeMetrics();
    QObject::connect(&statusTimer, &QTimer::timeout, [this] { reportStatus(); });
    statusTimer.start(1000);
}

QString PrinterService::statusText() const
{
    int listening = 0;
    int pausedPrinters = 0;
    quint64 printed = 0;
    quint64 failed = 0;
    int waiting = 0;
    qint64 lastJob = 0;
    for (const PrinterDaemon *daemon : qAsConst(daemons)) {
        listening += daemon->isListening() ? 1 : 0;
        pausedPrinters += daemon->isPaused() ? 1 : 0;
        printed += daemon->stats().printed;
        failed += daemon->stats().failed;
        waiting += daemon->waitingJobs();
        lastJob = qMax<qint64>(lastJob, daemon->stats().lastJob);
    }
    QString text = QStringLiteral("%1: %2 printer(s) listening, %3 paused; %4 job(s) printed, %5 failed, %6 waiting")
                       .arg(paused ? QStringLiteral("Paused") : QStringLiteral("Running"))
                       .arg(listening)
                       .arg(pausedPrinters)
                       .arg(printed)
                       .arg(failed)
                       .arg(waiting);
    if (lastJob > 0)
        text += QStringLiteral("; last job %1").arg(QDateTime::fromMSecsSinceEpoch(lastJob).toString(Qt::ISODate));
    return text;
}

void PrinterService::reportStatus(const QByteArray &extra)
{
    if (!ServiceNotify::isAvailable())
        return;
    const QString text = statusText();
    if (text == lastStatus && extra.isEmpty())
        return;
    if (ServiceNotify::send(extra + "STATUS=" + text.toUtf8()))
        lastStatus = text;
}

void PrinterService::writeMetrics()
{
    // Reported once when writing stops working, and once when it works again.
    const bool written = metrics->update(daemons);
    if (written == metricsFailing)
        logger->log(written ? QStringLiteral("Metrics file %1 is written again").arg(metrics->path())
                            : QStringLiteral("Couldn't write metrics file %1").arg(metrics->path()),
                    written ? Logger::Info : Logger::Error);
    metricsFailing = !written;
}

void PrinterService::stop()
{
    statusTimer.stop();
    metricsTimer.stop();
    ServiceNotify::send("STOPPING=1\nSTATUS=Stopping");
    // First every complete job goes to its queue, then the queues stop
    // together, by one deadline.
    for (PrinterDaemon *daemon : qAsConst(created))
        daemon->closeConnections();
    const QDeadlineTimer deadline(stopWaitMs);
    for (PrinterDaemon *daemon : qAsConst(created))
        daemon->stopDelivery(deadline);
    if (metrics)
        writeMetrics();
}

void PrinterService::pause()
{
    paused = true;
    for (PrinterDaemon *daemon : qAsConst(daemons))
        daemon->pause();
}

void PrinterService::resume()
{
    paused = false;
    for (PrinterDaemon *daemon : qAsConst(daemons))
        daemon->resume();
}
