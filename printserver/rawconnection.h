// A raw print job: every byte of the connection, complete when the client
// closes (or half-closes) it in order. A reset aborts the job.
#ifndef RAWCONNECTION_H
#define RAWCONNECTION_H

#include "connection.h"
#include "spoolwriter.h"

class PrinterDaemon;

class RawConnection : public Connection
{
    Q_OBJECT
public:
    RawConnection(qintptr socket, const QString &peer, PrinterDaemon *printer);

protected:
    void received(const char *data, qint64 size) override;
    void finished() override;
    void broken(const QString &reason) override;
    void timedOut(int idleSeconds) override;
    void stopped() override;

private:
    void complete();
    void aborted(const QString &why);
    // Writes the line for a document that moved to memory or got lost.
    bool checked(SpoolWriter::Result result);

    PrinterDaemon *printer;
    SpoolWriter writer;
};

#endif // RAWCONNECTION_H
