// SPDX-License-Identifier: GPL-3.0-or-later
#include "testsupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>

#include <signal.h>

namespace testsupport {

bool inSandbox()
{
    return qEnvironmentVariableIsSet("KVO_SANDBOX_INNER")
        && QStorageInfo(QStringLiteral("/usr/share")).fileSystemType() == "overlay"
        && QStorageInfo(QStringLiteral("/etc")).fileSystemType() == "overlay"
        && QStorageInfo(QStringLiteral("/var/log")).fileSystemType() == "tmpfs";
}

static const char busConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%2</servicedir>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
)";

PrivateBus::~PrivateBus()
{
    stop();
}

bool PrivateBus::start(QString *error)
{
    const QString configPath = QStringLiteral("/run/dbus/kvo-test-bus.conf");
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write %1").arg(configPath);
        return false;
    }
    config.write(QString::fromLatin1(busConfig).arg(QLatin1String(busSocket), QLatin1String(busServiceDir)).toUtf8());
    QDir().mkpath(QLatin1String(busServiceDir));
    config.close();
    QFile::remove(QLatin1String(busSocket));

    m_daemon.setProcessChannelMode(QProcess::SeparateChannels);
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                    QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(5000)) {
        *error = QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString();
        return false;
    }
    QDeadlineTimer deadline(10000);
    while (!m_daemon.canReadLine() && !deadline.hasExpired())
        m_daemon.waitForReadyRead(100);
    m_address = QString::fromLatin1(m_daemon.readLine().trimmed());
    if (m_address.isEmpty()) {
        *error = QStringLiteral("dbus-daemon printed no address: ") + QString::fromLocal8Bit(m_daemon.readAllStandardError());
        return false;
    }
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toLatin1());
    return true;
}

void PrivateBus::stop()
{
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000))
            m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
}

Polkit::Polkit(const QStringList &allowed, const QStringList &refused)
{
    QDir().mkpath(QStringLiteral("/usr/share/polkit-1/actions"));
    const QString action = QStringLiteral("/usr/share/polkit-1/actions/com.corvid.serviceandsupport.policy");
    QFile::remove(action);
    QFile::copy(QStringLiteral(KVO_POLKIT_ACTION_FILE), action);
    QString rules = QStringLiteral("polkit.addRule(function(action, subject) {\n"
                                   "    if (action.id != \"%1\")\n"
                                   "        return polkit.Result.NOT_HANDLED;\n").arg(kvo::storeFilesAction());
    for (const QString &user : allowed)
        rules += QStringLiteral("    if (subject.user == \"%1\")\n        return polkit.Result.YES;\n").arg(user);
    for (const QString &user : refused)
        rules += QStringLiteral("    if (subject.user == \"%1\")\n        return polkit.Result.NO;\n").arg(user);
    rules += QStringLiteral("});\n");
    QDir().mkpath(QStringLiteral("/etc/polkit-1/rules.d"));
    QFile file(QStringLiteral("/etc/polkit-1/rules.d/50-kvo-test.rules"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(rules.toUtf8());
}

Polkit::~Polkit()
{
    stop();
    QFile::remove(QStringLiteral("/etc/polkit-1/rules.d/50-kvo-test.rules"));
}

bool Polkit::start(QString *error)
{
    m_daemon.setProcessChannelMode(QProcess::ForwardedChannels);
    m_daemon.start(QStringLiteral("/usr/lib/polkit-1/polkitd"), {QStringLiteral("--no-debug")});
    if (!m_daemon.waitForStarted(5000)) {
        *error = QStringLiteral("polkitd did not start: ") + m_daemon.errorString();
        return false;
    }
    QDeadlineTimer deadline(20000);
    while (!QDBusConnection::systemBus().interface()->isServiceRegistered(kvo::polkitService())) {
        if (deadline.hasExpired() || m_daemon.state() == QProcess::NotRunning) {
            *error = QStringLiteral("polkitd did not take its name on the bus");
            return false;
        }
        QTest::qWait(20);
    }
    return true;
}

void Polkit::pause()
{
    ::kill(pid_t(m_daemon.processId()), SIGSTOP);
}

void Polkit::resume()
{
    ::kill(pid_t(m_daemon.processId()), SIGCONT);
}

void Polkit::stop()
{
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    resume();
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000))
        m_daemon.kill();
    m_daemon.waitForFinished(5000);
    QDeadlineTimer deadline(5000);
    while (QDBusConnection::systemBus().interface()->isServiceRegistered(kvo::polkitService()) && !deadline.hasExpired())
        QTest::qWait(10);
}

