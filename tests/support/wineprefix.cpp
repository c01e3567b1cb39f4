// Runs Windows programs under Wine in a prefix confined to a temporary
// folder, with Wine's own debug output off unless a run asks for a channel.
#include "wineprefix.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

namespace {

// Making a prefix copies and registers a few hundred files: on a busy
// machine it can take a minute.
const int PrefixTimeoutMs = 180000;

} // namespace

WinePrefix::WinePrefix()
    : env(QProcessEnvironment::systemEnvironment())
{
    env.insert(QStringLiteral("WINEPREFIX"), dir.filePath(QStringLiteral("wine")));
    env.insert(QStringLiteral("WINEARCH"), QStringLiteral("win64"));
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No .NET and no HTML engine: Wine would offer to download them.
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    // Nothing of the prefix is shown on a screen.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
}

WinePrefix::~WinePrefix()
{
    // Ends every Windows process of the prefix, services included, before
    // the folder goes.
    if (started) {
        runTool(QStringLiteral("wineserver"), { QStringLiteral("-k") }, 30000);
        runTool(QStringLiteral("wineserver"), { QStringLiteral("-w") }, 30000);
    }
}

bool WinePrefix::isInstalled()
{
    return !QStandardPaths::findExecutable(QStringLiteral("wine")).isEmpty()
        && !QStandardPaths::findExecutable(QStringLiteral("wineserver")).isEmpty();
}

void WinePrefix::setEnvironment(const QString &name, const QString &value)
{
    env.insert(name, value);
    windowsVariables.insert(name, value);
}

QByteArray WinePrefix::systemOutput() const
{
    QFile file(dir.filePath(QStringLiteral("system-output")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WinePrefix::runTool(const QString &tool, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        error = tool + QStringLiteral(" did not finish: ") + QString::fromLocal8Bit(process.readAll());
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = tool + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAll());
        return false;
    }
    return true;
}

bool WinePrefix::boot()
{
    // wineboot makes the prefix on first use and starts the service manager
    // and Wine's other system processes, which keep its output streams.
    QProcess boot;
    boot.setProcessEnvironment(env);
    boot.setProcessChannelMode(QProcess::MergedChannels);
    boot.setStandardOutputFile(dir.filePath(QStringLiteral("system-output")), QIODevice::Append);
    boot.start(QStringLiteral("wineboot"), QStringList());
    if (!boot.waitForFinished(PrefixTimeoutMs) || boot.exitStatus() != QProcess::NormalExit
        || boot.exitCode() != 0) {
        boot.kill();
        boot.waitForFinished();
        error = QStringLiteral("wineboot failed: ") + QString::fromLocal8Bit(systemOutput());
        return false;
    }
    return true;
}

bool WinePrefix::start()
{
    if (!dir.isValid()) {
        error = QStringLiteral("no temporary folder");
        return false;
    }
    // A persistent wineserver: without -p it would end, and take the
    // services with it, a few seconds after the last command. It needs the
    // prefix's folder to be there.
    if (!QDir().mkpath(env.value(QStringLiteral("WINEPREFIX")))
        || !runTool(QStringLiteral("wineserver"), { QStringLiteral("-p") }, 30000))
        return false;
    started = true;
    if (!boot())
        return false;
    if (windowsVariables.isEmpty())
        return true;

    // The service manager gives services the environment of the registry,
    // read when it first starts one (Wine's own services, at boot): the
    // variables go there, and the prefix is booted once more.
    const QStringList names = windowsVariables.keys();
    for (const QString &name : names) {
        if (!runTool(QStringLiteral("wine"),
                     { QStringLiteral("reg"), QStringLiteral("add"), QStringLiteral("HKCU\\Environment"),
                       QStringLiteral("/v"), name, QStringLiteral("/d"), windowsVariables.value(name),
                       QStringLiteral("/f") },
                     30000))
            return false;
    }
    return runTool(QStringLiteral("wineserver"), { QStringLiteral("-k") }, 30000)
        && runTool(QStringLiteral("wineserver"), { QStringLiteral("-w") }, 30000)
        && runTool(QStringLiteral("wineserver"), { QStringLiteral("-p") }, 30000) && boot();
}

void WinePrefix::prepare(QProcess &process, const QString &program, const QStringList &arguments,
                         const QProcessEnvironment &extra) const
{
    QProcessEnvironment environment = env;
    environment.insert(extra);
    process.setProcessEnvironment(environment);
    process.setProgram(QStringLiteral("wine"));
    process.setArguments(QStringList{ program } + arguments);
}

WinePrefix::Result WinePrefix::run(const QString &program, const QStringList &arguments, int timeoutMs,
                                   const QProcessEnvironment &extra) const
{
    QProcess process;
    prepare(process, program, arguments, extra);
    process.start();
    Result result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = process.readAllStandardError();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1001;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

int WinePrefix::serviceState(const QString &name) const
{
    const Result result = run(QStringLiteral("sc"), { QStringLiteral("query"), name });
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("STATE\\s*:\\s*(\\d+)")).match(QString::fromLatin1(result.out));
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

bool WinePrefix::waitForServiceState(const QString &name, int state, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (serviceState(name) != state) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(200);
    }
    return true;
}

QString WinePrefix::hostPath(const QString &windowsPath) const
{
    QString path = windowsPath;
    if (path.startsWith(QLatin1String("C:"), Qt::CaseInsensitive))
        path = path.mid(2);
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return dir.filePath(QStringLiteral("wine/drive_c")) + path;
}

QString WinePrefix::windowsPath(const QString &hostPath)
{
    return QStringLiteral("Z:") + QDir::cleanPath(hostPath).replace(QLatin1Char('/'), QLatin1Char('\\'));
}
