// The receiving side of the line printer daemon protocol.
#include "lpdconnection.h"

#include "jobstore.h"
#include "logger.h"

namespace {

// Command and subcommand lines are short; control files hold a few lines.
const int MaxLine = 1024;
const qint64 MaxControlFile = 64 * 1024;
const size_t MaxDataFiles = 100;
// A count of 0, or one past any real job (some clients send such a number
// when they do not count), means the data file ends with the connection.
const qint64 LargestCount = qint64(1) << 40;

const char Acknowledge = 0;

// The count of a "receive file" subcommand: "count name"; -1 when it is
// not one.
qint64 fileCount(const QByteArray &operands)
{
    const int blank = operands.indexOf(' ');
    const QByteArray digits = operands.left(blank);
    if (blank <= 0 || digits.size() > 20 || operands.size() == blank + 1)
        return -1;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return -1;
    }
    bool ok = false;
    const qulonglong count = digits.toULongLong(&ok);
    return !ok || count >= qulonglong(LargestCount) ? 0 : qint64(count);
}

QString printable(const QByteArray &text)
{
    return QString::fromUtf8(text).left(200);
}

} // namespace

LpdConnection::LpdConnection(qintptr socket, const QString &peer, const JobIntake &intake, QObject *parent)
    : Connection(socket, peer, intake, parent)
{
}

LpdConnection::~LpdConnection() = default;

void LpdConnection::received(const char *data, qint64 size)
{
    while (size > 0 && !isEnded()) {
        const qint64 used = take(data, size);
        data += used;
        size -= used;
    }
}

qint64 LpdConnection::take(const char *data, qint64 size)
{
    switch (state) {
    case State::Command:
    case State::Subcommand: {
        const char *end = static_cast<const char *>(memchr(data, '\n', size_t(size)));
        const qint64 used = end ? end - data + 1 : size;
        line.append(data, int(end ? used - 1 : used));
        if (line.size() > MaxLine) {
            drop(QStringLiteral("a command line is longer than %1 bytes").arg(MaxLine));
            return size;
        }
        if (end) {
            const QByteArray complete = line;
            line.clear();
            if (state == State::Command)
                command(complete);
            else
                subcommand(complete);
        }
        return used;
    }
    case State::ControlFile: {
        const qint64 used = qMin(size, remaining);
        control.append(data, int(used));
        remaining -= used;
        if (remaining == 0)
            state = State::Trailer;
        return used;
    }
    case State::DataFile:
    case State::DataToEnd: {
        const qint64 used = state == State::DataFile ? qMin(size, remaining) : size;
        if (!documents.back()->append(data, used)) {
            // Its store has said why.
            documents.clear();
            control.clear();
            abort();
            return size;
        }
        remaining -= used;
        if (state == State::DataFile && remaining == 0)
            state = State::Trailer;
        return used;
    }
    case State::Trailer:
        if (*data != 0) {
            drop(QStringLiteral("a file does not end with a zero byte"));
            return size;
        }
        fileDone();
        return 1;
    }
    return size;
}

bool LpdConnection::acknowledge()
{
    if (reply(QByteArray(1, Acknowledge)))
        return true;
    drop(QStringLiteral("the client takes no answer"));
    return false;
}

void LpdConnection::command(const QByteArray &text)
{
    const char code = text.isEmpty() ? 0 : text.at(0);
    queue = printable(text.mid(1).split(' ').value(0));
    switch (code) {
    case 1: // print any waiting jobs: they are printed anyway
        acknowledge();
        close();
        return;
    case 2: // receive a printer job
        if (acknowledge())
            state = State::Subcommand;
        return;
    case 3: // queue state, short or long
    case 4:
        reply((intake.queueState() + QLatin1Char('\n')).toUtf8());
        close();
        return;
    case 5: // remove jobs
        intake.logger->log(QStringLiteral("LPD command from %1 refused: removing jobs from queue \"%2\" is not "
                                          "supported")
                               .arg(peer, queue),
                           Logger::Error);
        reply(QByteArrayLiteral("Removing jobs is not supported\n"));
        close();
        return;
    default:
        drop(QStringLiteral("%1 is no command").arg(code < ' ' ? QStringLiteral("byte %1").arg(int(quint8(code)))
                                                               : QStringLiteral("\"%1\"").arg(QLatin1Char(code))));
    }
}

