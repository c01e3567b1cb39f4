// The bytes of one document as they arrive, written to a new file in the
// spool folder. When the file cannot take them (a full disk, a file-size
// limit) the document goes on in memory, up to the largest job memory can
// hold, and is delivered from there.
#ifndef SPOOLWRITER_H
#define SPOOLWRITER_H

#include <QByteArray>
#include <QFile>
#include <QString>

class PrintJob;

class SpoolWriter
{
public:
    explicit SpoolWriter(const QString &folder);
    // A document that was not finished leaves nothing behind.
    ~SpoolWriter();

    enum Result {
        Ok,
        MovedToMemory, // the file failed just now; reason() says why
        Lost           // the document cannot be held at all; reason() says why
    };

    // Creates the file.
    Result start();
    Result append(const char *data, qint64 size);

    qint64 size() const { return written; }
    QString reason() const { return failure; }

    // Hands the complete document over to `job` (its id, data and size) and
    // makes it last: description written, data renamed.
    Result finish(PrintJob &job);
    // Drops the document and its file.
    void discard();

    const QString id;

    // The largest document memory holds: what a QByteArray can. Tests make
    // it smaller.
    static qint64 largestInMemory;

private:
    Result toMemory(const QString &why);

    QString folder;
    QString partPath;
    QFile file;
    QByteArray memory;
    qint64 written = 0;
    QString failure;
};

#endif // SPOOLWRITER_H
