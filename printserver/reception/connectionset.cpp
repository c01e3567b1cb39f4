// The open connections of one printer.
#include "connectionset.h"

#include "lpdconnection.h"
#include "rawconnection.h"

ConnectionSet::ConnectionSet(PrinterConfig::Protocol protocol, const JobIntake &intake, QObject *parent)
    : QObject(parent), protocol(protocol), intake(intake)
{
}

ConnectionSet::~ConnectionSet()
{
    // A connection that is still open when its printer goes is reset.
    for (Connection *connection : qAsConst(connections)) {
        connection->disconnect(this);
        delete connection;
    }
}

void ConnectionSet::take(qintptr socket, const QString &peer)
{
    Connection *connection = protocol == PrinterConfig::Lpd
        ? static_cast<Connection *>(new LpdConnection(socket, peer, intake, this))
        : new RawConnection(socket, peer, intake, this);
    if (paused)
        connection->setPaused(true);
    connection->start();
    if (connection->isEnded()) {
        delete connection;
        emit ended();
        return;
    }
    connections.insert(connection);
    connect(connection, &Connection::ended, this, &ConnectionSet::connectionEnded);
}

void ConnectionSet::connectionEnded()
{
    auto connection = static_cast<Connection *>(sender());
    connections.remove(connection);
    connection->deleteLater();
    emit ended();
}

void ConnectionSet::reconfigure(PrinterConfig::Protocol nextProtocol, int idleTimeout)
{
    protocol = nextProtocol;
    intake.idleTimeout = idleTimeout;
}

void ConnectionSet::setPaused(bool pause)
{
    paused = pause;
    for (Connection *connection : qAsConst(connections))
        connection->setPaused(pause);
}

void ConnectionSet::finishAtStop()
{
    const QSet<Connection *> open = connections;
    for (Connection *connection : open) {
        connection->disconnect(this);
        connection->finishAtStop();
        delete connection;
    }
    connections.clear();
}
