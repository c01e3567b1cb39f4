// The base of a service program: its identity, its command line, the event
// log, and the two ways of running the application (foreground and service).
#ifndef SERVICEBASE_H
#define SERVICEBASE_H

#include <QByteArray>
#include <QFlags>
#include <QString>
#include <QStringList>

class ServiceBase
{
public:
    enum StartupType : quint32 {
        StartAutomatically = 0,
        StartOnDemand = 1
    };

    enum ServiceFlag : quint32 {
        Default = 0x00,
        PauseAllowed = 0x01,
        StopRefused = 0x02,
        StopOnShutdown = 0x04
    };
    Q_DECLARE_FLAGS(ServiceFlags, ServiceFlag)

    enum EventType {
        SuccessEvent = 0,
        ErrorEvent = 1,
        WarningEvent = 2,
        InformationEvent = 3
    };

    ServiceBase(int argc, char **argv, const QString &name);
    virtual ~ServiceBase();

    static ServiceBase *instance();

    QString serviceName() const;

    QString serviceDescription() const;
    void setServiceDescription(const QString &description);

    StartupType startupType() const;
    void setStartupType(StartupType type);

    ServiceFlags serviceFlags() const;
    void setServiceFlags(ServiceFlags flags);

    QStringList arguments() const;

    void logMessage(const QString &message, EventType type = SuccessEvent, int id = 0,
                    uint category = 0, const QByteArray &data = QByteArray());

    bool installService(const QString &account, const QString &password);
    QString filePath() const;

    int runApplication(const QStringList &arguments);
    bool runAsService();

    int exec();

protected:
    virtual void start() = 0;
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void processCommand(int code);

    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

private:
    Q_DISABLE_COPY(ServiceBase)

    class Private;
    Private *d;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(ServiceBase::ServiceFlags)

#endif // SERVICEBASE_H
