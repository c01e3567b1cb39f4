#include "testdatafolder.h"

#include <QDir>
#include <QFile>

TestDataFolder::TestDataFolder(const QString &application)
{
    folder = temporary.filePath(QStringLiteral("share/")) + application + QLatin1Char('/');
    valid = temporary.isValid() && QDir().mkpath(folder);
}

void TestDataFolder::apply() const
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(temporary.filePath(QStringLiteral("home"))));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(temporary.filePath(QStringLiteral("share"))));
}

void TestDataFolder::applyTo(QProcessEnvironment &environment) const
{
    environment.insert(QStringLiteral("XDG_DATA_HOME"), temporary.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), temporary.filePath(QStringLiteral("share")));
}

bool TestDataFolder::writeSettings(const QByteArray &content) const
{
    QFile file(folder + QStringLiteral("settings.json"));
    return valid && file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList TestDataFolder::logLines() const
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
