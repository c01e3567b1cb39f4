// The subnets a printer admits.
#include "subnets.h"

#include <QStringList>

QList<Subnet> parseSubnets(QString text)
{
    text.remove(QLatin1Char(' '));
    QList<Subnet> subnets;
    const QStringList parts = text.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString &part : parts) {
        if (!part.isEmpty())
            subnets.append(QHostAddress::parseSubnet(part));
    }
    return subnets;
}

bool subnetsContain(const QList<Subnet> &subnets, const QHostAddress &peer)
{
    bool mapped = false;
    const QHostAddress ipv4(peer.toIPv4Address(&mapped));
    mapped = mapped && peer.protocol() == QAbstractSocket::IPv6Protocol;
    for (const Subnet &subnet : subnets) {
        if (peer.isInSubnet(subnet) || (mapped && ipv4.isInSubnet(subnet)))
            return true;
    }
    return false;
}
