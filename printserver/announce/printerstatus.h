// One printer's figures at one moment, as the status line and the metrics
// file show them.
#ifndef PRINTERSTATUS_H
#define PRINTERSTATUS_H

#include <QString>

struct PrinterStatus
{
    QString name;
    bool listening = false;
    bool paused = false;
    // Connections whose job is being received.
    int connections = 0;
    // Jobs waiting for the output, the one being delivered included.
    int waiting = 0;
    quint64 printed = 0;
    quint64 failed = 0;
    // The bytes of the jobs whose delivery has ended, printed or not.
    quint64 bytes = 0;
    quint64 denied = 0;
    // When the last job's delivery ended, in milliseconds since the epoch;
    // 0 before the first.
    qint64 lastJob = 0;
};

#endif // PRINTERSTATUS_H
