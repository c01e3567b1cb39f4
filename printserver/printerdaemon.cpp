// The listener of one printer: listening, access control, and the reception,
// delivery and storage of print jobs.
#include "printerdaemon.h"

#include "jobfile.h"
#include "logger.h"
#include "spooler.h"

#include <QFile>
#include <QTcpSocket>
#include <QThread>

#include <limits>

namespace {

const int InterfaceWaitSeconds = 10;

// A QByteArray holds at most this much; a larger job is dropped rather than
// taking the service down.
const qint64 MaxJobSize = std::numeric_limits<int>::max() - 4096;

// A job to be stored is kept in memory up to this size. Past it the job goes
// to its file as it arrives: one large write of a whole job at the end, and a
// buffer the size of the job, cost far more than writing it piece by piece.
const qint64 StreamedJobSize = 1024 * 1024;

void logStored(Logger *logger, const QString &peer, const QString &name)
{
    logger->log(QStringLiteral("Print job from ") + peer + QStringLiteral(" stored successful with filename \"")
                    + name + QLatin1Char('"'),
                Logger::Print);
}

void logNotWritten(Logger *logger, const QString &peer, const QString &path)
{
    logger->log(QStringLiteral("Couldn't write print job to file \"") + path + QStringLiteral("\" from ") + peer,
                Logger::Error);
}

} // namespace

int PrinterDaemon::waitRoundMs = InterfaceWaitSeconds * 1000;

PrinterDaemon::PrinterDaemon(const PrinterConfig &config, Logger *logger, QObject *parent)
    : QTcpServer(parent),
      localname(config.localname),
      active(config.active),
      listen(config.listen),
      interfacewaittime(config.interfacewaittime),
      port(config.port),
      subnets(config.subnets),
      log(config.log),
      storejobs(config.storejobs),
      jobspath(config.jobspath),
      logger(logger)
{
}

QString PrinterDaemon::errorString() const
{
    return refusal.isEmpty() ? QTcpServer::errorString() : refusal;
}

bool PrinterDaemon::startListening()
{
    // Qt would take a null address for every interface and port 0 for any
    // free port: neither is what the configuration asked for.
    if (listen.isNull())
        refusal = QStringLiteral("its listen setting is not an address");
    else if (port == 0)
        refusal = QStringLiteral("its port is 0");
    if (!refusal.isEmpty()) {
        logger->log(QStringLiteral("Printer \"%1\" cannot listen: %2").arg(localname, refusal), Logger::Error);
        return false;
    }

    // Qt binds "::" to IPv6 alone; a listener on "::" takes IPv4 clients too,
    // as the IPv4-mapped addresses its subnets are checked against.
    const QHostAddress address = listen.protocol() == QAbstractSocket::IPv6Protocol
            && listen == QHostAddress(QHostAddress::AnyIPv6)
        ? QHostAddress(QHostAddress::Any)
        : listen;

    if (QTcpServer::listen(address, port))
        return true;
    if (serverError() != QAbstractSocket::SocketAddressNotAvailableError) {
        logger->log(QTcpServer::errorString(), Logger::Error);
        return false;
    }

    // The address is not there yet, as when its interface is still coming
    // up: try again every ten seconds for the configured time.
    for (int attempt = 0; attempt < interfacewaittime / InterfaceWaitSeconds; ++attempt) {
        logger->log(QStringLiteral("Wait 10 seconds for network interface with address ") + listen.toString(),
                    Logger::Error);
        QThread::msleep(waitRoundMs);
        if (QTcpServer::listen(address, port))
            return true;
    }
    return false;
}

void PrinterDaemon::pause()
{
    paused = true;
}

void PrinterDaemon::resume()
{
    paused = false;
}

void PrinterDaemon::incomingConnection(qintptr socketDescriptor)
{
    if (paused) {
        // Closed at once rather than left with the operating system.
        QTcpSocket refused;
        refused.setSocketDescriptor(socketDescriptor);
        refused.abort();
        return;
    }

    auto socket = new QTcpSocket(this);
    socket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);

    if (log & PrinterConfig::LogDebug) {
        const QHostAddress local = socket->localAddress();
        logger->log(QStringLiteral("Local address: ") + local.toString() + QStringLiteral("protocol: ")
                        + QString::number(int(local.protocol())),
                    Logger::Debug);
    }

    const QHostAddress peerAddress = socket->peerAddress();
    const QString peer = peerAddress.toString();
    if (subnets.isEmpty()) {
        admit(socket);
    } else if (isAllowed(peerAddress)) {
        admit(socket);
        logger->log(QStringLiteral("Access from ") + peer + QStringLiteral(" to printer \"") + localname
                        + QStringLiteral("\" is allowed"),
                    Logger::Access);
    } else {
        logger->log(QStringLiteral("Access from ") + peer + QStringLiteral(" to printer ") + localname
                        + QStringLiteral(" is denied"),
                    Logger::Access);
        socket->abort();
        socket->deleteLater();
    }
}

