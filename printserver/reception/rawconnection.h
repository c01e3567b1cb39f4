// A raw print job: every byte of the connection, complete when the client
// closes (or half-closes) it in order. A reset aborts the job.
#ifndef RAWCONNECTION_H
#define RAWCONNECTION_H

#include "connection.h"

#include <memory>

class IncomingJob;

class RawConnection : public Connection
{
    Q_OBJECT
public:
    RawConnection(qintptr socket, const QString &peer, const JobIntake &intake, QObject *parent);
    ~RawConnection() override;

protected:
    void received(const char *data, qint64 size) override;
    void finished() override;
    void broken(const QString &reason) override;
    void timedOut(int idleSeconds) override;
    void stopped() override;

private:
    void complete();
    void aborted(const QString &why);

    std::unique_ptr<IncomingJob> job;
};

#endif // RAWCONNECTION_H
