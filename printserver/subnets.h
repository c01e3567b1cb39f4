// The subnets a printer admits, as its "subnets" setting lists them.
#ifndef SUBNETS_H
#define SUBNETS_H

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

using Subnet = QPair<QHostAddress, int>;

// Comma-separated subnets; blanks do not count, empty parts are skipped, and
// a part that does not parse stays as an entry that contains no address.
QList<Subnet> parseSubnets(QString text);

// Whether one of the subnets contains the peer. A peer seen as an
// IPv4-mapped IPv6 address (by a listener on "::") is matched against IPv4
// subnets by its IPv4 form as well.
bool subnetsContain(const QList<Subnet> &subnets, const QHostAddress &peer);

#endif // SUBNETS_H
