#include "quillportchild.h"

#include "netclient.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>

#include <algorithm>

#include <signal.h>

QuillportChild::QuillportChild(const QString &program)
    : program(program), data(QFileInfo(program).baseName())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    data.applyTo(environment);
    environment.insert(QStringLiteral("CUPS_SERVER"), data.scratch(QStringLiteral("no-cups.sock")));
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(data.scratch(QStringLiteral("stdout")));
    process.setStandardErrorFile(data.scratch(QStringLiteral("stderr")));
}

QuillportChild::~QuillportChild() = default;

bool QuillportChild::writeSettings(const QByteArray &content)
{
    if (!data.writeSettings(content)) {
        errorString = QStringLiteral("cannot write settings.json");
        return false;
    }
    return true;
}

bool QuillportChild::writePrinters(const QList<QJsonObject> &printers)
{
    QJsonArray list;
    for (const QJsonObject &printer : printers)
        list.append(printer);
    const QJsonObject settings{ { QStringLiteral("logtype"), QStringLiteral("textfile") },
                                { QStringLiteral("printers"), list } };
    return writeSettings(QJsonDocument(settings).toJson());
}

void QuillportChild::setEnvironment(const QString &name, const QString &value)
{
    QProcessEnvironment environment = process.processEnvironment();
    environment.insert(name, value);
    process.setProcessEnvironment(environment);
}

bool QuillportChild::launch(const QStringList &arguments)
{
    if (launcher.isEmpty())
        process.start(program, arguments);
    else
        process.start(launcher.first(), launcher.mid(1) + QStringList{ program } + arguments);
    if (!process.waitForStarted(30000)) {
        errorString = QStringLiteral("quillport did not start: ") + process.errorString();
        return false;
    }
    return true;
}

bool QuillportChild::start(int timeoutMs)
{
    if (!launch())
        return false;
    if (!waitForLine(QStringLiteral("Info   Service started successful"), timeoutMs)) {
        errorString = QStringLiteral("quillport did not log its start:\n") + output();
        return false;
    }
    return true;
}

int QuillportChild::countLines(const QString &line) const
{
    const QStringList lines = logLines();
    if (!line.endsWith(QLatin1Char('*')))
        return lines.count(line);
    const QString start = line.chopped(1);
    return int(std::count_if(lines.begin(), lines.end(), [&](const QString &l) { return l.startsWith(start); }));
}

bool QuillportChild::waitForLine(const QString &line, int timeoutMs, int count)
{
    QDeadlineTimer deadline(timeoutMs);
    while (countLines(line) < count) {
        if (deadline.hasExpired())
            return false;
        // Also the time the program would take to write a last line.
        if (process.state() == QProcess::NotRunning)
            return countLines(line) >= count;
        process.waitForFinished(10);
    }
    return true;
}

int QuillportChild::waitForExit(int timeoutMs)
{
    if (!process.waitForFinished(timeoutMs) && process.state() != QProcess::NotRunning)
        return -1000;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1000;
}

void QuillportChild::kill()
{
    process.kill();
    process.waitForFinished(30000);
}

bool QuillportChild::stop(int timeoutMs)
{
    if (::kill(pid_t(process.processId()), SIGTERM) != 0 || !process.waitForFinished(timeoutMs)) {
        errorString = QStringLiteral("quillport did not stop:\n") + output();
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        errorString = QStringLiteral("quillport ended with %1:\n%2").arg(process.exitCode()).arg(output());
        return false;
    }
    return true;
}

int QuillportChild::openDescriptors() const
{
    return ::openDescriptors(process.processId());
}

QStringList QuillportChild::logLines() const
{
    return data.logLines();
}

QStringList QuillportChild::jobFiles() const
{
    return QDir(jobsFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QByteArray QuillportChild::jobFile(const QString &name) const
{
    QFile file(jobFilePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList QuillportChild::spoolFiles() const
{
    return QDir(spoolFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QString QuillportChild::output() const
{
    QFile file(data.scratch(QStringLiteral("stderr")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll().right(20000)) : QString();
}
