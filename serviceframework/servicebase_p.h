// The private state of ServiceBase, shared by the files that implement it.
#ifndef SERVICEBASE_P_H
#define SERVICEBASE_P_H

#include "servicebase.h"
#include "servicecontroller.h"

#include <vector>

class ServiceRuntime;

class ServiceBasePrivate
{
public:
    ServiceBasePrivate(ServiceBase *service, const QString &name)
        : q(service), controller(name)
    {
    }

    ServiceBase *q;
    QString serviceDescription;
    ServiceBase::StartupType startupType = ServiceBase::StartOnDemand;
    ServiceBase::ServiceFlags serviceFlags;
    QStringList arguments;
    ServiceController controller;
    // Exists while the program runs as a service.
    ServiceRuntime *runtime = nullptr;

    // An argv for an application object: the arguments in the local 8-bit
    // encoding, kept in `storage`, and a null-terminated list of pointers
    // into them. The application keeps both for its whole life.
    static std::vector<char *> localArgv(const QStringList &arguments, std::vector<QByteArray> &storage)
    {
        storage.clear();
        storage.reserve(size_t(arguments.size()));
        std::vector<char *> argv;
        for (const QString &argument : arguments) {
            storage.push_back(argument.toLocal8Bit());
            argv.push_back(storage.back().data());
        }
        argv.push_back(nullptr);
        return argv;
    }
};

#endif // SERVICEBASE_P_H
