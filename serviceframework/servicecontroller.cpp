// ServiceController: every operation on an installed service, and its
// creation, through the service-control table.
#include "servicecontroller.h"

#include "servicecontrolmanager.h"

#include <QProcess>

#include <vector>

class ServiceControllerPrivate
{
public:
    ServiceController *q;
    QString serviceName;
};

namespace {

const DWORD ConfigBufferSize = 8192;
const DWORD DescriptionBufferSize = 8096;
const int StopPolls = 10;
const DWORD StopPollInterval = 200;

// Opens the manager and the service with the given access, runs the
// operation on the service handle, and closes both handles again. Any step
// that fails gives `failed`.
template <typename Result, typename Operation>
Result withService(const QString &name, DWORD managerAccess, DWORD serviceAccess, Result failed,
                   Operation operation)
{
    if (!resolveServiceApi())
        return failed;
    const ServiceControlManager &api = serviceApi();

    SC_HANDLE manager = api.OpenSCManagerW(nullptr, nullptr, managerAccess);
    if (!manager)
        return failed;
    SC_HANDLE service = api.OpenServiceW(manager, wideString(name), serviceAccess);
    if (!service) {
        api.CloseServiceHandle(manager);
        return failed;
    }
    const Result result = operation(api, service);
    api.CloseServiceHandle(service);
    api.CloseServiceHandle(manager);
    return result;
}

// Reads the service's configuration record into `buffer`; null on failure.
const QUERY_SERVICE_CONFIGW *queryConfig(const ServiceControlManager &api, SC_HANDLE service,
                                         std::vector<quint64> &buffer)
{
    buffer.assign(ConfigBufferSize / sizeof(quint64), 0);
    auto config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    DWORD needed = 0;
    return api.QueryServiceConfigW(service, config, ConfigBufferSize, &needed) ? config : nullptr;
}

bool sendControl(const QString &name, DWORD serviceAccess, DWORD control)
{
    return withService(name, SC_MANAGER_CONNECT, serviceAccess, false,
                       [control](const ServiceControlManager &api, SC_HANDLE service) {
                           SERVICE_STATUS status = {};
                           return api.ControlService(service, control, &status) != 0;
                       });
}

} // namespace

ServiceController::ServiceController(const QString &name)
    : d(new ServiceControllerPrivate{ this, name })
{
}

ServiceController::~ServiceController()
{
    delete d;
}

QString ServiceController::serviceName() const
{
    return d->serviceName;
}

bool ServiceController::isInstalled() const
{
    return withService(d->serviceName, 0, SERVICE_QUERY_CONFIG, false,
                       [](const ServiceControlManager &, SC_HANDLE) { return true; });
}

bool ServiceController::isRunning() const
{
    return withService(d->serviceName, 0, SERVICE_QUERY_STATUS, false,
                       [](const ServiceControlManager &api, SC_HANDLE service) {
                           SERVICE_STATUS status = {};
                           return api.QueryServiceStatus(service, &status)
                               && status.dwCurrentState != SERVICE_STOPPED;
                       });
}

QString ServiceController::serviceFilePath() const
{
    return withService(d->serviceName, 0, SERVICE_QUERY_CONFIG, QString(),
                       [](const ServiceControlManager &api, SC_HANDLE service) {
                           std::vector<quint64> buffer;
                           const QUERY_SERVICE_CONFIGW *config = queryConfig(api, service, buffer);
                           if (!config || !config->lpBinaryPathName)
                               return QString();
                           return fromWideString(config->lpBinaryPathName);
                       });
}

QString ServiceController::serviceDescription() const
{
    return withService(d->serviceName, 0, SERVICE_QUERY_CONFIG, QString(),
                       [](const ServiceControlManager &api, SC_HANDLE service) {
                           std::vector<quint64> buffer(DescriptionBufferSize / sizeof(quint64));
                           DWORD needed = 0;
                           if (!api.QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION,
                                                         reinterpret_cast<LPBYTE>(buffer.data()),
                                                         DescriptionBufferSize, &needed))
                               return QString();
                           auto description =
                               reinterpret_cast<const SERVICE_DESCRIPTIONW *>(buffer.data());
                           if (!description->lpDescription)
                               return QString();
                           return fromWideString(description->lpDescription);
                       });
}

ServiceBase::StartupType ServiceController::startupType() const
{
    return withService(d->serviceName, 0, SERVICE_QUERY_CONFIG, ServiceBase::StartOnDemand,
                       [](const ServiceControlManager &api, SC_HANDLE service) {
                           std::vector<quint64> buffer;
                           const QUERY_SERVICE_CONFIGW *config = queryConfig(api, service, buffer);
                           if (!config || config->dwStartType == SERVICE_DEMAND_START)
                               return ServiceBase::StartOnDemand;
                           return ServiceBase::StartAutomatically;
                       });
}

