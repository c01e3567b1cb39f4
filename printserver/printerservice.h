// The print service: reads the configuration, starts one listener per
// active printer, and pauses and resumes them with the service.
#ifndef PRINTERSERVICE_H
#define PRINTERSERVICE_H

#include "printerconfig.h"
#include "service.h"

#include <QCoreApplication>
#include <QList>
#include <QString>

class Logger;
class PrinterDaemon;
class QJsonObject;

class PrinterService : public Service<QCoreApplication>
{
public:
    PrinterService(int argc, char **argv);
    ~PrinterService() override;

    // Reads settings.json from the data folder: sets dataFolder, chooses the
    // log output and appends one record per printer. False only when the
    // file cannot be opened.
    bool loadConfig();

    // Read by tests; only the service changes them.
    QList<PrinterConfig> printers;
    QList<PrinterDaemon *> daemons;
    Logger *logger = nullptr;
    QString dataFolder;

protected:
    void start() override;
    void pause() override;
    void resume() override;

private:
    PrinterConfig readPrinter(const QJsonObject &object);
};

#endif // PRINTERSERVICE_H
