// Jobs to CUPS, on a scheduler connection of the delivery thread's own (the
// CUPS_SERVER variable and client.conf choose the server), with a time
// limit on every wait so that a scheduler that hangs cannot hold the thread.
#include "spooleroutput.h"

#include <QIODevice>

#include <cups/cups.h>

namespace {

const int ConnectTimeoutMs = 10000;
// Seconds a scheduler may leave a request without an answer before the job
// counts as "not there right now"; a cancel gets less.
const int SchedulerTimeout = 30;
const int CancelTimeout = 2;

// Asked by libcups after every second without progress.
struct Waiting
{
    const std::atomic<bool> *stopping;
    int limit;
    int seconds = 0;
    bool gaveUp = false;
};

int keepWaiting(http_t *, void *data)
{
    auto waiting = static_cast<Waiting *>(data);
    if (waiting->stopping->load() || ++waiting->seconds >= waiting->limit) {
        waiting->gaveUp = true;
        return 0;
    }
    return 1;
}

// libcups's object for a scheduler connection, closed when it goes. Making
// one zeroes some 100 KiB, so a printer's deliveries keep theirs from job to
// job and connect it anew for each.
struct Connection
{
    ~Connection()
    {
        if (http)
            httpClose(http);
    }

    http_t *http = nullptr;
};

// The scheduler, connected for one request or job on `connection`.
class Scheduler
{
public:
    Scheduler(Connection &connection, const std::atomic<bool> &stopping, int limit)
        : waiting{ &stopping, limit }
    {
        // Made without connecting (a time of 0); connecting closes an
        // earlier job's connection first.
        if (!connection.http) {
            connection.http =
                httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 0, nullptr);
        }
        if (connection.http && httpReconnect2(connection.http, ConnectTimeoutMs, nullptr) == 0) {
            http = connection.http;
            httpSetTimeout(http, 1.0, keepWaiting, &waiting);
        } else if (connection.http && cupsServer()[0] != '/') {
            // A scheduler named by host is looked up again next time: its
            // address may have changed.
            httpClose(connection.http);
            connection.http = nullptr;
        }
    }
    ~Scheduler()
    {
        if (!http)
            return;
        // The scheduler is not left with an idle client; the descriptor
        // goes with the next connection, or with the object.
        httpSetTimeout(http, 1.0, nullptr, nullptr);
        httpShutdown(http);
    }
    // Progress was made: the time limit starts again.
    void progressed() { waiting.seconds = 0; }

    http_t *http = nullptr;
    Waiting waiting;
};

// Errors that mean the scheduler or the queue cannot take the job now but
// may later: the scheduler restarting or gone, a queue that rejects jobs
// for a while, a busy or failing device, a scheduler at its limit of
// active jobs (which it reports as "not possible").
bool isTransient(ipp_status_t status)
{
    switch (status) {
    case IPP_STATUS_ERROR_NOT_POSSIBLE:
    case IPP_STATUS_ERROR_INTERNAL: // also what libcups reports for a broken connection
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
    case IPP_STATUS_ERROR_DEVICE:
    case IPP_STATUS_ERROR_TEMPORARY:
    case IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS:
    case IPP_STATUS_ERROR_BUSY:
    case IPP_STATUS_ERROR_TOO_MANY_JOBS:
    case IPP_STATUS_ERROR_TIMEOUT:
        return true;
    default:
        return false;
    }
}

Output::Result failure(const Scheduler &scheduler, const std::atomic<bool> &stopping)
{
    if (stopping.load())
        return { Output::Unavailable, QStringLiteral("the service is stopping") };
    if (scheduler.waiting.gaveUp)
        return { Output::Unavailable, QStringLiteral("the scheduler did not answer for %1 s").arg(SchedulerTimeout) };
    // A refusal from a scheduler that answers (an unknown queue, a refused
    // document) ends the job at once.
    const QString reason = QString::fromUtf8(cupsLastErrorString());
    return { isTransient(cupsLastError()) ? Output::Unavailable : Output::Failed, reason };
}

