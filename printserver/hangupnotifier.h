// SIGHUP, as systemd's reload and log rotation send it, delivered as a Qt
// signal in the application thread. Windows has no such signal; there the
// notifier never fires.
#ifndef HANGUPNOTIFIER_H
#define HANGUPNOTIFIER_H

#include <QObject>

class HangupNotifier : public QObject
{
    Q_OBJECT
public:
    // Holds SIGHUP back from its default action (ending the process) for
    // every thread started afterwards: call it before any thread starts.
    static void holdBack();

    explicit HangupNotifier(QObject *parent = nullptr);
    ~HangupNotifier() override;

signals:
    void hangup();

private:
    int fd = -1;
};

#endif // HANGUPNOTIFIER_H
