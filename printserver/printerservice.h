// The print service: reads the configuration, starts one listener per
// active printer, pauses and resumes them with the service, and at a stop
// keeps every job that is complete.
#ifndef PRINTERSERVICE_H
#define PRINTERSERVICE_H

#include "printerconfig.h"
#include "service.h"

#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QTimer>

#include <memory>

class Logger;
class MemoryStore;
class MetricsFile;
class Printer;
class PrintJob;
class SpoolStore;

class PrinterService : public Service<QCoreApplication>
{
public:
    PrinterService(int argc, char **argv);
    ~PrinterService() override;

    // Reads settings.json from the data folder: sets dataFolder, chooses the
    // log output and appends one record per printer. False when the file
    // cannot be opened or does not parse.
    bool loadConfig();

    // Read by tests; only the service changes them.
    QList<PrinterConfig> printers;
    // The printers that listen, in the order they started to.
    QList<Printer *> listening;
    Logger *logger = nullptr;
    QString dataFolder;
    // Where the metrics for a scraper go; empty: nowhere.
    QString metricsFile;

    // How long a stop waits for deliveries in progress, and how often the
    // metrics file is brought up to date, in milliseconds.
    static int stopWaitMs;
    static int metricsIntervalMs;

    // One line on the state of the service: its state word, the printers
    // that listen and are paused, the jobs printed, failed and waiting, and
    // the time of the last one.
    QString statusText() const;

protected:
    void start() override;
    void stop() override;
    void pause() override;
    void resume() override;

private:
    void printerStarted(Printer *printer, bool listening);
    // Sends the status line to the service manager when it has changed.
    void reportStatus(const QByteArray &extra = QByteArray());
    void writeMetrics();

    // Where jobs are kept: the spool folder, and memory for what the disk
    // cannot take.
    std::unique_ptr<MemoryStore> memory;
    std::unique_ptr<SpoolStore> spool;
    // Every printer created at start, listening or still waiting.
    QList<Printer *> created;
    int pendingStarts = 0;
    bool startFailed = false;
    bool paused = false;
    QTimer statusTimer;
    QString lastStatus;
    MetricsFile *metrics = nullptr;
    QTimer metricsTimer;
    bool metricsFailing = false;
};

#endif // PRINTERSERVICE_H
