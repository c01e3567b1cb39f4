// One printer, assembled from its settings.
#include "printer.h"

#include "connectionset.h"
#include "deliveryqueue.h"
#include "jobstore.h"
#include "logger.h"
#include "output.h"
#include "printerdaemon.h"

#include <QThread>

namespace {

// How long the output may take to say what the printer is.
const int DescribeTimeoutMs = 2000;
// A DNS-SD instance name is one DNS label.
const int MaxInstanceNameBytes = 63;

// The name cut to what DNS-SD takes, at a whole character.
QString instanceName(QString name)
{
    while (name.toUtf8().size() > MaxInstanceNameBytes)
        name.chop(name.size() > 1 && QChar::isLowSurrogate(name.back().unicode()) ? 2 : 1);
    while (!name.isEmpty() && name.back().isSpace())
        name.chop(1);
    return name;
}

// What the delivery queue is to do with a printer's jobs; says so when
// they are not stored although the settings ask for it.
DeliveryQueue::Settings deliverySettings(const PrinterConfig &config, const JobStore &store, Logger *logger)
{
    DeliveryQueue::Settings settings;
    settings.printer = config.localname;
    settings.retrytime = config.retrytime;
    if (config.storejobs) {
        settings.jobspath = config.jobspath;
        settings.storingRefused = store.archiveRefusal(config.jobspath);
        if (!settings.storingRefused.isEmpty())
            logger->log(QStringLiteral("Printer \"%1\" does not store jobs: %2").arg(config.localname, settings.storingRefused),
                        Logger::Error);
    }
    return settings;
}

} // namespace

QString Printer::check(const PrinterConfig &config, std::shared_ptr<Output> *output)
{
    // Qt would take a null address for every interface and port 0 for any
    // free port: neither is what the settings asked for.
    QString error;
    std::shared_ptr<Output> made = Output::create(config, &error);
    if (!made)
        return QStringLiteral("its output \"%1\" cannot be used: %2").arg(config.output, error);
    if (!config.unknownProtocol.isEmpty())
        return QStringLiteral("its protocol \"%1\" is neither raw nor lpd").arg(config.unknownProtocol);
    if (config.listen.isNull())
        return QStringLiteral("its listen setting is not an address");
    if (config.port == 0)
        return QStringLiteral("its port is 0");
    if (output)
        *output = std::move(made);
    return QString();
}

Printer::Printer(const PrinterConfig &config, Logger *logger, JobStore *store, QObject *parent)
    : QObject(parent), config(config), logger(logger), store(store)
{
    refusal = check(config, &output);
    if (!refusal.isEmpty())
        return;

    queue = std::make_unique<DeliveryQueue>(output, deliverySettings(config, *store, logger), logger, &stats);
    queue->begin();

    intake.store = store;
    intake.logger = logger;
    intake.printer = config.localname;
    intake.port = config.port;
    intake.idleTimeout = config.idletimeout;
    intake.enqueue = [this](const PrintJob &job) { submit(job); };
    intake.queueState = [this] { return stateLine(); };
    connections = new ConnectionSet(config.protocol, intake, this);
    listener = new PrinterDaemon(config, logger, &stats.denied, this);
    connect(listener, &PrinterDaemon::admitted, connections, &ConnectionSet::take);
    connect(connections, &ConnectionSet::ended, listener, &PrinterDaemon::connectionEnded);
    connect(listener, &PrinterDaemon::started, this, &Printer::listenerStarted);
}

void Printer::reconfigure(const PrinterConfig &next)
{
    const PrinterConfig before = config;
    config = next;
    if (!queue)
        return;
    if (next.output != before.output)
        check(next, &output);
    queue->reconfigure(output, deliverySettings(next, *store, logger));
    connections->reconfigure(next.protocol, next.idletimeout);
    listener->reconfigure(next);
    if (next.subnetsInvalid && !before.subnetsInvalid)
        logger->log(QStringLiteral("Printer \"%1\" admits no one: its subnets setting names no subnet")
                        .arg(config.localname),
                    Logger::Error);
    // Announced anew, or no more, with what it is now.
    if (next.advertise != before.advertise || next.title != before.title || next.model != before.model
        || next.location != before.location || next.output != before.output) {
        delete advertiser;
        advertiser = nullptr;
        if (next.advertise && isListening())
            advertise();
    }
}

