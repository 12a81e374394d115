// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/constants.h"
#include "simplelog/fileappender.h"
#include "simplelog/lineformatter.h"
#include "simplelog/logmanager.h"
#include "testhelpers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using simplelog::FileAppender;
using simplelog::LineFormatter;
using simplelog::LogManager;

namespace {

const QString DaemonFormat = kvo::logFormat();
const char *const AgentCategory = kvo::logCategoryName;
const QString TimeRe = QStringLiteral(R"(\d{4}-\d\d-\d\d, \d\d:\d\d:\d\d\.\d{3})");

Q_LOGGING_CATEGORY(lcAgent, AgentCategory)
const QByteArray OtherCategory = QByteArray(AgentCategory) + ".other";
Q_LOGGING_CATEGORY(lcOther, OtherCategory.constData())

QString literal(const QString &text)
{
    return QRegularExpression::escape(text);
}

// Lines from path.keep ... path.1, path: oldest first. Fails the test on a file that does
// not end in a newline, which would mean a line was split.
QStringList readLogLines(const QString &path, int keep)
{
    QStringList lines;
    for (int i = keep; i >= 0; --i) {
        QFile file(i == 0 ? path : path + QLatin1Char('.') + QString::number(i));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray data = file.readAll();
        if (data.isEmpty())
            continue;
        if (!data.endsWith('\n')) {
            QTest::qFail(qPrintable(file.fileName() + QLatin1String(" ends in a partial line")),
                         __FILE__, __LINE__);
            return {};
        }
        lines += QString::fromUtf8(data.left(data.size() - 1)).split(QLatin1Char('\n'));
    }
    return lines;
}

mode_t modeOf(const QString &path)
{
    struct stat st = {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return mode_t(-1);
    return st.st_mode & 07777;
}

class UmaskGuard
{
public:
    explicit UmaskGuard(mode_t mask) : m_saved(::umask(mask)) {}
    ~UmaskGuard() { ::umask(m_saved); }

private:
    mode_t m_saved;
};

// Points fd 2 at a file for the lifetime of the object.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &path) : m_path(path)
    {
        std::fflush(stderr);
        m_saved = ::dup(2);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }

    QByteArray take()
    {
        restore();
        QFile file(m_path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }

    QString m_path;
    int m_saved = -1;
};

void configureFileOnly(const QString &path)
{
    LogManager::setLogFormat(DaemonFormat);
    LogManager::setlogFilePath(path);
    LogManager::registerFileAppender();
}

// Child modes, run in a process of their own because they end it.
int runChild(const QByteArray &mode, const QString &path)
{
    if (mode == "fatal") {
        const struct rlimit noCore = {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        configureFileOnly(path);
        qFatal("fatal marker");
        return 2;
    }
    if (mode == "lock-for-exit") {
        configureFileOnly(path);
        qInfo("before lock");
        LogManager::lockForExit();
        std::atomic<bool> otherDone{false};
        std::thread other([&otherDone] {
            qInfo("other thread");
            otherDone = true;
        });
        other.detach();
        // A working lock keeps the other thread blocked for good; half a second is ample
        // for a broken one to get its line through.
        bool blocked = true;
        for (int i = 0; i < 50 && blocked; ++i) {
            ::usleep(10000);
            blocked = !otherDone;
        }
        qInfo("after lock");
        ::_exit(blocked ? 0 : 3);
    }
    return 2;
}

} // namespace

class tst_SimpleLog : public QObject
{
    Q_OBJECT

private slots:
    void formatter_data();
    void formatter();
    void timeMatchesQtInEveryZone_data();
    void timeMatchesQtInEveryZone();

    void createsDirectoriesAndRestrictsModes();
    void existingFileLosesWorldBits_data();
    void existingFileLosesWorldBits();
    void rotation_data();
    void rotation();
    void rotationCountsExistingContent();
    void symlinkIsNotFollowed_data();
    void symlinkIsNotFollowed();
    void reopenIsRetriedAfterInterval_data();
    void reopenIsRetriedAfterInterval();

    // These install the process-wide handler; the first relies on no general file appender
    // being registered yet, so keep it ahead of the others.
    void dispatchByCategory();
    void concurrentLinesStayWhole_data();
    void concurrentLinesStayWhole();
    void fatalIsWrittenThenAborts();
    void lockForExitStopsOtherThreads();
};

void tst_SimpleLog::formatter_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("file"); // null: no location recorded
    QTest::addColumn<int>("line");
    QTest::addColumn<QByteArray>("function");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected"); // regular expression for the whole line

    const QByteArray none;
    const QByteArray cat(AgentCategory);
    const QString blanks20(20, QLatin1Char(' '));

    QTest::newRow("daemon format, no location")
        << DaemonFormat << int(QtWarningMsg) << none << 0 << none << cat << "agent started"
        << TimeRe + literal(" [warning] [" + blanks20 + " 0] agent started\n");
    QTest::newRow("daemon format, short type padded")
        << DaemonFormat << int(QtDebugMsg) << none << 0 << none << cat << "x"
        << TimeRe + literal(" [debug  ] [" + blanks20 + " 0] x\n");
    QTest::newRow("daemon format, long type not cut")
        << DaemonFormat << int(QtCriticalMsg) << none << 0 << none << cat << "x"
        << TimeRe + literal(" [critical] [" + blanks20 + " 0] x\n");
    QTest::newRow("daemon format, with location")
        << DaemonFormat << int(QtInfoMsg) << QByteArray("main.cpp") << 42 << QByteArray("main")
        << cat << "x" << TimeRe + literal(" [info   ] [main.cpp             42] x\n");
    QTest::newRow("daemon format, long file not cut")
        << DaemonFormat << int(QtInfoMsg) << QByteArray("src/agent/net/connection.cpp") << 7 << none
        << cat << "x" << TimeRe + literal(" [info   ] [src/agent/net/connection.cpp 7] x\n");

    QTest::newRow("right-aligned") << "%{type:9}|%{line:4}|" << int(QtWarningMsg) << none << 12
                                   << none << cat << "" << literal("  warning|  12|");
    QTest::newRow("left-aligned message") << "%{message:-6}|" << int(QtInfoMsg) << none << 0 << none
                                          << cat << "ab" << literal("ab    |");
    QTest::newRow("category and null function") << "<%{category}><%{function}>" << int(QtInfoMsg)
                                                << none << 0 << none << cat << ""
                                                << literal("<" + QString::fromLatin1(cat) + "><>");
    QTest::newRow("null category") << "<%{category:3}>" << int(QtInfoMsg) << none << 0 << none
                                   << none << "" << literal("<   >");
    QTest::newRow("message is not reparsed") << "%{message}" << int(QtInfoMsg) << none << 0 << none
                                             << cat << "%{type} 100% %s %n"
                                             << literal("%{type} 100% %s %n");
    QTest::newRow("pid") << "%{pid}" << int(QtInfoMsg) << none << 0 << none << cat << ""
                         << QString::number(QCoreApplication::applicationPid());
    QTest::newRow("threadid") << "%{threadid}" << int(QtInfoMsg) << none << 0 << none << cat << ""
                              << QString::number(::gettid());

    const struct
    {
        QtMsgType type;
        const char *name;
    } types[] = {{QtDebugMsg, "debug"},
                 {QtInfoMsg, "info"},
                 {QtWarningMsg, "warning"},
                 {QtCriticalMsg, "critical"},
                 {QtFatalMsg, "fatal"}};
    for (const auto &t : types) {
        QTest::addRow("type %s", t.name) << "[%{type}]" << int(t.type) << none << 0 << none << cat
                                         << "" << literal(QLatin1String("[%1]").arg(QLatin1String(t.name)));
    }
    QTest::newRow("type out of range") << "%{type}" << 7 << none << 0 << none << cat << ""
                                       << "unknown";

    QTest::newRow("time without pattern")
        << "%{time} %{message}" << int(QtInfoMsg) << none << 0 << none << cat << "m"
        << R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} m)";
    QTest::newRow("time pattern then text") << "%{time}{HH}h" << int(QtInfoMsg) << none << 0 << none
                                            << cat << "" << R"(\d\dh)";
    QTest::newRow("time pattern unterminated")
        << "%{time}{HH" << int(QtInfoMsg) << none << 0 << none << cat << ""
        << R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\{HH)";

    QTest::newRow("empty format") << "" << int(QtInfoMsg) << none << 0 << none << cat << "m" << "";
    QTest::newRow("unknown placeholder") << "%{bogus} %{message}" << int(QtInfoMsg) << none << 0
                                         << none << cat << "m" << literal("%{bogus} m");
    QTest::newRow("bad width") << "%{message:x}%{type:-}%{line:}" << int(QtInfoMsg) << none << 0
                               << none << cat << "m" << literal("%{message:x}%{type:-}%{line:}");
    QTest::newRow("unterminated placeholder") << "a%{message" << int(QtInfoMsg) << none << 0 << none
                                              << cat << "m" << literal("a%{message");
    QTest::newRow("empty placeholder") << "%{}%{%{message}" << int(QtInfoMsg) << none << 0 << none
                                       << cat << "m" << literal("%{}%{%{message}");
    QTest::newRow("huge width is bounded")
        << "%{line:99999999999999}" << int(QtInfoMsg) << none << 0 << none << cat << ""
        << QStringLiteral(" {1023}0");
}

