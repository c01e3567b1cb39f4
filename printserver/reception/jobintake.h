// What a connection needs of its printer to take jobs in: the store for
// their bytes, the hand that takes a complete job on to delivery, the log,
// and the few settings reception uses. Reception knows nothing else of the
// printer.
#ifndef JOBINTAKE_H
#define JOBINTAKE_H

#include "printjob.h"

#include <functional>

class JobStore;
class Logger;

struct JobIntake
{
    JobStore *store = nullptr;
    Logger *logger = nullptr;
    // The printer's name and port, for the description of its jobs.
    QString printer;
    quint16 port = 0;
    // Seconds after which a connection that receives nothing ends; 0: never.
    int idleTimeout = 0;
    // Hands a committed job on to the printer's delivery.
    std::function<void(const PrintJob &)> enqueue;
    // The printer's state in one line, as a queue-state query is answered.
    std::function<QString()> queueState;

    // A job of this printer from `peer`, to be committed.
    PrintJob job(const QString &peer) const
    {
        PrintJob job;
        job.printer = printer;
        job.port = port;
        job.peer = peer;
        return job;
    }
};

#endif // JOBINTAKE_H
