// One printer's settings, read from its object in settings.json.
#include "printerconfig.h"

#include "subnets.h"

#include <QDir>
#include <QJsonObject>

namespace {

// An hour is longer than any interface takes to come up.
const int MaxInterfaceWaitTime = 3600;

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

// A number key that is missing or not a number keeps its default.
int numberOr(const QJsonObject &object, const char *key, int fallback)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isDouble() ? value.toInt(fallback) : fallback;
}

} // namespace

PrinterConfig PrinterConfig::fromJson(const QJsonObject &object, const QString &dataFolder)
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

    const QString listen = object.value(QLatin1String("listen")).toString();
    printer.listen = listen.isEmpty() ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(listen);

    printer.interfacewaittime = object.value(QLatin1String("interfacewaittime")).toInt(0);
    if (printer.interfacewaittime == 0)
        printer.interfacewaittime = 60;
    printer.interfacewaittime = qMin(printer.interfacewaittime, MaxInterfaceWaitTime);

    printer.log = logSelection(object.value(QLatin1String("log")).toString());

    // Only a missing key or "" admits everyone; a value that names no subnet
    // (another JSON type, or nothing but blanks and commas) admits no one.
    const QJsonValue subnets = object.value(QLatin1String("subnets"));
    printer.subnets = parseSubnets(subnets.toString());
    printer.subnetsInvalid = !subnets.isUndefined()
        && (!subnets.isString() || (printer.subnets.isEmpty() && !subnets.toString().isEmpty()));

    printer.retrytime = qMax(0, numberOr(object, "retrytime", printer.retrytime));
    printer.idletimeout = qMax(0, numberOr(object, "idletimeout", printer.idletimeout));
    printer.maxconnections = qMax(1, numberOr(object, "maxconnections", printer.maxconnections));
    printer.output = object.value(QLatin1String("output")).toString();
    printer.advertise = object.value(QLatin1String("advertise")).toBool(false);
    printer.title = object.value(QLatin1String("title")).toString();
    printer.model = object.value(QLatin1String("model")).toString();
    printer.location = object.value(QLatin1String("location")).toString();
    const QString protocol = object.value(QLatin1String("protocol")).toString().toLower();
    if (protocol == QLatin1String("lpd"))
        printer.protocol = PrinterConfig::Lpd;
    else if (!protocol.isEmpty() && protocol != QLatin1String("raw"))
        printer.unknownProtocol = protocol;
    return printer;
}

bool PrinterConfig::operator==(const PrinterConfig &other) const
{
    return localname == other.localname && active == other.active && listen == other.listen
        && interfacewaittime == other.interfacewaittime && port == other.port && subnets == other.subnets
        && subnetsInvalid == other.subnetsInvalid && log == other.log && storejobs == other.storejobs
        && jobspath == other.jobspath && retrytime == other.retrytime && idletimeout == other.idletimeout
        && maxconnections == other.maxconnections && output == other.output && protocol == other.protocol
        && advertise == other.advertise && title == other.title && model == other.model
        && location == other.location && unknownProtocol == other.unknownProtocol;
}
