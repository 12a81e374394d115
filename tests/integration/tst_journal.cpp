// SPDX-License-Identifier: GPL-3.0-or-later
// Runs under sandbox-run --journal: a private journald owns /run/systemd/journal/socket and
// stores into /run/log/journal, and /var/log is a throw-away tmpfs. The agent's own entries are
// checked on a private system bus.
#include "simplelog/journalfields.h"
#include "simplelog/logmanager.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

using simplelog::LogManager;
using testhelpers::readFile;
using testsupport::callAgent;
using testsupport::readJournal;

namespace {

const QString DaemonFormat = kvo::logFormat();
const QString DaemonLogPath = kvo::logFilePath();
const char *const AgentCategory = kvo::logCategoryName;
const char JournalSocket[] = "/run/systemd/journal/socket";
const QString TimeRe = QStringLiteral(R"(\d{4}-\d\d-\d\d, \d\d:\d\d:\d\d\.\d{3})");

Q_LOGGING_CATEGORY(lcAgent, AgentCategory)

void configureLikeTheDaemon(const QString &logPath)
{
    LogManager::setLogFormat(DaemonFormat);
    LogManager::setlogFilePath(logPath);
    LogManager::registerCategoryJournalAppender(QString::fromLatin1(AgentCategory));
    LogManager::registerJournalAppender();
    LogManager::registerCategoryFileAppender(QString::fromLatin1(AgentCategory));
    LogManager::registerFileAppender();
}

// journalctl's JSON gives a field as a string, as an array of byte values when it is not
// printable text, and as an array of those when the entry has the field more than once.
struct Field
{
    bool present = false;
    int count = 0;
    QByteArray value;
};

QByteArray decodeValue(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().toUtf8();
    QByteArray bytes;
    for (const QJsonValue &b : value.toArray())
        bytes.append(char(b.toInt()));
    return bytes;
}

Field field(const QJsonObject &entry, const char *name)
{
    Field f;
    const QJsonValue value = entry.value(QLatin1String(name));
    if (value.isUndefined())
        return f;
    f.present = true;
    const bool several = value.isArray() && !value.toArray().isEmpty() && !value.toArray().first().isDouble();
    f.count = several ? value.toArray().size() : 1;
    f.value = decodeValue(several ? value.toArray().first() : value);
    return f;
}

QVector<QJsonObject> entriesContaining(const QVector<QJsonObject> &entries, const QByteArray &marker)
{
    QVector<QJsonObject> found;
    for (const QJsonObject &entry : entries) {
        if (field(entry, "MESSAGE").value.contains(marker))
            found.append(entry);
    }
    return found;
}

// Logs a marker of its own and returns the journal once the marker is in it. The journal
// handles datagrams in order, so everything sent before it is in there too.
QVector<QJsonObject> syncJournal()
{
    const QByteArray sentinel = "sync " + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    qCInfo(lcAgent, "%s", sentinel.constData());
    const QDeadlineTimer deadline(30000);
    do {
        const QVector<QJsonObject> entries = readJournal();
        if (!entriesContaining(entries, sentinel).isEmpty())
            return entries;
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return {};
}

// dbus-monitor of the private bus, watching the questions about callers that reach the bus.
class CredentialsMonitor
{
public:
    CredentialsMonitor()
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // Line-buffered: dbus-monitor writes to a pipe in blocks otherwise.
        m_process.start(QStringLiteral("stdbuf"),
                        {QStringLiteral("-oL"), QStringLiteral("dbus-monitor"), QStringLiteral("--system"),
                         QStringLiteral("type='method_call',interface='org.freedesktop.DBus',member='GetConnectionCredentials'")});
        m_process.waitForStarted(10000);
    }
    ~CredentialsMonitor()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // A monitor gives up its name as soon as it is one; from then on it sees every question.
    bool waitUntilMonitoring() { return waitForText("member=NameLost"); }

    // The names that connections of process pid asked the bus about, in order, up to a
    // question of this process's own whose arrival shows that everything sent before it has
    // been seen.
    QStringList askedBy(qint64 pid)
    {
        const QString sentinel = QStringLiteral("com.corvid.kvo.sentinel%1").arg(++m_sentinels);
        QDBusMessage question = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                               QStringLiteral("/org/freedesktop/DBus"),
                                                               QStringLiteral("org.freedesktop.DBus"),
                                                               QStringLiteral("GetConnectionCredentials"));
        question << sentinel;
        QDBusConnection::systemBus().call(question);
        if (!waitForText("string \"" + sentinel.toUtf8() + '"'))
            return {QStringLiteral("<the monitor missed its sentinel>")};
        static const QRegularExpression asked(
            QStringLiteral("^method call [^\\n]* sender=(\\S+) -> destination=org\\.freedesktop\\.DBus [^\\n]*"
                           "member=GetConnectionCredentials\\n\\s+string \"([^\"]*)\""),
            QRegularExpression::MultilineOption);
        QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
        QStringList names;
        for (auto it = asked.globalMatch(QString::fromUtf8(m_output)); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            if (bus->servicePid(match.captured(1)).value() == pid)
                names.append(match.captured(2));
        }
        return names;
    }

private:
    bool waitForText(const QByteArray &text)
    {
        const QDeadlineTimer deadline(30000);
        while (!m_output.contains(text)) {
            if (deadline.hasExpired() || m_process.state() != QProcess::Running)
                return false;
            m_process.waitForReadyRead(100);
            m_output += m_process.readAll();
        }
        return true;
    }

