// Line printer daemon reception with real LPR clients that nobody here
// wrote (CUPS's lpd backend, rlpr, LPRng's lpr): quillport -e as a child
// process, printing to a private CUPS scheduler. Also what hostile clients
// get: dropped jobs, a server that keeps serving, descriptors given back.
#include "netclient.h"
#include "privatecups.h"
#include "quillportchild.h"

#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Program = QStringLiteral(QUILLPORT_PATH);
const int Timeout = 30000;
// Unpacked from Debian's packages by scripts/install-deps.sh.
const QString CupsLpdBackend = QStringLiteral("/opt/quillport-tests/cups/usr/lib/cups/backend-available/lpd");
const QString LprngLpr = QStringLiteral("/opt/quillport-tests/lprng/usr/bin/lpr");
// rlpr talks to the printer port (515) and nothing else; the printer
// listens there on an address of its own.
const QString RlprAddress = QStringLiteral("127.0.0.7");

} // namespace

class tst_Lpd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void realClients_data();
    void realClients();
    void severalDataFiles();
    void queueState();
    void hostileClients_data();
    void hostileClients();
    void manyDataFilesHoldOneFile();

private:
    bool startPrinter(const QString &listen = QStringLiteral("127.0.0.1"), quint16 port = 0);
    // Runs a client program to its end; false, with its output, when it fails.
    static bool run(const QString &program, const QStringList &arguments, QString *output,
                    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

    PrivateCups cups;
    QTemporaryDir files;
    QString queue;
    int queues = 0;
    std::unique_ptr<QuillportChild> child;
    quint16 port = 0;
};

void tst_Lpd::initTestCase()
{
    if (!PrivateCups::isInstalled())
        QSKIP("cupsd is not installed: the jobs end in a CUPS scheduler");
    QVERIFY2(cups.start(), qPrintable(cups.errorString()));
    QVERIFY(files.isValid());
}

void tst_Lpd::init()
{
    queue = QStringLiteral("lpd%1").arg(++queues);
    QVERIFY2(cups.addQueue(queue), qPrintable(cups.errorString()));
    child = std::make_unique<QuillportChild>(Program);
}

void tst_Lpd::cleanup()
{
    if (QTest::currentTestFailed() && child)
        qWarning().noquote() << child->output();
    child.reset();
}

bool tst_Lpd::startPrinter(const QString &listen, quint16 wanted)
{
    port = wanted ? wanted : freePort();
    const QJsonObject printer{ { QStringLiteral("localname"), queue },
                               { QStringLiteral("active"), true },
                               { QStringLiteral("listen"), listen },
                               { QStringLiteral("port"), port },
                               { QStringLiteral("protocol"), QStringLiteral("lpd") },
                               { QStringLiteral("storejobs"), true },
                               { QStringLiteral("jobspath"), QStringLiteral("jobs") },
                               { QStringLiteral("idletimeout"), 2 },
                               { QStringLiteral("subnets"), QStringLiteral("127.0.0.0/8") } };
    child->setEnvironment(QStringLiteral("CUPS_SERVER"), cups.serverName());
    if (child->writePrinters({ printer }) && child->start(Timeout))
        return true;
    qWarning().noquote() << child->errorString;
    return false;
}

bool tst_Lpd::run(const QString &program, const QStringList &arguments, QString *output,
                  const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ended = process.waitForFinished(Timeout);
    *output = QString::fromLocal8Bit(process.readAll());
    return ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void tst_Lpd::realClients_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("options"); // of CUPS's backend
    QTest::addColumn<QString>("user");

    QTest::newRow("CUPS lpd backend") << "cups" << "" << "alice";
    QTest::newRow("CUPS lpd backend, reserve=none") << "cups" << "?reserve=none" << "alice";
    QTest::newRow("CUPS lpd backend, data file first") << "cups" << "?order=data,control" << "alice";
    QTest::newRow("CUPS lpd backend, banner") << "cups" << "?banner=on" << "alice";
    QTest::newRow("rlpr") << "rlpr" << "" << "root";
    QTest::newRow("LPRng lpr") << "lprng" << "" << "root";
}

