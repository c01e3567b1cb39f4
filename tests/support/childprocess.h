// A program the tests start: it must not outlive a test process that dies,
// whatever way it dies, so it is sent a signal when its parent goes.
#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

#include <csignal>

class ChildProcess : public QProcess
{
public:
    // `orphanSignal` is what the child gets when the test process ends:
    // SIGKILL, or SIGTERM for a program that must clean up after itself.
    explicit ChildProcess(int orphanSignal = SIGKILL) : orphanSignal(orphanSignal) {}
    // Ends a child that still runs, at once.
    ~ChildProcess() override;

    // The child's limit of open descriptors (its soft and its hard limit);
    // 0 keeps this process's.
    int descriptorLimit = 0;

protected:
    void setupChildProcess() override;

private:
    int orphanSignal;
};

#endif // CHILDPROCESS_H