// Create-Job on the connection given. libcups's cupsCreateJob would first
// look the queue up with requests of its own, on a connection of its own
// without the time limit.
int createJob(http_t *http, const QByteArray &queue, const QByteArray &title)
{
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/printers/%s",
                     queue.constData());
    ipp_t *request = ippNewRequest(IPP_OP_CREATE_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.constData());
    ipp_t *response = cupsDoRequest(http, request, (QByteArrayLiteral("/printers/") + queue).constData());
    ipp_attribute_t *id = response && cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE
        ? ippFindAttribute(response, "job-id", IPP_TAG_INTEGER)
        : nullptr;
    const int jobId = id ? ippGetInteger(id, 0) : 0;
    ippDelete(response);
    return jobId;
}

void cancel(const QByteArray &queue, int jobId)
{
    const std::atomic<bool> notStopping(false);
    Connection connection;
    Scheduler scheduler(connection, notStopping, CancelTimeout);
    if (scheduler.http)
        cupsCancelJob2(scheduler.http, queue.constData(), jobId, 0);
}

} // namespace

Output::Description SpoolerOutput::describe(int timeoutMs) const
{
    Description description;
    const std::atomic<bool> notStopping(false);
    Connection connection;
    Scheduler scheduler(connection, notStopping, qMax(1, timeoutMs / 1000));
    if (!scheduler.http)
        return description;
    const QByteArray name = queue.toUtf8();
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/printers/%s",
                     name.constData());
    static const char *const wanted[] = { "printer-make-and-model", "document-format-supported", "printer-location" };
    ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr, wanted);
    ipp_t *response = cupsDoRequest(scheduler.http, request, "/");
    if (ipp_attribute_t *attribute = ippFindAttribute(response, wanted[0], IPP_TAG_TEXT))
        description.makeAndModel = QString::fromUtf8(ippGetString(attribute, 0, nullptr));
    if (ipp_attribute_t *attribute = ippFindAttribute(response, wanted[1], IPP_TAG_MIMETYPE)) {
        for (int i = 0; i < ippGetCount(attribute); ++i)
            description.formats << QString::fromUtf8(ippGetString(attribute, i, nullptr));
    }
    if (ipp_attribute_t *attribute = ippFindAttribute(response, wanted[2], IPP_TAG_TEXT))
        description.location = QString::fromUtf8(ippGetString(attribute, 0, nullptr));
    ippDelete(response);
    return description;
}

struct SpoolerOutput::Session : Connection
{
};

SpoolerOutput::SpoolerOutput(const QString &queue)
    : queue(queue), session(std::make_unique<Session>())
{
}

SpoolerOutput::~SpoolerOutput() = default;

Output::Result SpoolerOutput::deliver(QIODevice &document, qint64 size, const QString &title,
                                      const std::atomic<bool> &stopping)
{
    const QByteArray name = queue.toUtf8();
    const QByteArray jobTitle = title.toUtf8();

    Scheduler scheduler(*session, stopping, SchedulerTimeout);
    if (!scheduler.http)
        return { Unavailable, QStringLiteral("no connection to the scheduler at %1: %2")
                                  .arg(QString::fromUtf8(cupsServer()), QString::fromUtf8(cupsLastErrorString())) };

    const int jobId = createJob(scheduler.http, name, jobTitle);
    if (jobId <= 0)
        return failure(scheduler, stopping);

    bool sent = cupsStartDocument(scheduler.http, name.constData(), jobId, jobTitle.constData(), CUPS_FORMAT_RAW, 1)
        == HTTP_STATUS_CONTINUE;
    Pieces pieces(document, size);
    while (sent && pieces.next()) {
        scheduler.progressed();
        sent = !stopping.load()
            && cupsWriteRequestData(scheduler.http, pieces.data(), size_t(pieces.size())) == HTTP_STATUS_CONTINUE;
    }
    sent = sent && !pieces.hasFailed();
    if (sent) {
        scheduler.progressed();
        // Every status of the successful range counts, also "ok, but an
        // attribute was ignored".
        if (cupsFinishDocument(scheduler.http, name.constData()) <= IPP_STATUS_OK_EVENTS_COMPLETE)
            return { Delivered, QString() };
    }

    const Result result = pieces.hasFailed() ? pieces.failure() : failure(scheduler, stopping);
    cancel(name, jobId);
    return result;
}
