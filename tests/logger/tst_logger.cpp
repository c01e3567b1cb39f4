// The Logger: labels and the file line, the event-log mapping, the
// diagnostic copy, appending, and a log file that cannot be opened.
#include "emulatedservicemanager.h"
#include "filesizelimit.h"
#include "logger.h"
#include "service.h"
#include "testdatafolder.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>


namespace {

QStringList diagnostics;

void recordDiagnostic(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtInfoMsg)
        diagnostics << message;
}

char programName[] = "quillport";
char *argv[] = { programName, nullptr };

class EventLogService : public Service<QCoreApplication>
{
public:
    EventLogService()
        : Service<QCoreApplication>(1, argv, QStringLiteral("Quillport"))
    {
    }

protected:
    void start() override {}
};

EmulatedServiceManager &manager()
{
    return EmulatedServiceManager::instance();
}

} // namespace

class tst_Logger : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fileLine_data();
    void fileLine();
    void noneWritesNothing_data();
    void noneWritesNothing();
    void eventLog_data();
    void eventLog();
    void noLogKeepsOutput();
    void appends();
    void unopenableFile();
    void controlCharactersEscaped_data();
    void controlCharactersEscaped();
    void failedWritesReportedOnce();

private:
    QString logPath() const { return data->path() + QStringLiteral("Quillport.log"); }
    QByteArray logContents() const;

    std::unique_ptr<TestDataFolder> data;
    QtMessageHandler previousHandler = nullptr;
};

void tst_Logger::initTestCase()
{
    QVERIFY(EmulatedServiceManager::install());
    QCoreApplication::setApplicationName(QStringLiteral("quillport"));
}

void tst_Logger::init()
{
    manager().reset();
    data = std::make_unique<TestDataFolder>(QStringLiteral("quillport"));
    QVERIFY(data->isValid());
    data->apply();
    diagnostics.clear();
    previousHandler = qInstallMessageHandler(recordDiagnostic);
}

void tst_Logger::cleanup()
{
    qInstallMessageHandler(previousHandler);
}