// Each job arrives byte for byte at the scheduler and in its stored file,
// under its own name, with the user and the job name in the log.
void tst_Lpd::realClients()
{
    QFETCH(QString, client);
    QFETCH(QString, options);
    QFETCH(QString, user);

    const QByteArray payload = randomBytes(150 * 1024, quint64(qHash(QString::fromLatin1(QTest::currentDataTag()))));
    const QString file = files.filePath(QStringLiteral("job-%1.bin").arg(queues));
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(payload) == payload.size());
    out.close();
    const QString jobName = QStringLiteral("report%1").arg(queues);

    QString output;
    if (client == QLatin1String("cups")) {
        if (!QFileInfo(CupsLpdBackend).isExecutable())
            QSKIP("CUPS's lpd backend is not unpacked (scripts/install-deps.sh)");
        QVERIFY(startPrinter());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DEVICE_URI"),
                           QStringLiteral("lpd://127.0.0.1:%1/clientqueue%2").arg(port).arg(options));
        QVERIFY2(run(CupsLpdBackend, { QStringLiteral("1"), user, jobName, QStringLiteral("1"), QString(), file },
                     &output, environment),
                 qPrintable(output));
    } else if (client == QLatin1String("rlpr")) {
        if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("rlpr")).isEmpty())
            QSKIP("rlpr talks to port 515 only: this test needs root and rlpr");
        QVERIFY(startPrinter(RlprAddress, 515));
        QVERIFY2(run(QStringLiteral("rlpr"), { QStringLiteral("-H"), RlprAddress, QStringLiteral("-P"),
                                               QStringLiteral("clientqueue"), QStringLiteral("-J"), jobName, file },
                     &output),
                 qPrintable(output));
    } else {
        if (!QFileInfo(LprngLpr).isExecutable() || !QFile::exists(QStringLiteral("/etc/lprng/lpd.conf")))
            QSKIP("LPRng's lpr is not unpacked or not configured (scripts/install-deps.sh)");
        QVERIFY(startPrinter());
        QVERIFY2(run(LprngLpr, { QStringLiteral("-P"), QStringLiteral("clientqueue@127.0.0.1%%1").arg(port),
                                 QStringLiteral("-J"), jobName, file },
                     &output),
                 qPrintable(output));
    }

    const QString completed = QStringLiteral("Print  Print job from 127.0.0.1 completed successful (user \"%1\", job \"%2\")")
                                  .arg(user, jobName);
    QVERIFY(child->waitForLine(completed, Timeout));
    QVERIFY(cups.waitForJobs(queue, 1, Timeout));
    QCOMPARE(cups.documents(queue), QList<QByteArray>{ payload });
    QCOMPARE(cups.jobs(queue).value(0).name, jobName);
    QVERIFY(child->waitForLine(QStringLiteral("Info   LPD job from 127.0.0.1 for queue \"clientqueue\": 1 file(s) from user \"")
                                   + user + QStringLiteral("\"*"),
                               Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(child->jobFiles().size(), 1, Timeout);
    QCOMPARE(child->jobFile(child->jobFiles().first()), payload);
    QVERIFY2(child->stop(Timeout), qPrintable(child->errorString));
}

// Several data files in one job: each is a document of its own, in the
// order of the job.
void tst_Lpd::severalDataFiles()
{
    if (!QFileInfo(LprngLpr).isExecutable() || !QFile::exists(QStringLiteral("/etc/lprng/lpd.conf")))
        QSKIP("LPRng's lpr is not unpacked or not configured (scripts/install-deps.sh)");
    QVERIFY(startPrinter());
    QList<QByteArray> payloads;
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        payloads << randomBytes(10000 + i, quint64(70 + i));
        paths << files.filePath(QStringLiteral("part%1").arg(i));
        QFile out(paths.last());
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(payloads.last()) == payloads.last().size());
    }
    QString output;
    QVERIFY2(run(LprngLpr, QStringList{ QStringLiteral("-P"), QStringLiteral("q@127.0.0.1%%1").arg(port),
                                        QStringLiteral("-J"), QStringLiteral("three") } + paths,
                 &output),
             qPrintable(output));
    QVERIFY(cups.waitForJobs(queue, 3, Timeout));
    QCOMPARE(cups.documents(queue), payloads);
    QTRY_COMPARE_WITH_TIMEOUT(child->jobFiles().size(), 3, Timeout);
}

// A queue-state query gets one line: the printer, its state, its waiting
// jobs.
void tst_Lpd::queueState()
{
    QVERIFY(startPrinter());
    for (const char command : { '\3', '\4' }) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(socket.waitForConnected(Timeout));
        socket.write(QByteArray(1, command) + "clientqueue\n");
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, Timeout);
        QCOMPARE(socket.readAll(), queue.toUtf8() + ": listening, 0 job(s) waiting\n");
    }
}

