// A data folder of the test's own: XDG_DATA_DIRS names a temporary folder,
// so that the service's data folder (the second of Qt's standard data
// locations, plus the application's name) is inside it. For the service in
// this process and for a child process alike.
#ifndef TESTDATAFOLDER_H
#define TESTDATAFOLDER_H

#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

class TestDataFolder
{
public:
    // For the application named `application` (a program's base name).
    explicit TestDataFolder(const QString &application);

    bool isValid() const { return valid; }
    // The data folder, ending in "/".
    QString path() const { return folder; }
    // A path inside the temporary folder, beside the data folder.
    QString scratch(const QString &name) const { return temporary.filePath(name); }

    // Points this process's standard locations at the folder.
    void apply() const;
    // Points a child's standard locations at the folder.
    void applyTo(QProcessEnvironment &environment) const;

    bool writeSettings(const QByteArray &content) const;
    // The text log without its time stamps; only whole lines.
    QStringList logLines() const;

private:
    QTemporaryDir temporary;
    QString folder;
    bool valid = false;
};

#endif // TESTDATAFOLDER_H
