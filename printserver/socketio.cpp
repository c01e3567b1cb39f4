// Socket calls made of the platform's own.
#include "socketio.h"

namespace SocketIo {

bool sendAll(qintptr socket, const char *data, qint64 size, QString *error)
{
    while (size > 0) {
        const qint64 count = send(socket, data, size, error);
        if (count == WouldBlock)
            *error = QStringLiteral("the peer does not read");
        else if (count == 0)
            *error = QStringLiteral("the connection takes no data");
        if (count <= 0)
            return false;
        data += count;
        size -= count;
    }
    return true;
}

} // namespace SocketIo