void tst_Lpd::hostileClients_data()
{
    QTest::addColumn<QByteArray>("conversation");
    QTest::addColumn<QString>("reason");

    const QByteArray control = "Hhost\nPmallory\nJx\nldfA001host\n";
    const QByteArray receive = "\2q\n";
    const QByteArray controlFile = "\2" + QByteArray::number(control.size()) + " cfA001host\n" + control + '\0';
    QTest::newRow("not a command") << QByteArray("\7q\n") << "byte 7 is no command";
    QTest::newRow("endless command line") << QByteArray(5000, 'q').prepend('\2') << "a command line is longer than 1024 bytes";
    QTest::newRow("count that is no number") << receive + "\2abc cfA001host\n" << "\"abc cfA001host\" names no file size and name";
    QTest::newRow("control file too large")
        << receive + "\2" + QByteArray::number(1 << 20) + " cfA001host\n" << "a control file of 1048576 bytes";
    QTest::newRow("truncated control file") << receive + "\002" "100 cfA001host\nHhost\n"
                                            << "the connection ended in the middle of a file";
    QTest::newRow("wrong byte after a file")
        << receive + "\2" + QByteArray::number(control.size()) + " cfA001host\n" + control + '\1' << "a file does not end with a zero byte";
    QTest::newRow("no data file") << receive + controlFile << "it has no data file";
    QTest::newRow("no control file") << receive + "\0035 dfA001host\nhello" + '\0' << "it has no control file";
    QTest::newRow("stops in the middle of a file")
        << receive + controlFile + "\003100000 dfA001host\nonly a little" << "the client sent nothing for 2 s";
}

// A hostile or broken client gets its job dropped with a line saying why;
// nothing is printed or stored, and the printer goes on serving.
void tst_Lpd::hostileClients()
{
    QFETCH(QByteArray, conversation);
    QFETCH(QString, reason);
    QVERIFY(startPrinter());
    const int descriptors = child->openDescriptors();

    // The client reads what the server answers, so that its close is an
    // orderly one; all but the last shut their sending side.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(Timeout));
    client.write(conversation);
    QVERIFY(client.waitForBytesWritten(Timeout));
    // (A client whose job was dropped may have lost its connection already.)
    if (!QByteArray(QTest::currentDataTag()).startsWith("stops") && client.state() == QAbstractSocket::ConnectedState)
        ::shutdown(int(client.socketDescriptor()), SHUT_WR);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, Timeout);
    QVERIFY(child->waitForLine(QStringLiteral("Error  LPD job from 127.0.0.1 dropped after *"), Timeout));
    const QStringList dropped = child->logLines().filter(QStringLiteral("LPD job from 127.0.0.1 dropped"));
    QCOMPARE(dropped.size(), 1);
    QVERIFY2(dropped.first().endsWith(QStringLiteral(": ") + reason), qPrintable(dropped.first()));
    QCOMPARE(child->logLines().filter(QRegularExpression(QStringLiteral("^Print  "))), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(child->openDescriptors(), descriptors, Timeout);
    QCOMPARE(child->spoolFiles(), QStringList());

    // Still serving: a query is answered.
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected(Timeout));
    socket.write("\3q\n");
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, Timeout);
    QVERIFY(socket.readAll().endsWith("listening, 0 job(s) waiting\n"));
    QCOMPARE(child->jobFiles(), QStringList());
    QCOMPARE(cups.jobs(queue).size(), 0);
}

// However many data files a job has, its connection holds one file at a
// time: a data file that is complete waits for the rest of its job without
// a descriptor, so that one client cannot take those of every printer. (The
// files are larger than what is held in memory until a job is whole.)
void tst_Lpd::manyDataFilesHoldOneFile()
{
    QVERIFY(startPrinter());
    const int descriptors = child->openDescriptors();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(Timeout));
    const auto acknowledged = [&](const QByteArray &bytes) {
        client.write(bytes);
        return client.waitForReadyRead(Timeout) && client.read(1) == QByteArray(1, '\0');
    };
    const int size = 70000;
    const int files = 20;
    QVERIFY(acknowledged("\2q\n"));
    for (int i = 0; i < files; ++i) {
        QVERIFY(acknowledged("\3" + QByteArray::number(size) + " dfA" + QByteArray::number(100 + i) + "host\n"));
        QVERIFY(acknowledged(randomBytes(size, quint64(i)) + '\0'));
    }
    // The connection's own socket, and no file.
    QCOMPARE(child->openDescriptors(), descriptors + 1);
    QCOMPARE(child->spoolFiles().size(), files);

    client.abort();
    QVERIFY(child->waitForLine(QStringLiteral("Error  LPD job from 127.0.0.1 dropped after %1 bytes: *").arg(size * files),
                               Timeout));
    QTRY_COMPARE_WITH_TIMEOUT(child->openDescriptors(), descriptors, Timeout);
    QCOMPARE(child->spoolFiles(), QStringList());
}

QTEST_GUILESS_MAIN(tst_Lpd)
#include "tst_lpd.moc"
