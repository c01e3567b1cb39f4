// Acts on an installed service through the platform's service manager. Each
// call opens the manager, does one thing and closes its handles again.
#ifndef SERVICECONTROLLER_H
#define SERVICECONTROLLER_H

#include "servicebase.h"

#include <QString>
#include <QStringList>

class ServiceControllerPrivate;

class ServiceController
{
public:
    explicit ServiceController(const QString &name);
    virtual ~ServiceController();

    QString serviceName() const;

    bool isInstalled() const;
    bool isRunning() const;
    QString serviceFilePath() const;
    QString serviceDescription() const;
    ServiceBase::StartupType startupType() const;

    // Creates the service under this name for the program at `binaryPath`,
    // to run as `account` (none: the local system account).
    bool create(const QString &binaryPath, const QString &description, ServiceBase::StartupType startupType,
                const QString &account = QString(), const QString &password = QString());
    bool uninstall();
    bool start(const QStringList &arguments);
    bool start();
    bool stop();
    bool pause();
    bool resume();
    bool sendCommand(int code);

    static bool install(const QString &serviceFilePath, const QString &account = QString(),
                        const QString &password = QString());

private:
    Q_DISABLE_COPY(ServiceController)
    ServiceControllerPrivate *d;
};

#endif // SERVICECONTROLLER_H
