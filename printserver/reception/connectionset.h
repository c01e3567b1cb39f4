// The connections of one printer that are open: each admitted socket
// becomes a connection of the printer's protocol, and they are paused,
// resumed and finished at a stop together.
#ifndef CONNECTIONSET_H
#define CONNECTIONSET_H

#include "jobintake.h"
#include "printerconfig.h"

#include <QObject>
#include <QSet>

class Connection;

class ConnectionSet : public QObject
{
    Q_OBJECT
public:
    ConnectionSet(PrinterConfig::Protocol protocol, const JobIntake &intake, QObject *parent = nullptr);
    ~ConnectionSet() override;

    // A new connection of the printer's protocol on the admitted `socket`.
    void take(qintptr socket, const QString &peer);

    void setPaused(bool paused);
    // At a stop: the jobs of clients that have finished are committed,
    // connections still receiving are cut off with a line.
    void finishAtStop();

    int count() const { return connections.size(); }

    // Another protocol and idle time for the connections to come.
    void reconfigure(PrinterConfig::Protocol protocol, int idleTimeout);

signals:
    // A connection has ended: there is room for another.
    void ended();

private:
    void connectionEnded();

    PrinterConfig::Protocol protocol;
    // The connections refer to it; only what new ones read changes.
    JobIntake intake;
    QSet<Connection *> connections;
    bool paused = false;
};

#endif // CONNECTIONSET_H
