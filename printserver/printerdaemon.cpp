// The listener of one printer: listening, access control, connections, and
// the hand-over of complete jobs to the printer's delivery queue.
#include "printerdaemon.h"

#include "advertiser.h"
#include "deliveryqueue.h"
#include "logger.h"
#include "lpdconnection.h"
#include "printjob.h"
#include "privatefiles.h"
#include "rawconnection.h"
#include "socketio.h"
#include "subnets.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <atomic>

namespace {

const int InterfaceWaitSeconds = 10;
// The longest wait before trying to accept again after running out of
// descriptors; a connection that ends makes room at once.
const int LongestAcceptWaitMs = 10000;

// How long the spooler may take to say what the printer is.
const int DescribeTimeoutMs = 2000;
// A DNS-SD instance name is one DNS label.
const int MaxInstanceNameBytes = 63;

// Orders jobs that complete within the same millisecond.
std::atomic<qint64> completions{ 0 };

// Why stored jobs cannot go to `jobspath`; empty when they can.
QString storingRefusal(const PrinterConfig &config, const QString &spoolFolder)
{
    if (!config.storejobs)
        return QString();
    const QString jobs = QFileInfo(config.jobspath).canonicalFilePath();
    if (!jobs.isEmpty() && jobs == QFileInfo(spoolFolder).canonicalFilePath())
        return QStringLiteral("its jobs folder %1 is the spool folder").arg(config.jobspath);
    const QString reason = PrivateFiles::untrustedReason(config.jobspath);
    if (!reason.isEmpty())
        return QStringLiteral("its jobs folder %1 is not safe: %2").arg(config.jobspath, reason);
    return QString();
}

// The name cut to what DNS-SD takes, at a whole character.
QString instanceName(QString name)
{
    while (name.toUtf8().size() > MaxInstanceNameBytes)
        name.chop(name.size() > 1 && QChar::isLowSurrogate(name.back().unicode()) ? 2 : 1);
    while (!name.isEmpty() && name.back().isSpace())
        name.chop(1);
    return name;
}

} // namespace

int PrinterDaemon::waitRoundMs = InterfaceWaitSeconds * 1000;
int PrinterDaemon::acceptRetryMs = 1000;

PrinterDaemon::PrinterDaemon(const PrinterConfig &config, Logger *logger, const QString &spoolFolder,
                             QObject *parent)
    : QTcpServer(parent), config(config), log(logger), spool(spoolFolder)
{
    waitTimer.setSingleShot(true);
    connect(&waitTimer, &QTimer::timeout, this, &PrinterDaemon::tryListen);
    acceptTimer.setSingleShot(true);
    connect(&acceptTimer, &QTimer::timeout, this, &PrinterDaemon::updateAccepting);

    QString error;
    std::unique_ptr<Output> output = Output::create(config, &error);
    if (!output) {
        refusal = QStringLiteral("its output \"%1\" cannot be used: %2").arg(config.output, error);
        return;
    }
    if (!config.unknownProtocol.isEmpty()) {
        refusal = QStringLiteral("its protocol \"%1\" is neither raw nor lpd").arg(config.unknownProtocol);
        return;
    }

    DeliveryQueue::Settings settings;
    settings.printer = config.localname;
    settings.retrytime = config.retrytime;
    if (config.storejobs) {
        settings.jobspath = config.jobspath;
        settings.storingRefused = storingRefusal(config, spoolFolder);
        if (!settings.storingRefused.isEmpty())
            log->log(QStringLiteral("Printer \"%1\" does not store jobs: %2").arg(config.localname, settings.storingRefused),
                     Logger::Error);
    }
    queue = std::make_unique<DeliveryQueue>(std::move(output), settings, logger, &counts);
    queue->begin();
}

PrinterDaemon::~PrinterDaemon()
{
    closeConnections();
    stopDelivery(QDeadlineTimer(5000));
    // Its questions have a time limit of their own.
    if (describing)
        describing->wait(5000);
}

QString PrinterDaemon::errorString() const
{
    return refusal.isEmpty() ? listenError : refusal;
}

void PrinterDaemon::refuse(const QString &reason)
{
    refusal = reason;
    log->log(QStringLiteral("Printer \"%1\" cannot listen: %2").arg(config.localname, refusal), Logger::Error);
    emit started(false);
}

