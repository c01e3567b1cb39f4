// The settings of one printer, as read from settings.json.
#ifndef PRINTERCONFIG_H
#define PRINTERCONFIG_H

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

class QJsonObject;

struct PrinterConfig
{
    // The printer an element of "printers" describes; relative job folders
    // are taken from `dataFolder`. Keys that are missing or of another JSON
    // type keep their defaults.
    static PrinterConfig fromJson(const QJsonObject &object, const QString &dataFolder);

    // The letters of a printer's "log" text, one bit each.
    enum LogSelection : int {
        LogPrint = 0x1,  // "p"
        LogError = 0x2,  // "e"
        LogDebug = 0x4,  // "d": the listener writes a Debug line per connection
        LogAccess = 0x8  // "a"
    };

    // How clients hand over their jobs.
    enum Protocol : int {
        Raw, // one connection, one job, nothing sent back
        Lpd  // the receiving side of the line printer daemon protocol
    };

    QString localname;
    bool active = false;
    QHostAddress listen = QHostAddress(QHostAddress::AnyIPv4);
    int interfacewaittime = 60;
    quint16 port = 0;
    QList<QPair<QHostAddress, int>> subnets;
    // Set when "subnets" is present but names no subnet at all: a mistake
    // that must not admit everyone, so the printer admits no one.
    bool subnetsInvalid = false;
    int log = 0;
    bool storejobs = false;
    QString jobspath;

    // Seconds during which a job whose printer is not there is tried again;
    // 0 tries once.
    int retrytime = 300;
    // Seconds after which a connection that received nothing ends; 0: never.
    int idletimeout = 270;
    // Connections served at once; past it, clients wait in the backlog.
    int maxconnections = 100;
    // Where jobs go: empty for the local spooler queue named localname,
    // "device:/path" or "socket://host:port".
    QString output;
    Protocol protocol = Raw;
    // DNS-SD: whether the printer is announced on the local network, under
    // which name, and what its records say; empty texts are filled from the
    // spooler's queue.
    bool advertise = false;
    QString title;
    QString model;
    QString location;
    // The "protocol" text when it names no protocol; the printer then does
    // not start.
    QString unknownProtocol;

    // Whether two records describe the same printer: the same name and port
    // (a reload keeps such a printer, with its connections and jobs).
    bool isSamePrinter(const PrinterConfig &other) const
    {
        return localname == other.localname && port == other.port;
    }
    bool operator==(const PrinterConfig &other) const;
    bool operator!=(const PrinterConfig &other) const { return !(*this == other); }
};

#endif // PRINTERCONFIG_H
