// Jobs to the local print spooler: one raw document per job on the queue
// named after the printer.
#ifndef SPOOLEROUTPUT_H
#define SPOOLEROUTPUT_H

#include "output.h"

#include <memory>

class SpoolerOutput : public Output
{
public:
    explicit SpoolerOutput(const QString &queue);
    ~SpoolerOutput() override;

    // A document that did not arrive whole is cancelled at the spooler: it
    // neither prints in part nor stays pending.
    Result deliver(QIODevice &document, qint64 size, const QString &title,
                   const std::atomic<bool> &stopping) override;
    // The queue's make and model, document formats and location.
    Description describe(int timeoutMs) const override;

private:
    QString queue;
    // What the deliveries keep of the spooler from one job to the next.
    struct Session;
    std::unique_ptr<Session> session;
};

#endif // SPOOLEROUTPUT_H
