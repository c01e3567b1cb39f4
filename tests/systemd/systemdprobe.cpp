// A small service on the framework for the systemd tests. It says on stdout
// (the journal, when systemd runs it) which operation ran and whether in the
// application thread, installs itself to start with the system, and with the
// single argument "query" prints what the controller reads back about it.
#include "service.h"
#include "servicecontroller.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>
#include <cstring>

namespace {

const char ServiceName[] = "QuillportProbe";

void say(const QByteArray &line)
{
    fprintf(stdout, "%s\n", line.constData());
    fflush(stdout);
}

void sayOperation(const char *operation)
{
    const bool applicationThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    say(QByteArray(operation) + (applicationThread ? " in the application thread" : " in another thread"));
}

} // namespace

class ProbeService : public Service<QCoreApplication>
{
public:
    ProbeService(int argc, char **argv)
        : Service<QCoreApplication>(argc, argv, QLatin1String(ServiceName))
    {
        setServiceDescription(QStringLiteral("Quillport probe service"));
        setStartupType(StartAutomatically);
        setServiceFlags(PauseAllowed);
    }

protected:
    void start() override { sayOperation("start"); }
    void stop() override { sayOperation("stop"); }
    void pause() override { sayOperation("pause"); }
    void resume() override { sayOperation("resume"); }
    void processCommand(int code) override { sayOperation(("command " + QByteArray::number(code)).constData()); }
};

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "query") == 0) {
        const ServiceController controller{ QLatin1String(ServiceName) };
        say("installed: " + QByteArray(controller.isInstalled() ? "yes" : "no"));
        say("running: " + QByteArray(controller.isRunning() ? "yes" : "no"));
        say("path: " + controller.serviceFilePath().toUtf8());
        say("description: " + controller.serviceDescription().toUtf8());
        say("startup: "
            + QByteArray(controller.startupType() == ServiceBase::StartAutomatically ? "automatic" : "on demand"));
        return 0;
    }
    ProbeService service(argc, argv);
    return service.exec();
}
