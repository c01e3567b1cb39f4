// Announces one printer on the local network by DNS-SD, the way print
// clients look for raw printers: a "_pdl-datastream._tcp" service on the
// printer's port with the TXT record they read, and a "_printer._tcp"
// record on port 0 under the same name, the usual placeholder that keeps the
// name for the printer. Withdrawn while the printer is paused, and when the
// advertiser goes.
#ifndef ADVERTISER_H
#define ADVERTISER_H

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <memory>

class Logger;

class Advertiser : public QObject
{
    Q_OBJECT
public:
    struct Service
    {
        // The instance name clients list.
        QString name;
        quint16 port = 0;
        // Key and value of each TXT entry, in order.
        QList<QPair<QString, QString>> txt;
    };

    Advertiser(const QString &printer, Logger *logger, QObject *parent = nullptr);
    ~Advertiser() override;

    // Announces the service, or announces it again after withdraw(). Where
    // no DNS-SD daemon answers there is one line, and printing goes on; a
    // daemon that starts later, or again, gets the announcement.
    void announce(const Service &service);
    void withdraw();

    // The name the service is announced under: the one asked for, or the
    // daemon's alternative after a name collision.
    QString name() const { return service.name; }

    // The host name the announcement goes out under, as the DNS-SD daemon
    // knows it; the system's host name where there is none.
    static QString hostName();

private slots:
    // The DNS-SD daemon's word on the announcement (a collision, a failure).
    void groupStateChanged(int state, const QString &error);

private:
    void publish();
    void unavailable(const QString &why);

    struct Platform;
    std::unique_ptr<Platform> platform;
    QString printer;
    Logger *logger;
    Service service;
    bool reportedUnavailable = false;
};

#endif // ADVERTISER_H
