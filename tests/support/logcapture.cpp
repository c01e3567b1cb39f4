#include "logcapture.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QTest>

namespace {

QMutex mutex;
QStringList captured;
QtMessageHandler previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtInfoMsg) {
        QMutexLocker locker(&mutex);
        captured.append(message);
        return;
    }
    if (previous)
        previous(type, context, message);
}

} // namespace

void LogCapture::install()
{
    clear();
    previous = qInstallMessageHandler(capture);
    installed = true;
}

LogCapture::~LogCapture()
{
    if (installed)
        qInstallMessageHandler(previous);
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&mutex);
    return captured;
}

void LogCapture::clear()
{
    QMutexLocker locker(&mutex);
    captured.clear();
}

int LogCapture::count(const QString &line) const
{
    QMutexLocker locker(&mutex);
    return captured.count(line);
}

QStringList LogCapture::starting(const QString &prefix) const
{
    QStringList found;
    const QStringList all = lines();
    for (const QString &line : all) {
        if (line.startsWith(prefix))
            found.append(line);
    }
    return found;
}

bool LogCapture::waitFor(const QString &line, int timeoutMs, int wanted) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (count(line) < wanted) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}
