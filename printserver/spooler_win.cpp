// Raw print jobs through the Windows print spooler.
#include "spooler.h"

#include <qt_windows.h>
#include <winspool.h>

#include <cwchar>

int sendRawToPrinter(const char16_t *printerName, const void *data, quint32 size)
{
    HANDLE printer = nullptr;
    DWORD written = 0;
    auto name = const_cast<LPWSTR>(reinterpret_cast<const wchar_t *>(printerName));
    if (!OpenPrinterW(name, &printer, nullptr))
        return 0;

    wchar_t documentName[100];
    wchar_t dataType[20];
    wcsncpy(documentName, L"Quillport", 99);
    documentName[99] = 0;
    wcsncpy(dataType, L"RAW", 19);
    dataType[19] = 0;
    DOC_INFO_1W document;
    document.pDocName = documentName;
    document.pOutputFile = nullptr;
    document.pDatatype = dataType;

    if (!StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&document))) {
        ClosePrinter(printer);
        return 0;
    }

    // One page with the whole job in one write. A step that fails ends the
    // document (its part already spooled is dropped) and releases the printer.
    const bool pageDone = StartPagePrinter(printer)
        && WritePrinter(printer, const_cast<void *>(data), size, &written)
        && EndPagePrinter(printer);
    if (!pageDone) {
        AbortPrinter(printer);
        ClosePrinter(printer);
        return 0;
    }
    if (!EndDocPrinter(printer)) {
        AbortPrinter(printer);
        ClosePrinter(printer);
        return 0;
    }
    if (!ClosePrinter(printer))
        return 0;
    return written == size ? 1 : 0;
}
