// The listener of one printer: listening, the accept loop and access
// control.
#include "printerdaemon.h"

#include "logger.h"
#include "socketio.h"
#include "subnets.h"

namespace {

const int InterfaceWaitSeconds = 10;
// The longest wait before trying to accept again after running out of
// descriptors; a connection that ends makes room at once.
const int LongestAcceptWaitMs = 10000;

} // namespace

int PrinterDaemon::waitRoundMs = InterfaceWaitSeconds * 1000;
int PrinterDaemon::acceptRetryMs = 1000;

PrinterDaemon::PrinterDaemon(const PrinterConfig &config, Logger *logger, std::atomic<quint64> *denied,
                             QObject *parent)
    : QTcpServer(parent), config(config), log(logger), denied(denied)
{
    waitTimer.setSingleShot(true);
    connect(&waitTimer, &QTimer::timeout, this, &PrinterDaemon::tryListen);
    acceptTimer.setSingleShot(true);
    connect(&acceptTimer, &QTimer::timeout, this, &PrinterDaemon::updateAccepting);
}

PrinterDaemon::~PrinterDaemon()
{
    stopListening();
}

void PrinterDaemon::startListening()
{
    waitRounds = config.interfacewaittime / InterfaceWaitSeconds;
    tryListen();
}

void PrinterDaemon::tryListen()
{
    // Qt binds "::" to IPv6 alone; a listener on "::" takes IPv4 clients too,
    // as the IPv4-mapped addresses its subnets are checked against.
    const QHostAddress address = config.listen == QHostAddress(QHostAddress::AnyIPv6)
        ? QHostAddress(QHostAddress::Any)
        : config.listen;
    if (listen(address, config.port)) {
        pauseAccepting();
        SocketIo::prepareListening(socketDescriptor());
        acceptor = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
        connect(acceptor, &QSocketNotifier::activated, this, &PrinterDaemon::acceptWaiting);
        emit started(true);
        return;
    }

    listenError = QTcpServer::errorString()
        + QStringLiteral(" (printer \"%1\", %2 port %3)").arg(config.localname, config.listen.toString()).arg(config.port);
    // The address is not there yet, as when its interface is still coming
    // up: try again every ten seconds for the configured time. Errors of the
    // later rounds are not told apart.
    if (!waitingForAddress && serverError() != QAbstractSocket::SocketAddressNotAvailableError) {
        log->log(listenError, Logger::Error);
        emit started(false);
        return;
    }
    if (waitRounds-- <= 0) {
        emit started(false);
        return;
    }
    waitingForAddress = true;
    log->log(QStringLiteral("Wait 10 seconds for network interface with address ") + config.listen.toString(),
             Logger::Error);
    waitTimer.start(waitRoundMs);
}

void PrinterDaemon::incomingConnection(qintptr socket)
{
    if (acceptFailing) {
        acceptFailing = false;
        acceptWaitMs = 0;
        log->log(QStringLiteral("Printer \"%1\" accepts connections again").arg(config.localname), Logger::Info);
    }

    // Taken from the system and reset at once rather than left there; a
    // reset, since only an acknowledged job is closed in order.
    if (paused) {
        SocketIo::abort(socket);
        return;
    }

    // A client that reset the connection before it was accepted has no
    // address any more, and no job.
    const QHostAddress peerAddress = SocketIo::peerAddress(socket);
    if (peerAddress.isNull()) {
        SocketIo::abort(socket);
        return;
    }
    const QString peer = peerAddress.toString();

    if (config.log & PrinterConfig::LogDebug) {
        const QHostAddress local = SocketIo::localAddress(socket);
        log->log(QStringLiteral("Local address: ") + local.toString() + QStringLiteral("protocol: ")
                     + QString::number(int(local.protocol())),
                 Logger::Debug);
    }

    if (config.subnets.isEmpty() && !config.subnetsInvalid) {
        admit(socket, peer);
    } else if (!config.subnetsInvalid && subnetsContain(config.subnets, peerAddress)) {
        // Before the connection is taken: a job that has arrived whole is
        // done, and may be delivered, before admit() returns.
        log->log(QStringLiteral("Access from ") + peer + QStringLiteral(" to printer \"") + config.localname
                     + QStringLiteral("\" is allowed"),
                 Logger::Access);
        admit(socket, peer);
    } else {
        log->log(QStringLiteral("Access from ") + peer + QStringLiteral(" to printer ") + config.localname
                     + QStringLiteral(" is denied"),
                 Logger::Access);
        ++*denied;
        SocketIo::abort(socket);
    }
}

void PrinterDaemon::admit(qintptr socket, const QString &peer)
{
    SocketIo::prepare(socket);
    ++open;
    emit admitted(socket, peer);
    updateAccepting();
}

void PrinterDaemon::connectionEnded()
{
    --open;
    // A descriptor was freed: worth trying at once.
    if (acceptFailing)
        acceptTimer.stop();
    updateAccepting();
}

void PrinterDaemon::acceptWaiting()
{
    // A round takes a bounded number, so that the other printers get their
    // turn under a flood.
    for (int round = 0; round < 64 && acceptor && acceptor->isEnabled(); ++round) {
        bool outOfResources = false;
        QString error;
        const qintptr socket = SocketIo::accept(socketDescriptor(), &outOfResources, &error);
        if (socket == SocketIo::WouldBlock)
            return;
        if (socket >= 0)
            incomingConnection(socket);
        else if (outOfResources)
            return acceptFailed(error);
        // Any other failure concerns that one connection (reset before it
        // was taken, say): the next waits.
    }
}

void PrinterDaemon::acceptFailed(const QString &reason)
{
    // Never a spin on a backlog that cannot be taken, never a listener that
    // stays deaf: a growing pause, ended at once when a connection ends.
    acceptWaitMs = acceptWaitMs == 0 ? acceptRetryMs : qMin(acceptWaitMs * 2, LongestAcceptWaitMs);
    if (!acceptFailing) {
        acceptFailing = true;
        log->log(QStringLiteral("Printer \"%1\" cannot accept connections: %2; it tries again in %3 ms")
                     .arg(config.localname, reason)
                     .arg(acceptWaitMs),
                 Logger::Error);
    }
    acceptTimer.start(acceptWaitMs);
    updateAccepting();
}

void PrinterDaemon::updateAccepting()
{
    if (!acceptor)
        return;
    // Past the cap, clients wait in the system's backlog rather than taking
    // descriptors here.
    const bool full = open >= config.maxconnections;
    const bool accepting = !full && !acceptTimer.isActive();
    if (accepting == acceptor->isEnabled())
        return;
    acceptor->setEnabled(accepting);
    // Connections that came while accepting was off raise no new notice.
    if (accepting)
        QMetaObject::invokeMethod(this, &PrinterDaemon::acceptWaiting, Qt::QueuedConnection);
}

void PrinterDaemon::reconfigure(const PrinterConfig &next)
{
    config = next;
    updateAccepting();
}

void PrinterDaemon::stopListening()
{
    waitTimer.stop();
    acceptTimer.stop();
    delete acceptor;
    acceptor = nullptr;
    close();
}
