// Binds the service-control table to advapi32, resolved by name at run time.
#include "servicecontrolmanager.h"

#include <QLibrary>

#include <type_traits>

void bindPlatformServiceApi(ServiceControlManager &table)
{
    // The QLibrary object goes away at the end of this function, but it never
    // unloads the library itself: the resolved pointers stay valid for the
    // life of the process. A name it cannot resolve stays null, which the
    // binding's check turns into an error.
    QLibrary library(QStringLiteral("advapi32"));
    forEachServiceFunction(table, [&library](const char *name, auto &function) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(library.resolve(name));
    });
}
