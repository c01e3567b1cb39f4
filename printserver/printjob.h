// One document on its way to the printer: its bytes in the spool folder (or,
// when they could not be kept on disk, in memory) and what the log and the
// spooler are told about it.
#ifndef PRINTJOB_H
#define PRINTJOB_H

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <memory>

class PrintJob
{
public:
    // A braced UUID: it names the job's spool files and its stored file.
    QString id;
    // The printer that took it, by its name and port.
    QString printer;
    quint16 port = 0;
    QString peer;
    // The job's name at the spooler.
    QString title;
    // From a line printer daemon job's control file: the user, the host and
    // the job name; the index of this data file within the job, from 1.
    QString user;
    QString host;
    QString name;
    int document = 0;
    // When the client finished it, in milliseconds since the epoch, and a
    // count that orders jobs finished within the same millisecond.
    qint64 completed = 0;
    qint64 sequence = 0;

    // The complete job file in the spool folder; empty for a job in memory.
    // Its first `size` bytes are the document, its description follows
    // them (see trailer()).
    QString dataPath;
    QByteArray data;
    qint64 size = 0;
    // The description is in a file of its own beside the data, "{id}.meta",
    // as spool folders of earlier versions keep it.
    bool metaFile = false;

    bool isOnDisk() const { return !dataPath.isEmpty(); }

    // The document, to be read in pieces; null when the file cannot be
    // opened.
    std::unique_ptr<QIODevice> open() const;

    // What follows the document in its job file: the description (printer,
    // peer, times, a line printer daemon client's details) and a fixed-size
    // end that says where it starts. Written in one go after the document,
    // before the file gets its final name, it spares every job a second
    // file.
    QByteArray trailer() const;
    // The job in the complete job file at `path`: its description, and the
    // size of the document before it. False when the file holds no job.
    static bool read(const QString &path, PrintJob &job);

    enum StoreResult { Stored, NotOpened, NotWritten };
    // Ends the job's stay in the spool folder: its bytes become "{id}.prn"
    // in `jobspath`, whole or not at all. `failedPath` names the file that
    // could not be opened or written.
    StoreResult store(const QString &jobspath, QString *failedPath);
    void removeFiles();

    // The stored file of a job named `id`.
    static QString storedPath(const QString &jobspath, const QString &id);
};

#endif // PRINTJOB_H
