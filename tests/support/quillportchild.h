// The real quillport program run in the foreground (-e) as a child process,
// on a data folder of its own in a temporary folder, with CUPS_SERVER naming
// a socket that does not exist: every job ends "with error" at once and is
// seen in its stored file.
#ifndef QUILLPORTCHILD_H
#define QUILLPORTCHILD_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QJsonObject;

class QuillportChild
{
public:
    explicit QuillportChild(const QString &program);
    ~QuillportChild();

    QString dataFolder() const { return folder; }
    QString jobsFolder() const { return folder + QStringLiteral("jobs"); }

    bool writeSettings(const QByteArray &content);
    // settings.json with the text log and the given printers.
    bool writePrinters(const QList<QJsonObject> &printers);

    // Starts the program and waits until it has logged its successful start.
    bool start(int timeoutMs);
    // SIGTERM, then waits for the program to end with exit code 0.
    bool stop(int timeoutMs);
    qint64 pid() const { return process.processId(); }
    int openDescriptors() const;

    // The text log without time stamps; only whole lines.
    QStringList logLines() const;
    QStringList jobFiles() const;
    QByteArray jobFile(const QString &name) const;
    QString jobFilePath(const QString &name) const { return jobsFolder() + QLatin1Char('/') + name; }
    // The program's diagnostic output (standard error).
    QString output() const;

    QString errorString;

private:
    class Process : public QProcess
    {
    protected:
        void setupChildProcess() override;
    };

    QString program;
    QTemporaryDir temporary;
    QString folder;
    Process process;
};

#endif // QUILLPORTCHILD_H
