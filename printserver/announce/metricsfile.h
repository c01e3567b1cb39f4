// The service's counters in the Prometheus text format, written to a file
// for the node exporter's textfile collector: the usual way for a small
// daemon to be scraped without opening a port of its own.
#ifndef METRICSFILE_H
#define METRICSFILE_H

#include "printerstatus.h"

#include <QList>
#include <QString>

class MetricsFile
{
public:
    MetricsFile(const QString &path, qint64 startTime);

    // The exposition of the printers' counters.
    QString text(const QList<PrinterStatus> &printers) const;
    // Writes it when it has changed since the last time: whole, by a write
    // then a rename, so that a scrape never reads half of it and a full disk
    // leaves the last one in place. False, with the reason, when the file
    // could not be written.
    bool update(const QList<PrinterStatus> &printers, QString *error);

    QString path() const { return filePath; }

private:
    QString filePath;
    qint64 startTime;
    QString written;
};

#endif // METRICSFILE_H
