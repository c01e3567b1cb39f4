// The few socket calls the connections make themselves, on the descriptor
// the listener accepted: Qt's socket classes read a reset like an orderly
// close, and a print job must tell the two apart.
#ifndef SOCKETIO_H
#define SOCKETIO_H

#include <QHostAddress>
#include <QString>

namespace SocketIo {

// What receive() returns besides a count of bytes.
const qint64 EndOfStream = 0; // the peer closed its sending side in order
const qint64 Broken = -1;     // a reset or another error; see `error`
const qint64 WouldBlock = -2; // nothing to read now

qint64 receive(qintptr socket, char *buffer, qint64 size, QString *error);
// Takes a waiting connection from a listening socket that does not block:
// its descriptor; WouldBlock when none waits; Broken with the reason
// otherwise, `outOfResources` telling whether the system had no descriptor
// or memory left for it.
qintptr accept(qintptr listening, bool *outOfResources, QString *error);
// Sends what the socket takes now of `data`: the count; WouldBlock when it
// takes nothing now; Broken with the reason.
qint64 send(qintptr socket, const char *data, qint64 size, QString *error);
// Waits at most `timeoutMs` until the socket takes data again (or fails).
bool waitWritable(qintptr socket, int timeoutMs);
// Sends all of `data` without blocking; false, with the reason, when the
// socket cannot take it now.
bool sendAll(qintptr socket, const char *data, qint64 size, QString *error);
// Ends the sending side: the peer reads the end of the stream.
bool shutdownWrite(qintptr socket);
// Waits at most `timeoutMs` for something to read (or an error).
bool waitReadable(qintptr socket, int timeoutMs);

// Keep-alive probes, so that a peer that vanished is noticed, and SO_LINGER
// {on, 0}, so that a connection whose process ends resets: set on the
// listening socket where accepted sockets inherit them (Linux), and on each
// accepted socket elsewhere; prepare() also makes an accepted socket
// non-blocking where accept() did not.
void prepareListening(qintptr socket);
void prepare(qintptr socket);
// Keep-alive probes on a connection of the service's own: a minute of
// silence, then five probes ten seconds apart.
void keepAlive(qintptr socket);
// Closes in order: the peer reads the end of the stream.
void close(qintptr socket);
// Closes with a reset: nothing is left in TIME_WAIT for a refused peer.
void abort(qintptr socket);

// Raises the process's limit of open descriptors as far as the system
// lets it (the soft limit to the hard one, as daemons that hold many
// sockets do); the limit now, -1 where there is none to speak of.
long raiseDescriptorLimit();
// The descriptors the process has open; -1 where that cannot be told.
int openDescriptors();

// Null when the socket has no peer (any more).
QHostAddress peerAddress(qintptr socket);
QHostAddress localAddress(qintptr socket);

} // namespace SocketIo

#endif // SOCKETIO_H
