// The quillport program started on thousands of damaged settings files: bytes
// flipped, inserted and cut, values of the wrong type, huge numbers, long
// and non-UTF-8 strings, deep nesting. Whatever the file holds, the program
// must not crash or hang: it ends at once with -99 or -98, or it runs until
// it is stopped and then ends with 0.
//
// The cases come from a fixed seed, so every run starts the same programs.
// Each damaged file is confined before use so that no printer of it can
// listen anywhere but on loopback ports chosen here, wait for an interface,
// or make folders outside its data folder; a file that already keeps to
// that is used byte for byte.
#include "childprocess.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <iterator>
#include <memory>

#include <signal.h>
#include <sys/prctl.h>

namespace {

const QString Program = QStringLiteral(QUILLPORT_PATH);

#ifdef QUILLPORT_SANITIZED_BUILD
// Each sanitized program takes a few times longer to start and end.
const int DefaultCases = 400;
const int CaseTimeoutMs = 60000;
#else
const int DefaultCases = 2000;
const int CaseTimeoutMs = 20000;
#endif
const quint32 DefaultSeed = 0x5e771265;
const int Workers = 2;
// Listening ports of the cases, below the range of ephemeral ports, so that
// no other program's "free port" is taken; each worker has its own.
const quint16 FirstPort = 29100;
const int PortsPerWorker = 12;

const QByteArray StartedLine = "Info   Service started successful";

// The keys of a printer, and of the file.
const char *const PrinterKeys[] = { "localname", "active", "storejobs", "port", "jobspath",
                                    "listen", "interfacewaittime", "log", "subnets" };
const char *const TopKeys[] = { "logtype", "printers" };

// Texts that the parser and the value conversions meet rarely.
const char *const Tokens[] = {
    "{", "}", "[", "]", "\"", ",", ":", "\\", "null", "true", "false", "-", "0", "-0", "1e309", "-1e309",
    "1e-400", "18446744073709551616", "9007199254740993", "2147483648", "-2147483649", "65536", "0.5",
    "\"\\u0000\"", "\"\\ud800\"", "\"\\udfff\\ud800\"", "\"\\uZZZZ\"", "\xc3\x28", "\xff\xfe", "\xed\xa0\x80",
    "\xf4\x90\x80\x80", "\xc0\xaf", "\t", "\r\n", "/*", "//", "'", "NaN", "Infinity", "0x10", "1_000"
};

// The outcome that the confined file calls for.
enum class Expect {
    Unparsable,    // not JSON (nor empty): -99
    Runs,          // no active printer: runs until stopped
    FailsToListen, // an active printer without address or port: -98
    RunsOrFails    // depends on whether every bind succeeds
};

struct Case
{
    int index = 0;
    QByteArray content;
    bool missingFile = false;
    bool folderInstead = false;
};

class CaseMaker
{
public:
    CaseMaker(quint32 seed, const QList<quint16> &ports, const QByteArray &example)
        : rng(seed), ports(ports), example(example)
    {
    }

