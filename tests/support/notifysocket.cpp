// The test's own notify socket.
#include "notifysocket.h"

#include <QRandomGenerator>

#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

NotifySocket::~NotifySocket()
{
    if (fd >= 0)
        close(fd);
    if (!path.isEmpty())
        unlink(path.constData());
}

bool NotifySocket::open(const QString &folder)
{
    const QByteArray unique = "notify-" + QByteArray::number(getpid()) + '-'
        + QByteArray::number(QRandomGenerator::global()->generate());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    socklen_t length;
    if (folder.isEmpty()) {
        socketName = '@' + unique;
        memcpy(address.sun_path + 1, unique.constData(), size_t(unique.size()));
        length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(unique.size()));
    } else {
        path = folder.toLocal8Bit() + '/' + unique;
        socketName = path;
        if (size_t(path.size()) >= sizeof address.sun_path)
            return false;
        memcpy(address.sun_path, path.constData(), size_t(path.size()));
        length = socklen_t(sizeof address);
    }
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0;
}

QByteArray NotifySocket::next(int timeoutMs)
{
    pollfd entry = { fd, POLLIN, 0 };
    if (poll(&entry, 1, timeoutMs) != 1)
        return QByteArray();
    char buffer[4096];
    const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
    return received > 0 ? QByteArray(buffer, int(received)) : QByteArray();
}
