// Jobs written to a device or file with POSIX calls. The device is opened
// without blocking so that a printer that takes no data (or a FIFO with no
// reader) cannot hold the delivery thread beyond a stop.
#include "deviceoutput.h"

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
    Pieces pieces(document, size);
    Stall stall(*this, path);
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
                // The printer is busy (or out of paper): wait for it.
                stall.idle();
                pollfd entry = { fd, POLLOUT, 0 };
                ::poll(&entry, 1, PollMs);
            } else {
                result = { Unavailable, QStringLiteral("%1 took %2 of %3 bytes: %4")
                                            .arg(path)
                                            .arg(pieces.offset() + done)
                                            .arg(size)
                                            .arg(systemError(count < 0 ? errno : EIO)) };
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