QByteArray tst_Logger::logContents() const
{
    QFile file(logPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void tst_Logger::fileLine_data()
{
    QTest::addColumn<int>("category");
    QTest::addColumn<QString>("label");

    QTest::newRow("Print") << int(Logger::Print) << "Print  ";
    QTest::newRow("Error") << int(Logger::Error) << "Error  ";
    QTest::newRow("Debug") << int(Logger::Debug) << "Debug  ";
    QTest::newRow("Access") << int(Logger::Access) << "Access ";
    QTest::newRow("Info") << int(Logger::Info) << "Info   ";
    QTest::newRow("9 has no label") << 9 << "       ";
    QTest::newRow("-1 has no label") << -1 << "       ";
}

void tst_Logger::fileLine()
{
    QFETCH(int, category);
    QFETCH(QString, label);

    {
        Logger logger;
        logger.setLogType(Logger::TextFileLog);
        logger.log(QStringLiteral("Printer \"lobby\" ready"), Logger::LogCategory(category));
    }
    const QString contents = QString::fromLocal8Bit(logContents());
    // Local time without milliseconds or zone, a blank, then the label in
    // seven columns, so that every message starts in the same column.
    const QRegularExpression line(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d (.*)\n$"));
    const QRegularExpressionMatch match = line.match(contents);
    QVERIFY2(match.hasMatch(), qPrintable(contents));
    QCOMPARE(match.capturedStart(1), 20);
    QCOMPARE(match.captured(1), label + QStringLiteral("Printer \"lobby\" ready"));
    QCOMPARE(contents.indexOf(QLatin1String("Printer")), 27);

    // The diagnostic copy: the same label and message, no time stamp.
    QVERIFY(diagnostics.contains(label + QStringLiteral("Printer \"lobby\" ready")));
}

void tst_Logger::noneWritesNothing_data()
{
    QTest::addColumn<int>("type");
    QTest::newRow("text file") << int(Logger::TextFileLog);
    QTest::newRow("event log") << int(Logger::EventLog);
}

void tst_Logger::noneWritesNothing()
{
    QFETCH(int, type);

    EventLogService service;
    Logger logger;
    logger.setLogType(Logger::LogType(type));
    diagnostics.clear();
    logger.log(QStringLiteral("nothing"), Logger::None);
    QCOMPARE(diagnostics, QStringList());
    QCOMPARE(logContents(), QByteArray());
    QCOMPARE(manager().events().size(), 0);
}

void tst_Logger::eventLog_data()
{
    QTest::addColumn<int>("category");
    QTest::addColumn<int>("entryType"); // -1: no entry

    QTest::newRow("Print") << int(Logger::Print) << EVENTLOG_INFORMATION_TYPE;
    QTest::newRow("Error") << int(Logger::Error) << EVENTLOG_ERROR_TYPE;
    QTest::newRow("Debug is a warning") << int(Logger::Debug) << EVENTLOG_WARNING_TYPE;
    QTest::newRow("Access") << int(Logger::Access) << EVENTLOG_INFORMATION_TYPE;
    QTest::newRow("Info") << int(Logger::Info) << EVENTLOG_INFORMATION_TYPE;
    QTest::newRow("6") << 6 << -1;
    QTest::newRow("9") << 9 << -1;
}

void tst_Logger::eventLog()
{
    QFETCH(int, category);
    QFETCH(int, entryType);

    EventLogService service;
    Logger logger;
    logger.setLogType(Logger::EventLog);
    logger.log(QStringLiteral("Print job from 127.0.0.1 completed successful"), Logger::LogCategory(category));

    const QList<EmulatedServiceManager::EventEntry> events = manager().events();
    if (entryType < 0) {
        QCOMPARE(events.size(), 0);
    } else {
        QCOMPARE(events.size(), 1);
        QCOMPARE(int(events.first().type), entryType);
        QCOMPARE(events.first().source, QStringLiteral("Quillport"));
        // The message alone: no label, no time stamp.
        QCOMPARE(events.first().strings,
                 QStringList{ QStringLiteral("Print job from 127.0.0.1 completed successful") });
        QCOMPARE(events.first().id, DWORD(0));
        QCOMPARE(events.first().category, WORD(0));
        QCOMPARE(events.first().dataSize, DWORD(0));
    }
    // Whatever the event log takes, the diagnostic copy is made, and no
    // file is written.
    QCOMPARE(diagnostics.size(), 1);
    QCOMPARE(logContents(), QByteArray());
}

void tst_Logger::noLogKeepsOutput()
{
    EventLogService service;
    Logger logger;
    QCOMPARE(logger.logType(), Logger::NoLog);
    logger.log(QStringLiteral("before"), Logger::Info);
    QCOMPARE(manager().events().size(), 0);

    logger.setLogType(Logger::EventLog);
    logger.setLogType(Logger::NoLog);
    QCOMPARE(logger.logType(), Logger::EventLog);
    logger.log(QStringLiteral("after"), Logger::Info);
    QCOMPARE(manager().events().size(), 1);
    QCOMPARE(manager().events().first().strings, QStringList{ QStringLiteral("after") });
}

void tst_Logger::appends()
{
    for (const char *message : { "first start", "second start" }) {
        Logger logger;
        logger.setLogType(Logger::TextFileLog);
        logger.log(QLatin1String(message), Logger::Info);
    }
    const QList<QByteArray> lines = logContents().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).endsWith("Info   first start"));
    QVERIFY(lines.at(1).endsWith("Info   second start"));
    QCOMPARE(lines.at(2), QByteArray());
    QVERIFY(diagnostics.contains(QStringLiteral("Info   Log file name is ") + logPath()));
}

void tst_Logger::unopenableFile()
{
    // The data folder is missing: the Logger does not create it.
    QVERIFY(QDir(data->path()).removeRecursively());

    EventLogService service;
    Logger logger;
    logger.setLogType(Logger::TextFileLog);
    QCOMPARE(logger.logType(), Logger::TextFileLog);

    QCOMPARE(manager().events().size(), 1);
    QCOMPARE(int(manager().events().first().type), EVENTLOG_INFORMATION_TYPE);
    QCOMPARE(manager().events().first().strings, QStringList{ QStringLiteral("Log file open error") });
    QVERIFY(diagnostics.contains(QStringLiteral("Error  Couldn't open log file ") + logPath()));

    // Later lines reach only the diagnostic output.
    logger.log(QStringLiteral("lost"), Logger::Error);
    QCOMPARE(diagnostics.last(), QStringLiteral("Error  lost"));
    QCOMPARE(manager().events().size(), 1);
    QVERIFY(!QFile::exists(logPath()));
}

void tst_Logger::controlCharactersEscaped_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("written");

    QTest::newRow("plain") << "Printer \"Lobby\" is ready" << "Printer \"Lobby\" is ready";
    QTest::newRow("a forged line") << "Lobby\n2026-12-07T09:00:00 Info   Service started successful"
                                   << "Lobby\\n2026-12-07T09:00:00 Info   Service started successful";
    QTest::newRow("terminal escape") << "\x1b[2Jlobby\r\t" << "\\x1b[2Jlobby\\r\\t";
    QTest::newRow("delete and NUL") << QString::fromLatin1("a\x7f", 2) + QChar(0) << "a\\x7f\\x00";
    QTest::newRow("not ASCII stays") << QString::fromUtf8("B\xc3\xbcro \xe2\x80\x94") << QString::fromUtf8("B\xc3\xbcro \xe2\x80\x94");
    QTest::newRow("C1 next line") << QStringLiteral("a") + QChar(0x85) + QStringLiteral("b") << "a\\x85b";
    QTest::newRow("line and paragraph separators")
        << QStringLiteral("a") + QChar(0x2028) + QStringLiteral("b") + QChar(0x2029) << "a\\u2028b\\u2029";
    QTest::newRow("text turned around") << QStringLiteral("user ") + QChar(0x202e) + QStringLiteral("fdp.exe")
                                        << "user \\u202efdp.exe";
    QTest::newRow("~next to them") << QString(QChar(0x2027)) + QChar(0x2030) + QChar(0xa0) << QString(QChar(0x2027)) + QChar(0x2030) + QChar(0xa0);
}

