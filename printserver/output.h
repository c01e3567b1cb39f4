// Where a printer's jobs go: the local spooler queue, a device, or a printer
// on the network. Jobs are handed over one at a time on the printer's
// delivery thread.
#ifndef OUTPUT_H
#define OUTPUT_H

#include <QString>

#include <atomic>
#include <memory>

class QIODevice;
struct PrinterConfig;

class Output
{
public:
    enum Outcome {
        Delivered,
        Unavailable, // not there right now: worth another attempt later
        Failed       // another attempt would fail the same way
    };

    struct Result
    {
        Outcome outcome;
        // Why it was not delivered; empty where the outcome says it all.
        QString reason;
    };

    virtual ~Output() = default;

    // Hands over one document of `size` bytes, read from `document` in
    // pieces. When `stopping` is set the delivery gives up soon, as
    // Unavailable.
    virtual Result deliver(QIODevice &document, qint64 size, const QString &title,
                           const std::atomic<bool> &stopping) = 0;

    // The output named by a printer's "output" setting; null, with the
    // reason, when the text names none that can be used.
    static std::unique_ptr<Output> create(const PrinterConfig &printer, QString *error);

protected:
    // Documents are read and passed on in pieces of this size, so that
    // memory does not grow with the job.
    static constexpr qint64 ChunkSize = 1024 * 1024;
};

#endif // OUTPUT_H
