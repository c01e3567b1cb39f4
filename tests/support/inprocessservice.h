// The print service run in this process as the emulated service manager's
// service, on a data folder of its own: for tests that pause and continue
// it, or look at its memory, while clients work on it.
#ifndef INPROCESSSERVICE_H
#define INPROCESSSERVICE_H

#include "testdatafolder.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>

class InProcessService
{
public:
    // The service manager's name of the service.
    static const QString Name;

    // Runs the service with the given printers (and top-level settings
    // besides "logtype" and "printers"). `drive` runs on a thread of its own
    // once the service runs; the service is stopped when it returns. Needs
    // EmulatedServiceManager::install() first. Returns what went wrong,
    // empty when nothing did.
    QString run(const QJsonArray &printers, const std::function<QString()> &drive,
                const QJsonObject &settings = QJsonObject());

    // The data folder of the last run, ending in "/".
    QString dataFolder() const { return data ? data->path() : QString(); }

private:
    std::unique_ptr<TestDataFolder> data;
};

#endif // INPROCESSSERVICE_H