void LpdConnection::subcommand(const QByteArray &text)
{
    const char code = text.isEmpty() ? 0 : text.at(0);
    if (code == 1) {
        // Abort: what this job received so far goes.
        documents.clear();
        control.clear();
        haveControl = false;
        acknowledge();
        return;
    }
    if (code != 2 && code != 3) {
        drop(QStringLiteral("byte %1 is no subcommand").arg(int(quint8(code))));
        return;
    }
    const qint64 count = fileCount(text.mid(1));
    if (count < 0) {
        drop(QStringLiteral("\"%1\" names no file size and name").arg(printable(text.mid(1))));
        return;
    }
    if (code == 2) {
        if (count == 0 || count > MaxControlFile) {
            drop(QStringLiteral("a control file of %1 bytes").arg(count));
            return;
        }
        control.clear();
        haveControl = false;
        receivingControl = true;
        remaining = count;
        state = State::ControlFile;
    } else {
        receivingControl = false;
        if (documents.size() >= MaxDataFiles) {
            drop(QStringLiteral("more than %1 data files").arg(MaxDataFiles));
            return;
        }
        documents.push_back(intake.store->create(peer));
        remaining = count;
        state = count == 0 ? State::DataToEnd : State::DataFile;
    }
    acknowledge();
}

void LpdConnection::fileDone()
{
    // A complete data file waits for the rest of its job without a file
    // of its own open.
    if (!receivingControl)
        documents.back()->close();
    haveControl = haveControl || receivingControl;
    state = State::Subcommand;
    acknowledge();
}

void LpdConnection::completeJob()
{
    if (!haveControl) {
        drop(QStringLiteral("it has no control file"));
        return;
    }
    if (documents.empty()) {
        drop(QStringLiteral("it has no data file"));
        return;
    }

    // The control file's lines the log and the spooler are told.
    QString jobName, user, host;
    for (const QByteArray &entry : control.split('\n')) {
        const QString value = printable(entry.mid(1));
        switch (entry.isEmpty() ? 0 : entry.at(0)) {
        case 'J':
            jobName = value;
            break;
        case 'N':
            if (jobName.isEmpty())
                jobName = value;
            break;
        case 'P':
            user = value;
            break;
        case 'H':
            host = value;
            break;
        default:
            break;
        }
    }
    intake.logger->log(QStringLiteral("LPD job from %1 for queue \"%2\": %3 file(s) from user \"%4\" on host \"%5\"")
                           .arg(peer, queue)
                           .arg(documents.size())
                           .arg(user, host),
                       Logger::Info);
    int index = 0;
    for (const std::unique_ptr<IncomingJob> &document : documents) {
        PrintJob job = intake.job(peer);
        if (!jobName.isEmpty())
            job.title = jobName;
        job.attributes = { { QStringLiteral("user"), user, true },
                           { QStringLiteral("job"), jobName, true },
                           { QStringLiteral("host"), host, false },
                           { QStringLiteral("document"),
                             QStringLiteral("%1 of %2").arg(++index).arg(documents.size()), false } };
        // A document that cannot be kept is dropped with a line of its
        // store's; the others go on.
        if (document->commit(job))
            intake.enqueue(job);
    }
    documents.clear();
}

void LpdConnection::finished()
{
    switch (state) {
    case State::Command:
        if (!line.isEmpty())
            drop(QStringLiteral("the connection ended in the middle of a command"));
        return;
    case State::Subcommand:
        if (!line.isEmpty())
            drop(QStringLiteral("the connection ended in the middle of a subcommand"));
        else
            completeJob();
        return;
    case State::DataToEnd:
        completeJob();
        return;
    case State::ControlFile:
    case State::DataFile:
    case State::Trailer:
        drop(QStringLiteral("the connection ended in the middle of a file"));
        return;
    }
}

void LpdConnection::drop(const QString &why)
{
    qint64 bytes = control.size();
    for (const std::unique_ptr<IncomingJob> &document : documents)
        bytes += document->discard();
    intake.logger->log(QStringLiteral("LPD job from %1 dropped after %2 bytes: %3").arg(peer).arg(bytes).arg(why),
                       Logger::Error);
    documents.clear();
    control.clear();
    abort();
}

void LpdConnection::broken(const QString &reason)
{
    drop(QStringLiteral("the connection broke (%1)").arg(reason));
}

void LpdConnection::timedOut(int idleSeconds)
{
    drop(QStringLiteral("the client sent nothing for %1 s").arg(idleSeconds));
}

void LpdConnection::stopped()
{
    // A job is complete only with the end of the connection.
    drop(QStringLiteral("the service is stopping"));
}