void tst_SimpleLog::formatter()
{
    QFETCH(QString, format);
    QFETCH(int, type);
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QByteArray, function);
    QFETCH(QByteArray, category);
    QFETCH(QString, message);
    QFETCH(QString, expected);

    const QMessageLogContext context(file.isNull() ? nullptr : file.constData(), line,
                                     function.isNull() ? nullptr : function.constData(),
                                     category.isNull() ? nullptr : category.constData());
    const LineFormatter formatter(format);
    const QString result = formatter.format(QtMsgType(type), context, message);

    const QRegularExpression re(QRegularExpression::anchoredPattern(expected));
    QVERIFY(re.isValid());
    QVERIFY2(re.match(result).hasMatch(), qPrintable(QLatin1String("got: \"") + result + QLatin1Char('"')));
}

void tst_SimpleLog::timeMatchesQtInEveryZone_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::newRow("daemon") << QStringLiteral("yyyy-MM-dd, HH:mm:ss.zzz");
    QTest::newRow("fields reordered") << QStringLiteral("ss/mm/HH dd.MM.yyyy");
    QTest::newRow("no separators") << QStringLiteral("yyyyMMddHHmmsszzz");
    // Not numeric only: left to Qt, which must give the same text.
    QTest::newRow("month name") << QStringLiteral("dd MMM yyyy HH:mm");
    QTest::newRow("quoted text") << QStringLiteral("HH'h'mm");
    QTest::newRow("two-digit year") << QStringLiteral("yy-M-d H:m:s");
}

