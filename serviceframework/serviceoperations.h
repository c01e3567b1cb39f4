// The operations of a service as the framework's helpers call them: the
// starter of a foreground run and the runtime of a service run. ServiceBase
// implements them with its own protected virtual functions; every call is
// made in the application thread.
#ifndef SERVICEOPERATIONS_H
#define SERVICEOPERATIONS_H

class ServiceOperations
{
public:
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual void processCommand(int code) = 0;

protected:
    ~ServiceOperations() = default;
};

#endif // SERVICEOPERATIONS_H