    QProcess m_process;
    QByteArray m_output;
    int m_sentinels = 0;
};

// A call over a connection of another user; returns the caller's process id, 0 on failure.
qint64 callAgentAsNobody()
{
    QProcess busctl;
    busctl.setProcessChannelMode(QProcess::MergedChannels);
    busctl.start(QStringLiteral("setpriv"),
                 {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                  QStringLiteral("busctl"), QStringLiteral("--system"), QStringLiteral("call"),
                  QStringLiteral("com.corvid.serviceandsupport"), QStringLiteral("/com/corvid/serviceandsupport/agent"),
                  QStringLiteral("com.corvid.serviceandsupport.agent"), QStringLiteral("updateCustomFile"),
                  QStringLiteral("ay"), QStringLiteral("3"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")});
    if (!busctl.waitForStarted(10000))
        return 0;
    const qint64 pid = busctl.processId();
    const bool ok = busctl.waitForFinished(60000) && busctl.exitStatus() == QProcess::NormalExit && busctl.exitCode() == 0;
    if (!ok)
        qWarning("busctl: %s", busctl.readAll().constData());
    return ok ? pid : 0;
}

// Child modes, run in a process of their own.
int runChild(const QByteArray &mode, const QString &logPath, const QByteArray &marker)
{
    if (mode == "fatal") {
        const struct rlimit noCore = {0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        configureLikeTheDaemon(logPath);
        // Qt 5 has no qCFatal().
        QMessageLogger(nullptr, 0, nullptr, lcAgent().categoryName()).fatal("%s", marker.constData());
        return 2;
    }
    if (mode == "no-journal") {
        if (::access(JournalSocket, F_OK) == 0 || errno != ENOENT)
            return 4;
        configureLikeTheDaemon(logPath);
        qCWarning(lcAgent, "%s agent", marker.constData());
        qWarning("%s default", marker.constData());
        return 0;
    }
    return 2;
}

} // namespace

class tst_Journal : public QObject, protected testsupport::SandboxFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void messagesReachJournalOnce_data();
    void messagesReachJournalOnce();
    void extraFieldsWhileInScope();
    void fatalReachesJournal();
    void missingJournalIsSilent();
    void agentEntriesNameTheirCaller();
};

void tst_Journal::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("KVO_SANDBOX_INNER"))
        QSKIP("needs the private journal of sandbox-run --journal");
    QVERIFY(QFileInfo(QString::fromLatin1(JournalSocket)).exists());
    QLoggingCategory::setFilterRules(QStringLiteral("org.corvid.*.debug=true\ndefault.debug=true"));
    configureLikeTheDaemon(DaemonLogPath);
    QString error;
    QVERIFY2(setUpSandbox(ReleaseFiles, &error), qPrintable(error));
}

void tst_Journal::messagesReachJournalOnce_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("agentCategory");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("typeText");
    QTest::addColumn<int>("priority");

    const struct
    {
        QtMsgType type;
        const char *name;
        int priority;
    } types[] = {{QtDebugMsg, "debug  ", 7},
                 {QtInfoMsg, "info   ", 6},
                 {QtWarningMsg, "warning", 4},
                 {QtCriticalMsg, "critical", 2}};
    for (const auto &t : types) {
        for (const bool agent : {true, false}) {
            QTest::addRow("%s %s", t.name, agent ? "agent" : "default")
                << int(t.type) << agent << QStringLiteral("plain text") << QString::fromLatin1(t.name)
                << t.priority;
        }
    }
    QTest::newRow("multi-line") << int(QtWarningMsg) << true << QStringLiteral("first\nsecond")
                                << QStringLiteral("warning") << 4;
    QTest::newRow("format characters") << int(QtWarningMsg) << true
                                       << QStringLiteral("100% %s %n %{type} PRIORITY=0")
                                       << QStringLiteral("warning") << 4;
    QTest::newRow("non-ASCII") << int(QtInfoMsg) << false << QStringLiteral("Grüße, ☃")
                               << QStringLiteral("info   ") << 6;
}

