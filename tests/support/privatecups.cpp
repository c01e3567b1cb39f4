// Runs a CUPS scheduler confined to a temporary folder: its configuration,
// spool, state, logs and sockets all live there, so tests neither need nor
// touch the machine's own print system.
#include "privatecups.h"

#include "childprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <thread>

#include <cups/cups.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char BackendScheme[] = "testjobs";

// Stores the job as "<job id>.prn" in the folder that its device URI names.
// The file gets that name only once the whole job is in it, so a test that
// sees the file sees the complete job. Exit 1 is CUPS_BACKEND_FAILED.
const char BackendScript[] = R"(#!/bin/sh
# Called without arguments to list devices: it has none to offer.
[ $# -eq 0 ] && exit 0
folder=${DEVICE_URI#testjobs:}
part="$folder/.$1.part"
if [ $# -ge 6 ]; then cat -- "$6"; else cat; fi > "$part" || exit 1
mv -- "$part" "$folder/$1.prn" || exit 1
)";

// A scheduler that outlives the test process (a crash, an abort) would keep
// its port and folder; the kernel ends it with its parent instead.
// A scheduler left behind cleans up its sockets on SIGTERM.
class SchedulerProcess : public ChildProcess
{
public:
    SchedulerProcess() : ChildProcess(SIGTERM) {}
};

QString findCupsd()
{
    const QStringList sbin{ QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin") };
    const QString found = QStandardPaths::findExecutable(QStringLiteral("cupsd"), sbin);
    return found.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("cupsd")) : found;
}

// The folder of cups-exec, through which the scheduler starts every backend.
QString findDaemonFolder()
{
    for (const char *candidate :
         { "/usr/lib/cups/daemon", "/usr/libexec/cups/daemon", "/usr/local/lib/cups/daemon" }) {
        const QString folder = QString::fromLatin1(candidate);
        if (QFileInfo(folder + QStringLiteral("/cups-exec")).isExecutable())
            return folder;
    }
    return QString();
}

// A loopback port that is free now. Another process could take it before the
// scheduler binds it; the scheduler then still serves its local socket.
quint16 freeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

http_t *connectTo(const QString &socketPath)
{
    return httpConnect2(QFile::encodeName(socketPath).constData(), ippPort(), nullptr, AF_UNSPEC,
                        HTTP_ENCRYPTION_NEVER, 1, 5000, nullptr);
}

QByteArray printerUri(const QString &queue)
{
    if (queue.isEmpty())
        return QByteArrayLiteral("ipp://localhost/");
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/printers/%s",
                     queue.toUtf8().constData());
    return QByteArray(uri);
}

bool succeeded()
{
    return cupsLastError() <= IPP_STATUS_OK_CONFLICTING;
}

// libcups keeps its default server and connection per thread, filled in on
// first use. The fixture talks to the scheduler from a thread of its own, so
// that the test's thread still picks up CUPS_SERVER when it first needs it.
template <typename Function>
auto onOwnThread(Function function) -> decltype(function())
{
    decltype(function()) result{};
    std::thread worker([&] { result = function(); });
    worker.join();
    return result;
}

} // namespace

PrivateCups::PrivateCups() = default;

PrivateCups::~PrivateCups()
{
    stop();
}

bool PrivateCups::isInstalled()
{
    return !findCupsd().isEmpty() && !findDaemonFolder().isEmpty();
}

QString PrivateCups::folder() const
{
    return dir ? dir->path() : QString();
}

QString PrivateCups::serverName() const
{
    return dir ? dir->filePath(QStringLiteral("cups.sock")) : QString();
}

bool PrivateCups::isRunning() const
{
    return process && process->state() == QProcess::Running;
}

QString PrivateCups::jobFolder(const QString &queue) const
{
    return dir->filePath(QStringLiteral("jobs/") + queue);
}