SupportApp::SupportApp()
{
    m_process.start(QStringLiteral("sleep"), {QStringLiteral("100000")});
    m_process.waitForStarted(5000);
}

SupportApp::~SupportApp()
{
    end();
}

QByteArray SupportApp::pid() const
{
    return QByteArray::number(m_process.processId());
}

void SupportApp::end()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

void writeOwnPid()
{
    QFile file{kvo::pidFilePath()};
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QByteArray::number(QCoreApplication::applicationPid()));
}

void writeReleaseFiles()
{
    QFile os(QStringLiteral("/etc/os-version"));
    if (os.open(QIODevice::WriteOnly | QIODevice::Truncate))
        os.write("[Version]\nSystemName=Test OS\nMajorVersion=1\n");
    QFile oem(QStringLiteral("/etc/oem-version"));
    if (oem.open(QIODevice::WriteOnly | QIODevice::Truncate))
        oem.write("[OEM-Version]\nManufacturer=Test\n");
}

LogCursor::LogCursor()
{
    QFile file{kvo::logFilePath()};
    m_offset = file.exists() ? file.size() : 0;
}

QStringList LogCursor::lines() const
{
    QFile file{kvo::logFilePath()};
    if (!file.open(QIODevice::ReadOnly))
        return {};
    file.seek(m_offset);
    QStringList result;
    const QList<QByteArray> raw = file.readAll().split('\n');
    for (const QByteArray &line : raw) {
        if (!line.isEmpty())
            result.append(QString::fromUtf8(line));
    }
    return result;
}

QString messageOf(const QString &line)
{
    static const QRegularExpression prefix(QStringLiteral(
        R"(^\d{4}-\d\d-\d\d, \d\d:\d\d:\d\d\.\d{3} \[[a-z ]{7,}\] \[.{20,} \d+\] )"));
    const QRegularExpressionMatch match = prefix.match(line);
    return match.hasMatch() ? line.mid(match.capturedLength()) : QString();
}

QStringList messages(const LogCursor &log)
{
    QStringList result;
    for (const QString &line : log.lines())
        result.append(messageOf(line));
    return result;
}

int LogCursor::count(const QString &text) const
{
    int n = 0;
    for (const QString &line : lines()) {
        if (messageOf(line) == text)
            ++n;
    }
    return n;
}

bool LogCursor::waitFor(const QString &text, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (count(text) == 0) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

AgentProcess::AgentProcess(const QStringList &extraEnvironment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &pair : extraEnvironment) {
        const int eq = pair.indexOf(QLatin1Char('='));
        env.insert(pair.left(eq), pair.mid(eq + 1));
    }
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(QStringLiteral(KVO_AGENT_BINARY), QStringList());
    m_process.waitForStarted(5000);
}

AgentProcess::~AgentProcess()
{
    stop();
}

bool serviceRegistered(const QString &name)
{
    QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
    return bus && bus->isServiceRegistered(name).value();
}

