#include "inprocessservice.h"

#include "emulatedservicemanager.h"
#include "printerservice.h"
#include "servicecontroller.h"

#include <QDir>
#include <QJsonDocument>

#include <thread>

namespace {

const int Timeout = 60000;

// Keeps the service's own lines (one per job) out of the test's output.
QtMessageHandler previousHandler = nullptr;
void quietInfo(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtInfoMsg && previousHandler)
        previousHandler(type, context, message);
}

} // namespace

const QString InProcessService::Name = QStringLiteral("Quillport");

QString InProcessService::run(const QJsonArray &printers, const std::function<QString()> &drive,
                              const QJsonObject &extraSettings)
{
    EmulatedServiceManager &manager = EmulatedServiceManager::instance();
    manager.reset();
    // The service manager starts the service with its name as the program
    // name, which names the data folder.
    data = std::make_unique<TestDataFolder>(Name);
    data->apply();
    if (qEnvironmentVariableIsEmpty("CUPS_SERVER"))
        qputenv("CUPS_SERVER", QFile::encodeName(data->scratch(QStringLiteral("no-cups.sock"))));
    QJsonObject settings = extraSettings;
    settings.insert(QStringLiteral("logtype"), QStringLiteral("textfile"));
    settings.insert(QStringLiteral("printers"), printers);
    if (!data->writeSettings(QJsonDocument(settings).toJson()))
        return QStringLiteral("cannot write settings.json");

    EmulatedServiceManager::Service installed;
    installed.name = installed.displayName = Name;
    installed.binaryPath = QStringLiteral("/usr/bin/quillport");
    manager.addService(installed);
    manager.setStartedByServiceManager(true);

    char programName[] = "quillport";
    char *argv[] = { programName, nullptr };
    PrinterService service(1, argv);
    QString error;
    std::thread driver([&] {
        error = manager.waitForReportedState(SERVICE_RUNNING, Timeout) ? drive()
                                                                        : QStringLiteral("the service did not start");
        if (!ServiceController(Name).stop()) {
            if (error.isEmpty())
                error = QStringLiteral("stop failed");
            manager.deliverControl(SERVICE_CONTROL_STOP);
        }
    });
    previousHandler = qInstallMessageHandler(quietInfo);
    const bool ran = service.runAsService();
    driver.join();
    qInstallMessageHandler(previousHandler);
    if (!ran)
        return QStringLiteral("the service did not run");
    if (service.dataFolder != data->path())
        return QStringLiteral("the service ran on %1").arg(service.dataFolder);
    if (manager.reportedStates().last() != DWORD(SERVICE_STOPPED))
        return QStringLiteral("the service did not report its stop");
    return error;
}