bool PrivateCups::writeFile(const QString &name, const QByteArray &contents, int permissions)
{
    QFile file(dir->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()
        || !file.setPermissions(QFileDevice::Permissions(permissions))) {
        error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

bool PrivateCups::start()
{
    stop();
    error.clear();
    const QString cupsd = findCupsd();
    const QString daemonFolder = findDaemonFolder();
    if (cupsd.isEmpty() || daemonFolder.isEmpty()) {
        error = QStringLiteral("cupsd or cups-exec is not installed");
        return false;
    }

    dir.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/privatecups-XXXXXX")));
    if (!dir->isValid()) {
        error = QStringLiteral("cannot create a temporary folder: ") + dir->errorString();
        return false;
    }
    // sun_path holds 108 bytes, the terminating NUL included.
    if (QFile::encodeName(serverName()).size() > 107) {
        error = QStringLiteral("the socket path is too long: ") + serverName();
        return false;
    }
    tcpPort = freeLoopbackPort();
    if (tcpPort == 0) {
        error = QStringLiteral("no free loopback port");
        return false;
    }

    QDir root(dir->path());
    for (const char *sub : { "bin/backend", "spool", "cache", "state", "log", "tmp", "jobs" }) {
        if (!root.mkpath(QString::fromLatin1(sub))) {
            error = QStringLiteral("cannot create %1 in %2").arg(QString::fromLatin1(sub), root.path());
            return false;
        }
    }
    // The scheduler runs every backend through ServerBin/daemon/cups-exec.
    if (!QFile::link(daemonFolder, dir->filePath(QStringLiteral("bin/daemon")))) {
        error = QStringLiteral("cannot link %1 into %2").arg(daemonFolder, root.path());
        return false;
    }
    // A backend private to its owner runs as that owner (root included)
    // rather than as lp, who could not reach this folder.
    if (!writeFile(QStringLiteral("bin/backend/") + QLatin1String(BackendScheme), BackendScript,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
        return false;

    const QByteArray path = QFile::encodeName(dir->path());
    QByteArray files = "ServerRoot " + path + "\nServerBin " + path + "/bin\nRequestRoot " + path
        + "/spool\nTempDir " + path + "/tmp\nCacheDir " + path + "/cache\nStateDir " + path
        + "/state\nAccessLog " + path + "/log/access_log\nErrorLog " + path + "/log/error_log\nPageLog " + path
        + "/log/page_log\nPrintcap " + path + "/printcap\n";
    if (geteuid() == 0)
        files += "User lp\nGroup lp\nSystemGroup root\n";
    // Anyone who reaches the sockets may do anything and see every job
    // attribute, document names included: the scheduler serves this test only.
    const QByteArray config = "Listen 127.0.0.1:" + QByteArray::number(tcpPort) + "\nListen " + path
        + "/cups.sock\n"
          "Browsing No\n"
          "BrowseLocalProtocols none\n"
          "WebInterface No\n"
          "ErrorPolicy abort-job\n"
          "LogLevel info\n"
          "DefaultPolicy test\n"
          "<Policy test>\n"
          "  JobPrivateAccess all\n"
          "  JobPrivateValues none\n"
          "  SubscriptionPrivateAccess all\n"
          "  SubscriptionPrivateValues none\n"
          "  <Limit All>\n"
          "    Order deny,allow\n"
          "  </Limit>\n"
          "</Policy>\n"
          "<Location />\n"
          "  Order allow,deny\n"
          "  Allow all\n"
          "</Location>\n"
        + extraConfig;
    const int configMode = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
        | QFileDevice::ReadOther;
    if (!writeFile(QStringLiteral("cups-files.conf"), files, configMode)
        || !writeFile(QStringLiteral("cupsd.conf"), config, configMode))
        return false;

    return launch(cupsd);
}

bool PrivateCups::restart()
{
    if (!dir) {
        error = QStringLiteral("the scheduler was never started");
        return false;
    }
    stop();
    return launch(findCupsd());
}

bool PrivateCups::launch(const QString &cupsd)
{
    process.reset(new SchedulerProcess);
    process->setStandardOutputFile(dir->filePath(QStringLiteral("log/cupsd.out")), QIODevice::Append);
    process->setStandardErrorFile(dir->filePath(QStringLiteral("log/cupsd.out")), QIODevice::Append);
    process->start(cupsd, { QStringLiteral("-f"), QStringLiteral("-c"),
                            dir->filePath(QStringLiteral("cupsd.conf")), QStringLiteral("-s"),
                            dir->filePath(QStringLiteral("cups-files.conf")) });
    if (!process->waitForStarted(10000)) {
        error = QStringLiteral("cannot start %1: %2").arg(cupsd, process->errorString());
        process.reset();
        return false;
    }
    if (!waitUntilAnswering(10000)) {
        stop();
        return false;
    }
    return true;
}

bool PrivateCups::waitUntilAnswering(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    const QString socketPath = serverName();
    for (;;) {
        const bool answered = onOwnThread([&socketPath] {
            http_t *http = connectTo(socketPath);
            if (!http)
                return false;
            ipp_t *request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
            ippDelete(cupsDoRequest(http, request, "/"));
            // No printers yet is an answer too.
            const bool ok = succeeded() || cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND;
            httpClose(http);
            return ok;
        });
        if (answered)
            return true;
        // Doubles as the pause between attempts.
        if (process->waitForFinished(10)) {
            error = QStringLiteral("cupsd exited with code %1: %2")
                        .arg(QString::number(process->exitCode()), errorLogTail());
            return false;
        }
        if (deadline.hasExpired()) {
            error = QStringLiteral("cupsd does not answer on %1: %2").arg(serverName(), errorLogTail());
            return false;
        }
    }
}

void PrivateCups::stop()
{
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished(10000);
        }
    }
    process.reset();
}

QString PrivateCups::errorLogTail() const
{
    QString text;
    for (const char *name : { "log/cupsd.out", "log/error_log" }) {
        QFile file(dir->filePath(QString::fromLatin1(name)));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromLocal8Bit(file.readAll().right(2000));
    }
    return text.isEmpty() ? QStringLiteral("(no log)") : text;
}

bool PrivateCups::addQueue(const QString &name)
{
    if (!QDir().mkpath(jobFolder(name))) {
        error = QStringLiteral("cannot create ") + jobFolder(name);
        return false;
    }
    return modifyQueue(name, true);
}

bool PrivateCups::setAccepting(const QString &name, bool accepting)
{
    return modifyQueue(name, accepting);
}

bool PrivateCups::setEnabled(const QString &name, bool enabled)
{
    if (!isRunning()) {
        error = QStringLiteral("the scheduler is not running");
        return false;
    }
    // What cupsdisable and cupsenable send: the scheduler looks at the
    // queue's jobs again at once when it resumes.
    const QString socketPath = serverName();
    const QString failure = onOwnThread([&] {
        http_t *http = connectTo(socketPath);
        if (!http)
            return QStringLiteral("cannot connect to ") + socketPath;
        ipp_t *request = ippNewRequest(enabled ? IPP_OP_RESUME_PRINTER : IPP_OP_PAUSE_PRINTER);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     printerUri(name).constData());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippDelete(cupsDoRequest(http, request, "/admin/"));
        const QString reason = succeeded()
            ? QString()
            : QStringLiteral("cannot %1 queue %2: %3")
                  .arg(enabled ? QStringLiteral("resume") : QStringLiteral("pause"), name,
                       QString::fromUtf8(cupsLastErrorString()));
        httpClose(http);
        return reason;
    });
    if (!failure.isEmpty())
        error = failure;
    return failure.isEmpty();
}

bool PrivateCups::freeze(bool frozen)
{
    if (!isRunning()) {
        error = QStringLiteral("the scheduler is not running");
        return false;
    }
    return ::kill(pid_t(process->processId()), frozen ? SIGSTOP : SIGCONT) == 0;
}

bool PrivateCups::modifyQueue(const QString &name, bool accepting)
{
    if (!isRunning()) {
        error = QStringLiteral("the scheduler is not running");
        return false;
    }
    // What "lpadmin -p NAME -E -v URI" sends: a raw queue (no driver) on our
    // backend, enabled and accepting jobs (or, as cupsreject leaves it, not).
    const QString socketPath = serverName();
    const QByteArray deviceUri = QByteArray(BackendScheme) + ':' + QFile::encodeName(jobFolder(name));
    const QString failure = onOwnThread([&] {
        http_t *http = connectTo(socketPath);
        if (!http)
            return QStringLiteral("cannot connect to ") + socketPath;
        ipp_t *request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     printerUri(name).constData());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, deviceUri.constData());
        ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", accepting ? 1 : 0);
        ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
        ippDelete(cupsDoRequest(http, request, "/admin/"));
        const QString reason = succeeded()
            ? QString()
            : QStringLiteral("cannot set up queue %1: %2").arg(name, QString::fromUtf8(cupsLastErrorString()));
        httpClose(http);
        return reason;
    });
    if (!failure.isEmpty())
        error = failure;
    return failure.isEmpty();
}