// The current time with its milliseconds truncated, as the formatter writes it on every Qt
// (Qt 6.8's currentDateTime() rounds them).
static QDateTime truncatedNow()
{
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return QDateTime::fromMSecsSinceEpoch(qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
}

// The formatter writes numeric time fields itself, caching the broken-down time per second and
// zone; the text must be the one Qt writes, also right after the zone changes.
void tst_SimpleLog::timeMatchesQtInEveryZone()
{
    QFETCH(QString, pattern);
    const QByteArray savedZone = qgetenv("TZ");
    const bool hadZone = qEnvironmentVariableIsSet("TZ");
    const LineFormatter formatter(QStringLiteral("%{time}{") + pattern + QLatin1Char('}'));
    const QMessageLogContext context;
    // Whole, half and quarter hour offsets, both hemispheres, and UTC.
    const char *zones[] = {"UTC0", "Asia/Kolkata", "America/St_Johns", "Europe/Berlin",
                           "Pacific/Chatham", "Australia/Adelaide", "America/Los_Angeles", "UTC0"};
    for (const char *zone : zones) {
        qputenv("TZ", zone);
        ::tzset();
        // Qt's text is taken before and after; the formatter's must equal one of them (a new
        // second or millisecond may begin in between). Milliseconds are compared as a range.
        for (int attempt = 0;; ++attempt) {
            const QDateTime before = truncatedNow();
            const QString line = formatter.format(QtInfoMsg, context, QString());
            const QDateTime after = truncatedNow();
            if (pattern.contains(QLatin1String("zzz"))) {
                const QDateTime parsed = QDateTime::fromString(line, pattern);
                QVERIFY2(parsed.isValid(), qPrintable(line));
                QVERIFY2(before <= parsed && parsed <= after,
                         qPrintable(QStringLiteral("%1: %2 not within %3 .. %4")
                                        .arg(QLatin1String(zone), line, before.toString(pattern),
                                             after.toString(pattern))));
                break;
            }
            const QString first = before.toString(pattern);
            if (first == after.toString(pattern) || attempt == 5) {
                QCOMPARE(line, first);
                break;
            }
        }
    }
    if (hadZone)
        qputenv("TZ", savedZone);
    else
        qunsetenv("TZ");
    ::tzset();
}

void tst_SimpleLog::createsDirectoriesAndRestrictsModes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("var/log/kvo/agent.log"));
    {
        UmaskGuard umask(0);
        FileAppender appender(path);
        QVERIFY(appender.write("first\n"));
        QVERIFY(appender.write("second\n"));
    }
    QCOMPARE(modeOf(dir.filePath(QStringLiteral("var"))), mode_t(0755));
    QCOMPARE(modeOf(dir.filePath(QStringLiteral("var/log"))), mode_t(0755));
    QCOMPARE(modeOf(dir.filePath(QStringLiteral("var/log/kvo"))), mode_t(0750));
    QCOMPARE(modeOf(path), mode_t(0640));
    QCOMPARE(readLogLines(path, 0), QStringList({QStringLiteral("first"), QStringLiteral("second")}));
}

