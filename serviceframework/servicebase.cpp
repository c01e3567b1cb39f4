// ServiceBase, all of it: identity, command line, event log, installation,
// and the two ways of running the application, in the foreground and as a
// service. What it asks of the platform is done by ServiceController (the
// installed service), ServiceRuntime (the run as a service) and
// InterruptWatcher (the foreground run's interrupt).
#include "servicebase.h"

#include "interruptwatcher.h"
#include "servicecontroller.h"
#include "servicecontrolmanager.h"
#include "serviceoperations.h"
#include "serviceruntime.h"
#include "servicestarter.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <vector>

namespace {

// The service of this process, for ServiceBase::instance().
ServiceBase *serviceInstance = nullptr;

const int MaxServiceNameLength = 255;

const char HelpText[] =
    "\n%s -[i|u|e|t|p|r|c|v|h]\n"
    "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account and password\n"
    "\t-u(ninstall)\t: Uninstall the service.\n"
    "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
    "\t-t(erminate)\t: Stop the service.\n"
    "\t-p(ause)\t: Pause the service.\n"
    "\t-r(esume)\t: Resume a paused service.\n"
    "\t-c(ommand) num\t: Send command code num to the service.\n"
    "\t-v(ersion)\t: Print version and status information.\n"
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

QString checkedName(const QString &name)
{
    QString result = name;
    if (result.size() > MaxServiceNameLength) {
        qWarning("Service: 'name' is longer than %d characters.", MaxServiceNameLength);
        result.truncate(MaxServiceNameLength);
    }
    if (result.contains(QLatin1Char('\\'))) {
        qWarning("Service: 'name' contains backslashes '\\'.");
        // The platform takes the name as a NUL-terminated string, so it sees
        // the name only up to where the first backslash stood.
        result.replace(QLatin1Char('\\'), QChar(0));
    }
    return result;
}

WORD platformEventType(ServiceBase::EventType type)
{
    switch (type) {
    case ServiceBase::ErrorEvent:
        return EVENTLOG_ERROR_TYPE;
    case ServiceBase::WarningEvent:
        return EVENTLOG_WARNING_TYPE;
    case ServiceBase::InformationEvent:
        return EVENTLOG_INFORMATION_TYPE;
    default:
        return EVENTLOG_SUCCESS;
    }
}

bool isOption(const QString &argument, const char *shortForm, const char *longForm)
{
    return argument == QLatin1String(shortForm) || argument == QLatin1String(longForm);
}

// The argc and argv of an application object: the arguments in the local
// 8-bit encoding and a null-terminated list of pointers into them. The
// application keeps both, argc by reference, for its whole life.
struct ApplicationArguments
{
    explicit ApplicationArguments(const QStringList &arguments)
        : argc(int(arguments.size()))
    {
        storage.reserve(size_t(arguments.size()));
        for (const QString &argument : arguments) {
            storage.push_back(argument.toLocal8Bit());
            argv.push_back(storage.back().data());
        }
        argv.push_back(nullptr);
    }

    int argc;
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
};

} // namespace

// The state of a ServiceBase, and its operations as the starter and the
// runtime call them: a nested class may call the protected virtual functions
// that the service program overrides.
class ServiceBase::Private final : public ServiceOperations
{
public:
    Private(ServiceBase *service, const QString &name)
        : q(service), controller(name)
    {
    }

    void start() override { q->start(); }
    void stop() override { q->stop(); }
    void pause() override { q->pause(); }
    void resume() override { q->resume(); }
    void processCommand(int code) override { q->processCommand(code); }

    ServiceBase *q;
    QString serviceDescription;
    ServiceBase::StartupType startupType = ServiceBase::StartOnDemand;
    ServiceBase::ServiceFlags serviceFlags;
    QStringList arguments;
    ServiceController controller;
    // Exists while the program runs as a service.
    ServiceRuntime *runtime = nullptr;
};