bool PrinterDaemon::isAllowed(const QHostAddress &peer) const
{
    // A listener on "::" sees IPv4 peers as IPv4-mapped IPv6 addresses; they
    // are matched against IPv4 subnets by their IPv4 form as well.
    bool mapped = false;
    const QHostAddress ipv4(peer.toIPv4Address(&mapped));
    for (const auto &subnet : subnets) {
        if (peer.isInSubnet(subnet) || (mapped && peer.protocol() == QAbstractSocket::IPv6Protocol
                                        && ipv4.isInSubnet(subnet)))
            return true;
    }
    return false;
}

void PrinterDaemon::admit(QTcpSocket *socket)
{
    jobBuffer.insert(socket, Job{ QByteArray(), socket->peerAddress().toString() });
    connect(socket, SIGNAL(readyRead()), this, SLOT(onClientRead()));
    connect(socket, SIGNAL(disconnected()), this, SLOT(onClientClose()));
}

bool PrinterDaemon::takeAvailable(QTcpSocket *socket, Job &job)
{
    const qint64 available = socket->bytesAvailable();
    if (available <= 0)
        return true;
    JobFile *file = job.file;
    const qint64 size = file ? file->pos() : job.data.size();
    if (size + available > MaxJobSize) {
        logger->log(QStringLiteral("Print job from ") + job.peer
                        + QStringLiteral(" dropped: it is larger than a job can be"),
                    Logger::Error);
        drop(socket);
        return false;
    }

    if (!file && storejobs && !job.inMemory && size + available > StreamedJobSize) {
        file = new JobFile(jobspath, socket);
        if (file->create() && file->write(job.data) == job.data.size()) {
            job.data.clear();
            job.file = file;
        } else {
            // Kept in memory; storing it after delivery reports the failure.
            delete file;
            file = nullptr;
            job.inMemory = true;
        }
    }

    if (file) {
        // What the socket holds, handed over without a copy when it is one
        // block of its buffer.
        const QByteArray piece = socket->read(available);
        if (file->write(piece) == piece.size())
            return true;
        // The file takes no more (a full disk): the job goes on in memory,
        // and storing it after delivery reports the failure.
        if (!file->seek(0) || (job.data = file->read(size)).size() != size) {
            logNotWritten(logger, job.peer, file->finalPath);
            drop(socket);
            return false;
        }
        delete file;
        job.file = nullptr;
        job.inMemory = true;
        job.data += piece;
        return true;
    }

    // Read straight into the buffer, which grows geometrically: no copy per
    // chunk.
    const int start = job.data.size();
    job.data.resize(start + int(available));
    const qint64 read = socket->read(job.data.data() + start, available);
    job.data.resize(start + int(qMax<qint64>(read, 0)));
    return true;
}

void PrinterDaemon::drop(QTcpSocket *socket)
{
    jobBuffer.remove(socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void PrinterDaemon::onClientRead()
{
    if (paused)
        return;
    auto socket = qobject_cast<QTcpSocket *>(sender());
    auto job = jobBuffer.find(socket);
    if (job != jobBuffer.end())
        takeAvailable(socket, *job);
}

void PrinterDaemon::onClientClose()
{
    auto socket = qobject_cast<QTcpSocket *>(sender());
    auto found = jobBuffer.find(socket);
    if (found == jobBuffer.end())
        return;
    // Whatever is still in the socket belongs to the job, also what arrived
    // while the listener was paused.
    if (!takeAvailable(socket, *found))
        return;
    const Job job = jobBuffer.take(socket);
    JobFile *file = job.file;

    // A job that went to its file as it arrived is printed from the file,
    // mapped into memory (or read back where it cannot be mapped).
    const char *data = job.data.constData();
    qint64 size = job.data.size();
    uchar *mapped = nullptr;
    QByteArray readBack;
    bool whole = true;
    if (file) {
        size = file->pos();
        mapped = file->map(0, size);
        if (mapped) {
            data = reinterpret_cast<const char *>(mapped);
        } else {
            whole = file->seek(0) && (readBack = file->read(size)).size() == size;
            data = readBack.constData();
        }
    }

    const QString printer = localname;
    const bool printed = whole
        && sendRawToPrinter(reinterpret_cast<const char16_t *>(printer.utf16()), data, quint32(size)) != 0;
    logger->log(QStringLiteral("Print job from ") + job.peer
                    + (printed ? QStringLiteral(" completed successful") : QStringLiteral(" finished with error")),
                Logger::Print);
    if (mapped)
        file->unmap(mapped);
    if (!file)
        storeJob(job);
    else if (whole && file->keep())
        logStored(logger, job.peer, file->name);
    else
        logNotWritten(logger, job.peer, file->finalPath);
    socket->deleteLater();
}

void PrinterDaemon::storeJob(const Job &job)
{
    if (!storejobs)
        return;

    const QString uuid = JobFile::newName();
    const QString path = JobFile::path(jobspath, uuid);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        logger->log(QStringLiteral("Couldn't open file \"") + path + QStringLiteral("\" for writing print job from ")
                        + job.peer,
                    Logger::Error);
        return;
    }
    // A short write (a full disk) is a failure too, not a stored job.
    const bool written = file.write(job.data) == job.data.size() && file.flush();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        logNotWritten(logger, job.peer, path);
        return;
    }
    logStored(logger, job.peer, uuid);
}
