// The listener of one printer: a TCP server on the printer's address and
// port that admits peers by the printer's subnets and hands each admitted
// connection over, up to the printer's cap on open connections.
#ifndef PRINTERDAEMON_H
#define PRINTERDAEMON_H

#include "printerconfig.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <atomic>

class Logger;

class PrinterDaemon : public QTcpServer
{
    Q_OBJECT
public:
    // A listener for a printer whose settings have been checked (an
    // address, a port); `denied` counts the peers it turns away.
    PrinterDaemon(const PrinterConfig &config, Logger *logger, std::atomic<quint64> *denied,
                  QObject *parent = nullptr);
    ~PrinterDaemon() override;

    // Listens on the printer's address and port, or, when the address is
    // not there yet, waits for it in rounds of ten seconds without holding
    // up the service. Either way started() tells the outcome, at once when
    // it is known at once.
    void startListening();

    // A paused listener takes no new connection: one that comes is reset.
    void pause() { paused = true; }
    void resume() { paused = false; }
    bool isPaused() const { return paused; }

    // At a stop: no more listening, no more waiting for the address.
    void stopListening();

    // An admitted connection has ended: there is room for another.
    void connectionEnded();

    // Other settings for the connections to come (subnets, log, the cap);
    // the address and port stay.
    void reconfigure(const PrinterConfig &config);

    // Why the listener does not listen: the server's own error text with the
    // printer it belongs to.
    QString errorString() const { return listenError; }

    // The length of one round of waiting for the listen address, and the
    // first wait before accepting again after running out of descriptors,
    // in milliseconds; tests shorten them.
    static int waitRoundMs;
    static int acceptRetryMs;

signals:
    void started(bool listening);
    // A connection that passed the access check, handed over with its
    // socket.
    void admitted(qintptr socket, const QString &peer);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    void tryListen();
    // Takes the connections that wait in the backlog.
    void acceptWaiting();

private:
    void admit(qintptr socket, const QString &peer);
    void acceptFailed(const QString &reason);
    void updateAccepting();

    PrinterConfig config;
    Logger *log;
    std::atomic<quint64> *denied;
    // Admitted connections that have not ended.
    int open = 0;

    bool paused = false;
    QString listenError;
    int waitRounds = 0;
    bool waitingForAddress = false;
    QTimer waitTimer;

    // Connections are accepted here, not by QTcpServer: its socket engine
    // keeps the first error it ever had (the "no connection waits" that ends
    // every round), so that running out of descriptors later would go
    // unreported and unpaused, and the listener would spin.
    QSocketNotifier *acceptor = nullptr;
    // Accepting stopped because the system had no descriptor left: when to
    // try again.
    bool acceptFailing = false;
    int acceptWaitMs = 0;
    QTimer acceptTimer;
};

#endif // PRINTERDAEMON_H
