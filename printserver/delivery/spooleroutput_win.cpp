// Jobs to the Windows print spooler through winspool.
#include "spooleroutput.h"

#include <QIODevice>

#include <qt_windows.h>
#include <winspool.h>

#include <cwchar>

namespace {

// Errors that mean the spooler service is not there right now (stopped,
// restarting, out of memory, busy) rather than that the job is wrong.
bool isTransient(DWORD error)
{
    switch (error) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_BUSY:
    case RPC_S_SERVER_UNAVAILABLE:
    case RPC_S_SERVER_TOO_BUSY:
    case RPC_S_CALL_FAILED:
    case RPC_S_CALL_FAILED_DNE:
    case EPT_S_NOT_REGISTERED:
    case ERROR_SERVICE_NOT_ACTIVE:
    case ERROR_NOT_READY:
        return true;
    default:
        return false;
    }
}

Output::Result failure(DWORD error, const std::atomic<bool> &stopping)
{
    if (stopping.load())
        return { Output::Unavailable, QStringLiteral("the service is stopping") };
    // A refusal of a spooler that answers (an unknown printer, a refused
    // document) ends the job at once.
    return { isTransient(error) ? Output::Unavailable : Output::Failed, qt_error_string(int(error)) };
}

} // namespace

Output::Description SpoolerOutput::describe(int) const
{
    // The driver stands for the make and model; the spooler takes raw data
    // in any format.
    Description description;
    std::wstring name = queue.toStdWString();
    HANDLE printer = nullptr;
    if (!OpenPrinterW(&name[0], &printer, nullptr))
        return description;
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    QByteArray buffer(int(needed), 0);
    if (needed > 0 && GetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(buffer.data()), needed, &needed)) {
        const auto info = reinterpret_cast<const PRINTER_INFO_2W *>(buffer.constData());
        if (info->pDriverName)
            description.makeAndModel = QString::fromWCharArray(info->pDriverName);
        if (info->pLocation)
            description.location = QString::fromWCharArray(info->pLocation);
    }
    ClosePrinter(printer);
    return description;
}

// Each delivery opens the printer anew.
struct SpoolerOutput::Session
{
};

SpoolerOutput::SpoolerOutput(const QString &queue)
    : queue(queue)
{
}

SpoolerOutput::~SpoolerOutput() = default;

Output::Result SpoolerOutput::deliver(QIODevice &document, qint64 size, const QString &title,
                                      const std::atomic<bool> &stopping)
{
    std::wstring name = queue.toStdWString();
    HANDLE printer = nullptr;
    if (!OpenPrinterW(&name[0], &printer, nullptr))
        return failure(GetLastError(), stopping);

    wchar_t documentName[100];
    wchar_t dataType[20];
    wcsncpy(documentName, title.toStdWString().c_str(), 99);
    documentName[99] = 0;
    wcsncpy(dataType, L"RAW", 19);
    dataType[19] = 0;
    DOC_INFO_1W info;
    info.pDocName = documentName;
    info.pOutputFile = nullptr;
    info.pDatatype = dataType;

    if (!StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&info))) {
        const DWORD error = GetLastError();
        ClosePrinter(printer);
        return failure(error, stopping);
    }

    // One page with the whole job, written in pieces. A step that fails
    // aborts the document (its part already spooled is dropped) and releases
    // the printer.
    bool done = StartPagePrinter(printer);
    Pieces pieces(document, size);
    while (done && pieces.next()) {
        DWORD written = 0;
        done = !stopping.load()
            && WritePrinter(printer, const_cast<char *>(pieces.data()), DWORD(pieces.size()), &written)
            && written == DWORD(pieces.size());
    }
    done = done && !pieces.hasFailed();
    done = done && EndPagePrinter(printer) && EndDocPrinter(printer);
    if (!done) {
        const DWORD error = GetLastError();
        AbortPrinter(printer);
        ClosePrinter(printer);
        if (pieces.hasFailed())
            return pieces.failure();
        return failure(error, stopping);
    }
    if (!ClosePrinter(printer))
        return failure(GetLastError(), stopping);
    return { Delivered, QString() };
}
