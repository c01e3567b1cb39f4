// A printer's subnets: the parse of the setting and the decision for a
// peer, each row beside its twin just outside.
#include "subnets.h"

#include <QtTest>

class tst_Subnets : public QObject
{
    Q_OBJECT

private slots:
    void contains_data();
    void contains();
    void parse_data();
    void parse();
};

void tst_Subnets::contains_data()
{
    QTest::addColumn<QString>("subnets");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("allowed");

    QTest::newRow("/32") << "127.0.0.2/32" << "127.0.0.2" << true;
    QTest::newRow("~/32") << "127.0.0.2/32" << "127.0.0.3" << false;
    QTest::newRow("/31 upper end") << "127.0.0.2/31" << "127.0.0.3" << true;
    QTest::newRow("~/31 upper end") << "127.0.0.2/31" << "127.0.0.4" << false;
    QTest::newRow("/30 lower end") << "127.0.0.4/30" << "127.0.0.4" << true;
    QTest::newRow("~/30 lower end") << "127.0.0.4/30" << "127.0.0.3" << false;
    QTest::newRow("/24 last") << "192.168.1.0/24" << "192.168.1.255" << true;
    QTest::newRow("~/24 last") << "192.168.1.0/24" << "192.168.2.0" << false;
    QTest::newRow("/0") << "0.0.0.0/0" << "203.0.113.9" << true;
    QTest::newRow("~/0 other family") << "0.0.0.0/0" << "::1" << false;
    QTest::newRow("overlapping") << "127.0.0.0/8, 127.0.0.2/32" << "127.0.0.2" << true;
    QTest::newRow("~overlapping") << "127.0.0.0/30, 127.0.0.2/31" << "127.0.0.4" << false;
    QTest::newRow("second entry") << "10.0.0.0/8, 127.0.0.2/32" << "127.0.0.2" << true;
    QTest::newRow("IPv6 /64") << "2001:db8::/64" << "2001:db8::ffff:1" << true;
    QTest::newRow("~IPv6 /64") << "2001:db8::/64" << "2001:db8:0:1::1" << false;
    QTest::newRow("~IPv6 entry, IPv4 peer") << "::1/128" << "127.0.0.2" << false;
    QTest::newRow("mapped peer, IPv4 subnet") << "127.0.0.2/31" << "::ffff:127.0.0.3" << true;
    QTest::newRow("~mapped peer, IPv4 subnet") << "127.0.0.2/31" << "::ffff:127.0.0.4" << false;
    QTest::newRow("mapped peer, mapped subnet") << "::ffff:127.0.0.2/128" << "::ffff:127.0.0.2" << true;
    QTest::newRow("unparsable before a match") << "garbage, 127.0.0.0/8" << "127.0.0.2" << true;
    QTest::newRow("~unparsable only")
        << "garbage, 127.0.0.300/8, 127.0.0.1/33, ::1/129" << "127.0.0.1" << false;
}

void tst_Subnets::contains()
{
    QFETCH(QString, subnets);
    QFETCH(QString, peer);
    QFETCH(bool, allowed);
    QCOMPARE(subnetsContain(parseSubnets(subnets), QHostAddress(peer)), allowed);
}

void tst_Subnets::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("entries");
    QTest::addColumn<int>("unparsable");

    QTest::newRow("empty") << "" << 0 << 0;
    QTest::newRow("blanks and commas") << " , ,," << 0 << 0;
    QTest::newRow("blanks, empty part, trailing comma") << " 127.0.0.0/8 ,, ::1/128 ," << 2 << 0;
    QTest::newRow("one unparsable") << "printers" << 1 << 1;
}

// Blanks do not count and empty parts are skipped; a part that does not
// parse stays, as an entry that contains no address.
void tst_Subnets::parse()
{
    QFETCH(QString, text);
    QFETCH(int, entries);
    QFETCH(int, unparsable);
    const QList<Subnet> subnets = parseSubnets(text);
    QCOMPARE(subnets.size(), entries);
    int nulls = 0;
    for (const Subnet &subnet : subnets)
        nulls += subnet.first.isNull() && subnet.second == -1;
    QCOMPARE(nulls, unparsable);
}

QTEST_GUILESS_MAIN(tst_Subnets)
#include "tst_subnets.moc"
