// One job as it arrives, made by a JobStore for one connection (or one
// document of it): its bytes are appended as they come, then it is committed
// (from then on it is complete, survives a stop or a crash where its store
// can keep it, and is handed to delivery) or discarded. One that is neither
// is discarded when it goes.
#ifndef INCOMINGJOB_H
#define INCOMINGJOB_H

#include <QtGlobal>

class PrintJob;

class IncomingJob
{
public:
    virtual ~IncomingJob() = default;

    // Appends the next bytes. False when the job cannot be held any more:
    // its store has said why in a line, and the job is gone.
    virtual bool append(const char *data, qint64 size) = 0;
    // No more bytes come: the job lets go of its file, if it has one, until
    // its commit (a document that waits for the rest of its job).
    virtual void close() = 0;
    // Makes the job complete with the description in `job` (printer, peer,
    // title, attributes); fills in its id, size, store and completion time.
    // False when it cannot be kept: its store has said why in a line.
    virtual bool commit(PrintJob &job) = 0;
    // Removes what arrived; returns how many bytes that was.
    virtual qint64 discard() = 0;

    // The bytes appended so far.
    virtual qint64 size() const = 0;
};

#endif // INCOMINGJOB_H
