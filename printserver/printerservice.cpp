// The print service: configuration, listeners, pause and resume.
#include "printerservice.h"

#include "logger.h"
#include "printerdaemon.h"

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

    // Every active printer is tried, also after one has failed.
    bool failed = false;
    const QList<PrinterConfig> configs = printers;
    for (const PrinterConfig &config : configs) {
        if (!config.active)
            continue;
        auto daemon = new PrinterDaemon(config, logger, application);
        if (daemon->startListening()) {
            daemons.append(daemon);
            continue;
        }
        logger->log(QStringLiteral("Failed to start. Error: ") + daemon->errorString(), Logger::Error);
        QCoreApplication::exit(-98);
        failed = true;
    }
    if (!failed)
        logger->log(QStringLiteral("Service started successful"), Logger::Info);
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
