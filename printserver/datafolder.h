// The service's data folder: it holds settings.json and the text log file,
// and anchors relative job folders.
#ifndef DATAFOLDER_H
#define DATAFOLDER_H

#include <QStandardPaths>
#include <QString>

// The second of the application's standard local data locations, followed by
// "/"; empty where the platform offers fewer than two locations.
inline QString dataFolderPath()
{
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::AppLocalDataLocation);
    return locations.size() < 2 ? QString() : locations.at(1) + QLatin1Char('/');
}

#endif // DATAFOLDER_H
