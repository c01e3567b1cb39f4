// The one log writer of the print service: each line goes to the text log
// file, the platform event log, or only to the diagnostic output.
#ifndef LOGGER_H
#define LOGGER_H

#include <QString>

class QFile;

class Logger
{
public:
    enum LogCategory : int {
        None = 0,
        Print = 1,
        Error = 2,
        Debug = 3,
        Access = 4,
        Info = 5
    };

    enum LogType : int {
        NoLog = 0,
        EventLog = 1,
        TextFileLog = 2
    };

    Logger();
    ~Logger();

    // Chooses the output; TextFileLog also opens the log file. NoLog is
    // ignored: once an output is chosen it stays.
    void setLogType(LogType type);
    LogType logType() const { return type; }

    void log(const QString &message, LogCategory category);

    // The label of a category, left-justified to the width of the longest.
    static QString label(LogCategory category);
    // The line as it goes into the text log file, without the time stamp.
    static QString fileLine(const QString &timeStamp, const QString &message, LogCategory category);

private:
    Q_DISABLE_COPY(Logger)

    QFile *logFile = nullptr;
    LogType type = NoLog;
};

#endif // LOGGER_H
