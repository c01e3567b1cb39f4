// Loading settings.json into one PrinterConfig per printer.
#include "printerconfig.h"

#include "datafolder.h"
#include "logger.h"
#include "printerservice.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

int logSelection(const QString &text)
{
    const QString letters = text.toLower();
    int selection = 0;
    if (letters.contains(QLatin1Char('p')))
        selection |= PrinterConfig::LogPrint;
    if (letters.contains(QLatin1Char('e')))
        selection |= PrinterConfig::LogError;
    if (letters.contains(QLatin1Char('d')))
        selection |= PrinterConfig::LogDebug;
    if (letters.contains(QLatin1Char('a')))
        selection |= PrinterConfig::LogAccess;
    return selection;
}

// Comma-separated subnets; blanks do not count, empty parts are skipped, and
// a part that does not parse stays as an entry that contains no address.
QList<QPair<QHostAddress, int>> subnetList(QString text)
{
    text.remove(QLatin1Char(' '));
    QList<QPair<QHostAddress, int>> subnets;
    const QStringList parts = text.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString &part : parts) {
        if (!part.isEmpty())
            subnets.append(QHostAddress::parseSubnet(part));
    }
    return subnets;
}

} // namespace

bool PrinterService::loadConfig()
{
    dataFolder = dataFolderPath();
    const QString path = dataFolder.isEmpty() ? QString() : dataFolder + QStringLiteral("settings.json");
    qInfo() << "Info   Config file name is" << path;

    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        logger->setLogType(Logger::EventLog);
        logger->log(QStringLiteral("Couldn't open config file: ") + path, Logger::Error);
        qInfo() << QString(QStringLiteral("Error  Couldn't open config file: ") + path);
        return false;
    }
    const QJsonObject settings = QJsonDocument::fromJson(file.readAll()).object();
    file.close();

    const QString logType = settings.value(QLatin1String("logtype")).toString().toLower();
    qInfo() << "Info   Logging type" << logType;
    logger->setLogType(logType == QLatin1String("textfile") ? Logger::TextFileLog : Logger::EventLog);

    const QJsonArray list = settings.value(QLatin1String("printers")).toArray();
    for (const QJsonValue &element : list)
        printers.append(readPrinter(element.toObject()));
    return true;
}

PrinterConfig PrinterService::readPrinter(const QJsonObject &object)
{
    PrinterConfig printer;
    printer.localname = object.value(QLatin1String("localname")).toString();
    printer.active = object.value(QLatin1String("active")).toBool(false);
    printer.storejobs = object.value(QLatin1String("storejobs")).toBool(false);
    // Only the low 16 bits count: 65536 is 0 and -1 is 65535.
    printer.port = quint16(object.value(QLatin1String("port")).toInt(0));

    printer.jobspath = object.value(QLatin1String("jobspath")).toString();
    if (QDir::isRelativePath(printer.jobspath))
        printer.jobspath.prepend(dataFolder);
    if (!printer.jobspath.isEmpty() && !QDir().exists(printer.jobspath)) {
        if (QDir().mkpath(printer.jobspath))
            logger->log(QStringLiteral("Folder created - ") + printer.jobspath, Logger::Info);
        else
            logger->log(QStringLiteral("Couldn't create folder -") + printer.jobspath, Logger::Error);
    }

    const QString listen = object.value(QLatin1String("listen")).toString();
    printer.listen = listen.isEmpty() ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(listen);

    printer.interfacewaittime = object.value(QLatin1String("interfacewaittime")).toInt(0);
    if (printer.interfacewaittime == 0)
        printer.interfacewaittime = 60;

    logger->log(QStringLiteral("Listen address for printer \"%1\" is %2 port %3")
                    .arg(printer.localname, printer.listen.toString(), QString::number(printer.port)),
                Logger::Info);

    printer.log = logSelection(object.value(QLatin1String("log")).toString());
    printer.subnets = subnetList(object.value(QLatin1String("subnets")).toString());
    return printer;
}
