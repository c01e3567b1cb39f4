// DNS-SD through avahi-daemon, over D-Bus: one entry group per printer.
// Nothing here waits for the daemon on the service's thread: every call goes
// out at once and its reply is handled when it comes, or when the call has
// timed out, so a daemon that hangs holds up no job and no pause or stop.
#include "advertiser.h"

#include "logger.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QSysInfo>

#include <functional>

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

QDBusMessage avahiCall(const QString &path, const QString &interface, const QString &method,
                       const QVariantList &arguments = QVariantList())
{
    QDBusMessage message = QDBusMessage::createMethodCall(AvahiService, path, interface, method);
    message.setArguments(arguments);
    return message;
}

// Sends a call and runs `answered` with its reply, or with the error, on
// `context`'s thread; not at all once `context` has gone.
void send(QObject *context, const QDBusMessage &message, const std::function<void(const QDBusMessage &)> &answered)
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    // Without a bus there is no pending call whose end a watcher would see.
    if (!bus.isConnected()) {
        const QDBusMessage error = message.createErrorReply(
            QDBusError::Disconnected, bus.lastError().isValid() ? bus.lastError().message()
                                                                : QStringLiteral("there is no D-Bus system bus"));
        QMetaObject::invokeMethod(context, [answered, error] { answered(error); }, Qt::QueuedConnection);
        return;
    }
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, CallTimeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, answered] {
        watcher->deleteLater();
        answered(watcher->reply());
    });
}

bool failed(const QDBusMessage &reply)
{
    return reply.type() != QDBusMessage::ReplyMessage;
}

// Why a call failed, in words for the log.
QString failure(const QDBusMessage &reply)
{
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
        return QStringLiteral("avahi-daemon did not answer within %1 seconds").arg(CallTimeoutMs / 1000);
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
        return QStringLiteral("avahi-daemon is not running (%1)").arg(reply.errorMessage());
    return reply.errorMessage();
}

} // namespace

struct Advertiser::Platform
{
    // The entry group's object path; empty until the daemon has made it.
    QString group;
    bool creatingGroup = false;
    // Announced, and not withdrawn since.
    bool wanted = false;
    // Counts publications, withdrawals and renamings: the replies that
    // belong to an earlier one are of no use any more.
    quint64 round = 0;
    // Counts the daemons seen: a reply from one that has gone is of no use.
    quint64 daemons = 0;

    // Sends the calls one after the other, each once the one before has
    // succeeded, as long as nothing has begun since.
    void run(Advertiser *advertiser, quint64 of, QList<QDBusMessage> steps)
    {
        if (steps.isEmpty())
            return;
        const QDBusMessage step = steps.takeFirst();
        send(advertiser, step, [=](const QDBusMessage &reply) {
            if (of != round)
                return;
            if (!failed(reply))
                return run(advertiser, of, steps);
            // The name is taken by another service of this host ("Local
            // name collision").
            if (reply.errorName() == QLatin1String("org.freedesktop.Avahi.CollisionError"))
                return rename(advertiser);
            advertiser->unavailable(failure(reply));
        });
    }

    // The daemon has left the bus (stopped, restarted, upgraded): its entry
    // group went with it.
    void daemonGone(Advertiser *advertiser)
    {
        forgetGroup(advertiser);
        if (wanted)
            advertiser->unavailable(QStringLiteral("avahi-daemon has stopped"));
    }

    // The daemon is (back) on the bus: the announcement is made again, into
    // a group of the new daemon's.
    void daemonStarted(Advertiser *advertiser)
    {
        forgetGroup(advertiser);
        const bool wasUnavailable = advertiser->reportedUnavailable;
        advertiser->reportedUnavailable = false;
        if (!wanted)
            return;
        if (wasUnavailable)
            advertiser->logger->log(QStringLiteral("Printer \"%1\" is announced again: avahi-daemon has started")
                                        .arg(advertiser->printer),
                                    Logger::Info);
        advertiser->announce(advertiser->service);
    }

    void forgetGroup(Advertiser *advertiser)
    {
        ++round;
        ++daemons;
        creatingGroup = false;
        if (group.isEmpty())
            return;
        QDBusConnection::systemBus().disconnect(AvahiService, group, GroupInterface, QStringLiteral("StateChanged"),
                                                advertiser, SLOT(groupStateChanged(int, QString)));
        group.clear();
    }

