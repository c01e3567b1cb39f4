// The print service: configuration, listeners, pause, resume and stop.
#include "printerservice.h"

#include "datafolder.h"
#include "hangupnotifier.h"
#include "logger.h"
#include "memorystore.h"
#include "metricsfile.h"
#include "printer.h"
#include "printjob.h"
#include "privatefiles.h"
#include "servicenotify.h"
#include "socketio.h"
#include "spoolstore.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

// Descriptors the service needs besides its printers': the log, the spool
// folder's files, the scheduler's connections.
const int SpareDescriptors = 32;

} // namespace

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
    PrivateFiles::failWritesPastSizeLimits();
}

PrinterService::~PrinterService()
{
    delete metrics;
    spool.reset();
    memory.reset();
    delete logger;
}

bool PrinterService::readSettings(Settings *settings, QString *error) const
{
    const QString path = dataFolder.isEmpty() ? QString() : dataFolder + QStringLiteral("settings.json");
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Couldn't open config file: ") + path;
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
        *error = QStringLiteral("Couldn't read config file: %1: %2 at offset %3")
                     .arg(path, parseError.errorString(), QString::number(parseError.offset));
        return false;
    }
    const QJsonObject object = document.object();
    settings->logType = object.value(QLatin1String("logtype")).toString().toLower();
    settings->metricsFile = object.value(QLatin1String("metricsfile")).toString();
    if (!settings->metricsFile.isEmpty() && QDir::isRelativePath(settings->metricsFile))
        settings->metricsFile.prepend(dataFolder);
    const QJsonArray list = object.value(QLatin1String("printers")).toArray();
    for (const QJsonValue &element : list)
        settings->printers.append(PrinterConfig::fromJson(element.toObject(), dataFolder));
    return true;
}

void PrinterService::prepareFolder(const PrinterConfig &printer)
{
    if (!printer.jobspath.isEmpty() && !QDir().exists(printer.jobspath)) {
        if (PrivateFiles::makeFolder(printer.jobspath, PrivateFiles::OwnerAndGroup))
            logger->log(QStringLiteral("Folder created - ") + printer.jobspath, Logger::Info);
        else
            logger->log(QStringLiteral("Couldn't create folder -") + printer.jobspath, Logger::Error);
    }
}

void PrinterService::listenLine(const PrinterConfig &printer)
{
    logger->log(QStringLiteral("Listen address for printer \"%1\" is %2 port %3")
                    .arg(printer.localname, printer.listen.toString(), QString::number(printer.port)),
                Logger::Info);
}

