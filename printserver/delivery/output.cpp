// The choice of a printer's output.
#include "output.h"

#include "deviceoutput.h"
#include "printerconfig.h"
#include "socketoutput.h"
#include "spooleroutput.h"

#include <QFileInfo>
#include <QIODevice>
#include <QUrl>

namespace {

const quint16 RawPrintingPort = 9100;

} // namespace

int Output::stallNoticeMs = 60000;

void Output::Stall::moved()
{
    since.restart();
    if (!told)
        return;
    told = false;
    if (output.notices)
        output.notices(QStringLiteral("%1 reads again").arg(printer), false);
}

void Output::Stall::idle()
{
    if (told || !since.hasExpired(stallNoticeMs))
        return;
    told = true;
    if (output.notices)
        output.notices(QStringLiteral("%1 has read nothing for %2 s; waiting").arg(printer).arg(stallNoticeMs / 1000),
                       true);
}

Output::Pieces::Pieces(QIODevice &document, qint64 size)
    : document(document), total(size), buffer(int(qMin(size, ChunkSize)), Qt::Uninitialized)
{
}

bool Output::Pieces::next()
{
    length = 0;
    if (done >= total)
        return false;
    const qint64 got = document.read(buffer.data(), qMin(total - done, qint64(buffer.size())));
    if (got <= 0) {
        failed = { Failed, QStringLiteral("the job cannot be read: %1").arg(document.errorString()) };
        return false;
    }
    length = got;
    done += got;
    return true;
}

Output::Description Output::describe(int) const
{
    return {};
}

std::unique_ptr<Output> Output::create(const PrinterConfig &printer, QString *error)
{
    const QString text = printer.output;
    if (text.isEmpty())
        return std::make_unique<SpoolerOutput>(printer.localname);

    if (text.startsWith(QLatin1String("device:"))) {
        const QString path = text.mid(7);
        if (path.isEmpty()) {
            *error = QStringLiteral("it names no device");
            return nullptr;
        }
        const QFileInfo device(path);
        if (device.isRelative()) {
            *error = QStringLiteral("the device path is not absolute");
            return nullptr;
        }
        // A device that is unplugged may be gone for a while; the folder it
        // appears in is not.
        if (!QFileInfo(device.path()).isDir()) {
            *error = QStringLiteral("the folder %1 does not exist").arg(device.path());
            return nullptr;
        }
        return std::make_unique<DeviceOutput>(path);
    }

    if (text.startsWith(QLatin1String("socket://"))) {
        const QUrl url(text, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty() || !url.path().isEmpty() || url.hasQuery()
            || !url.userInfo().isEmpty() || url.port() == 0) {
            *error = QStringLiteral("it is not of the form socket://host:port");
            return nullptr;
        }
        return std::make_unique<SocketOutput>(url.host(), quint16(url.port(RawPrintingPort)));
    }

    *error = QStringLiteral("it is neither empty, device:/path nor socket://host:port");
    return nullptr;
}
