// Jobs sent to a printer on the network that takes raw jobs on a TCP port
// (9100 by default): one connection per job, as the printer expects.
#ifndef SOCKETOUTPUT_H
#define SOCKETOUTPUT_H

#include "output.h"

class SocketOutput : public Output
{
public:
    SocketOutput(const QString &host, quint16 port);

    // The bytes are sent, the sending side is shut down, and the printer's
    // close (or a bounded wait for it) ends the job; what the printer sends
    // back is read and dropped. A job counts as printed only when every byte
    // went out and the connection was not broken.
    Result deliver(QIODevice &document, qint64 size, const QString &title,
                   const std::atomic<bool> &stopping) override;

private:
    QString host;
    quint16 port;
};

#endif // SOCKETOUTPUT_H