// A value that holds a line end (a printer's name, a client's user name)
// must not start a line of its own in the log, nor drive a terminal.
void tst_Logger::controlCharactersEscaped()
{
    QFETCH(QString, message);
    QFETCH(QString, written);
    EventLogService service;
    Logger logger;
    logger.setLogType(Logger::TextFileLog);
    logger.log(message, Logger::Info);
    const QList<QByteArray> lines = logContents().split('\n');
    QCOMPARE(lines.size(), 2); // one line and its end
    QCOMPARE(QString::fromLocal8Bit(lines.first()).section(QLatin1Char(' '), 1), QStringLiteral("Info   ") + written);
    QCOMPARE(diagnostics.last(), QStringLiteral("Info   ") + written);
}

// A full disk (here a file size limit) does not swallow the log without a
// word: one report when writing fails, one when it works again.
void tst_Logger::failedWritesReportedOnce()
{
    EventLogService service;
    Logger logger;
    logger.setLogType(Logger::TextFileLog);
    logger.log(QStringLiteral("before"), Logger::Info);
    const qint64 size = QFileInfo(logPath()).size();
    {
        FileSizeLimit limit(rlim_t(size) + 5);
        QVERIFY(limit.active);
        logger.log(QStringLiteral("lost one"), Logger::Print);
        logger.log(QStringLiteral("lost two"), Logger::Print);
    }
    logger.log(QStringLiteral("after"), Logger::Info);

    // The system's reason, also for a line that went in only in part.
    const QStringList reports = diagnostics.filter(QStringLiteral("log file ") + logPath());
    QCOMPARE(reports.size(), 2);
    QCOMPARE(reports.first(), QStringLiteral("Error  Couldn't write to log file ") + logPath() + QStringLiteral(": File too large"));
    QCOMPARE(reports.last(), QStringLiteral("Info   Writing to log file ") + logPath() + QStringLiteral(" works again"));
    QCOMPARE(manager().events().size(), 2);
    QCOMPARE(int(manager().events().first().type), EVENTLOG_ERROR_TYPE);
    // No part of a lost line is left to run into the next one.
    const QList<QByteArray> lines = logContents().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).endsWith(" Info   before") && lines.at(1).endsWith(" Info   after"), logContents().constData());
    QCOMPARE(lines.at(1).indexOf(' '), lines.at(0).indexOf(' '));
}

QTEST_GUILESS_MAIN(tst_Logger)
#include "tst_logger.moc"