bool PrinterService::loadConfig()
{
    dataFolder = dataFolderPath();
    const QString path = dataFolder.isEmpty() ? QString() : dataFolder + QStringLiteral("settings.json");
    qInfo() << qPrintable(Logger::label(Logger::Info) + QStringLiteral("Config file name is")) << path;

    Settings settings;
    QString error;
    if (!readSettings(&settings, &error)) {
        logger->setLogType(Logger::EventLog);
        logger->log(error, Logger::Error);
        if (error.startsWith(QLatin1String("Couldn't open")))
            qInfo() << Logger::label(Logger::Error) + error;
        return false;
    }

    qInfo() << qPrintable(Logger::label(Logger::Info) + QStringLiteral("Logging type")) << settings.logType;
    logger->setLogType(settings.logType == QLatin1String("textfile") ? Logger::TextFileLog : Logger::EventLog);
    metricsFile = settings.metricsFile;

    // Each printer in file order: its job folder made where it is missing,
    // and a line on where it listens.
    for (const PrinterConfig &printer : qAsConst(settings.printers)) {
        prepareFolder(printer);
        listenLine(printer);
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
    // goes on in a new file of the same name, and reads the settings again.
    auto hangup = new HangupNotifier(application);
    QObject::connect(hangup, &HangupNotifier::hangup, hangup, [this] {
        logger->reopen();
        reload();
    });

    // Every printer holds descriptors of its own (a listening socket, its
    // delivery thread's), and every connection one or two more: as many as
    // the system lets the service have. A start that could not even give
    // each printer its own ends here, rather than with a printer that has
    // no thread.
    const long limit = SocketIo::raiseDescriptorLimit();
    const int open = SocketIo::openDescriptors();
    const int active = int(std::count_if(printers.cbegin(), printers.cend(),
                                         [](const PrinterConfig &printer) { return printer.active; }));
    if (limit > 0 && open >= 0 && open + SpareDescriptors + active * Printer::DescriptorsPerPrinter > limit) {
        logger->log(QStringLiteral("Couldn't start %1 printers: the service may open %2 files, enough for about %3 "
                                   "printers")
                        .arg(active)
                        .arg(limit)
                        .arg(qMax<long>(0, (limit - open - SpareDescriptors) / Printer::DescriptorsPerPrinter)),
                    Logger::Error);
        QCoreApplication::exit(-98);
        return;
    }

    // Jobs go to the spool folder as they arrive; what it cannot take is
    // held in memory, and a stop loses it.
    memory = std::make_unique<MemoryStore>(logger);
    spool = std::make_unique<SpoolStore>(dataFolder, logger, memory.get());
    spool->prepare();
    // What an earlier run left: storing that a crash cut short is finished
    // first (no delivery thread runs yet), then the complete jobs are read,
    // before any new job can come and be taken for a remnant.
    for (const PrinterConfig &config : qAsConst(printers)) {
        if (config.storejobs && spool->archiveRefusal(config.jobspath).isEmpty())
            spool->recoverStoring(config.jobspath);
    }
    const QList<PrintJob> left = spool->recover();

    // Every active printer is tried, also after one has failed; the start
    // is over when each listens or has failed.
    const QList<PrinterConfig> configs = printers;
    for (const PrinterConfig &config : configs) {
        if (!config.active)
            continue;
        auto printer = new Printer(config, logger, spool.get(), application);
        created.append(printer);
        ++pendingStarts;
        QObject::connect(printer, &Printer::started, printer,
                         [this, printer](bool listening) { printerStarted(printer, listening); });
    }
    startTime = QDateTime::currentMSecsSinceEpoch();
    QObject::connect(&metricsTimer, &QTimer::timeout, [this] { writeMetrics(); });
    setMetricsFile(metricsFile);

    const QList<Printer *> starting = created;
    for (Printer *printer : starting)
        printer->startListening();
    if (starting.isEmpty())
        printerStarted(nullptr, true);

    // The complete jobs an earlier run left go to their printers first,
    // before any new one can arrive (connections are taken only once this
    // returns).
    unclaimed = left;
    claimWaitingJobs();
    for (const PrintJob &job : qAsConst(unclaimed)) {
        logger->log(QStringLiteral("Print job from %1 waits in the spool folder: printer \"%2\" is not active")
                        .arg(job.peer, job.printer),
                    Logger::Error);
    }
}

void PrinterService::printerStarted(Printer *printer, bool isListening)
{
    if (printer && isListening) {
        listening.append(printer);
    } else if (printer) {
        logger->log(QStringLiteral("Failed to start. Error: ") + printer->errorString(), Logger::Error);
        if (!startComplete)
            startFailed = true;
    }
    // A printer that a reload brought: the service runs on either way.
    if (startComplete) {
        reportStatus();
        return;
    }
    if (printer && --pendingStarts > 0)
        return;
    if (startFailed) {
        QCoreApplication::exit(-98);
        return;
    }
    startComplete = true;
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
    int listeningPrinters = 0;
    int pausedPrinters = 0;
    quint64 printed = 0;
    quint64 failed = 0;
    int waiting = 0;
    qint64 lastJob = 0;
    for (const Printer *printer : qAsConst(listening)) {
        const PrinterStatus status = printer->status();
        listeningPrinters += status.listening ? 1 : 0;
        pausedPrinters += status.paused ? 1 : 0;
        printed += status.printed;
        failed += status.failed;
        waiting += status.waiting;
        lastJob = qMax<qint64>(lastJob, status.lastJob);
    }
    QString text = QStringLiteral("%1: %2 printer(s) listening, %3 paused; %4 job(s) printed, %5 failed, %6 waiting")
                       .arg(paused ? QStringLiteral("Paused") : QStringLiteral("Running"))
                       .arg(listeningPrinters)
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
    QList<PrinterStatus> statuses;
    for (const Printer *printer : qAsConst(listening))
        statuses.append(printer->status());
    // Reported once when writing stops working, and once when it works again.
    QString error;
    const bool written = metrics->update(statuses, &error);
    if (written == metricsFailing)
        logger->log(written ? QStringLiteral("Metrics file %1 is written again").arg(metrics->path())
                            : QStringLiteral("Couldn't write metrics file %1: %2").arg(metrics->path(), error),
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
    const QList<Printer *> all = created + retiring;
    for (Printer *printer : all)
        printer->closeConnections();
    const QDeadlineTimer deadline(stopWaitMs);
    for (Printer *printer : all)
        printer->stopDelivery(deadline);
    if (metrics)
        writeMetrics();
}

void PrinterService::pause()
{
    paused = true;
    for (Printer *printer : listening + retiring)
        printer->pause();
}

void PrinterService::resume()
{
    paused = false;
    for (Printer *printer : listening + retiring)
        printer->resume();
}

void PrinterService::processCommand(int code)
{
    if (code == ReloadCommand)
        reload();
}

void PrinterService::setMetricsFile(const QString &path)
{
    if (metrics && metrics->path() == path)
        return;
    delete metrics;
    metrics = nullptr;
    metricsFailing = false;
    metricsTimer.stop();
    metricsFile = path;
    if (path.isEmpty())
        return;
    metrics = new MetricsFile(path, startTime);
    metricsTimer.start(metricsIntervalMs);
    if (startComplete)
        writeMetrics();
}

Printer *PrinterService::startPrinter(const PrinterConfig &config)
{
    auto printer = new Printer(config, logger, spool.get(), application);
    QObject::connect(printer, &Printer::started, printer,
                     [this, printer](bool listening) { printerStarted(printer, listening); });
    if (paused)
        printer->pause();
    printer->startListening();
    return printer;
}

void PrinterService::retire(Printer *printer)
{
    listening.removeAll(printer);
    retiring.append(printer);
    QObject::connect(printer, &Printer::retired, printer, [this, printer] {
        retiring.removeAll(printer);
        printer->deleteLater();
    });
    printer->retire();
}

void PrinterService::claimWaitingJobs()
{
    QList<PrintJob> still;
    for (const PrintJob &job : qAsConst(unclaimed)) {
        Printer *owner = nullptr;
        for (Printer *printer : qAsConst(created)) {
            if (printer->name() == job.printer && (!owner || printer->settings().port == job.port))
                owner = printer;
        }
        if (owner)
            owner->submit(job);
        else
            still.append(job);
    }
    unclaimed = still;
}

void PrinterService::reload()
{
    // Asked for during the start (or the stop): the settings just read stand.
    if (!startComplete || !spool)
        return;
    ServiceNotify::send("RELOADING=1\nSTATUS=Reloading settings");

    // The whole file first: nothing changes unless all of it would start.
    Settings next;
    QString error;
    if (readSettings(&next, &error)) {
        for (const PrinterConfig &config : qAsConst(next.printers)) {
            const QString refusal = config.active ? Printer::check(config) : QString();
            if (!refusal.isEmpty()) {
                error = QStringLiteral("printer \"%1\" cannot listen: %2").arg(config.localname, refusal);
                break;
            }
        }
    }
    if (!error.isEmpty()) {
        logger->log(QStringLiteral("Settings not reloaded: ") + error, Logger::Error);
        reportStatus("READY=1\n");
        return;
    }

    logger->setLogType(next.logType == QLatin1String("textfile") ? Logger::TextFileLog : Logger::EventLog);
    setMetricsFile(next.metricsFile);

    // Printer by printer: the same printer has the same name and port.
    QList<PrinterConfig> coming;
    for (const PrinterConfig &config : qAsConst(next.printers)) {
        if (config.active)
            coming.append(config);
    }
    int added = 0, removed = 0, changed = 0, unchanged = 0;
    const QList<Printer *> current = created;
    created.clear();
    for (Printer *printer : current) {
        const auto same = std::find_if(coming.begin(), coming.end(), [printer](const PrinterConfig &config) {
            return config.isSamePrinter(printer->settings());
        });
        if (same == coming.end()) {
            retire(printer);
            ++removed;
            continue;
        }
        const PrinterConfig config = *same;
        coming.erase(same);
        if (config == printer->settings() && printer->isListening()) {
            created.append(printer);
            ++unchanged;
            continue;
        }
        ++changed;
        prepareFolder(config);
        if (config.listen == printer->settings().listen && printer->isListening()) {
            printer->reconfigure(config);
            created.append(printer);
            continue;
        }
        // Another address: the old listener goes, its connections finish.
        retire(printer);
        listenLine(config);
        created.append(startPrinter(config));
    }
    for (const PrinterConfig &config : qAsConst(coming)) {
        prepareFolder(config);
        listenLine(config);
        created.append(startPrinter(config));
        ++added;
    }
    printers = next.printers;
    claimWaitingJobs();

    logger->log(QStringLiteral("Settings reloaded: %1 printer(s) added, %2 removed, %3 changed, %4 unchanged")
                    .arg(added)
                    .arg(removed)
                    .arg(changed)
                    .arg(unchanged),
                Logger::Info);
    reportStatus("READY=1\n");
}