void tst_SimpleLog::existingFileLosesWorldBits_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::newRow("0644") << 0644 << 0640;
    QTest::newRow("0666") << 0666 << 0660;
    QTest::newRow("0604") << 0604 << 0600;
    QTest::newRow("0600 kept") << 0600 << 0600;
}

void tst_SimpleLog::existingFileLosesWorldBits()
{
    QFETCH(int, before);
    QFETCH(int, after);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("old\n");
    }
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(before)), 0);

    FileAppender appender(path);
    QVERIFY(appender.write("new\n"));
    QCOMPARE(modeOf(path), mode_t(after));
    QCOMPARE(readLogLines(path, 0), QStringList({QStringLiteral("old"), QStringLiteral("new")}));
}

void tst_SimpleLog::rotation_data()
{
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<int>("keep");
    QTest::addColumn<int>("lineCount");
    QTest::addColumn<bool>("keepsAll");

    // Lines are 12 to 18 bytes long.
    QTest::newRow("bounded to 3 old files") << qint64(100) << 3 << 200 << false;
    QTest::newRow("room for everything") << qint64(100) << 40 << 100 << true;
    QTest::newRow("no old files") << qint64(100) << 0 << 50 << false;
    QTest::newRow("line longer than limit") << qint64(10) << 3 << 4 << true;
}

void tst_SimpleLog::rotation()
{
    QFETCH(qint64, maxBytes);
    QFETCH(int, keep);
    QFETCH(int, lineCount);
    QFETCH(bool, keepsAll);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    FileAppender appender(path, maxBytes, keep);
    for (int i = 0; i < lineCount; ++i) {
        const QByteArray line = "line " + QByteArray::number(i).rightJustified(5, '0') + ' '
                                + QByteArray(i % 7, 'x') + '\n';
        QVERIFY(appender.write(line));
    }

    if (!keepsAll) {
        for (int i = 1; i <= keep; ++i)
            QVERIFY2(QFileInfo::exists(path + QLatin1Char('.') + QString::number(i)), qPrintable(QString::number(i)));
    }
    QVERIFY(!QFileInfo::exists(path + QLatin1Char('.') + QString::number(keep + 1)));

    const QStringList lines = readLogLines(path, keep);
    QVERIFY(!lines.isEmpty());
    const QRegularExpression re(QStringLiteral(R"(\Aline (\d{5}) (x*)\z)"));
    int previous = -1;
    for (const QString &line : lines) {
        const QRegularExpressionMatch m = re.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        const int number = m.captured(1).toInt();
        QCOMPARE(m.captured(2).size(), number % 7);
        if (previous >= 0)
            QCOMPARE(number, previous + 1);
        previous = number;
    }
    QCOMPARE(previous, lineCount - 1);
    if (keepsAll)
        QCOMPARE(lines.size(), lineCount);
    else
        QVERIFY(lines.size() < lineCount);

    // A file may exceed the limit only by holding a single line longer than it.
    for (int i = 0; i <= keep; ++i) {
        QFile file(i == 0 ? path : path + QLatin1Char('.') + QString::number(i));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray data = file.readAll();
        if (data.size() > maxBytes)
            QVERIFY2(data.count('\n') == 1, qPrintable(file.fileName()));
    }
}