void tst_Journal::messagesReachJournalOnce()
{
    QFETCH(int, type);
    QFETCH(bool, agentCategory);
    QFETCH(QString, text);
    QFETCH(QString, typeText);
    QFETCH(int, priority);

    const QString marker = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString message = marker + QLatin1Char(' ') + text;
    const QByteArray utf8 = message.toUtf8();
    switch (QtMsgType(type)) {
    case QtDebugMsg:
        if (agentCategory)
            qCDebug(lcAgent, "%s", utf8.constData());
        else
            qDebug("%s", utf8.constData());
        break;
    case QtInfoMsg:
        if (agentCategory)
            qCInfo(lcAgent, "%s", utf8.constData());
        else
            qInfo("%s", utf8.constData());
        break;
    case QtWarningMsg:
        if (agentCategory)
            qCWarning(lcAgent, "%s", utf8.constData());
        else
            qWarning("%s", utf8.constData());
        break;
    default:
        if (agentCategory)
            qCCritical(lcAgent, "%s", utf8.constData());
        else
            qCritical("%s", utf8.constData());
        break;
    }

    const QVector<QJsonObject> found = entriesContaining(syncJournal(), marker.toUtf8());
    QCOMPARE(found.size(), 1);
    const QJsonObject &entry = found.first();

    const Field journalMessage = field(entry, "MESSAGE");
    QCOMPARE(journalMessage.count, 1);
    const QRegularExpression re(QRegularExpression::anchoredPattern(
        TimeRe + QRegularExpression::escape(QStringLiteral(" [%1] [%2 0] %3")
                                                .arg(typeText, QString(20, QLatin1Char(' ')), message))));
    QVERIFY2(re.match(QString::fromUtf8(journalMessage.value)).hasMatch(), journalMessage.value.constData());

    QCOMPARE(field(entry, "PRIORITY").value, QByteArray::number(priority));
    QCOMPARE(field(entry, "QT_CATEGORY").value, agentCategory ? QByteArray(AgentCategory) : QByteArray("default"));
    QCOMPARE(field(entry, "SYSLOG_IDENTIFIER").value, QByteArray(program_invocation_short_name));
    const Field codeLine = field(entry, "CODE_LINE");
    QVERIFY(codeLine.present);
    QCOMPARE(codeLine.value, QByteArray("0"));
    // Sent as the context has them, even when empty, and only once.
    QCOMPARE(field(entry, "CODE_FILE").value, QByteArray());
    QCOMPARE(field(entry, "CODE_FUNC").value, QByteArray());
    for (const char *name : {"PRIORITY", "QT_CATEGORY", "SYSLOG_IDENTIFIER", "CODE_FILE", "CODE_LINE", "CODE_FUNC"})
        QVERIFY2(field(entry, name).count == 1, name);

    // The file gets the very same line, once.
    QCOMPARE(readFile(DaemonLogPath).count(journalMessage.value + '\n'), 1);
}

