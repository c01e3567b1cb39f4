// The one log writer of the print service: each line goes to the text log
// file, the platform event log, or only to the diagnostic output. Safe to
// use from several threads: listeners and delivery workers share it.
#ifndef LOGGER_H
#define LOGGER_H

#include <QMutex>
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
    LogType logType() const;

    void log(const QString &message, LogCategory category);

    // Closes the text log and opens it again under its name, so that a log
    // that was moved aside for rotation is continued in a new file.
    void reopen();

    // The label of a category, left-justified to the width of the longest.
    static QString label(LogCategory category);
    // The line as it goes into the text log file, without the time stamp.
    static QString fileLine(const QString &timeStamp, const QString &message, LogCategory category);
    // The message with its control characters written out (\n, \x1b), so
    // that no value can start a line of its own or drive a terminal.
    static QString escaped(const QString &message);

private:
    Q_DISABLE_COPY(Logger)

    bool openFile();
    void writeLine(const QString &message, LogCategory category);

    mutable QMutex mutex;
    QFile *logFile = nullptr;
    QString path;
    LogType type = NoLog;
    // A write to the log file failed and has been reported; cleared, with a
    // line of its own, when writing works again.
    bool writeFailing = false;
    // The time stamp of the lines written within the second `stampSecond`.
    qint64 stampSecond = -1;
    QString stamp;
};

#endif // LOGGER_H