void tst_SimpleLog::rotationCountsExistingContent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    const QByteArray old(90, 'o');
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(old + '\n');
    }
    FileAppender appender(path, 100, 2);
    QVERIFY(appender.write("fresh line\n"));
    QCOMPARE(readLogLines(path + QStringLiteral(".1"), 0), QStringList(QString::fromLatin1(old)));
    QCOMPARE(readLogLines(path, 0), QStringList(QStringLiteral("fresh line")));
}

void tst_SimpleLog::symlinkIsNotFollowed_data()
{
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("existing target") << true;
    QTest::newRow("dangling link") << false;
}

void tst_SimpleLog::symlinkIsNotFollowed()
{
    QFETCH(bool, targetExists);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("target"));
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    if (targetExists) {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious\n");
    }
    QVERIFY(QFile::link(target, path));

    StderrCapture capture(dir.filePath(QStringLiteral("stderr")));
    FileAppender appender(path, FileAppender::DefaultMaxBytes, FileAppender::DefaultKeep, 0);
    for (int i = 0; i < 3; ++i)
        QVERIFY(!appender.write("must not land\n"));
    const QByteArray errors = capture.take();

    QVERIFY(QFileInfo(path).isSymLink());
    if (targetExists)
        QCOMPARE(readLogLines(target, 0), QStringList(QStringLiteral("precious")));
    else
        QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(errors.count('\n'), 1);
    QVERIFY2(errors.contains(QFile::encodeName(path)), errors.constData());
}

void tst_SimpleLog::reopenIsRetriedAfterInterval_data()
{
    QTest::addColumn<int>("retryIntervalMs");
    QTest::addColumn<bool>("recovers");
    QTest::newRow("retry due") << 0 << true;
    QTest::newRow("retry not yet due") << 3600 * 1000 << false;
}

void tst_SimpleLog::reopenIsRetriedAfterInterval()
{
    QFETCH(int, retryIntervalMs);
    QFETCH(bool, recovers);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A plain file where the log directory should be makes the open fail.
    const QString blocker = dir.filePath(QStringLiteral("logs"));
    const QString path = blocker + QStringLiteral("/agent.log");
    {
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    StderrCapture capture(dir.filePath(QStringLiteral("stderr")));
    FileAppender appender(path, FileAppender::DefaultMaxBytes, FileAppender::DefaultKeep, retryIntervalMs);
    QVERIFY(!appender.write("lost\n"));
    QVERIFY(!appender.write("lost\n"));
    QVERIFY(QFile::remove(blocker));
    QCOMPARE(appender.write("kept\n"), recovers);
    const QByteArray errors = capture.take();

    QCOMPARE(errors.count('\n'), 1);
    if (recovers)
        QCOMPARE(readLogLines(path, 0), QStringList(QStringLiteral("kept")));
    else
        QVERIFY(!QFileInfo::exists(path));
}

void tst_SimpleLog::dispatchByCategory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    LogManager::setLogFormat(QStringLiteral("%{category}|%{message}\n"));
    LogManager::setlogFilePath(path);
    LogManager::registerCategoryFileAppender(QString::fromLatin1(AgentCategory));

    qCWarning(lcAgent, "category only: agent");
    qCWarning(lcOther, "category only: other");
    qWarning("category only: default");

    LogManager::registerFileAppender();
    qCWarning(lcAgent, "both: agent");
    qCWarning(lcOther, "both: other");
    qWarning("both: default");

    const QString agent = QString::fromLatin1(AgentCategory);
    const QStringList expected = {
        agent + QStringLiteral("|category only: agent"),
        agent + QStringLiteral("|both: agent"),
        agent + QStringLiteral(".other|both: other"),
        QStringLiteral("default|both: default"),
    };
    QCOMPARE(readLogLines(path, 0), expected);
}

void tst_SimpleLog::concurrentLinesStayWhole_data()
{
    QTest::addColumn<bool>("throughHandler");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<int>("keep");
    QTest::newRow("handler, one file") << true << FileAppender::DefaultMaxBytes << FileAppender::DefaultKeep;
    QTest::newRow("handler, rotating") << true << qint64(32 * 1024) << 64;
    QTest::newRow("appender alone, rotating") << false << qint64(32 * 1024) << 64;
}

