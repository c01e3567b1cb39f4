// A datagram socket that stands where systemd's notify socket would: the
// test names it in NOTIFY_SOCKET and reads what the service reports.
#ifndef NOTIFYSOCKET_H
#define NOTIFYSOCKET_H

#include <QByteArray>
#include <QString>

class NotifySocket
{
public:
    NotifySocket() = default;
    ~NotifySocket();

    // Binds to a file in `folder`, or with an empty folder to a name in the
    // abstract namespace. False when the socket cannot be made.
    bool open(const QString &folder);

    // The value for NOTIFY_SOCKET.
    QByteArray name() const { return socketName; }

    // The next datagram, waiting at most `timeoutMs`; empty when none came.
    QByteArray next(int timeoutMs);

private:
    Q_DISABLE_COPY(NotifySocket)
    int fd = -1;
    QByteArray socketName;
    QByteArray path;
};

#endif // NOTIFYSOCKET_H
