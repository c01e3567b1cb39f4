// The spool folder: every admitted job is written there as it arrives and
// stays until it has been delivered, so that neither a busy spooler nor a
// stop nor a crash loses it.
//
// A job being received is "{id}.part". When its client has finished, its
// description is written after the data and the file is renamed "{id}.job":
// from then on it is complete and survives a restart. (Earlier versions kept
// the description in "{id}.meta" beside the data; such jobs are still read.)
#ifndef SPOOLFOLDER_H
#define SPOOLFOLDER_H

#include "printjob.h"

#include <QList>
#include <QString>

class SpoolFolder
{
public:
    // The folder inside the data folder. Its name starts with a dot, to stay
    // clear of the job folders administrators call "spool".
    static QString path(const QString &dataFolder);

    // Creates the folder, private to the service. False with the reason.
    static bool create(const QString &folder, QString *error);

    // A new job name: a braced UUID.
    static QString newId();
    static QString partPath(const QString &folder, const QString &id);
    static QString jobPath(const QString &folder, const QString &id);

    // What a start finds in the folder.
    struct Contents
    {
        // Complete jobs, in the order their clients finished them.
        QList<PrintJob> jobs;
        // Jobs whose connection never ended, removed: their names and sizes.
        QList<QPair<QString, qint64>> removed;
    };
    // Reads the folder: complete jobs are handed back, what remains of jobs
    // that never completed is removed.
    static Contents recover(const QString &folder);
};

#endif // SPOOLFOLDER_H
