// A Wine prefix of the test's own, for running Windows programs from a Linux
// test: its wineserver is kept running, so that services started through
// Wine's service manager outlive the command that started them, and is ended
// with the prefix.
#ifndef WINEPREFIX_H
#define WINEPREFIX_H

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QProcess;

class WinePrefix
{
public:
    struct Result
    {
        // The program's exit code as Wine passes it on (-1 is 255); -1000
        // when it did not end in time.
        int exitCode = -1000;
        QByteArray out;
        QByteArray err;
    };

    WinePrefix();
    ~WinePrefix();

    // Whether wine and wineserver are installed; tests skip without them.
    static bool isInstalled();

    // Sets a variable for every process of the prefix, services too; only
    // before start(). It goes into the prefix's own environment (the
    // registry) as well: services get theirs from there, and Wine passes no
    // QT_* variable on from Linux.
    void setEnvironment(const QString &name, const QString &value);
    QProcessEnvironment environment() const { return env; }

    // Starts the prefix's wineserver and makes the prefix (wineboot), which
    // starts Wine's service manager. False with errorString() on failure.
    // A few seconds; up to a minute on a busy machine.
    bool start();
    QString errorString() const { return error; }
    // What Wine's own processes, and the services they start, wrote to their
    // standard output and error.
    QByteArray systemOutput() const;

    // Runs a Windows program to its end, at most timeoutMs.
    Result run(const QString &program, const QStringList &arguments, int timeoutMs = 60000,
               const QProcessEnvironment &extra = QProcessEnvironment()) const;
    // Sets a QProcess up to run a Windows program in this prefix; the caller
    // starts it with startDetached or start.
    void prepare(QProcess &process, const QString &program, const QStringList &arguments,
                 const QProcessEnvironment &extra = QProcessEnvironment()) const;

    // The state of a service as the service manager reports it (sc query:
    // SERVICE_RUNNING is 4); 0 when it is not installed.
    int serviceState(const QString &name) const;
    // Waits until serviceState(name) is `state`; false after the timeout.
    bool waitForServiceState(const QString &name, int state, int timeoutMs) const;

    // The Linux path of a Windows path on drive C: ("C:\\ProgramData").
    QString hostPath(const QString &windowsPath) const;
    // The Windows path under which Wine shows a Linux path (drive Z:).
    static QString windowsPath(const QString &hostPath);

private:
    Q_DISABLE_COPY(WinePrefix)
    bool runTool(const QString &tool, const QStringList &arguments, int timeoutMs);
    bool boot();

    QTemporaryDir dir;
    QProcessEnvironment env;
    QProcessEnvironment windowsVariables;
    bool started = false;
    QString error;
};

#endif // WINEPREFIX_H