void Printer::retire()
{
    delete advertiser;
    advertiser = nullptr;
    if (listener)
        listener->stopListening();
    // Nothing to wait for that would tell: a connection ends, the queue
    // empties on its own thread.
    retiring = new QTimer(this);
    connect(retiring, &QTimer::timeout, this, &Printer::checkRetired);
    retiring->start(200);
    checkRetired();
}

void Printer::checkRetired()
{
    if (connectionCount() > 0 || waitingJobs() > 0)
        return;
    retiring->stop();
    emit retired();
}

Printer::~Printer()
{
    closeConnections();
    stopDelivery(QDeadlineTimer(5000));
    // Its questions have a time limit of their own.
    if (describing)
        describing->wait(5000);
}

void Printer::startListening()
{
    if (!refusal.isEmpty()) {
        logger->log(QStringLiteral("Printer \"%1\" cannot listen: %2").arg(config.localname, refusal), Logger::Error);
        emit started(false);
        return;
    }
    if (config.subnetsInvalid)
        logger->log(QStringLiteral("Printer \"%1\" admits no one: its subnets setting names no subnet")
                        .arg(config.localname),
                    Logger::Error);
    listener->startListening();
}

void Printer::listenerStarted(bool listening)
{
    emit started(listening);
    if (listening && config.advertise)
        advertise();
}

QString Printer::errorString() const
{
    return refusal.isEmpty() ? listener->errorString() : refusal;
}

bool Printer::isListening() const
{
    return listener && listener->isListening();
}

quint16 Printer::serverPort() const
{
    return listener ? listener->serverPort() : 0;
}

int Printer::connectionCount() const
{
    return connections ? connections->count() : 0;
}

int Printer::waitingJobs() const
{
    return queue ? queue->waiting() : 0;
}

PrinterStatus Printer::status() const
{
    PrinterStatus status;
    status.name = config.localname;
    status.listening = isListening();
    status.paused = paused;
    status.connections = connectionCount();
    status.waiting = waitingJobs();
    status.printed = stats.printed;
    status.failed = stats.failed;
    status.bytes = stats.bytes;
    status.denied = stats.denied;
    status.lastJob = stats.lastJob;
    return status;
}

QString Printer::stateLine() const
{
    return QStringLiteral("%1: %2, %3 job(s) waiting")
        .arg(config.localname, paused ? QStringLiteral("paused") : QStringLiteral("listening"))
        .arg(waitingJobs());
}

void Printer::advertise()
{
    // What the printer is, from the settings or from the output's printer.
    struct Answer
    {
        Output::Description description;
        QString host;
    };
    auto answer = std::make_shared<Answer>();
    std::shared_ptr<const Output> asked = output;
    describing = QThread::create([answer, asked] {
        answer->description = asked->describe(DescribeTimeoutMs);
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
        advertiser = new Advertiser(config.localname, logger, this);
        if (!paused)
            advertiser->announce(service);
    });
    describing->start();
}

void Printer::pause()
{
    paused = true;
    if (advertiser)
        advertiser->withdraw();
    if (listener) {
        listener->pause();
        connections->setPaused(true);
    }
}

void Printer::resume()
{
    paused = false;
    if (advertiser)
        advertiser->announce(service);
    if (listener) {
        listener->resume();
        connections->setPaused(false);
    }
}

void Printer::submit(const PrintJob &job)
{
    if (queue)
        queue->enqueue(job);
}

void Printer::closeConnections()
{
    // A stopped printer is no longer announced.
    delete advertiser;
    advertiser = nullptr;
    if (listener) {
        listener->stopListening();
        connections->finishAtStop();
    }
}

bool Printer::stopDelivery(QDeadlineTimer deadline)
{
    return !queue || queue->stop(deadline);
}