ServiceBase::ServiceBase(int argc, char **argv, const QString &name)
{
    serviceInstance = this;
    d = new Private(this, checkedName(name));
    for (int i = 0; i < argc; ++i)
        d->arguments.append(QString::fromLocal8Bit(argv[i]));
}

ServiceBase::~ServiceBase()
{
    delete d;
    serviceInstance = nullptr;
}

ServiceBase *ServiceBase::instance()
{
    return serviceInstance;
}

QString ServiceBase::serviceName() const
{
    return d->controller.serviceName();
}

QString ServiceBase::serviceDescription() const
{
    return d->serviceDescription;
}

void ServiceBase::setServiceDescription(const QString &description)
{
    d->serviceDescription = description;
}

ServiceBase::StartupType ServiceBase::startupType() const
{
    return d->startupType;
}

void ServiceBase::setStartupType(StartupType type)
{
    d->startupType = type;
}

ServiceBase::ServiceFlags ServiceBase::serviceFlags() const
{
    return d->serviceFlags;
}

void ServiceBase::setServiceFlags(ServiceFlags flags)
{
    if (d->serviceFlags == flags)
        return;
    d->serviceFlags = flags;
    if (d->runtime)
        d->runtime->setServiceFlags(flags);
}

QStringList ServiceBase::arguments() const
{
    return d->arguments;
}

void ServiceBase::stop()
{
}

void ServiceBase::pause()
{
}

void ServiceBase::resume()
{
}

void ServiceBase::processCommand(int)
{
}

void ServiceBase::logMessage(const QString &message, EventType type, int id, uint category,
                             const QByteArray &data)
{
    if (!resolveServiceApi())
        return;
    const ServiceControlManager &api = serviceApi();

    const QString source = serviceName();
    HANDLE eventSource = api.RegisterEventSourceW(nullptr, wideString(source));
    if (!eventSource)
        return;

    LPCWSTR strings[1] = { wideString(message) };
    const bool hasData = !data.isEmpty();
    api.ReportEventW(eventSource, platformEventType(type), WORD(category & 0xFFFF), DWORD(id),
                     nullptr, 1, hasData ? DWORD(data.size()) : 0, strings,
                     hasData ? const_cast<char *>(data.constData()) : nullptr);
    api.DeregisterEventSource(eventSource);
}

bool ServiceBase::installService(const QString &account, const QString &password)
{
    return d->controller.create(filePath(), d->serviceDescription, d->startupType, account, password);
}

QString ServiceBase::filePath() const
{
    WCHAR buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return QString::fromUtf16(reinterpret_cast<const ushort *>(buffer),
                              int(qMin<DWORD>(length, MAX_PATH - 1)));
}

int ServiceBase::runApplication(const QStringList &arguments)
{
    // They live until the application has been deleted.
    ApplicationArguments applicationArguments(arguments);
    createApplication(applicationArguments.argc, applicationArguments.argv.data());
    if (!QCoreApplication::instance())
        return -1;

    int result;
    {
        ServiceStarter starter(d);
        QTimer::singleShot(0, &starter, SLOT(slotStart()));

        // An interrupt (Ctrl+C, SIGTERM) ends the run the way a stop does.
        InterruptWatcher interruptWatcher;
        QObject::connect(&interruptWatcher, &InterruptWatcher::interrupted, &starter, [this] {
            stop();
            QCoreApplication::quit();
        });

        result = executeApplication();
    }
    // The watcher's socket notifier and the starter go before the event
    // dispatcher they were registered with.
    delete QCoreApplication::instance();
    return result;
}

