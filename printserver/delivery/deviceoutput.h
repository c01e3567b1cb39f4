// Jobs written straight to a device (a USB or parallel printer) or a file:
// opened for each job and closed after it.
#ifndef DEVICEOUTPUT_H
#define DEVICEOUTPUT_H

#include "output.h"

class DeviceOutput : public Output
{
public:
    explicit DeviceOutput(const QString &path);

    // A device that cannot be opened or takes not all bytes is "not there
    // right now" (switched off, unplugged); one the service may not open is
    // a failure.
    Result deliver(QIODevice &document, qint64 size, const QString &title,
                   const std::atomic<bool> &stopping) override;

private:
    QString path;
};

#endif // DEVICEOUTPUT_H
