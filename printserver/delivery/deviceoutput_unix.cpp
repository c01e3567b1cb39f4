// Jobs written to a device or file with POSIX calls. The device is opened
// without blocking so that a printer that takes no data (or a FIFO with no
// reader) cannot hold the delivery thread beyond a stop.
#include "deviceoutput.h"

#include "socketio.h"

#include <QFile>
#include <QIODevice>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a blocked write looks at the stop flag.
const int PollMs = 250;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A device whose reader went away ends the write with EPIPE, not the process.
void ignoreBrokenPipes()
{
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

} // namespace

DeviceOutput::DeviceOutput(const QString &path)
    : path(path)
{
}

Output::Result DeviceOutput::deliver(QIODevice &document, qint64 size, const QString &,
                                     const std::atomic<bool> &stopping)
{
    ignoreBrokenPipes();
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        const QString reason = QStringLiteral("%1 cannot be opened: %2").arg(path, systemError(error));
        return { error == EACCES || error == EPERM || error == EISDIR ? Failed : Unavailable, reason };
    }

    // A regular file collects the jobs one after another.
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        ::fcntl(fd, F_SETFL, O_WRONLY | O_NONBLOCK | O_APPEND);

    Result result{ Delivered, QString() };
    Stall stall(*this, path);
    const auto waitForPrinter = [&] {
        // The printer is busy (or out of paper): wait for it.
        stall.idle();
        pollfd entry = { fd, POLLOUT, 0 };
        ::poll(&entry, 1, PollMs);
    };
    const auto broken = [&](qint64 done, int error) {
        return Result{ Unavailable, QStringLiteral("%1 took %2 of %3 bytes: %4")
                                        .arg(path)
                                        .arg(done)
                                        .arg(size)
                                        .arg(systemError(error)) };
    };

    // From the job's file to the device within the system where it offers
    // that (a FIFO, some devices; not a file that is appended to).
    qint64 offset = 0;
    auto *file = qobject_cast<QFile *>(&document);
    bool zeroCopy = file && file->handle() >= 0 && document.pos() == 0;
    while (zeroCopy && offset < size && result.outcome == Delivered) {
        QString error;
        const qint64 sent = stopping.load() ? 0 : SocketIo::sendFile(fd, file->handle(), &offset, size - offset, &error);
        if (stopping.load())
            result = { Unavailable, QStringLiteral("the service is stopping") };
        else if (sent > 0)
            stall.moved();
        else if (sent == 0)
            result = { Failed, QStringLiteral("the job cannot be read: its file is shorter than the job") };
        else if (sent == SocketIo::Unsupported)
            zeroCopy = false;
        else if (sent == SocketIo::WouldBlock)
            waitForPrinter();
        else
            result = { Unavailable, QStringLiteral("%1 took %2 of %3 bytes: %4").arg(path).arg(offset).arg(size).arg(error) };
    }
    if (result.outcome == Delivered && offset > 0 && offset < size && !document.seek(offset))
        result = { Failed, QStringLiteral("the job cannot be read: %1").arg(document.errorString()) };

    Pieces pieces(document, result.outcome == Delivered ? size - offset : 0);
    while (result.outcome == Delivered && pieces.next()) {
        for (qint64 done = 0; done < pieces.size();) {
            if (stopping.load()) {
                result = { Unavailable, QStringLiteral("the service is stopping") };
                break;
            }
            const ssize_t count = ::write(fd, pieces.data() + done, size_t(pieces.size() - done));
            if (count > 0) {
                done += count;
                stall.moved();
            } else if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
                waitForPrinter();
            } else {
                result = broken(offset + pieces.offset() + done, count < 0 ? errno : EIO);
                break;
            }
        }
    }
    if (pieces.hasFailed())
        result = pieces.failure();
    if (::close(fd) != 0 && result.outcome == Delivered)
        result = { Unavailable, QStringLiteral("%1 cannot be closed: %2").arg(path, systemError(errno)) };
    return result;
}
