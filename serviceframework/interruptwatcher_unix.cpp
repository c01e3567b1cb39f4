// SIGINT and SIGTERM through a self-pipe: the signal handler only writes one
// byte, and a socket notifier in the application thread emits interrupted().
#include "interruptwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

int writeEnd = -1;

void onSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    // Non-fatal when it fails: a full pipe already holds a pending wake-up.
    [[maybe_unused]] ssize_t written = ::write(writeEnd, &byte, 1);
    errno = savedErrno;
}

} // namespace

struct InterruptWatcher::Platform
{
    int fds[2] = { -1, -1 };
    QSocketNotifier *notifier = nullptr;
    struct sigaction previousInt;
    struct sigaction previousTerm;
    sigset_t previousMask;
};

void InterruptWatcher::install()
{
    platform = new Platform;
    if (::pipe2(platform->fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qErrnoWarning("InterruptWatcher: cannot create the signal pipe");
        return;
    }
    writeEnd = platform->fds[1];

    platform->notifier = new QSocketNotifier(platform->fds[0], QSocketNotifier::Read, this);
    connect(platform->notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[64];
        while (::read(platform->fds[0], buffer, sizeof buffer) > 0) {
        }
        emit interrupted();
    });

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &platform->previousInt);
    sigaction(SIGTERM, &action, &platform->previousTerm);

    // A foreground run takes its interrupts itself, also when systemd started
    // it (a unit that runs it with -e), whose start blocks SIGTERM in every
    // thread for a dispatcher that a foreground run does not have.
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &interrupts, &platform->previousMask);
}

void InterruptWatcher::uninstall()
{
    if (platform->fds[0] >= 0) {
        pthread_sigmask(SIG_SETMASK, &platform->previousMask, nullptr);
        sigaction(SIGINT, &platform->previousInt, nullptr);
        sigaction(SIGTERM, &platform->previousTerm, nullptr);
        writeEnd = -1;
        delete platform->notifier;
        ::close(platform->fds[0]);
        ::close(platform->fds[1]);
    }
    delete platform;
    platform = nullptr;
}
