// The listener of one printer: a TCP server on the printer's address and
// port that admits peers by the printer's subnets and gathers each admitted
// connection's bytes into one print job.
#ifndef PRINTERDAEMON_H
#define PRINTERDAEMON_H

#include "printerconfig.h"

#include <QByteArray>
#include <QHash>
#include <QTcpServer>

class JobFile;
class Logger;
class QTcpSocket;

class PrinterDaemon : public QTcpServer
{
    Q_OBJECT
public:
    PrinterDaemon(const PrinterConfig &config, Logger *logger, QObject *parent = nullptr);

    // Listens on the printer's address and port, waiting in rounds of ten
    // seconds for an address that is not there yet. True when listening.
    bool startListening();

    // A paused listener takes no new connection and reads nothing; the
    // connections it has keep their jobs and deliver them when they close.
    void pause();
    void resume();
    bool isPaused() const { return paused; }

    // The length of one round of waiting for the listen address, in
    // milliseconds; tests shorten it.
    static int waitRoundMs;

    // Why the listener does not listen: the server's own error text, or the
    // reason it did not try.
    QString errorString() const;

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    void onClientRead();
    void onClientClose();

private:
    // The job in progress on one admitted connection: in memory, or, once a
    // stored job grows large, in its file (a child of the connection).
    struct Job
    {
        QByteArray data;
        QString peer;
        JobFile *file = nullptr;
        bool inMemory = false; // its file failed: it stays in memory
    };

    bool isAllowed(const QHostAddress &peer) const;
    void admit(QTcpSocket *socket);
    bool takeAvailable(QTcpSocket *socket, Job &job);
    void drop(QTcpSocket *socket);
    void storeJob(const Job &job);

    bool paused = false;
    QString localname;
    bool active;
    QHostAddress listen;
    int interfacewaittime;
    quint16 port;
    QList<QPair<QHostAddress, int>> subnets;
    int log;
    bool storejobs;
    QString jobspath;
    Logger *logger;
    // One job per admitted connection, so that connections that overlap in
    // time keep their jobs apart.
    QHash<QTcpSocket *, Job> jobBuffer;
    QString refusal;
};

#endif // PRINTERDAEMON_H