bool ServiceBase::runAsService()
{
    if (!resolveServiceApi())
        return false;
    auto runtime = new ServiceRuntime(serviceName(), d->serviceFlags, *d);
    d->runtime = runtime;

    const ServiceRuntime::StartResult started = runtime->startDispatcher();
    if (started == ServiceRuntime::NoAnswer) {
        // The dispatcher may still call serviceMain: the runtime stays.
        return false;
    }
    if (started != ServiceRuntime::Started) {
        if (started == ServiceRuntime::DispatcherFailed) {
            logMessage(QStringLiteral("The Service failed to start [%1]")
                           .arg(qt_error_string(int(runtime->dispatcherError()))),
                       ErrorEvent);
        }
        d->runtime = nullptr;
        delete runtime;
        // Run from a console: ask the service manager to start the
        // installed service, with our arguments but for the program path.
        return started == ServiceRuntime::StartedFromConsole && d->controller.start(d->arguments.mid(1));
    }

    ApplicationArguments applicationArguments(runtime->serviceArguments());
    createApplication(applicationArguments.argc, applicationArguments.argv.data());
    // serviceMain waits for the application for good: the runtime stays.
    if (!QCoreApplication::instance())
        return false;

    runtime->applicationCreated();
    const int result = executeApplication();
    runtime->applicationEnded(result);

    delete QCoreApplication::instance();
    d->runtime = nullptr;
    delete runtime;
    return true;
}

int ServiceBase::exec()
{
    const QByteArray name = serviceName().toLatin1();
    const QString option = d->arguments.value(1);
    const bool hasOption = d->arguments.size() > 1;

    if (hasOption && isOption(option, "-i", "-install")) {
        if (d->controller.isInstalled()) {
            fprintf(stderr, "The service %s is already installed\n", name.constData());
            return 0;
        }
        if (installService(d->arguments.value(2), d->arguments.value(3))) {
            fprintf(stdout, "The service %s has been installed under: %s\n", name.constData(),
                    filePath().toLatin1().constData());
            return 0;
        }
        fprintf(stderr, "The service %s could not be installed\n", name.constData());
        return -1;
    }

    if (hasOption && isOption(option, "-u", "-uninstall")) {
        if (!d->controller.isInstalled()) {
            fprintf(stderr, "The service %s is not installed\n", name.constData());
            return 0;
        }
        if (d->controller.uninstall()) {
            fprintf(stdout, "The service %s has been uninstalled.\n", name.constData());
            return 0;
        }
        fprintf(stderr, "The service %s could not be uninstalled\n", name.constData());
        return -1;
    }

    if (hasOption && isOption(option, "-v", "-version")) {
        fprintf(stdout, "The service\n\t%s\n\t%s\n\n", name.constData(),
                d->arguments.at(0).toLatin1().constData());
        fprintf(stdout, "is %s", d->controller.isInstalled() ? "installed" : "not installed");
        fprintf(stdout, " and %s\n\n", d->controller.isRunning() ? "running" : "not running");
        return 0;
    }

    if (hasOption && isOption(option, "-e", "-exec")) {
        QStringList arguments = d->arguments;
        arguments.removeAt(1);
        const int result = runApplication(arguments);
        if (result == -1)
            qErrnoWarning("The service could not be executed.");
        return result;
    }

    if (hasOption && isOption(option, "-t", "-terminate")) {
        if (!d->controller.stop())
            qErrnoWarning("The service could not be stopped.");
        return 0;
    }

    if (hasOption && isOption(option, "-p", "-pause")) {
        d->controller.pause();
        return 0;
    }

    if (hasOption && isOption(option, "-r", "-resume")) {
        d->controller.resume();
        return 0;
    }

    if (hasOption && isOption(option, "-c", "-command")) {
        d->controller.sendCommand(d->arguments.size() > 2 ? d->arguments.at(2).toInt() : 0);
        return 0;
    }

    if (hasOption && isOption(option, "-h", "-help")) {
        fprintf(stdout, HelpText, d->arguments.at(0).toLatin1().constData());
        return 0;
    }

    if (!runAsService()) {
        fprintf(stderr, "The service %s could not start\n", name.constData());
        return -4;
    }
    return 0;
}
