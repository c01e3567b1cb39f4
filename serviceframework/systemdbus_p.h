// systemd's manager over the D-Bus system bus: the calls the systemd binding
// of the service-control table makes. Each gives false and sets the Windows
// last error when the call fails.
#ifndef SYSTEMDBUS_P_H
#define SYSTEMDBUS_P_H

#include <QString>
#include <QVariant>
#include <QVariantList>

namespace SystemdServiceManager {

// The interfaces of a unit's object whose properties the binding reads: the
// unit's own, and the part only services have.
extern const QString UnitInterface;
extern const QString ServiceInterface;

// Whether the system bus can be reached; the connection is kept for the calls.
bool connectSystemBus();

// Calls a method of systemd's manager object.
bool managerCall(const QString &method, const QVariantList &arguments, QVariantList *results = nullptr);

// Reads a property of the object at `path`.
bool property(const QString &path, const QString &interface, const QString &name, QVariant *value);
// The same for a text property; `ok` stays false once a read has failed, so
// that several reads can be checked at once.
QString stringProperty(const QString &path, const QString &interface, const QString &name, bool *ok);

// The unit's object path, loading the unit if systemd has not yet.
bool loadUnit(const QString &unit, QString *path);

// Makes systemd read its unit files again.
bool reloadManager();

// The command line of a service's ExecStart property: the program path and
// its arguments, separated by blanks.
QString commandLine(const QVariant &execStart);

} // namespace SystemdServiceManager

#endif // SYSTEMDBUS_P_H
