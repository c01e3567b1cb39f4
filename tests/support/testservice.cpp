// A minimal service built on the framework, for tests that run a real
// program as a child process. It reports what happens to it on stdout, and
// also appends it to the file that TESTSERVICE_LOG names: run by a service
// manager, a program has no output anyone reads.
#include "service.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

class TestService : public Service<QCoreApplication>
{
public:
    TestService(int argc, char **argv)
        : Service<QCoreApplication>(argc, argv, QStringLiteral("Quillport"))
    {
        setServiceDescription(QStringLiteral("Quillport test service"));
        setServiceFlags(PauseAllowed);
    }

protected:
    void start() override
    {
        say("start: " + QCoreApplication::arguments().join(QLatin1Char('|')).toLocal8Bit());
        // Shows that the application object is deleted after its event loop.
        auto witness = new QObject(application);
        QObject::connect(witness, &QObject::destroyed, [] { say("application deleted"); });

        bool ok = false;
        const int exitCode = qEnvironmentVariableIntValue("TESTSERVICE_EXIT", &ok);
        if (ok)
            QCoreApplication::exit(exitCode);
    }

    void stop() override { say("stop"); }
    void pause() override { say("pause"); }
    void resume() override { say("resume"); }
    void processCommand(int code) override { say("command " + QByteArray::number(code)); }

private:
    static void say(const QByteArray &line)
    {
        fprintf(stdout, "%s\n", line.constData());
        fflush(stdout);
        const QString log = qEnvironmentVariable("TESTSERVICE_LOG");
        QFile file(log);
        if (!log.isEmpty() && file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write(line + '\n');
    }
};

int main(int argc, char **argv)
{
    TestService service(argc, argv);
    return service.exec();
}