    Case make(int index);

private:
    int pick(int n) { return int(rng.bounded(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    quint16 port() { return ports.at(pick(int(ports.size()))); }

    QJsonObject validPrinter();
    QByteArray validFile();
    QString randomText();
    QJsonValue randomValue(int depth);
    QJsonValue mutateValue(const QJsonValue &value, int depth);
    QByteArray mutateBytes(QByteArray bytes);
    QByteArray deepNesting();

    QRandomGenerator rng;
    QList<quint16> ports;
    QByteArray example;
};

QJsonObject CaseMaker::validPrinter()
{
    static const char *const listens[] = { "127.0.0.1", "127.0.0.1", "127.0.0.2", "::1", "127.5.6.7" };
    static const char *const subnets[] = { "", "127.0.0.0/8", "127.0.0.1/32, ::1/128", "10.0.0.0/8,,x", "::/0" };
    static const char *const logs[] = { "", "pead", "d", "Print", "ACCESS" };
    QJsonObject printer{ { QStringLiteral("localname"), QStringLiteral("fuzz%1").arg(pick(1000)) },
                         { QStringLiteral("active"), chance(70) },
                         { QStringLiteral("port"), port() },
                         { QStringLiteral("listen"), QLatin1String(listens[pick(5)]) },
                         { QStringLiteral("storejobs"), chance(50) },
                         { QStringLiteral("jobspath"), chance(50) ? QStringLiteral("jobs") : QStringLiteral("a/b c") },
                         { QStringLiteral("interfacewaittime"), 1 + pick(9) },
                         { QStringLiteral("subnets"), QLatin1String(subnets[pick(5)]) },
                         { QStringLiteral("log"), QLatin1String(logs[pick(5)]) } };
    return printer;
}

QByteArray CaseMaker::validFile()
{
    if (!example.isEmpty() && chance(15))
        return example;
    QJsonArray printers;
    const int count = chance(10) ? pick(40) : 1 + pick(3);
    for (int i = 0; i < count; ++i)
        printers.append(validPrinter());
    QJsonObject settings{ { QStringLiteral("logtype"), chance(60) ? QStringLiteral("textfile") : QStringLiteral("eventlog") },
                          { QStringLiteral("printers"), printers } };
    return QJsonDocument(settings).toJson(chance(50) ? QJsonDocument::Compact : QJsonDocument::Indented);
}

QString CaseMaker::randomText()
{
    switch (pick(6)) {
    case 0:
        return QString();
    case 1: {
        // Long.
        return QString(1 + pick(200000), QChar(0x20 + pick(0x5e)));
    }
    case 2: {
        // Any code units, lone surrogates included.
        QString text;
        for (int i = 0, n = pick(40); i < n; ++i)
            text.append(QChar(ushort(rng.bounded(0x10000u))));
        return text;
    }
    case 3:
        return QString::fromLatin1(Tokens[pick(int(std::size(Tokens)))]);
    case 4: {
        static const char *const addresses[] = { "127.0.0.1", "::1", "0.0.0.0", "::", "256.1.1.1", "127.1",
                                                 "::ffff:127.0.0.1", "fe80::1%lo", "1.2.3.4/8", "localhost" };
        return QString::fromLatin1(addresses[pick(int(std::size(addresses)))]);
    }
    default: {
        QString text;
        for (int i = 0, n = pick(30); i < n; ++i)
            text.append(QChar(0x20 + pick(0x5e)));
        return text;
    }
    }
}

QJsonValue CaseMaker::randomValue(int depth)
{
    static const double numbers[] = { 0, -0.0, 1, -1, 0.5, 65535, 65536, 65537, 2147483647, 2147483648.0,
                                      -2147483648.0, -2147483649.0, 4294967296.0, 9007199254740993.0, 1e300,
                                      -1e300, 5e-324, 9, 10, 59, 60, 61 };
    switch (depth > 6 ? pick(4) : pick(6)) {
    case 0:
        return QJsonValue(QJsonValue::Null);
    case 1:
        return chance(50);
    case 2:
        return chance(80) ? numbers[pick(int(std::size(numbers)))] : double(qint64(rng.generate64()));
    case 3:
        return randomText();
    case 4: {
        QJsonArray array;
        for (int i = 0, n = pick(5); i < n; ++i)
            array.append(randomValue(depth + 1));
        return array;
    }
    default: {
        QJsonObject object;
        for (int i = 0, n = pick(5); i < n; ++i) {
            const QString key = chance(70) ? QLatin1String(PrinterKeys[pick(int(std::size(PrinterKeys)))])
                                           : randomText().left(20);
            object.insert(key, randomValue(depth + 1));
        }
        return object;
    }
    }
}

// Changes the tree: values of other types, keys added and removed, the
// printer list turned into something else.
QJsonValue CaseMaker::mutateValue(const QJsonValue &value, int depth)
{
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        // Mostly the printers are damaged, not the list itself.
        if (depth == 0 && object.value(QLatin1String("printers")).isArray() && chance(75)) {
            object.insert(QStringLiteral("printers"), mutateValue(object.value(QLatin1String("printers")), 1));
            return object;
        }
        const int changes = 1 + pick(3);
        for (int i = 0; i < changes; ++i) {
            const QStringList keys = object.keys();
            const int what = pick(10);
            if (what < 2 || keys.isEmpty()) {
                const char *const *names = depth == 0 ? TopKeys : PrinterKeys;
                const int count = depth == 0 ? int(std::size(TopKeys)) : int(std::size(PrinterKeys));
                object.insert(QLatin1String(names[pick(count)]), randomValue(depth + 1));
            } else if (what < 3) {
                object.remove(keys.at(pick(int(keys.size()))));
            } else {
                const QString key = keys.at(pick(int(keys.size())));
                object.insert(key, chance(50) ? randomValue(depth + 1) : mutateValue(object.value(key), depth + 1));
            }
        }
        return object;
    }
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        if (array.isEmpty() || chance(20))
            array.append(chance(50) ? randomValue(depth + 1) : QJsonValue(validPrinter()));
        const int at = pick(int(array.size()));
        array.replace(at, chance(70) ? mutateValue(array.at(at), depth + 1) : randomValue(depth + 1));
        if (chance(10))
            array.removeAt(pick(int(array.size())));
        return array;
    }
    return randomValue(depth);
}

QByteArray CaseMaker::deepNesting()
{
    const int depth = 1 + pick(3000);
    const bool objects = chance(30);
    QByteArray text;
    for (int i = 0; i < depth; ++i)
        text += objects ? "{\"a\":" : "[";
    text += "1";
    for (int i = 0; i < depth; ++i)
        text += objects ? "}" : "]";
    return text;
}

QByteArray CaseMaker::mutateBytes(QByteArray bytes)
{
    const int changes = 1 + pick(3);
    for (int i = 0; i < changes; ++i) {
        const int size = int(bytes.size());
        const int at = size ? pick(size + 1) : 0;
        switch (pick(9)) {
        case 0: // a bit flipped
            if (size)
                bytes[qMin(at, size - 1)] = char(bytes.at(qMin(at, size - 1)) ^ (1 << pick(8)));
            break;
        case 1: // a byte replaced by any byte
            if (size)
                bytes[qMin(at, size - 1)] = char(pick(256));
            break;
        case 2: { // random bytes inserted
            QByteArray noise;
            for (int n = 1 + pick(16); n > 0; --n)
                noise.append(char(pick(256)));
            bytes.insert(at, noise);
            break;
        }
        case 3: // cut short
            bytes.truncate(at);
            break;
        case 4: // a piece removed
            bytes.remove(at, 1 + pick(64));
            break;
        case 5: { // a piece repeated
            const QByteArray piece = bytes.mid(at, 1 + pick(128));
            bytes.insert(at, piece.repeated(1 + pick(4)));
            break;
        }
        case 6: // a token
            bytes.insert(at, QByteArray(Tokens[pick(int(std::size(Tokens)))]));
            break;
        case 7: { // a deeply nested value in place of a member's value
            const int colon = bytes.indexOf(':', at);
            if (colon >= 0)
                bytes.insert(colon + 1, deepNesting() + ",\"x\":");
            break;
        }
        default: { // a digit run made huge
            const int digit = bytes.indexOf(QByteArray::number(pick(10)), at);
            if (digit >= 0)
                bytes.insert(digit, QByteArray(1 + pick(400), char('1' + pick(9))));
            break;
        }
        }
    }
    return bytes;
}

Case CaseMaker::make(int index)
{
    Case made;
    made.index = index;
    const int kind = pick(1000);
    if (kind < 3) {
        made.missingFile = true;
        return made;
    }
    if (kind < 6) {
        made.folderInstead = true;
        return made;
    }
    QByteArray content = validFile();
    if (kind < 650) {
        QJsonDocument document = QJsonDocument::fromJson(content);
        const QJsonValue root = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
        const QJsonValue mutated = mutateValue(root, 0);
        document = mutated.isArray() ? QJsonDocument(mutated.toArray())
            : mutated.isObject()     ? QJsonDocument(mutated.toObject())
                                     : QJsonDocument();
        content = document.toJson(chance(50) ? QJsonDocument::Compact : QJsonDocument::Indented);
        if (chance(15))
            content = mutateBytes(content);
    } else if (kind < 950) {
        content = mutateBytes(content);
    } else {
        // Not JSON at all, or nothing.
        content.clear();
        for (int n = pick(3) ? pick(300) : 0; n > 0; --n)
            content.append(char(pick(256)));
    }
    made.content = content;
    return made;
}

// Keeps the file's printers on loopback ports of this test, without waiting
// for an interface and with job folders inside the data folder. Returns the
// file to use: the same bytes when they already keep to that.
QByteArray confine(const QByteArray &content, const QList<quint16> &ports, quint32 seed, Expect &expect)
{
    QRandomGenerator rng(seed);
    QJsonDocument document = QJsonDocument::fromJson(content);
    if (document.isNull() && !content.trimmed().isEmpty()) {
        expect = Expect::Unparsable;
        return content;
    }
    QJsonObject settings = document.object();
    const QJsonValue printersValue = settings.value(QLatin1String("printers"));
    QJsonArray printers = printersValue.toArray();
    bool changed = false;
    bool anyActive = false;
    bool cannotListen = false;

    for (int i = 0; i < printers.size(); ++i) {
        if (!printers.at(i).isObject())
            continue;
        QJsonObject printer = printers.at(i).toObject();
        bool printerChanged = false;

        const QString jobspath = printer.value(QLatin1String("jobspath")).toString();
        if (!QDir::isRelativePath(jobspath) || jobspath.split(QLatin1Char('/')).contains(QLatin1String(".."))
            || jobspath.contains(QChar(0)) || jobspath.size() > 200) {
            printer.insert(QStringLiteral("jobspath"), QStringLiteral("jobs"));
            printerChanged = true;
        }

        if (printer.value(QLatin1String("active")).toBool(false)) {
            anyActive = true;
            const QString listenText = printer.value(QLatin1String("listen")).toString();
            const QHostAddress listen = listenText.isEmpty() ? QHostAddress(QHostAddress::AnyIPv4)
                                                             : QHostAddress(listenText);
            if (!listen.isNull() && !listen.isLoopback()) {
                static const char *const loopback[] = { "127.0.0.1", "::1", "127.0.0.3" };
                printer.insert(QStringLiteral("listen"), QLatin1String(loopback[rng.bounded(3)]));
                printerChanged = true;
            }
            const quint16 port = quint16(printer.value(QLatin1String("port")).toInt(0));
            if (port != 0 && !ports.contains(port)) {
                // Sometimes a number that is the port only in its low 16 bits.
                const int chosen = ports.at(int(rng.bounded(int(ports.size()))));
                printer.insert(QStringLiteral("port"), rng.bounded(2) ? chosen : chosen + 65536 * (1 + int(rng.bounded(100))));
                printerChanged = true;
            }
            int wait = printer.value(QLatin1String("interfacewaittime")).toInt(0);
            if (wait == 0)
                wait = 60;
            if (wait >= 10) {
                static const int waits[] = { 1, 5, 9, -1, -100000 };
                printer.insert(QStringLiteral("interfacewaittime"), waits[rng.bounded(5)]);
                printerChanged = true;
            }
            // Re-read as the program reads it: what is left decides.
            const QString finalText = printer.value(QLatin1String("listen")).toString();
            const QHostAddress finalListen = finalText.isEmpty() ? QHostAddress(QHostAddress::AnyIPv4)
                                                                 : QHostAddress(finalText);
            if (finalListen.isNull() || quint16(printer.value(QLatin1String("port")).toInt(0)) == 0)
                cannotListen = true;
        }
        if (printerChanged) {
            printers.replace(i, printer);
            changed = true;
        }
    }

    expect = cannotListen ? Expect::FailsToListen : anyActive ? Expect::RunsOrFails : Expect::Runs;
    if (!changed)
        return content;
    settings.insert(QStringLiteral("printers"), printers);
    return QJsonDocument(settings).toJson(QJsonDocument::Compact);
}


struct WorkerResult
{
    QStringList failures; // a description of every case that failed
    int ran = 0;
    int stopped = 0;  // ran until stopped
    int cannotListen = 0; // ended with -98
    int noSettings = 0;   // ended with -99
    int confined = 0;     // damaged files that had to be confined
    int withActive = 0;   // files that name an active printer
};

// Runs the cases of one worker, each in a fresh data folder.
WorkerResult runCases(int worker, int cases, quint32 seed, const QList<quint16> &ports, const QByteArray &example)
{
    WorkerResult result;
    QStringList &failures = result.failures;
    QTemporaryDir temporary;
    if (!temporary.isValid()) {
        failures << QStringLiteral("worker %1: no temporary folder").arg(worker);
        return result;
    }
    const QString share = temporary.filePath(QStringLiteral("share"));
    const QString dataFolder = share + QStringLiteral("/quillport/");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), temporary.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), share);
    environment.insert(QStringLiteral("CUPS_SERVER"), temporary.filePath(QStringLiteral("no-cups.sock")));

    for (int index = worker; index < cases; index += Workers) {
        // Each case from its own seed: the same cases whatever the split.
        CaseMaker maker(seed + quint32(index) * 7919u, ports, example);
        const Case made = maker.make(index);
        Expect expect = Expect::Runs;
        QByteArray content;
        if (!made.missingFile && !made.folderInstead) {
            content = confine(made.content, ports, seed ^ quint32(index), expect);
            result.confined += content == made.content ? 0 : 1;
            result.withActive += expect == Expect::RunsOrFails || expect == Expect::FailsToListen ? 1 : 0;
        }

        QDir(share).removeRecursively();
        QDir().mkpath(dataFolder);
        if (made.folderInstead) {
            QDir().mkpath(dataFolder + QStringLiteral("settings.json"));
        } else if (!made.missingFile) {
            QFile file(dataFolder + QStringLiteral("settings.json"));
            if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
                failures << QStringLiteral("case %1: cannot write settings.json").arg(index);
                continue;
            }
        }

        auto describe = [&](const QString &what, const QByteArray &output) {
            return QStringLiteral("case %1: %2\nsettings.json (%3 bytes, base64, first 2000): %4\noutput: %5")
                .arg(index)
                .arg(what)
                .arg(content.size())
                .arg(QString::fromLatin1(content.left(2000).toBase64()))
                .arg(QString::fromLocal8Bit(output.right(3000)));
        };

        ChildProcess process;
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(Program, { QStringLiteral("-e") });
        if (!process.waitForStarted(CaseTimeoutMs)) {
            failures << describe(QStringLiteral("did not start: ") + process.errorString(), QByteArray());
            continue;
        }
        ++result.ran;
        QByteArray output;
        QDeadlineTimer deadline(CaseTimeoutMs);
        bool started = false;
        for (;;) {
            output += process.readAll();
            if (output.contains(StartedLine)) {
                started = true;
                break;
            }
            if (process.state() == QProcess::NotRunning || deadline.hasExpired())
                break;
            process.waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 200)));
        }
        if (started) {
            ::kill(pid_t(process.processId()), SIGTERM);
            if (!process.waitForFinished(CaseTimeoutMs)) {
                process.kill();
                process.waitForFinished(CaseTimeoutMs);
                failures << describe(QStringLiteral("did not end on SIGTERM"), output + process.readAll());
                continue;
            }
        } else if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(CaseTimeoutMs);
            failures << describe(QStringLiteral("neither started nor ended in %1 ms").arg(CaseTimeoutMs),
                                 output + process.readAll());
            continue;
        }
        output += process.readAll();
        if (process.exitStatus() != QProcess::NormalExit) {
            failures << describe(QStringLiteral("crashed"), output);
            continue;
        }
        const int code = process.exitCode();
        result.stopped += started && code == 0 ? 1 : 0;
        result.cannotListen += code == 158 ? 1 : 0;
        result.noSettings += code == 157 ? 1 : 0;
        QString wrong;
        if (made.missingFile || made.folderInstead || expect == Expect::Unparsable) {
            if (code != 157)
                wrong = QStringLiteral("ended with %1 without a readable settings file, not 157 (-99)").arg(code);
        } else if (started) {
            if (code != 0)
                wrong = QStringLiteral("ended with %1 after SIGTERM, not 0").arg(code);
            else if (expect == Expect::FailsToListen)
                wrong = QStringLiteral("started although an active printer has no address or no port");
        } else if (code != 158) {
            wrong = QStringLiteral("ended with %1 before it started, not 158 (-98)").arg(code);
        } else if (expect == Expect::Runs) {
            wrong = QStringLiteral("ended with 158 (-98) without an active printer");
        }
        if (!wrong.isEmpty())
            failures << describe(wrong, output);
    }
    return result;
}

} // namespace

