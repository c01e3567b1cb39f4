// One complete job on its way to the printer: what the log, the spooler and
// the outputs are told about it, and which store holds its bytes.
#ifndef PRINTJOB_H
#define PRINTJOB_H

#include <QList>
#include <QString>

class JobStore;

class PrintJob
{
public:
    // What a client told about the job besides its bytes, in its own words
    // (a line printer daemon's control file: the user, the job's name, the
    // host, the document's place in the job).
    struct Attribute
    {
        QString name;
        QString value;
        // Whether the job's lines name it.
        bool shown = false;
    };

    // A braced UUID: it names the job's files, stored ones included.
    QString id;
    // Where the bytes are: the spool folder, or memory.
    JobStore *store = nullptr;
    qint64 size = 0;

    // The printer that took it, by its name and port.
    QString printer;
    quint16 port = 0;
    QString peer;
    // The job's name at the spooler.
    QString title = QStringLiteral("Quillport");
    QList<Attribute> attributes;
    // When the client finished it, in milliseconds since the epoch, and a
    // count that orders jobs finished within the same millisecond.
    qint64 completed = 0;
    qint64 sequence = 0;

    // How log lines name the job: "Print job from <peer>".
    QString label() const;
    // What the job's outcome line adds: its shown attributes, as
    // ` (user "alice", job "report.pdf")`; empty without any.
    QString details() const;
};

#endif // PRINTJOB_H
