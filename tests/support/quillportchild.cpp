#include "quillportchild.h"

#include "netclient.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>

#include <signal.h>
#include <sys/prctl.h>

void QuillportChild::Process::setupChildProcess()
{
    // The program must not outlive a test process that dies.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

QuillportChild::QuillportChild(const QString &program)
    : program(program)
{
    // The data folder is the first of XDG_DATA_DIRS plus the program's name.
    folder = temporary.filePath(QStringLiteral("share/quillport/"));
    QDir().mkpath(folder);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), temporary.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), temporary.filePath(QStringLiteral("share")));
    environment.insert(QStringLiteral("CUPS_SERVER"), temporary.filePath(QStringLiteral("no-cups.sock")));
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(temporary.filePath(QStringLiteral("stdout")));
    process.setStandardErrorFile(temporary.filePath(QStringLiteral("stderr")));
}

QuillportChild::~QuillportChild()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(30000);
    }
}

bool QuillportChild::writeSettings(const QByteArray &content)
{
    QFile file(folder + QStringLiteral("settings.json"));
    if (!temporary.isValid() || !file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
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

bool QuillportChild::start(int timeoutMs)
{
    process.start(program, { QStringLiteral("-e") });
    if (!process.waitForStarted(timeoutMs)) {
        errorString = QStringLiteral("quillport did not start: ") + process.errorString();
        return false;
    }
    const QString started = QStringLiteral("Info   Service started successful");
    QDeadlineTimer deadline(timeoutMs);
    while (!logLines().contains(started)) {
        if (process.waitForFinished(10) || deadline.hasExpired()) {
            errorString = QStringLiteral("quillport did not log its start:\n") + output();
            return false;
        }
    }
    return true;
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
    QFile file(folder + QStringLiteral("Quillport.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    // The last piece is an unfinished line, or empty.
    const QList<QByteArray> raw = file.readAll().split('\n');
    for (int i = 0; i + 1 < raw.size(); ++i)
        lines.append(QString::fromUtf8(raw.at(i)).section(QLatin1Char(' '), 1));
    return lines;
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

QString QuillportChild::output() const
{
    QFile file(temporary.filePath(QStringLiteral("stderr")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll().right(20000)) : QString();
}