QStringList PrivateCups::jobFiles(const QString &queue) const
{
    if (!dir)
        return {};
    QStringList files = QDir(jobFolder(queue)).entryList({ QStringLiteral("*.prn") }, QDir::Files);
    std::sort(files.begin(), files.end(), [](const QString &a, const QString &b) {
        return a.section(QLatin1Char('.'), 0, 0).toInt() < b.section(QLatin1Char('.'), 0, 0).toInt();
    });
    return files;
}

QByteArray PrivateCups::jobData(const QString &queue, const QString &file) const
{
    QFile job(jobFolder(queue) + QLatin1Char('/') + file);
    return job.open(QIODevice::ReadOnly) ? job.readAll() : QByteArray();
}

QList<QByteArray> PrivateCups::documents(const QString &queue) const
{
    QList<QByteArray> contents;
    const QStringList files = jobFiles(queue);
    for (const QString &file : files)
        contents.append(jobData(queue, file));
    return contents;
}

bool PrivateCups::waitForJobs(const QString &queue, int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (jobFiles(queue).size() < count) {
        if (deadline.hasExpired())
            return false;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    return true;
}

QList<PrivateCups::Job> PrivateCups::jobs(const QString &queue, bool *ok) const
{
    bool answered = false;
    QList<Job> list;
    if (dir) {
        const QString socketPath = serverName();
        list = onOwnThread([&] { return askJobs(socketPath, queue, answered); });
    }
    if (ok)
        *ok = answered;
    return list;
}

QList<PrivateCups::Job> PrivateCups::askJobs(const QString &socketPath, const QString &queue, bool &answered)
{
    QList<Job> list;
    http_t *http = connectTo(socketPath);
    if (!http)
        return list;

    static const char *const attributes[] = { "job-id", "job-state", "job-name", "document-name-supplied",
                                              "job-printer-uri" };
    ipp_t *request = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(queue).constData());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    ippAddBoolean(request, IPP_TAG_OPERATION, "my-jobs", 0);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  int(sizeof attributes / sizeof *attributes), nullptr, attributes);
    ipp_t *response = cupsDoRequest(http, request, "/");
    answered = response && succeeded();

    // The jobs come one after the other in the job group, each group ended by
    // a separator.
    Job job;
    auto flush = [&] {
        if (job.id > 0)
            list.append(job);
        job = Job();
    };
    for (ipp_attribute_t *a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
        const char *name = ippGetName(a);
        if (!name || ippGetGroupTag(a) != IPP_TAG_JOB) {
            flush();
            continue;
        }
        const QByteArray attribute(name);
        if (attribute == "job-id")
            job.id = ippGetInteger(a, 0);
        else if (attribute == "job-state")
            job.state = ippGetInteger(a, 0);
        else if (attribute == "job-name")
            job.name = QString::fromUtf8(ippGetString(a, 0, nullptr));
        else if (attribute == "document-name-supplied")
            job.documentName = QString::fromUtf8(ippGetString(a, 0, nullptr));
        else if (attribute == "job-printer-uri")
            job.queue = QString::fromUtf8(ippGetString(a, 0, nullptr)).section(QLatin1Char('/'), -1);
    }
    flush();
    ippDelete(response);
    httpClose(http);

    std::sort(list.begin(), list.end(), [](const Job &a, const Job &b) { return a.id < b.id; });
    return list;
}

QList<PrivateCups::Job> PrivateCups::pendingJobs(const QString &queue, bool *ok) const
{
    QList<Job> pending = jobs(queue, ok);
    pending.erase(std::remove_if(pending.begin(), pending.end(), [](const Job &job) { return !job.isPending(); }),
                  pending.end());
    return pending;
}
