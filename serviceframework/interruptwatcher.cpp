// The watcher's life; what it installs is in interruptwatcher_unix.cpp and
// interruptwatcher_win.cpp.
#include "interruptwatcher.h"

InterruptWatcher::InterruptWatcher(QObject *parent)
    : QObject(parent)
{
    install();
}

InterruptWatcher::~InterruptWatcher()
{
    uninstall();
}
