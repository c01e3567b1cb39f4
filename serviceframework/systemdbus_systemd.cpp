// The D-Bus calls of the systemd binding: one connection to the system bus
// for the process, systemd's manager methods and unit properties, and the
// Windows error code for each D-Bus error.
#include "systemdbus_p.h"

#include "servicecontrolmanager.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMutex>
#include <QStringList>

namespace SystemdServiceManager {

const QString UnitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString ServiceInterface = QStringLiteral("org.freedesktop.systemd1.Service");

} // namespace SystemdServiceManager

namespace {

const QString Systemd = QStringLiteral("org.freedesktop.systemd1");
const QString ManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString ManagerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");

// The Windows error code for a D-Bus error name.
DWORD errorFromDBus(const QString &name)
{
    static const struct
    {
        const char *name;
        DWORD error;
    } errors[] = {
        { "org.freedesktop.systemd1.NoSuchUnit", ERROR_SERVICE_DOES_NOT_EXIST },
        { "org.freedesktop.systemd1.LoadFailed", ERROR_SERVICE_DOES_NOT_EXIST },
        { "org.freedesktop.DBus.Error.AccessDenied", ERROR_ACCESS_DENIED },
        { "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", ERROR_ACCESS_DENIED },
        { "org.freedesktop.DBus.Error.NoReply", ERROR_SERVICE_REQUEST_TIMEOUT },
        { "org.freedesktop.DBus.Error.Timeout", ERROR_SERVICE_REQUEST_TIMEOUT },
        { "org.freedesktop.DBus.Error.Disconnected", RPC_S_SERVER_UNAVAILABLE },
        { "org.freedesktop.DBus.Error.ServiceUnknown", RPC_S_SERVER_UNAVAILABLE },
    };
    for (const auto &entry : errors) {
        if (name == QLatin1String(entry.name))
            return entry.error;
    }
    return ERROR_GEN_FAILURE;
}

// One system-bus connection for the process, made on first use and shared by
// every thread; a failed attempt is dropped so that the next one tries again.
QBasicMutex busMutex;
const char BusName[] = "serviceframework-systemd";

bool systemBus(QDBusConnection *bus)
{
    QMutexLocker locker(&busMutex);
    *bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, QLatin1String(BusName));
    if (bus->isConnected())
        return true;
    QDBusConnection::disconnectFromBus(QLatin1String(BusName));
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return false;
}

bool call(const QString &path, const QString &interface, const QString &method,
          const QVariantList &arguments, QVariantList *results = nullptr)
{
    QDBusConnection bus(QString{});
    if (!systemBus(&bus))
        return false;
    QDBusMessage message = QDBusMessage::createMethodCall(Systemd, path, interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply = bus.call(message, QDBus::Block);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        SetLastError(errorFromDBus(reply.errorName()));
        return false;
    }
    if (results)
        *results = reply.arguments();
    return true;
}

} // namespace

namespace SystemdServiceManager {

bool connectSystemBus()
{
    QDBusConnection bus(QString{});
    return systemBus(&bus);
}

bool managerCall(const QString &method, const QVariantList &arguments, QVariantList *results)
{
    return call(ManagerPath, ManagerInterface, method, arguments, results);
}

bool property(const QString &path, const QString &interface, const QString &name, QVariant *value)
{
    QVariantList results;
    if (!call(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
              { interface, name }, &results))
        return false;
    *value = results.value(0).value<QDBusVariant>().variant();
    return true;
}

QString stringProperty(const QString &path, const QString &interface, const QString &name, bool *ok)
{
    QVariant value;
    *ok = *ok && property(path, interface, name, &value);
    return value.toString();
}

bool loadUnit(const QString &unit, QString *path)
{
    QVariantList results;
    if (!managerCall(QStringLiteral("LoadUnit"), { unit }, &results))
        return false;
    *path = results.value(0).value<QDBusObjectPath>().path();
    return true;
}

bool reloadManager()
{
    return managerCall(QStringLiteral("Reload"), {});
}

// ExecStart is a(sasbttttuii), of which the program path and its arguments
// are read.
QString commandLine(const QVariant &execStart)
{
    const QDBusArgument argument = execStart.value<QDBusArgument>();
    if (argument.currentType() != QDBusArgument::ArrayType)
        return QString();
    QStringList words;
    argument.beginArray();
    if (!argument.atEnd()) {
        QString path;
        QStringList argv;
        bool ignoreFailure = false;
        quint64 startRealtime = 0, startMonotonic = 0, exitRealtime = 0, exitMonotonic = 0;
        quint32 pid = 0;
        qint32 code = 0, status = 0;
        argument.beginStructure();
        argument >> path >> argv >> ignoreFailure >> startRealtime >> startMonotonic >> exitRealtime
            >> exitMonotonic >> pid >> code >> status;
        argument.endStructure();
        words << path << argv.mid(1);
    }
    while (!argument.atEnd())
        argument.asVariant();
    argument.endArray();
    return words.join(QLatin1Char(' '));
}

} // namespace SystemdServiceManager
