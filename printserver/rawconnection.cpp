// A raw print job.
#include "rawconnection.h"

#include "logger.h"
#include "printerdaemon.h"
#include "printjob.h"

RawConnection::RawConnection(qintptr socket, const QString &peer, PrinterDaemon *printer)
    : Connection(socket, peer, printer->idleTimeout(), printer),
      printer(printer),
      writer(printer->spoolFolder())
{
    checked(writer.start());
}

bool RawConnection::checked(SpoolWriter::Result result)
{
    if (result == SpoolWriter::Ok)
        return true;
    if (result == SpoolWriter::MovedToMemory) {
        printer->logger()->log(QStringLiteral("Print job from %1 is not kept on disk: %2").arg(peer, writer.reason()),
                               Logger::Error);
        return true;
    }
    printer->logger()->log(QStringLiteral("Print job from %1 dropped: %2").arg(peer, writer.reason()), Logger::Error);
    writer.discard();
    abort();
    return false;
}

void RawConnection::received(const char *data, qint64 size)
{
    checked(writer.append(data, size));
}

void RawConnection::finished()
{
    complete();
}

void RawConnection::complete()
{
    PrintJob job = printer->newJob(peer);
    if (checked(writer.finish(job)))
        printer->submit(job);
}

void RawConnection::aborted(const QString &why)
{
    printer->logger()->log(
        QStringLiteral("Print job from %1 aborted after %2 bytes: %3").arg(peer).arg(writer.size()).arg(why),
        Logger::Error);
    writer.discard();
}

void RawConnection::broken(const QString &reason)
{
    aborted(QStringLiteral("the connection broke (%1)").arg(reason));
}

void RawConnection::timedOut(int idleSeconds)
{
    if (writer.size() == 0) {
        printer->logger()->log(
            QStringLiteral("Connection from %1 timed out after %2 s without data").arg(peer).arg(idleSeconds),
            Logger::Error);
        writer.discard();
        return;
    }
    printer->logger()->log(QStringLiteral("Print job from %1 timed out after %2 s without data; its %3 bytes are the job")
                               .arg(peer)
                               .arg(idleSeconds)
                               .arg(writer.size()),
                           Logger::Error);
    complete();
}

void RawConnection::stopped()
{
    aborted(QStringLiteral("the service is stopping"));
}
