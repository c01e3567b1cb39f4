// A raw print job.
#include "rawconnection.h"

#include "jobstore.h"
#include "logger.h"

RawConnection::RawConnection(qintptr socket, const QString &peer, const JobIntake &intake, QObject *parent)
    : Connection(socket, peer, intake, parent), job(intake.store->create(peer))
{
}

RawConnection::~RawConnection() = default;

void RawConnection::received(const char *data, qint64 size)
{
    // A job that cannot be held is dropped (its store said why): the
    // client is reset, not acknowledged.
    if (!job->append(data, size))
        abort();
}

void RawConnection::finished()
{
    complete();
}

void RawConnection::complete()
{
    PrintJob complete = intake.job(peer);
    if (!job->commit(complete)) {
        abort();
        return;
    }
    // The job is safe in its spool file: the client has its answer before
    // the delivery thread is woken for it.
    close();
    intake.enqueue(complete);
}

void RawConnection::aborted(const QString &why)
{
    intake.logger->log(
        QStringLiteral("Print job from %1 aborted after %2 bytes: %3").arg(peer).arg(job->discard()).arg(why),
        Logger::Error);
}

void RawConnection::broken(const QString &reason)
{
    aborted(QStringLiteral("the connection broke (%1)").arg(reason));
}

void RawConnection::timedOut(int idleSeconds)
{
    intake.logger->log(QStringLiteral("Print job from %1 timed out after %2 s without data; its %3 bytes are the job")
                           .arg(peer)
                           .arg(idleSeconds)
                           .arg(job->size()),
                       Logger::Error);
    complete();
}

void RawConnection::stopped()
{
    aborted(QStringLiteral("the service is stopping"));
}
