// What one printer has done since the start, counted where its jobs begin
// and end. Written by its listener and its delivery thread, read by the
// status line and the metrics file.
#ifndef PRINTERSTATS_H
#define PRINTERSTATS_H

#include <QtGlobal>

#include <atomic>

struct PrinterStats
{
    std::atomic<quint64> printed{ 0 };
    std::atomic<quint64> failed{ 0 };
    // The bytes of the jobs whose delivery has ended, printed or not.
    std::atomic<quint64> bytes{ 0 };
    std::atomic<quint64> denied{ 0 };
    // When the last job's delivery ended, in milliseconds since the epoch;
    // 0 before the first.
    std::atomic<qint64> lastJob{ 0 };
};

#endif // PRINTERSTATS_H
