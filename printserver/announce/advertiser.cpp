// What announcing a printer is the same for on every platform.
#include "advertiser.h"

#include "logger.h"

void Advertiser::unavailable(const QString &why)
{
    // Once: printing goes on without the announcement.
    if (reportedUnavailable)
        return;
    reportedUnavailable = true;
    logger->log(QStringLiteral("Printer \"%1\" is not announced on the network: %2").arg(printer, why), Logger::Error);
}