void PrinterDaemon::startListening()
{
    // Qt would take a null address for every interface and port 0 for any
    // free port: neither is what the configuration asked for.
    if (!refusal.isEmpty())
        return refuse(refusal);
    if (config.listen.isNull())
        return refuse(QStringLiteral("its listen setting is not an address"));
    if (config.port == 0)
        return refuse(QStringLiteral("its port is 0"));
    if (config.subnetsInvalid)
        log->log(QStringLiteral("Printer \"%1\" admits no one: its subnets setting names no subnet")
                     .arg(config.localname),
                 Logger::Error);
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
        if (config.advertise)
            advertise();
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

void PrinterDaemon::advertise()
{
    // What the printer is, from the settings or from the spooler's queue.
    struct Answer
    {
        Output::Description description;
        QString host;
    };
    auto answer = std::make_shared<Answer>();
    QString error;
    std::shared_ptr<Output> output(Output::create(config, &error).release());
    describing = QThread::create([answer, output] {
        answer->description = output->describe(DescribeTimeoutMs);
        answer->host = Advertiser::hostName();
    });
    connect(describing, &QThread::finished, this, [this, answer] {
        describing->deleteLater();
        describing = nullptr;
        const QString model = !config.model.isEmpty() ? config.model : answer->description.makeAndModel;
        const QString location = !config.location.isEmpty() ? config.location : answer->description.location;
        const QStringList formats = answer->description.formats;
        service.name = instanceName(!config.title.isEmpty() ? config.title
                                                            : config.localname + QStringLiteral(" on ") + answer->host);
        service.port = config.port;
        service.txt = { { QStringLiteral("txtvers"), QStringLiteral("1") },
                        { QStringLiteral("qtotal"), QStringLiteral("1") },
                        { QStringLiteral("ty"), model },
                        { QStringLiteral("product"), QLatin1Char('(') + model + QLatin1Char(')') },
                        { QStringLiteral("pdl"), formats.isEmpty() ? QStringLiteral("application/octet-stream")
                                                                   : formats.join(QLatin1Char(',')) },
                        { QStringLiteral("note"), location },
                        { QStringLiteral("priority"), QStringLiteral("0") } };
        advertiser = new Advertiser(config.localname, log, this);
        if (!paused)
            advertiser->announce(service);
    });
    describing->start();
}

void PrinterDaemon::pause()
{
    paused = true;
    if (advertiser)
        advertiser->withdraw();
    for (Connection *connection : qAsConst(connections))
        connection->setPaused(true);
}

void PrinterDaemon::resume()
{
    paused = false;
    if (advertiser)
        advertiser->announce(service);
    for (Connection *connection : qAsConst(connections))
        connection->setPaused(false);
}

void PrinterDaemon::incomingConnection(qintptr socket)
{
    if (acceptFailing) {
        acceptFailing = false;
        acceptWaitMs = 0;
        log->log(QStringLiteral("Printer \"%1\" accepts connections again").arg(config.localname), Logger::Info);
    }

    if (paused) {
        // Closed at once rather than left with the operating system.
        SocketIo::close(socket);
        return;
    }

    // A client that reset the connection before it was accepted has no
    // address any more, and no job.
    const QHostAddress peerAddress = SocketIo::peerAddress(socket);
    if (peerAddress.isNull()) {
        SocketIo::close(socket);
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
        admit(socket, peer);
        log->log(QStringLiteral("Access from ") + peer + QStringLiteral(" to printer \"") + config.localname
                     + QStringLiteral("\" is allowed"),
                 Logger::Access);
    } else {
        log->log(QStringLiteral("Access from ") + peer + QStringLiteral(" to printer ") + config.localname
                     + QStringLiteral(" is denied"),
                 Logger::Access);
        ++counts.denied;
        SocketIo::close(socket);
    }
}

void PrinterDaemon::admit(qintptr socket, const QString &peer)
{
    SocketIo::prepare(socket);
    Connection *connection = config.protocol == PrinterConfig::Lpd
        ? static_cast<Connection *>(new LpdConnection(socket, peer, this))
        : new RawConnection(socket, peer, this);
    connections.insert(connection);
    connect(connection, &Connection::ended, this, &PrinterDaemon::connectionEnded);
    updateAccepting();
}

void PrinterDaemon::connectionEnded()
{
    auto connection = static_cast<Connection *>(sender());
    connections.remove(connection);
    connection->deleteLater();
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
    const bool full = connections.size() >= config.maxconnections;
    const bool accepting = !full && !acceptTimer.isActive();
    if (accepting == acceptor->isEnabled())
        return;
    acceptor->setEnabled(accepting);
    // Connections that came while accepting was off raise no new notice.
    if (accepting)
        QMetaObject::invokeMethod(this, &PrinterDaemon::acceptWaiting, Qt::QueuedConnection);
}

PrintJob PrinterDaemon::newJob(const QString &peer) const
{
    PrintJob job;
    job.printer = config.localname;
    job.port = config.port;
    job.peer = peer;
    job.title = QStringLiteral("Quillport");
    job.completed = QDateTime::currentMSecsSinceEpoch();
    job.sequence = ++completions;
    return job;
}

void PrinterDaemon::submit(const PrintJob &job)
{
    if (queue)
        queue->enqueue(job);
}

int PrinterDaemon::waitingJobs() const
{
    return queue ? queue->waiting() : 0;
}

QString PrinterDaemon::stateLine() const
{
    return QStringLiteral("%1: %2, %3 job(s) waiting")
        .arg(config.localname, paused ? QStringLiteral("paused") : QStringLiteral("listening"))
        .arg(waitingJobs());
}

void PrinterDaemon::closeConnections()
{
    // A stopped printer is no longer announced.
    delete advertiser;
    advertiser = nullptr;
    waitTimer.stop();
    acceptTimer.stop();
    delete acceptor;
    acceptor = nullptr;
    close();
    const QSet<Connection *> open = connections;
    for (Connection *connection : open) {
        connection->disconnect(this);
        connection->finishAtStop();
        delete connection;
    }
    connections.clear();
}

bool PrinterDaemon::stopDelivery(QDeadlineTimer deadline)
{
    return !queue || queue->stop(deadline);
}