    // The daemon's alternative to a name that is taken, announced at once.
    void rename(Advertiser *advertiser)
    {
        const quint64 of = ++round;
        const QString taken = advertiser->service.name;
        const QDBusMessage call =
            avahiCall(QStringLiteral("/"), ServerInterface, QStringLiteral("GetAlternativeServiceName"), { taken });
        send(advertiser, call, [=](const QDBusMessage &reply) {
            if (of != round)
                return;
            if (failed(reply))
                return advertiser->unavailable(failure(reply));
            const QString alternative = reply.arguments().value(0).toString();
            advertiser->logger->log(
                QStringLiteral("Printer \"%1\" is announced as \"%2\": \"%3\" is taken on the network")
                    .arg(advertiser->printer, alternative, taken),
                Logger::Info);
            advertiser->service.name = alternative;
            if (wanted)
                advertiser->publish();
        });
    }
};

Advertiser::Advertiser(const QString &printer, Logger *logger, QObject *parent)
    : QObject(parent), platform(std::make_unique<Platform>()), printer(printer), logger(logger)
{
    qDBusRegisterMetaType<QList<QByteArray>>();
    auto *daemon = new QDBusServiceWatcher(AvahiService, QDBusConnection::systemBus(),
                                           QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(daemon, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &oldOwner, const QString &newOwner) {
                if (!oldOwner.isEmpty())
                    platform->daemonGone(this);
                if (!newOwner.isEmpty())
                    platform->daemonStarted(this);
            });
}

Advertiser::~Advertiser()
{
    // Not waited for: should the process end before it goes out, the daemon
    // frees the groups of a client that has left the bus.
    if (!platform->group.isEmpty())
        QDBusConnection::systemBus().send(avahiCall(platform->group, GroupInterface, QStringLiteral("Free")));
}

QString Advertiser::hostName()
{
    const QDBusMessage reply = QDBusConnection::systemBus().call(
        avahiCall(QStringLiteral("/"), ServerInterface, QStringLiteral("GetHostName")), QDBus::Block, CallTimeoutMs);
    const QString name = failed(reply) ? QString() : reply.arguments().value(0).toString();
    return !name.isEmpty() ? name : QSysInfo::machineHostName();
}

void Advertiser::announce(const Service &wanted)
{
    // After a collision the daemon's alternative name stays.
    const QString name = service.port == wanted.port && !service.name.isEmpty() ? service.name : wanted.name;
    service = wanted;
    service.name = name;
    platform->wanted = true;
    if (!platform->group.isEmpty())
        return publish();
    if (platform->creatingGroup)
        return;
    platform->creatingGroup = true;
    send(this, avahiCall(QStringLiteral("/"), ServerInterface, QStringLiteral("EntryGroupNew")),
         [this, daemon = platform->daemons](const QDBusMessage &reply) {
             if (daemon != platform->daemons)
                 return;
             platform->creatingGroup = false;
             if (failed(reply))
                 return unavailable(failure(reply));
             platform->group = reply.arguments().value(0).value<QDBusObjectPath>().path();
             QDBusConnection::systemBus().connect(AvahiService, platform->group, GroupInterface,
                                                  QStringLiteral("StateChanged"), this,
                                                  SLOT(groupStateChanged(int, QString)));
             if (platform->wanted)
                 publish();
         });
}

void Advertiser::publish()
{
    QList<QByteArray> txt;
    for (const auto &entry : qAsConst(service.txt))
        txt << (entry.first + QLatin1Char('=') + entry.second).toUtf8();
    const auto add = [&](const QString &type, quint16 port, const QList<QByteArray> &entries) {
        return avahiCall(platform->group, GroupInterface, QStringLiteral("AddService"),
                         { Unspecified, Unspecified, 0u, service.name, type, QString(), QString(),
                           QVariant::fromValue(port), QVariant::fromValue(entries) });
    };
    // The group may hold an earlier announcement (one that collided).
    platform->run(this, ++platform->round,
                  { avahiCall(platform->group, GroupInterface, QStringLiteral("Reset")),
                    add(QStringLiteral("_pdl-datastream._tcp"), service.port, txt),
                    add(QStringLiteral("_printer._tcp"), 0, {}),
                    avahiCall(platform->group, GroupInterface, QStringLiteral("Commit")) });
}

void Advertiser::withdraw()
{
    platform->wanted = false;
    ++platform->round;
    if (!platform->group.isEmpty())
        QDBusConnection::systemBus().send(avahiCall(platform->group, GroupInterface, QStringLiteral("Reset")));
}

void Advertiser::groupStateChanged(int state, const QString &error)
{
    if (state == Failure)
        logger->log(QStringLiteral("Printer \"%1\" could not be announced: %2").arg(printer, error), Logger::Error);
    else if (state == Collision && platform->wanted)
        platform->rename(this);
}
