// The one-time binding of the service-control table, shared by every platform.
#include "servicecontrolmanager.h"

#include <QAtomicInt>
#include <QMutex>

namespace {

ServiceControlManager boundTable;
// Set with release semantics once boundTable is complete, so that a reader who
// sees it set also sees every pointer of the table.
QBasicAtomicInt tableBound = Q_BASIC_ATOMIC_INITIALIZER(0);
// Guards the binding and the installed table.
QBasicMutex bindMutex;
bool tableInstalled = false;
ServiceControlManager installedTable;

// The name of the first function the table lacks; null when it has all.
const char *missingFunction(const ServiceControlManager &table)
{
    const char *missing = nullptr;
    forEachServiceFunction(table, [&missing](const char *name, auto function) {
        if (!function && !missing)
            missing = name;
    });
    return missing;
}

} // namespace

bool resolveServiceApi()
{
    if (tableBound.loadAcquire())
        return true;

    QMutexLocker locker(&bindMutex);
    if (tableBound.loadRelaxed())
        return true;
    ServiceControlManager table = installedTable;
    if (!tableInstalled)
        bindPlatformServiceApi(table);
    // Every user of the table calls through it without looking: a table with
    // a hole would crash the first call that falls into it.
    if (const char *missing = missingFunction(table)) {
        qWarning("Service: the service manager's function %s is missing", missing);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    boundTable = table;
    tableBound.storeRelease(1);
    return true;
}

const ServiceControlManager &serviceApi()
{
    return boundTable;
}

bool installServiceApi(const ServiceControlManager &table)
{
    QMutexLocker locker(&bindMutex);
    if (tableBound.loadRelaxed())
        return false;
    installedTable = table;
    tableInstalled = true;
    return true;
}