// A field joins the entries its thread writes while it lives, nested fields all of them; the
// message and the file's line stay as they are, and no other entry gets the field.
void tst_Journal::extraFieldsWhileInScope()
{
    const QByteArray marker = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    qCWarning(lcAgent, "%s before", marker.constData());
    {
        const simplelog::JournalFields errnoField("ERRNO", ENOSPC);
        qCWarning(lcAgent, "%s errno", marker.constData());
        {
            const simplelog::JournalFields other("KVO_TEST_FIELD", QByteArray("a b=c\nd"));
            qCWarning(lcAgent, "%s nested", marker.constData());
        }
        qCWarning(lcAgent, "%s errno again", marker.constData());
        QThread *thread = QThread::create([&marker] { qCWarning(lcAgent, "%s other thread", marker.constData()); });
        thread->start();
        QVERIFY(thread->wait(30000));
        delete thread;
    }
    qCWarning(lcAgent, "%s after", marker.constData());

    const QVector<QJsonObject> entries = entriesContaining(syncJournal(), marker);
    QCOMPARE(entries.size(), 6);
    const QByteArray file = readFile(DaemonLogPath);
    const struct
    {
        const char *suffix;
        const char *errnoValue;
        const char *otherValue;
    } expected[] = {{" before", nullptr, nullptr},  {" errno", "28", nullptr},
                    {" nested", "28", "a b=c\nd"},  {" errno again", "28", nullptr},
                    {" other thread", nullptr, nullptr}, {" after", nullptr, nullptr}};
    for (const auto &e : expected) {
        const QByteArray text = marker + e.suffix;
        const QJsonObject *entry = nullptr;
        for (const QJsonObject &candidate : entries) {
            if (field(candidate, "MESSAGE").value.endsWith("] " + text))
                entry = &candidate;
        }
        QVERIFY2(entry, text.constData());
        const Field errnoField = field(*entry, "ERRNO");
        const Field other = field(*entry, "KVO_TEST_FIELD");
        QVERIFY2(errnoField.present == (e.errnoValue != nullptr), text.constData());
        QVERIFY2(other.present == (e.otherValue != nullptr), text.constData());
        if (e.errnoValue) {
            QCOMPARE(errnoField.count, 1);
            QCOMPARE(errnoField.value, QByteArray(e.errnoValue));
        }
        if (e.otherValue) {
            QCOMPARE(other.count, 1);
            QCOMPARE(other.value, QByteArray(e.otherValue));
        }
        for (const char *name : {"PRIORITY", "QT_CATEGORY", "SYSLOG_IDENTIFIER", "CODE_FILE", "CODE_LINE", "CODE_FUNC"})
            QVERIFY2(field(*entry, name).count == 1, name);
        QCOMPARE(file.count(field(*entry, "MESSAGE").value + '\n'), 1);
    }
    QVERIFY(!file.contains("ERRNO") && !file.contains("KVO_TEST_FIELD"));
}

void tst_Journal::fatalReachesJournal()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString logPath = dir.filePath(QStringLiteral("agent.log"));
    const QString marker = QUuid::createUuid().toString(QUuid::WithoutBraces);

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--child"), QStringLiteral("fatal"), logPath, marker});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QCOMPARE(child.readAllStandardError(), QByteArray());

    const QVector<QJsonObject> found = entriesContaining(syncJournal(), marker.toUtf8());
    QCOMPARE(found.size(), 1);
    const QByteArray journalMessage = field(found.first(), "MESSAGE").value;
    const QRegularExpression re(QRegularExpression::anchoredPattern(
        TimeRe + QRegularExpression::escape(QStringLiteral(" [fatal  ] [%1 0] %2").arg(QString(20, QLatin1Char(' ')), marker))));
    QVERIFY2(re.match(QString::fromUtf8(journalMessage)).hasMatch(), journalMessage.constData());
    QCOMPARE(field(found.first(), "PRIORITY").value, QByteArray("1"));
    QCOMPARE(field(found.first(), "QT_CATEGORY").value, QByteArray(AgentCategory));
    QCOMPARE(readFile(logPath), journalMessage + '\n');
}

void tst_Journal::missingJournalIsSilent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString logPath = dir.filePath(QStringLiteral("agent.log"));
    const QString marker = QUuid::createUuid().toString(QUuid::WithoutBraces);

    // The child gets a mount namespace of its own in which an empty tmpfs hides the socket.
    QProcess child;
    child.start(QStringLiteral("unshare"),
                {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                 QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
                 QStringLiteral("mount -t tmpfs -o mode=0755 kvo-no-journal /run/systemd/journal && exec \"$0\" \"$@\""),
                 QCoreApplication::applicationFilePath(), QStringLiteral("--child"),
                 QStringLiteral("no-journal"), logPath, marker});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray errors = child.readAllStandardError();
    QVERIFY2(errors.isEmpty(), errors.constData());
    QCOMPARE(child.readAllStandardOutput(), QByteArray());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QVERIFY2(child.exitCode() != 4, "the journal socket was still there in the child");
    QCOMPARE(child.exitCode(), 0);

    const QStringList lines = QString::fromUtf8(readFile(logPath)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).endsWith(marker + QStringLiteral(" agent")));
    QVERIFY(lines.at(1).endsWith(marker + QStringLiteral(" default")));

    const QVector<QJsonObject> entries = syncJournal();
    QVERIFY(!entries.isEmpty());
    QCOMPARE(entriesContaining(entries, marker.toUtf8()).size(), 0);
}

