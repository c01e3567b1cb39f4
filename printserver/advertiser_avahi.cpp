// DNS-SD through avahi-daemon, over D-Bus: one entry group per printer.
#include "advertiser.h"

#include "logger.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QSysInfo>

namespace {

const QString AvahiService = QStringLiteral("org.freedesktop.Avahi");
const QString ServerInterface = QStringLiteral("org.freedesktop.Avahi.Server");
const QString GroupInterface = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
// A daemon that does not answer within this is taken as not there.
const int CallTimeoutMs = 3000;
// Any interface, any protocol.
const int Unspecified = -1;
// The entry group's states.
const int Collision = 3;
const int Failure = 4;

std::unique_ptr<QDBusInterface> avahi(const QString &path, const QString &interface)
{
    auto proxy = std::make_unique<QDBusInterface>(AvahiService, path, interface, QDBusConnection::systemBus());
    proxy->setTimeout(CallTimeoutMs);
    return proxy;
}

} // namespace

struct Advertiser::Platform
{
    std::unique_ptr<QDBusInterface> group;
};

Advertiser::Advertiser(const QString &printer, Logger *logger, QObject *parent)
    : QObject(parent), platform(std::make_unique<Platform>()), printer(printer), logger(logger)
{
    qDBusRegisterMetaType<QList<QByteArray>>();
}

Advertiser::~Advertiser()
{
    if (platform->group)
        platform->group->call(QStringLiteral("Free"));
}

QString Advertiser::hostName()
{
    const QDBusReply<QString> name = avahi(QStringLiteral("/"), ServerInterface)->call(QStringLiteral("GetHostName"));
    return name.isValid() && !name.value().isEmpty() ? name.value() : QSysInfo::machineHostName();
}

void Advertiser::announce(const Service &wanted)
{
    // After a collision the daemon's alternative name stays.
    const QString name = service.port == wanted.port && !service.name.isEmpty() ? service.name : wanted.name;
    service = wanted;
    service.name = name;
    if (!platform->group) {
        const QDBusReply<QDBusObjectPath> path =
            avahi(QStringLiteral("/"), ServerInterface)->call(QStringLiteral("EntryGroupNew"));
        if (!path.isValid())
            return unavailable(path.error().message());
        platform->group = avahi(path.value().path(), GroupInterface);
        QDBusConnection::systemBus().connect(AvahiService, path.value().path(), GroupInterface,
                                             QStringLiteral("StateChanged"), this,
                                             SLOT(groupStateChanged(int, QString)));
    }
    publish();
}

void Advertiser::publish()
{
    QList<QByteArray> txt;
    for (const auto &entry : qAsConst(service.txt))
        txt << (entry.first + QLatin1Char('=') + entry.second).toUtf8();
    QDBusInterface &group = *platform->group;
    const auto add = [&](const QString &type, quint16 port, const QList<QByteArray> &entries) {
        return group.call(QStringLiteral("AddService"), Unspecified, Unspecified, 0u, service.name, type, QString(),
                          QString(), QVariant::fromValue(port), QVariant::fromValue(entries));
    };
    QDBusMessage reply = add(QStringLiteral("_pdl-datastream._tcp"), service.port, txt);
    if (reply.type() != QDBusMessage::ErrorMessage)
        reply = add(QStringLiteral("_printer._tcp"), 0, {});
    if (reply.type() != QDBusMessage::ErrorMessage)
        reply = group.call(QStringLiteral("Commit"));
    if (reply.type() == QDBusMessage::ErrorMessage)
        unavailable(reply.errorMessage());
}

void Advertiser::withdraw()
{
    if (platform->group)
        platform->group->call(QStringLiteral("Reset"));
}

void Advertiser::groupStateChanged(int state, const QString &error)
{
    if (state == Failure) {
        logger->log(QStringLiteral("Printer \"%1\" could not be announced: %2").arg(printer, error), Logger::Error);
        return;
    }
    if (state != Collision)
        return;
    const QDBusReply<QString> alternative = avahi(QStringLiteral("/"), ServerInterface)
                                                ->call(QStringLiteral("GetAlternativeServiceName"), service.name);
    if (!alternative.isValid())
        return unavailable(alternative.error().message());
    logger->log(QStringLiteral("Printer \"%1\" is announced as \"%2\": \"%3\" is taken on the network")
                    .arg(printer, alternative.value(), service.name),
                Logger::Info);
    service.name = alternative.value();
    platform->group->call(QStringLiteral("Reset"));
    publish();
}
