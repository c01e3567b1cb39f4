// The real quillport program run in the foreground (-e) as a child process,
// on a data folder of its own in a temporary folder. By default CUPS_SERVER
// names a socket that does not exist, so that a printer whose retrytime is 0
// ends every job "with error" at once and its bytes are seen in the stored
// file; tests that print point it at a private scheduler.
#ifndef QUILLPORTCHILD_H
#define QUILLPORTCHILD_H

#include "childprocess.h"
#include "testdatafolder.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QJsonObject;

class QuillportChild
{
public:
    explicit QuillportChild(const QString &program);
    ~QuillportChild();

    QString dataFolder() const { return data.path(); }
    QString jobsFolder() const { return data.path() + QStringLiteral("jobs"); }
    QString spoolFolder() const { return data.path() + QStringLiteral(".spool"); }

    // An environment variable of the program, set before it starts.
    void setEnvironment(const QString &name, const QString &value);
    // A command that runs the program (given as its last arguments), such
    // as one that gives it a network of its own.
    void setLauncher(const QStringList &command) { launcher = command; }
    // The program's limit of open descriptors (soft and hard), set before
    // it starts; 0 keeps this process's.
    void setDescriptorLimit(int limit) { process.descriptorLimit = limit; }

    bool writeSettings(const QByteArray &content);
    // settings.json with the text log and the given printers.
    bool writePrinters(const QList<QJsonObject> &printers);

    // Starts the program and waits until it has logged its successful start.
    bool start(int timeoutMs);
    // Starts the program without waiting for anything.
    bool launch(const QStringList &arguments = { QStringLiteral("-e") });
    // Waits for the program to end on its own; its exit code, or -1000 when
    // it did not end in time or crashed.
    int waitForExit(int timeoutMs);
    // SIGTERM, then waits for the program to end with exit code 0.
    bool stop(int timeoutMs);
    // SIGKILL, as a crash or a power cut would end it.
    void kill();
    bool isRunning() const { return process.state() != QProcess::NotRunning; }
    qint64 pid() const { return process.processId(); }
    int openDescriptors() const;

    // The text log without time stamps; only whole lines.
    QStringList logLines() const;
    // Waits until the log holds `count` lines equal to `line` (or, with a
    // line ending in "*", starting with what comes before it).
    bool waitForLine(const QString &line, int timeoutMs, int count = 1);
    int countLines(const QString &line) const;

    QStringList jobFiles() const;
    QByteArray jobFile(const QString &name) const;
    QString jobFilePath(const QString &name) const { return jobsFolder() + QLatin1Char('/') + name; }
    // The files in the spool folder.
    QStringList spoolFiles() const;
    // The program's diagnostic output (standard error).
    QString output() const;

    QString errorString;

private:
    QString program;
    QStringList launcher;
    TestDataFolder data;
    ChildProcess process;
};

#endif // QUILLPORTCHILD_H
