// Ctrl+C, Ctrl+Break and a closed console window through a console control
// handler. The handler runs on a thread of the system, so it only queues the
// signal into the application thread.
#include "interruptwatcher.h"

#include <QMetaObject>
#include <QMutex>

#include <qt_windows.h>

namespace {

// Guards activeWatcher against the watcher going away while a handler posts.
QBasicMutex watcherMutex;
InterruptWatcher *activeWatcher = nullptr;
// Set when the watcher goes away; never closed, since a handler thread may
// still be waiting on it.
HANDLE runEnded = nullptr;

BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    {
        QMutexLocker locker(&watcherMutex);
        if (!activeWatcher)
            return FALSE;
        QMetaObject::invokeMethod(activeWatcher, "interrupted", Qt::QueuedConnection);
    }
    // After a close the process ends as soon as this handler returns: give
    // the event loop a moment to wind down first.
    if (type == CTRL_CLOSE_EVENT)
        WaitForSingleObject(runEnded, 4000);
    return TRUE;
}

} // namespace

struct InterruptWatcher::Platform
{
};

void InterruptWatcher::install()
{
    QMutexLocker locker(&watcherMutex);
    if (!runEnded)
        runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    else
        ResetEvent(runEnded);
    activeWatcher = this;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void InterruptWatcher::uninstall()
{
    QMutexLocker locker(&watcherMutex);
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    activeWatcher = nullptr;
    if (runEnded)
        SetEvent(runEnded);
}
