// Every line the Logger writes is also copied to Qt's info output; a test
// that runs the service in process reads the lines from here. Safe for lines
// written on the delivery threads.
#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QStringList>

class LogCapture
{
public:
    LogCapture() = default;
    // Gives the previous handler back.
    ~LogCapture();

    // Starts capturing, from initTestCase(): Qt Test puts its own handler in
    // place before that.
    void install();

    QStringList lines() const;
    void clear();
    int count(const QString &line) const;
    // Lines that start with `prefix`.
    QStringList starting(const QString &prefix) const;
    // Waits, running the event loop, until `count` lines equal `line`.
    bool waitFor(const QString &line, int timeoutMs, int count = 1) const;

private:
    Q_DISABLE_COPY(LogCapture)
    bool installed = false;
};

#endif // LOGCAPTURE_H
