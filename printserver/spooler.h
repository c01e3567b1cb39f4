// Hands one print job to a local printer as one raw spooler document.
#ifndef SPOOLER_H
#define SPOOLER_H

#include <QtGlobal>

// Sends `size` bytes at `data` unchanged to the printer named by the
// NUL-terminated UTF-16 `printerName`. Returns 1 when the whole job reached
// the spooler, 0 otherwise; on failure nothing of the job stays queued.
int sendRawToPrinter(const char16_t *printerName, const void *data, quint32 size);

#endif // SPOOLER_H
