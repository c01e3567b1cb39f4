// The one-time binding of the service-control table, shared by every platform.
#include "servicecontrolmanager.h"

#include <QAtomicInt>
#include <QMutex>

namespace {

ServiceControlManager boundTable;
// Set with release semantics once boundTable is complete, so that a reader who
// sees it set also sees every pointer of the table.
QBasicAtomicInt tableBound = Q_BASIC_ATOMIC_INITIALIZER(0);
QBasicMutex bindMutex;

} // namespace

bool resolveServiceApi()
{
    if (tableBound.loadAcquire())
        return true;

    QMutexLocker locker(&bindMutex);
    if (!tableBound.loadRelaxed()) {
        ServiceControlManager table;
        bindPlatformServiceApi(table);
        // The other sixteen are taken to be there whenever OpenSCManagerW is.
        if (table.OpenSCManagerW) {
            boundTable = table;
            tableBound.storeRelease(1);
        }
    }
    return tableBound.loadRelaxed();
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
    if (!table.OpenSCManagerW)
        return false;
    boundTable = table;
    tableBound.storeRelease(1);
    return true;
}