class tst_SettingsFuzz : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void damagedSettings();

private:
    QList<quint16> ports;
};

void tst_SettingsFuzz::initTestCase()
{
    QVERIFY2(QFileInfo(Program).isExecutable(), qPrintable(Program));
    // Only ports that are free now; a case whose port is taken meanwhile
    // ends with -98, which is one of the outcomes allowed.
    for (quint16 port = FirstPort; port < FirstPort + 4 * Workers * PortsPerWorker && ports.size() < Workers * PortsPerWorker;
         ++port) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, port))
            ports << port;
    }
    QCOMPARE(ports.size(), Workers * PortsPerWorker);
}

void tst_SettingsFuzz::damagedSettings()
{
    bool ok = false;
    int cases = qEnvironmentVariableIntValue("QUILLPORT_FUZZ_CASES", &ok);
    if (!ok || cases <= 0)
        cases = DefaultCases;
    quint32 seed = quint32(qEnvironmentVariableIntValue("QUILLPORT_FUZZ_SEED", &ok));
    if (!ok)
        seed = DefaultSeed;

    QByteArray example;
    QFile exampleFile(QStringLiteral(QUILLPORT_EXAMPLE_SETTINGS));
    if (exampleFile.open(QIODevice::ReadOnly))
        example = exampleFile.readAll();

    WorkerResult results[Workers];
    std::unique_ptr<QThread> threads[Workers];
    for (int worker = 0; worker < Workers; ++worker) {
        const QList<quint16> own = ports.mid(worker * PortsPerWorker, PortsPerWorker);
        threads[worker].reset(QThread::create(
            [&, worker, own] { results[worker] = runCases(worker, cases, seed, own, example); }));
        threads[worker]->start();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait());

    WorkerResult all;
    for (const WorkerResult &result : results) {
        all.failures += result.failures;
        all.ran += result.ran;
        all.stopped += result.stopped;
        all.cannotListen += result.cannotListen;
        all.noSettings += result.noSettings;
        all.confined += result.confined;
        all.withActive += result.withActive;
    }
    qInfo().noquote() << QStringLiteral("%1 cases (seed %2): %3 ran until stopped, %4 ended with -98, %5 with -99; "
                                        "%6 files were confined, %7 name an active printer")
                             .arg(cases)
                             .arg(seed)
                             .arg(all.stopped)
                             .arg(all.cannotListen)
                             .arg(all.noSettings)
                             .arg(all.confined)
                             .arg(all.withActive);
    if (!all.failures.isEmpty()) {
        for (const QString &failure : all.failures.mid(0, 5))
            qWarning().noquote() << failure;
        QFAIL(qPrintable(QStringLiteral("%1 of %2 cases failed (seed %3)").arg(all.failures.size()).arg(cases).arg(seed)));
    }
    QCOMPARE(all.ran, cases);
    // The cases reach every outcome: the damage leaves working files as well
    // as broken ones.
    if (cases >= 200) {
        QVERIFY(all.stopped > cases / 10);
        QVERIFY(all.withActive > cases / 5);
        QVERIFY(all.cannotListen > cases / 20);
        QVERIFY(all.noSettings > 0);
    }
}

QTEST_GUILESS_MAIN(tst_SettingsFuzz)
#include "tst_settingsfuzz.moc"
