// The one log writer of the print service.
#include "logger.h"

#include "datafolder.h"
#include "privatefiles.h"
#include "servicebase.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>

namespace {

ServiceBase::EventType eventType(Logger::LogCategory category)
{
    switch (category) {
    case Logger::Error:
        return ServiceBase::ErrorEvent;
    case Logger::Debug:
        return ServiceBase::WarningEvent;
    default:
        return ServiceBase::InformationEvent;
    }
}

void writeEventLog(const QString &message, ServiceBase::EventType type)
{
    if (ServiceBase *service = ServiceBase::instance())
        service->logMessage(message, type, 0, 0, QByteArray());
}

} // namespace

Logger::Logger() = default;

Logger::~Logger()
{
    if (logFile) {
        logFile->close();
        delete logFile;
    }
}

QString Logger::label(LogCategory category)
{
    // Each seven characters wide; literals, as a label goes with every line.
    switch (category) {
    case Print:
        return QStringLiteral("Print  ");
    case Error:
        return QStringLiteral("Error  ");
    case Debug:
        return QStringLiteral("Debug  ");
    case Access:
        return QStringLiteral("Access ");
    case Info:
        return QStringLiteral("Info   ");
    default:
        return QStringLiteral("       ");
    }
}

QString Logger::fileLine(const QString &timeStamp, const QString &message, LogCategory category)
{
    const QString name = label(category);
    QString line;
    line.reserve(timeStamp.size() + 1 + name.size() + message.size() + 1);
    line.append(timeStamp).append(QLatin1Char(' ')).append(name).append(message).append(QLatin1Char('\n'));
    return line;
}

namespace {

// Characters that could start a line of their own, drive a terminal, or
// turn the text around in a viewer: the C0 and C1 controls, the Unicode line
// and paragraph separators, and the bidirectional controls.
bool needsEscape(ushort code)
{
    if (code >= 0x20 && code < 0x7f)
        return false;
    return code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == 0x061c || code == 0x200e || code == 0x200f
        || (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
}

} // namespace

QString Logger::escaped(const QString &message)
{
    int at = 0;
    while (at < message.size() && !needsEscape(message.at(at).unicode()))
        ++at;
    if (at == message.size())
        return message;

    QString text = message.left(at);
    for (; at < message.size(); ++at) {
        const ushort code = message.at(at).unicode();
        if (!needsEscape(code))
            text += message.at(at);
        else if (code == '\n')
            text += QLatin1String("\\n");
        else if (code == '\r')
            text += QLatin1String("\\r");
        else if (code == '\t')
            text += QLatin1String("\\t");
        else if (code <= 0xff)
            text += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            text += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
    }
    return text;
}

Logger::LogType Logger::logType() const
{
    QMutexLocker locker(&mutex);
    return type;
}

bool Logger::openFile()
{
    delete logFile;
    logFile = new QFile;
    // Unbuffered: a line is in the file when log() returns, and a write
    // that fails says why.
    if (PrivateFiles::open(*logFile, path, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered,
                           PrivateFiles::OwnerAndGroup))
        return true;
    delete logFile;
    logFile = nullptr;
    return false;
}

void Logger::setLogType(LogType newType)
{
    QMutexLocker locker(&mutex);
    if (newType == NoLog)
        return;
    type = newType;
    if (type != TextFileLog || logFile)
        return;

    const QString folder = dataFolderPath();
    // Without a data folder the path names nothing, and opening it fails.
    path = folder.isEmpty() ? QString() : folder.chopped(1) + QStringLiteral("/Quillport.log");
    if (openFile()) {
        qInfo().noquote() << label(Info) + QStringLiteral("Log file name is") << path;
        return;
    }
    writeEventLog(QStringLiteral("Log file open error"), ServiceBase::InformationEvent);
    qInfo().noquote() << label(Error) + QStringLiteral("Couldn't open log file") << path;
}

void Logger::reopen()
{
    QMutexLocker locker(&mutex);
    if (type != TextFileLog || path.isEmpty())
        return;
    if (!openFile()) {
        writeEventLog(QStringLiteral("Log file open error"), ServiceBase::InformationEvent);
        qInfo().noquote() << label(Error) + QStringLiteral("Couldn't open log file") << path;
    }
}

void Logger::log(const QString &message, LogCategory category)
{
    if (category == None)
        return;

    const QString text = escaped(message);
    qInfo().noquote() << label(category) + text;

    QMutexLocker locker(&mutex);
    switch (type) {
    case EventLog:
        if (category >= Print && category <= Info)
            writeEventLog(text, eventType(category));
        break;
    case TextFileLog:
        // A file that could not be opened again after a failed write is
        // tried again with each line.
        if (!logFile && writeFailing)
            openFile();
        if (logFile)
            writeLine(text, category);
        break;
    case NoLog:
        break;
    }
}

void Logger::writeLine(const QString &message, LogCategory category)
{
    // The local time to the second; working it out reads the time zone
    // again, so it is done once a second, not once a line.
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != stampSecond) {
        stampSecond = second;
        stamp = QDateTime::fromSecsSinceEpoch(second).toString(Qt::ISODate);
    }
    const QByteArray line = fileLine(stamp, message, category).toLocal8Bit();
    QString reason;
    qint64 part = 0;
    const bool written = PrivateFiles::writeAll(*logFile, line.constData(), line.size(), &reason, &part);
    // What went in of a line that did not fit is taken out again, so that
    // the next line starts a line of its own.
    if (!written && part > 0)
        logFile->resize(logFile->size() - part);
    if (written == !writeFailing)
        return;

    // A full disk must not swallow the log without a word: say so once, and
    // once more when lines reach the file again.
    writeFailing = !written;
    const QString report = written ? QStringLiteral("Writing to log file %1 works again").arg(path)
                                   : QStringLiteral("Couldn't write to log file %1: %2").arg(path, reason);
    qInfo().noquote() << label(written ? Info : Error) + report;
    writeEventLog(report, written ? ServiceBase::InformationEvent : ServiceBase::ErrorEvent);
}
