// One very large job through the quillport program: 1 GiB sent over
// loopback must be stored whole. The test never holds the job in memory: it
// makes the bytes piece by piece and hashes them as they go out, and hashes
// the stored file as it reads it back.
#include "netclient.h"
#include "quillportchild.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QRandomGenerator64>
#include <QRegularExpression>
#include <QtTest>

#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Program = QStringLiteral(QUILLPORT_PATH);
const int Timeout = 600000;
const qint64 Piece = 4 * 1024 * 1024;

// The size of the job: 1 GiB, or as many MiB as QUILLPORT_BIGJOB_MIB says.
qint64 jobSize()
{
    bool ok = false;
    const int mib = qEnvironmentVariableIntValue("QUILLPORT_BIGJOB_MIB", &ok);
    return qint64(ok && mib > 0 ? mib : 1024) * 1024 * 1024;
}

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
}

// Sends `size` pseudo-random bytes made from `seed` to 127.0.0.1:port, shuts
// its sending side and waits for the server's orderly close; the hash of
// every byte sent, or an empty array and `error`.
QByteArray sendJob(quint16 port, qint64 size, quint64 seed, QString &error)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = systemError("socket");
        return QByteArray();
    }
    // Blocking sends, each bounded in time.
    const timeval limit = { 60, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
        error = systemError("connect");
        ::close(fd);
        return QByteArray();
    }

    QCryptographicHash hash(QCryptographicHash::Sha1);
    QRandomGenerator64 generator(seed);
    std::vector<quint64> words(size_t(Piece / 8));
    for (qint64 done = 0; done < size;) {
        generator.fillRange(words.data(), qsizetype(words.size()));
        const char *bytes = reinterpret_cast<const char *>(words.data());
        const qint64 length = qMin(Piece, size - done);
        hash.addData(bytes, int(length));
        for (qint64 sent = 0; sent < length;) {
            const ssize_t n = ::send(fd, bytes + sent, size_t(length - sent), MSG_NOSIGNAL);
            if (n <= 0) {
                error = systemError("send") + QStringLiteral(" after %1 bytes").arg(done + sent);
                ::close(fd);
                return QByteArray();
            }
            sent += n;
        }
        done += length;
    }
    if (::shutdown(fd, SHUT_WR) != 0) {
        error = systemError("shutdown");
        ::close(fd);
        return QByteArray();
    }
    // The server reads the last bytes, stores the job, then closes.
    pollfd entry = { fd, POLLIN, 0 };
    char byte = 0;
    const int ready = ::poll(&entry, 1, Timeout);
    const ssize_t got = ready > 0 ? ::recv(fd, &byte, 1, 0) : -1;
    ::close(fd);
    if (got != 0) {
        error = ready == 0 ? QStringLiteral("the server did not close the connection")
                           : QStringLiteral("no orderly close from the server");
        return QByteArray();
    }
    return hash.result();
}

QByteArray fileHash(const QString &path, qint64 &size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray buffer(int(Piece), Qt::Uninitialized);
    size = 0;
    for (;;) {
        const qint64 n = file.read(buffer.data(), Piece);
        if (n <= 0)
            break;
        hash.addData(buffer.constData(), int(n));
        size += n;
    }
    return hash.result();
}

} // namespace

class tst_BigJob : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void storedWhole();
};

void tst_BigJob::initTestCase()
{
    QVERIFY2(QFileInfo(Program).isExecutable(), qPrintable(Program));
}

void tst_BigJob::storedWhole()
{
    const qint64 size = jobSize();
    QuillportChild child(Program);
    const quint16 port = freePort();
    QVERIFY(port != 0);
    const QJsonObject printer{ { QStringLiteral("localname"), QStringLiteral("Big") },
                               { QStringLiteral("active"), true },
                               { QStringLiteral("port"), int(port) },
                               { QStringLiteral("listen"), QStringLiteral("127.0.0.1") },
                               { QStringLiteral("storejobs"), true },
                               { QStringLiteral("jobspath"), QStringLiteral("jobs") },
                               { QStringLiteral("retrytime"), 0 } };
    QVERIFY2(child.writePrinters({ printer }) && child.start(Timeout), qPrintable(child.errorString));
    const int baseline = child.openDescriptors();
    QVERIFY(baseline > 0);

    QString error;
    const QByteArray sentHash = sendJob(port, size, 20240601, error);
    QVERIFY2(!sentHash.isEmpty(), qPrintable(error));

    // The connection is closed as soon as the end of the job is read; the job
    // is stored after that.
    const QRegularExpression stored(QStringLiteral("^Print  Print job from 127\\.0\\.0\\.1 stored successful "));
    QTRY_COMPARE_WITH_TIMEOUT(child.logLines().filter(stored).size(), 1, Timeout);
    const QStringList files = child.jobFiles();
    QCOMPARE(files.size(), 1);
    qint64 storedSize = -1;
    const QByteArray storedHash = fileHash(child.jobFilePath(files.first()), storedSize);
    QCOMPARE(storedSize, size);
    QCOMPARE(storedHash.toHex(), sentHash.toHex());

    QTRY_COMPARE_WITH_TIMEOUT(child.openDescriptors(), baseline, Timeout);
    QVERIFY2(child.stop(Timeout), qPrintable(child.errorString));
    const QStringList lines = child.logLines().filter(QRegularExpression(QStringLiteral("^Print  ")));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), QStringLiteral("Print  Print job from 127.0.0.1 finished with error"));
    QCOMPARE(lines.last(), QStringLiteral("Print  Print job from 127.0.0.1 stored successful with filename \"")
                               + files.first().chopped(4) + QLatin1Char('"'));
}

QTEST_GUILESS_MAIN(tst_BigJob)
#include "tst_bigjob.moc"
