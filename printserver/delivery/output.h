// Where a printer's jobs go: the local spooler queue, a device, or a printer
// on the network. Jobs are handed over one at a time on the printer's
// delivery thread.
#ifndef OUTPUT_H
#define OUTPUT_H

#include <QString>
#include <QStringList>

#include <QElapsedTimer>

#include <atomic>
#include <functional>
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

    // What clients are told about the printer behind the output.
    struct Description
    {
        QString makeAndModel;
        QStringList formats;
        QString location;
    };

    virtual ~Output() = default;

    // Asks the output about its printer, giving up after `timeoutMs`; empty
    // where it does not know. Safe on any thread.
    virtual Description describe(int timeoutMs) const;

    // Hands over one document of `size` bytes, read from `document` in
    // pieces. When `stopping` is set the delivery gives up soon, as
    // Unavailable.
    virtual Result deliver(QIODevice &document, qint64 size, const QString &title,
                           const std::atomic<bool> &stopping) = 0;

    // The output named by a printer's "output" setting; null, with the
    // reason, when the text names none that can be used.
    static std::unique_ptr<Output> create(const PrinterConfig &printer, QString *error);

    // What an output tells the log while it delivers: that its printer has
    // read nothing for a while (`problem`), and that it reads again. Set by
    // the delivery thread.
    std::function<void(const QString &text, bool problem)> notices;

    // How long a printer may read nothing before a line says so; tests
    // shorten it.
    static int stallNoticeMs;

protected:
    // Watches a printer that takes a job slowly or not at all (out of
    // paper, a full buffer): it is waited on for as long as its connection
    // lives, with a line once it has read nothing for stallNoticeMs and
    // another once it reads again.
    class Stall
    {
    public:
        Stall(Output &output, const QString &printer) : output(output), printer(printer) { since.start(); }
        // Bytes went out.
        void moved();
        // Nothing went out this time.
        void idle();

    private:
        Output &output;
        const QString printer;
        QElapsedTimer since;
        bool told = false;
    };

    // Documents are read and passed on in pieces of this size, so that
    // memory does not grow with the job.
    static constexpr qint64 ChunkSize = 1024 * 1024;

    // A document read piece by piece into one buffer, kept from one piece to
    // the next: a large job costs no fresh memory per piece.
    class Pieces
    {
    public:
        Pieces(QIODevice &document, qint64 size);
        // Reads the next piece; false at the end of the document, or when it
        // cannot be read (then failure() is set).
        bool next();
        const char *data() const { return buffer.constData(); }
        qint64 size() const { return length; }
        // What was read before this piece.
        qint64 offset() const { return done - length; }
        Result failure() const { return failed; }
        bool hasFailed() const { return failed.outcome == Failed; }

    private:
        QIODevice &document;
        qint64 total;
        qint64 done = 0;
        qint64 length = 0;
        QByteArray buffer;
        Result failed{ Delivered, QString() };
    };
};

#endif // OUTPUT_H
