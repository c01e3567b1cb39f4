// Jobs written to a device, a shared printer (\\server\printer), a port
// (LPT1:) or a file through the Win32 file functions.
#include "deviceoutput.h"

#include <QIODevice>

#include <qt_windows.h>

DeviceOutput::DeviceOutput(const QString &path)
    : path(path)
{
}

Output::Result DeviceOutput::deliver(QIODevice &document, qint64 size, const QString &,
                                     const std::atomic<bool> &stopping)
{
    const std::wstring name = path.toStdWString();
    HANDLE device = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const QString reason = QStringLiteral("%1 cannot be opened: %2").arg(path, qt_error_string(int(error)));
        return { error == ERROR_ACCESS_DENIED ? Failed : Unavailable, reason };
    }

    // A regular file collects the jobs one after another.
    if (GetFileType(device) == FILE_TYPE_DISK) {
        LARGE_INTEGER end = {};
        SetFilePointerEx(device, end, nullptr, FILE_END);
    }

    Result result{ Delivered, QString() };
    Pieces pieces(document, size);
    while (pieces.next()) {
        if (stopping.load()) {
            result = { Unavailable, QStringLiteral("the service is stopping") };
            break;
        }
        DWORD written = 0;
        if (!WriteFile(device, pieces.data(), DWORD(pieces.size()), &written, nullptr)
            || written != DWORD(pieces.size())) {
            result = { Unavailable, QStringLiteral("%1 took not all %2 bytes: %3")
                                        .arg(path)
                                        .arg(size)
                                        .arg(qt_error_string(int(GetLastError()))) };
            break;
        }
    }
    if (pieces.hasFailed())
        result = pieces.failure();
    if (!CloseHandle(device) && result.outcome == Delivered)
        result = { Unavailable, QStringLiteral("%1 cannot be closed: %2").arg(path, qt_error_string(int(GetLastError()))) };
    return result;
}
