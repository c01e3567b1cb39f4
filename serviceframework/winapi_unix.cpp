// The kernel functions of the Windows API the framework uses, for every
// platform but Windows: the last error of the calling thread, the program's
// own path and a sleep.
#include "winapi_unix_p.h"

#include <QFileInfo>
#include <QString>
#include <QThread>

#include <cerrno>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

} // namespace

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD code)
{
    lastError = code;
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR fileName, DWORD size)
{
    if (!fileName || size == 0) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    const QString path = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    // Like Windows: a path that does not fit is cut, terminated, and reported
    // with the whole buffer's size.
    const DWORD length = DWORD(qMin<qsizetype>(path.size(), qsizetype(size) - 1));
    for (DWORD i = 0; i < length; ++i)
        fileName[i] = path.at(int(i)).unicode();
    fileName[length] = 0;
    if (DWORD(path.size()) >= size) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return size;
    }
    return length;
}

void Sleep(DWORD milliseconds)
{
    QThread::msleep(milliseconds);
}

DWORD errorFromErrno(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ESRCH:
        return ERROR_SERVICE_NOT_ACTIVE;
    default:
        return ERROR_GEN_FAILURE;
    }
}
