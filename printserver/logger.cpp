// The one log writer of the print service.
#include "logger.h"

#include "datafolder.h"
#include "servicebase.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QTextStream>

namespace {

const int LabelWidth = 7;

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
    const char *text = "";
    switch (category) {
    case Print:
        text = "Print";
        break;
    case Error:
        text = "Error";
        break;
    case Debug:
        text = "Debug";
        break;
    case Access:
        text = "Access";
        break;
    case Info:
        text = "Info";
        break;
    default:
        break;
    }
    return QString::fromLatin1(text).leftJustified(LabelWidth, QLatin1Char(' '));
}

QString Logger::fileLine(const QString &timeStamp, const QString &message, LogCategory category)
{
    return timeStamp + QLatin1Char(' ') + label(category) + message + QLatin1Char('\n');
}

void Logger::setLogType(LogType newType)
{
    if (newType == NoLog)
        return;
    type = newType;
    if (type != TextFileLog || logFile)
        return;

    const QString folder = dataFolderPath();
    // Without a data folder the path names nothing, and opening it fails.
    const QString path = folder.isEmpty() ? QString() : folder.chopped(1) + QStringLiteral("/Quillport.log");
    logFile = new QFile(path);
    if (logFile->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        qInfo().noquote() << "Info   Log file name is" << path;
        return;
    }
    writeEventLog(QStringLiteral("Log file open error"), ServiceBase::InformationEvent);
    delete logFile;
    logFile = nullptr;
    qInfo().noquote() << "Error  Couldn't open log file" << path;
}

void Logger::log(const QString &message, LogCategory category)
{
    if (category == None)
        return;

    qInfo().noquote() << label(category) + message;

    switch (type) {
    case EventLog:
        if (category >= Print && category <= Info)
            writeEventLog(message, eventType(category));
        break;
    case TextFileLog:
        if (logFile) {
            // One stream per line: the line is in the file when log() returns.
            QTextStream stream(logFile);
            stream << fileLine(QDateTime::currentDateTime().toString(Qt::ISODate), message, category);
        }
        break;
    case NoLog:
        break;
    }
}
