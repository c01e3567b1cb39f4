// The spool folder.
#include "spoolfolder.h"

#include "privatefiles.h"

#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <algorithm>

QString SpoolFolder::path(const QString &dataFolder)
{
    return dataFolder + QStringLiteral(".spool");
}

bool SpoolFolder::create(const QString &folder, QString *error)
{
    if (!PrivateFiles::makeFolder(folder, PrivateFiles::OwnerOnly)) {
        *error = QStringLiteral("it cannot be created");
        return false;
    }
    *error = PrivateFiles::untrustedReason(folder);
    return error->isEmpty();
}

QString SpoolFolder::newId()
{
    return QUuid::createUuid().toString();
}

QString SpoolFolder::partPath(const QString &folder, const QString &id)
{
    return folder + QLatin1Char('/') + id + QStringLiteral(".part");
}

QString SpoolFolder::jobPath(const QString &folder, const QString &id)
{
    return folder + QLatin1Char('/') + id + QStringLiteral(".job");
}

SpoolFolder::Contents SpoolFolder::recover(const QString &folder)
{
    Contents contents;
    const QDir dir(folder);
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo &file : files) {
        const QString id = file.completeBaseName();
        const QString suffix = file.suffix();
        if (suffix == QLatin1String("job")) {
            PrintJob job;
            job.id = id;
            if (PrintJob::read(file.filePath(), job)) {
                contents.jobs.append(job);
                continue;
            }
            // Data without its description cannot be delivered to anyone.
            contents.removed.append({ id, file.size() });
            QFile::remove(file.filePath());
            QFile::remove(dir.filePath(id + QStringLiteral(".meta")));
        } else if (suffix == QLatin1String("part")) {
            contents.removed.append({ id, file.size() });
            QFile::remove(file.filePath());
            QFile::remove(dir.filePath(id + QStringLiteral(".meta")));
        } else if (suffix == QLatin1String("meta") && !dir.exists(id + QStringLiteral(".job"))
                   && !dir.exists(id + QStringLiteral(".part"))) {
            // A description left behind when its job was removed.
            QFile::remove(file.filePath());
        }
    }
    std::stable_sort(contents.jobs.begin(), contents.jobs.end(), [](const PrintJob &a, const PrintJob &b) {
        return a.completed != b.completed ? a.completed < b.completed : a.sequence < b.sequence;
    });
    return contents;
}