// Every entry the agent writes while it serves a call carries the caller's user and process; the
// line itself, in the journal and in the log file, is the one it always was. The bus is asked
// once per caller, not once per call.
void tst_Journal::agentEntriesNameTheirCaller()
{
    using testsupport::messageOf;

    CredentialsMonitor monitor;
    QVERIFY(monitor.waitUntilMonitoring());
    testsupport::SupportApp support;
    QFile pidFile(QString::fromLatin1(testsupport::pidFile));
    QVERIFY(pidFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
    pidFile.write(support.pid());
    pidFile.close();
    testsupport::FakeConfigService config(testhelpers::logRule("debug=true"));
    QVERIFY(config.waitForName());
    testsupport::Polkit polkit({QStringLiteral("nobody")}, {});
    QString error;
    QVERIFY2(polkit.start(&error), qPrintable(error));
    testsupport::LogCursor log;
    testsupport::AgentProcess agent;
    QVERIFY2(agent.waitForName(), agent.output().constData());
    const QByteArray agentPid = QByteArray::number(agent.pid());

    // Three calls over this process's connection, then one from each of two other callers.
    QCOMPARE(callAgent(QStringLiteral("updateCustomFile"), {QByteArray("{}")}).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(callAgent(QStringLiteral("downloadQRCode"), {QStringLiteral("../out"), QStringLiteral("q.png"), QByteArray("q")}).type(),
             QDBusMessage::ReplyMessage);
    QCOMPARE(callAgent(QStringLiteral("updateDeviceTreeFile"), {QByteArray("{}")}).type(), QDBusMessage::ReplyMessage);
    const qint64 nobody1 = callAgentAsNobody();
    QVERIFY(nobody1 > 0);
    const qint64 nobody2 = callAgentAsNobody();
    QVERIFY(nobody2 > 0);
    QStringList asked = monitor.askedBy(agent.pid());
    // A signal from the bus, and the watcher's end: no calls, so no caller.
    QVERIFY(config.emitValueChanged(QStringLiteral("log_rules")));
    QVERIFY(log.waitFor(QStringLiteral("value changed: \"log_rules\"")));
    support.end();
    int status = -1;
    QVERIFY(agent.waitForExit(30000, &status));
    QCOMPARE(status, 0);

    QCOMPARE(asked.size(), 3);
    QCOMPARE(asked.count(QDBusConnection::systemBus().baseService()), 1);
    QCOMPARE(asked.removeDuplicates(), 0);

    struct Expected
    {
        QString message;
        QByteArray uid;
        QByteArray pid;
    };
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    const QVector<Expected> expected = {
        {QStringLiteral("Custom File open success!"), "0", self},
        {QStringLiteral("Save path is invalid"), "0", self},
        {QStringLiteral("Device Tree File open success!"), "0", self},
        {QStringLiteral("Custom File open success!"), "65534", QByteArray::number(nobody1)},
        {QStringLiteral("Custom File open success!"), "65534", QByteArray::number(nobody2)},
        {QStringLiteral("value changed: \"log_rules\""), {}, {}},
        {QStringLiteral("kvo-service-support no running"), {}, {}},
        {QStringLiteral("exit agent."), {}, {}},
    };

    QVector<QJsonObject> entries;
    for (const QJsonObject &entry : syncJournal()) {
        if (field(entry, "_PID").value == agentPid)
            entries.append(entry);
    }
    QStringList seen;
    for (const QJsonObject &entry : std::as_const(entries))
        seen.append(messageOf(QString::fromUtf8(field(entry, "MESSAGE").value)));
    QStringList wanted;
    for (const Expected &e : expected)
        wanted.append(e.message);
    QCOMPARE(seen, wanted);

    const QByteArray file = readFile(DaemonLogPath);
    QVERIFY(!file.contains("CALLER_"));
    for (int i = 0; i < entries.size(); ++i) {
        const QJsonObject &entry = entries.at(i);
        const Field uid = field(entry, "CALLER_UID");
        const Field pid = field(entry, "CALLER_PID");
        QVERIFY2(uid.present == !expected.at(i).uid.isEmpty() && pid.present == !expected.at(i).pid.isEmpty(),
                 qPrintable(seen.at(i)));
        if (uid.present) {
            QCOMPARE(uid.count, 1);
            QCOMPARE(pid.count, 1);
            QCOMPARE(uid.value, expected.at(i).uid);
            QCOMPARE(pid.value, expected.at(i).pid);
        }
        // The line as it always was: once in the log file, and there exactly as in the journal.
        const QByteArray message = field(entry, "MESSAGE").value;
        QCOMPARE(file.count(message + '\n'), 1);
    }
}

int main(int argc, char **argv)
{
    if (argc == 5 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argv[2], QString::fromLocal8Bit(argv[3]), argv[4]);
    QCoreApplication app(argc, argv);
    tst_Journal test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_journal.moc"
