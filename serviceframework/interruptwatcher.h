// Turns the console's interrupt (Ctrl+C, SIGINT, SIGTERM, a closed console
// window) into a signal delivered in the application thread, so that a
// foreground run can end its event loop the way a stop does.
#ifndef INTERRUPTWATCHER_H
#define INTERRUPTWATCHER_H

#include <QObject>

class InterruptWatcher : public QObject
{
    Q_OBJECT
public:
    // Only one watcher may exist at a time; it watches from construction to
    // destruction and then puts the previous handling back.
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

signals:
    void interrupted();

private:
    Q_DISABLE_COPY(InterruptWatcher)
    void install();
    void uninstall();

    struct Platform;
    Platform *platform = nullptr;
};

#endif // INTERRUPTWATCHER_H
