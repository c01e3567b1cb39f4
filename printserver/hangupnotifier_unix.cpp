// SIGHUP through a signalfd: the signal is blocked in every thread, so it
// waits in the descriptor until the event loop reads it.
#include "hangupnotifier.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

void HangupNotifier::holdBack()
{
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
}

HangupNotifier::HangupNotifier(QObject *parent)
    : QObject(parent)
{
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGHUP);
    fd = signalfd(-1, &watched, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        qErrnoWarning("SIGHUP cannot be watched");
        return;
    }
    auto notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        signalfd_siginfo info;
        bool any = false;
        while (read(fd, &info, sizeof info) == ssize_t(sizeof info))
            any = true;
        if (any)
            emit hangup();
    });
}

HangupNotifier::~HangupNotifier()
{
    qDeleteAll(findChildren<QSocketNotifier *>());
    if (fd >= 0)
        close(fd);
}
