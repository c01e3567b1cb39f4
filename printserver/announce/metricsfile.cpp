// The service's counters for a Prometheus scraper.
#include "metricsfile.h"

#include "privatefiles.h"

#include <functional>

namespace {

// A label value with its backslashes, quotes and line ends escaped.
QString labelValue(QString value)
{
    return value.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

QString seconds(qint64 milliseconds)
{
    return QString::number(double(milliseconds) / 1000.0, 'f', 3);
}

} // namespace

MetricsFile::MetricsFile(const QString &path, qint64 startTime)
    : filePath(path), startTime(startTime)
{
}

QString MetricsFile::text(const QList<PrinterStatus> &printers) const
{
    QString out;
    const auto family = [&](const char *name, const char *type, const char *help,
                            const std::function<void(const QString &metric, const PrinterStatus &, const QString &)> &each) {
        const QString metric = QLatin1String(name);
        out += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n").arg(metric, QLatin1String(help), QLatin1String(type));
        for (const PrinterStatus &printer : printers)
            each(metric, printer, QStringLiteral("printer=\"%1\"").arg(labelValue(printer.name)));
    };
    const auto sample = [&](const QString &metric, const QString &labels, const QString &value) {
        out += QStringLiteral("%1{%2} %3\n").arg(metric, labels, value);
    };

    family("quillport_jobs_total", "counter", "Print jobs whose delivery has ended, by outcome.",
           [&](const QString &metric, const PrinterStatus &printer, const QString &labels) {
               sample(metric, labels + QStringLiteral(",outcome=\"printed\""), QString::number(printer.printed));
               sample(metric, labels + QStringLiteral(",outcome=\"failed\""), QString::number(printer.failed));
           });
    family("quillport_job_bytes_total", "counter", "Bytes of the print jobs whose delivery has ended.",
           [&](const QString &metric, const PrinterStatus &printer, const QString &labels) {
               sample(metric, labels, QString::number(printer.bytes));
           });
    family("quillport_connections_denied_total", "counter", "Connections refused by the printer's subnets.",
           [&](const QString &metric, const PrinterStatus &printer, const QString &labels) {
               sample(metric, labels, QString::number(printer.denied));
           });
    family("quillport_connections_open", "gauge", "Connections whose job is being received.",
           [&](const QString &metric, const PrinterStatus &printer, const QString &labels) {
               sample(metric, labels, QString::number(printer.connections));
           });
    family("quillport_jobs_waiting", "gauge", "Print jobs waiting for their output, the one being delivered included.",
           [&](const QString &metric, const PrinterStatus &printer, const QString &labels) {
               sample(metric, labels, QString::number(printer.waiting));
           });
    family("quillport_printer_paused", "gauge", "Whether the printer is paused (1) or not (0).",
           [&](const QString &metric, const PrinterStatus &printer, const QString &labels) {
               sample(metric, labels, printer.paused ? QStringLiteral("1") : QStringLiteral("0"));
           });
    family("quillport_last_job_timestamp_seconds", "gauge",
           "When the delivery of the printer's last job ended, in seconds since the epoch; 0 before the first.",
           [&](const QString &metric, const PrinterStatus &printer, const QString &labels) {
               sample(metric, labels, seconds(printer.lastJob));
           });
    out += QStringLiteral("# HELP quillport_start_time_seconds When the service started, in seconds since the epoch.\n"
                          "# TYPE quillport_start_time_seconds gauge\n"
                          "quillport_start_time_seconds %1\n")
               .arg(seconds(startTime));
    return out;
}

bool MetricsFile::update(const QList<PrinterStatus> &printers, QString *error)
{
    const QString now = text(printers);
    if (now == written)
        return true;
    // Others (a scraper) read it: it is not private to the service.
    if (!PrivateFiles::replace(filePath, now.toUtf8(), PrivateFiles::Everyone, error))
        return false;
    written = now;
    return true;
}
