// Raw print jobs through CUPS, on the default server connection (so the
// CUPS_SERVER variable and client.conf choose the server).
#include "spooler.h"

#include <QString>

#include <cups/cups.h>

namespace {

const char DocumentName[] = "Quillport";

} // namespace

int sendRawToPrinter(const char16_t *printerName, const void *data, quint32 size)
{
    const QByteArray name = QString::fromUtf16(printerName).toUtf8();

    const int jobId = cupsCreateJob(CUPS_HTTP_DEFAULT, name.constData(), DocumentName, 0, nullptr);
    if (jobId <= 0)
        return 0;

    if (cupsStartDocument(CUPS_HTTP_DEFAULT, name.constData(), jobId, DocumentName, CUPS_FORMAT_RAW, 1)
        == HTTP_STATUS_CONTINUE) {
        const bool sent = size == 0
            || cupsWriteRequestData(CUPS_HTTP_DEFAULT, static_cast<const char *>(data), size)
                == HTTP_STATUS_CONTINUE;
        // The document request is ended even after a failed write, so that
        // the connection is ready for the cancel below.
        // Every status of the successful range counts, also "ok, but an
        // attribute was ignored".
        const bool finished = cupsFinishDocument(CUPS_HTTP_DEFAULT, name.constData()) <= IPP_STATUS_OK_EVENTS_COMPLETE;
        if (sent && finished)
            return 1;
    }

    // A job that did not arrive whole must not print in part or stay pending.
    cupsCancelJob2(CUPS_HTTP_DEFAULT, name.constData(), jobId, 0);
    return 0;
}
