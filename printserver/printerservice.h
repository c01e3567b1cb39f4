// The print service: reads the configuration, starts one listener per
// active printer, pauses and resumes them with the service, applies a
// changed configuration when asked (SIGHUP, user command 1), and at a stop
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

    // Reads settings.json again and applies what changed, printer by
    // printer: unchanged printers go on untouched; a printer whose address
    // changed gets a new listener; one that is gone stops listening and
    // finishes what it has; new ones start. A file that cannot be read or
    // that would be refused at start changes nothing, with a line.
    void reload();

    // The user command that asks for a reload.
    static const int ReloadCommand = 1;

protected:
    void start() override;
    void stop() override;
    void pause() override;
    void resume() override;
    void processCommand(int code) override;

private:
    // What settings.json says.
    struct Settings
    {
        QString logType;
        QString metricsFile;
        QList<PrinterConfig> printers;
    };
    // Reads settings.json; false, with the line that says why, when it
    // cannot be opened or does not parse.
    bool readSettings(Settings *settings, QString *error) const;
    // Makes a printer's job folder where it is missing, with a line.
    void prepareFolder(const PrinterConfig &printer);
    void listenLine(const PrinterConfig &printer);
    void setMetricsFile(const QString &path);
    // A new printer, started (after the start of the service, by a reload).
    Printer *startPrinter(const PrinterConfig &config);
    void retire(Printer *printer);
    // Hands the jobs that wait for a printer to those that have come.
    void claimWaitingJobs();
    void printerStarted(Printer *printer, bool listening);
    // Sends the status line to the service manager when it has changed.
    void reportStatus(const QByteArray &extra = QByteArray());
    void writeMetrics();

    // Where jobs are kept: the spool folder, and memory for what the disk
    // cannot take.
    std::unique_ptr<MemoryStore> memory;
    std::unique_ptr<SpoolStore> spool;
    // Every printer of the configuration, listening or still waiting (or
    // failed, after a reload); and those that left it and finish their work.
    QList<Printer *> created;
    QList<Printer *> retiring;
    // Jobs an earlier run left for printers that are not active.
    QList<PrintJob> unclaimed;
    int pendingStarts = 0;
    bool startFailed = false;
    bool startComplete = false;
    qint64 startTime = 0;
    bool paused = false;
    QTimer statusTimer;
    QString lastStatus;
    MetricsFile *metrics = nullptr;
    QTimer metricsTimer;
    bool metricsFailing = false;
};

#endif // PRINTERSERVICE_H