bool ServiceController::uninstall()
{
    return withService(d->serviceName, SC_MANAGER_ALL_ACCESS, DELETE, false,
                       [](const ServiceControlManager &api, SC_HANDLE service) {
                           return api.DeleteService(service) != 0;
                       });
}

bool ServiceController::start(const QStringList &arguments)
{
    return withService(d->serviceName, SC_MANAGER_CONNECT, SERVICE_START, false,
                       [&arguments](const ServiceControlManager &api, SC_HANDLE service) {
                           std::vector<LPCWSTR> argv;
                           for (const QString &argument : arguments)
                               argv.push_back(wideString(argument));
                           return api.StartServiceW(service, DWORD(argv.size()),
                                                    argv.empty() ? nullptr : argv.data())
                               != 0;
                       });
}

bool ServiceController::start()
{
    return start(QStringList());
}

bool ServiceController::stop()
{
    return withService(d->serviceName, SC_MANAGER_CONNECT, SERVICE_STOP | SERVICE_QUERY_STATUS,
                       false, [](const ServiceControlManager &api, SC_HANDLE service) {
                           SERVICE_STATUS status = {};
                           if (!api.ControlService(service, SERVICE_CONTROL_STOP, &status)) {
                               qErrnoWarning(int(GetLastError()), "stopping");
                               return false;
                           }
                           // A stop may take a moment; wait for it, but not for long.
                           for (int poll = 0; status.dwCurrentState != SERVICE_STOPPED; ++poll) {
                               if (poll == StopPolls)
                                   return false;
                               Sleep(StopPollInterval);
                               if (!api.QueryServiceStatus(service, &status))
                                   return false;
                           }
                           return true;
                       });
}

bool ServiceController::pause()
{
    return sendControl(d->serviceName, SERVICE_PAUSE_CONTINUE, SERVICE_CONTROL_PAUSE);
}

bool ServiceController::resume()
{
    return sendControl(d->serviceName, SERVICE_PAUSE_CONTINUE, SERVICE_CONTROL_CONTINUE);
}

bool ServiceController::sendCommand(int code)
{
    if (!resolveServiceApi())
        return false;
    // User codes 0 to 127 travel as controls 128 to 255.
    if (uint(code) > 127)
        return false;
    if (!isRunning())
        return false;
    return sendControl(d->serviceName, SERVICE_USER_DEFINED_CONTROL, DWORD(code) + 128);
}

bool ServiceController::install(const QString &serviceFilePath, const QString &account,
                                const QString &password)
{
    return QProcess::execute(serviceFilePath,
                             { QStringLiteral("-i"), account, password }) == 0;
}

bool ServiceController::create(const QString &binaryPath, const QString &description,
                               ServiceBase::StartupType startupType, const QString &account,
                               const QString &password)
{
    if (!resolveServiceApi())
        return false;
    const ServiceControlManager &api = serviceApi();

    SC_HANDLE manager = api.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return false;

    const DWORD startType =
        startupType == ServiceBase::StartAutomatically ? SERVICE_AUTO_START : SERVICE_DEMAND_START;

    // An account without a domain is one of this machine; LocalSystem in any
    // domain means the local system account, which takes no name or password.
    QString accountName = account;
    if (!accountName.isEmpty() && !accountName.contains(QLatin1Char('\\')))
        accountName.prepend(QLatin1String(".\\"));
    if (accountName.endsWith(QLatin1String("\\LocalSystem"), Qt::CaseSensitive))
        accountName.clear();
    const bool localSystem = accountName.isEmpty();
    const DWORD serviceType = localSystem ? SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS
                                          : SERVICE_WIN32_OWN_PROCESS;

    const QString &name = d->serviceName;
    SC_HANDLE service = api.CreateServiceW(
        manager, wideString(name), wideString(name), SERVICE_ALL_ACCESS, serviceType, startType,
        SERVICE_ERROR_NORMAL, wideString(binaryPath), nullptr, nullptr, nullptr,
        localSystem ? nullptr : wideString(accountName),
        localSystem || password.isEmpty() ? nullptr : wideString(password));
    if (!service) {
        api.CloseServiceHandle(manager);
        return false;
    }

    if (!description.isEmpty()) {
        SERVICE_DESCRIPTIONW record;
        record.lpDescription = const_cast<LPWSTR>(wideString(description));
        api.ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &record);
    }

    api.CloseServiceHandle(service);
    api.CloseServiceHandle(manager);
    return true;
}
