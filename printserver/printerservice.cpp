// The print service: configuration, listeners, pause, resume and stop.
#include "printerservice.h"

#include "logger.h"
#include "printerdaemon.h"
#include "printjob.h"
#include "spoolfolder.h"

int PrinterService::stopWaitMs = 5000;

PrinterService::PrinterService(int argc, char **argv)
    : Service<QCoreApplication>(argc, argv, QStringLiteral("Quillport"))
{
    setServiceDescription(QStringLiteral("Quillport"));
    setServiceFlags(PauseAllowed);
    logger = new Logger;
}

PrinterService::~PrinterService()
{
    delete logger;
}

void PrinterService::start()
{
    if (!loadConfig()) {
        QCoreApplication::exit(-99);
        return;
    }

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
    if (startFailed)
        QCoreApplication::exit(-98);
    else
        logger->log(QStringLiteral("Service started successful"), Logger::Info);
}

void PrinterService::stop()
{
    // First every complete job goes to its queue, then the queues stop
    // together, by one deadline.
    for (PrinterDaemon *daemon : qAsConst(created))
        daemon->closeConnections();
    const QDeadlineTimer deadline(stopWaitMs);
    for (PrinterDaemon *daemon : qAsConst(created))
        daemon->stopDelivery(deadline);
}

void PrinterService::pause()
{
    for (PrinterDaemon *daemon : qAsConst(daemons))
        daemon->pause();
}

void PrinterService::resume()
{
    for (PrinterDaemon *daemon : qAsConst(daemons))
        daemon->resume();
}
