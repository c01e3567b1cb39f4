// A service whose application object is of the given Qt application class.
#ifndef SERVICE_H
#define SERVICE_H

#include "servicebase.h"

template <typename Application>
class Service : public ServiceBase
{
public:
    Service(int argc, char **argv, const QString &name)
        : ServiceBase(argc, argv, name)
    {
    }

protected:
    void createApplication(int &argc, char **argv) override
    {
        application = new Application(argc, argv);
    }

    int executeApplication() override
    {
        return Application::exec();
    }

    // Created by createApplication; deleted by whoever ran the application.
    Application *application = nullptr;
};

#endif // SERVICE_H