QVector<QJsonObject> readJournal(const QStringList &matches)
{
    QProcess journalctl;
    journalctl.start(QStringLiteral("journalctl"),
                     QStringList{QStringLiteral("-D"), QStringLiteral("/run/log/journal"), QStringLiteral("-o"),
                                 QStringLiteral("json"), QStringLiteral("--no-pager")}
                         + matches);
    if (!journalctl.waitForFinished(30000))
        return {};
    QVector<QJsonObject> entries;
    for (const QByteArray &line : journalctl.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            entries.append(QJsonDocument::fromJson(line).object());
    }
    return entries;
}

QDBusMessage agentCall(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kvo::serviceName(), kvo::agentObjectPath(),
                                                       kvo::agentInterface(), method);
    call.setArguments(args);
    return call;
}

QDBusMessage callAgent(const QString &method, const QVariantList &args)
{
    return QDBusConnection::systemBus().call(agentCall(method, args), QDBus::Block, 120000);
}

static bool waitForService(QProcess &process, const QString &name, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!serviceRegistered(name)) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return false;
        QTest::qWait(20);
    }
    return true;
}

static bool agentObjectRegistered()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        kvo::serviceName(), kvo::agentObjectPath(), QStringLiteral("org.freedesktop.DBus.Introspectable"),
        QStringLiteral("Introspect"));
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage
        && reply.arguments().value(0).toString().contains(kvo::agentInterface());
}

bool AgentProcess::waitForName(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    if (!waitForService(m_process, kvo::serviceName(), timeoutMs))
        return false;
    // The name comes before the object; only once the object is there has start-up finished.
    while (!agentObjectRegistered()) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
        QTest::qWait(20);
    }
    return true;
}

void AgentProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // The bus drops the name a moment after the connection closes.
    QDeadlineTimer deadline(5000);
    while (serviceRegistered(kvo::serviceName()) && !deadline.hasExpired())
        QTest::qWait(10);
}

bool AgentProcess::waitForExit(int timeoutMs, int *exitCode)
{
    if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
        return false;
    *exitCode = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    return true;
}

FakeConfigService::FakeConfigService(const QString &logRules)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(KVO_FAKE_CONFIG_BINARY),
                    {QStringLiteral("--value"), kvo::logRulesKey() + QLatin1Char('=') + logRules});
    m_process.waitForStarted(5000);
}

FakeConfigService::~FakeConfigService()
{
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(5000);
    QDeadlineTimer deadline(5000);
    while (serviceRegistered(kvo::configService()) && !deadline.hasExpired())
        QTest::qWait(10);
}

bool SandboxFixture::setUpSandbox(int options, QString *error)
{
    if (!inSandbox()) {
        *error = QStringLiteral("runs only inside sandbox-run, which owns the fixed paths");
        return false;
    }
    if (!m_bus.start(error))
        return false;
    if (options & OwnPid)
        writeOwnPid();
    if (options & ReleaseFiles)
        writeReleaseFiles();
    if (options & ConfigService) {
        m_config = std::make_unique<FakeConfigService>(QString());
        if (!m_config->waitForName()) {
            *error = QStringLiteral("the fake configuration service did not come up");
            return false;
        }
    }
    return true;
}

bool FakeConfigService::waitForName(int timeoutMs)
{
    return waitForService(m_process, kvo::configService(), timeoutMs);
}

static bool callConfigObject(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        kvo::configService(),
        QStringLiteral("/org/desktopspec/ConfigManager/kvo_service_support_agent"),
        kvo::configManagerInterface(), method);
    call.setArguments(args);
    return QDBusConnection::systemBus().call(call).type() == QDBusMessage::ReplyMessage;
}

bool FakeConfigService::setValue(const QString &key, const QString &value)
{
    return callConfigObject(QStringLiteral("setValue"), {key, value});
}

bool FakeConfigService::setReplyDelay(int ms)
{
    return callConfigObject(QStringLiteral("setReplyDelay"), {ms});
}

bool FakeConfigService::emitValueChanged(const QString &key)
{
    return callConfigObject(QStringLiteral("emitValueChanged"), {key});
}

} // namespace testsupport
