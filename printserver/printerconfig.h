// The settings of one printer, as read from settings.json.
#ifndef PRINTERCONFIG_H
#define PRINTERCONFIG_H

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

struct PrinterConfig
{
    // The letters of a printer's "log" text, one bit each.
    enum LogSelection : int {
        LogPrint = 0x1,  // "p"
        LogError = 0x2,  // "e"
        LogDebug = 0x4,  // "d": the listener writes a Debug line per connection
        LogAccess = 0x8  // "a"
    };

    QString localname;
    bool active = false;
    QHostAddress listen = QHostAddress(QHostAddress::AnyIPv4);
    int interfacewaittime = 60;
    quint16 port = 0;
    QList<QPair<QHostAddress, int>> subnets;
    int log = 0;
    bool storejobs = false;
    QString jobspath;
};

#endif // PRINTERCONFIG_H