void tst_SimpleLog::concurrentLinesStayWhole()
{
    QFETCH(bool, throughHandler);
    QFETCH(qint64, maxBytes);
    QFETCH(int, keep);
    constexpr int Threads = 8;
    constexpr int Lines = 500;

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    std::unique_ptr<FileAppender> appender;
    const LineFormatter formatter(DaemonFormat);
    if (!throughHandler) {
        appender = std::make_unique<FileAppender>(path, maxBytes, keep);
    } else {
        LogManager::setFileRotation(maxBytes, keep);
        LogManager::setLogFormat(DaemonFormat);
        LogManager::setlogFilePath(path);
        LogManager::registerFileAppender();
    }

    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < Lines; ++i) {
                const QByteArray padding((i * 31 + t) % 97, char('a' + t));
                if (!throughHandler) {
                    const QString message = QString::asprintf("thread %d line %d %s", t, i, padding.constData());
                    const QMessageLogContext context(nullptr, 0, nullptr, AgentCategory);
                    appender->write(formatter.format(i % 2 ? QtInfoMsg : QtWarningMsg, context, message).toUtf8());
                } else if (i % 2) {
                    qCInfo(lcAgent, "thread %d line %d %s", t, i, padding.constData());
                } else {
                    qWarning("thread %d line %d %s", t, i, padding.constData());
                }
            }
        });
    }
    go = true;
    for (std::thread &thread : threads)
        thread.join();
    if (throughHandler)
        LogManager::setFileRotation(FileAppender::DefaultMaxBytes, FileAppender::DefaultKeep);

    QVERIFY(!QFileInfo::exists(path + QLatin1Char('.') + QString::number(keep + 1)));
    const QStringList lines = readLogLines(path, keep);
    QCOMPARE(lines.size(), Threads * Lines);
    const QRegularExpression re(QStringLiteral(R"(\A%1 \[(info   |warning)\] \[ {20} 0\] thread (\d) line (\d+) ([a-z]*)\z)")
                                    .arg(TimeRe));
    QSet<QString> seen;
    for (const QString &line : lines) {
        const QRegularExpressionMatch m = re.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        const int t = m.captured(2).toInt();
        const int i = m.captured(3).toInt();
        QCOMPARE(m.captured(1), i % 2 ? QStringLiteral("info   ") : QStringLiteral("warning"));
        QCOMPARE(m.captured(4), QString((i * 31 + t) % 97, QLatin1Char(char('a' + t))));
        QVERIFY2(!seen.contains(m.captured(2) + QLatin1Char('/') + m.captured(3)), qPrintable(line));
        seen.insert(m.captured(2) + QLatin1Char('/') + m.captured(3));
    }
}

void tst_SimpleLog::fatalIsWrittenThenAborts()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    const testhelpers::ChildRun child = testhelpers::runSelfAsChild("fatal", path);
    QCOMPARE(child.status, QProcess::CrashExit);
    QCOMPARE(child.code, int(SIGABRT));
    QVERIFY2(child.err.isEmpty(), child.err.constData());

    const QStringList lines = readLogLines(path, 0);
    QCOMPARE(lines.size(), 1);
    const QRegularExpression re(QStringLiteral(R"(\A%1 \[fatal  \] \[ {20} 0\] fatal marker\z)").arg(TimeRe));
    QVERIFY2(re.match(lines.first()).hasMatch(), qPrintable(lines.first()));
}

void tst_SimpleLog::lockForExitStopsOtherThreads()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    const testhelpers::ChildRun child = testhelpers::runSelfAsChild("lock-for-exit", path);
    QCOMPARE(child.status, QProcess::NormalExit);
    QVERIFY2(child.code != 3, "another thread logged after lockForExit()");
    QCOMPARE(child.code, 0);
    QVERIFY2(child.err.isEmpty(), child.err.constData());

    QStringList messages;
    for (const QString &line : readLogLines(path, 0))
        messages += line.section(QStringLiteral("] "), 2);
    QCOMPARE(messages, QStringList({QStringLiteral("before lock"), QStringLiteral("after lock")}));
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argv[2], QString::fromLocal8Bit(argv[3]));
    QCoreApplication app(argc, argv);
    tst_SimpleLog test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_simplelog.moc"
