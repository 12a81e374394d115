// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Helpers for tests that run the real agent inside the sandbox (sandbox-run): a private
// system bus, the agent process, the fake configuration service and the agent's log file.

#include "agent/constants.h"
#include "testhelpers.h"

#include <QByteArray>
#include <QDBusMessage>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVector>

#include <memory>

namespace testsupport {

// The agent's fixed paths, as bytes for the system calls the tests make on them.
inline const QByteArray pidFile = kvo::pidFilePath().toLatin1();
inline const QByteArray logFile = kvo::logFilePath().toLatin1();
inline const QByteArray supportDir = kvo::supportDirectory().toLatin1();
inline const QByteArray qrDir = kvo::qrCodeDirectory().toLatin1();
inline constexpr const char *busSocket = "/run/dbus/system_bus_socket";
// Where the private bus finds the .service files of the services it may start.
inline constexpr const char *busServiceDir = "/run/dbus/kvo-test-services";

// True inside sandbox-run; tests refuse to touch the fixed paths anywhere else.
bool inSandbox();

// A dbus-daemon of type "system" listening on busSocket, with a policy that lets anyone own
// and call anything, starting services from busServiceDir. Sets DBUS_SYSTEM_BUS_ADDRESS for this process and its children.
class PrivateBus
{
public:
    ~PrivateBus();
    bool start(QString *error);
    void stop();
    QString address() const { return m_address; }

private:
    QProcess m_daemon;
    QString m_address;
};

// A real polkitd on the private bus, with the agent's action installed and one rules file that
// answers the store-files action for the users named: yes for allowed, no for refused; anyone
// else gets the action's defaults. The sandbox has no login sessions, so no caller is active.
class Polkit
{
public:
    Polkit(const QStringList &allowed, const QStringList &refused);
    ~Polkit();
    // Starts polkitd and waits until it owns its name.
    bool start(QString *error);
    // SIGSTOP and SIGCONT: a polkit that holds its name and answers nothing.
    void pause();
    void resume();
    void stop();

private:
    QProcess m_daemon;
};

// A stand-in for the support application: a process that runs until it is killed.
class SupportApp
{
public:
    SupportApp();
    ~SupportApp();
    QByteArray pid() const;
    void end();

private:
    QProcess m_process;
};

// Writes this process's id as the support application's pid file.
void writeOwnPid();

// Puts release files in /etc so that the agent starts without warnings about them.
void writeReleaseFiles();

// Reads the agent's log from a mark on, so that each test sees only its own lines.
class LogCursor
{
public:
    LogCursor();
    QStringList lines() const;
    // Lines whose message part (after the fixed prefix) equals text exactly.
    int count(const QString &text) const;
    bool waitFor(const QString &text, int timeoutMs = 10000) const;

private:
    qint64 m_offset = 0;
};

// The message part of a log line: what follows "] [<file> <line>] ".
QString messageOf(const QString &line);

// The message parts of the lines after the cursor's mark.
QStringList messages(const LogCursor &log);

class AgentProcess
{
public:
    explicit AgentProcess(const QStringList &extraEnvironment = {});
    ~AgentProcess();
    // Waits until the agent owns its name and serves its object.
    bool waitForName(int timeoutMs = 10000);
    // Ends the agent and waits for it (SIGTERM, then SIGKILL).
    void stop();
    // False when still running after timeoutMs; exitCode is -1 when a signal ended the agent.
    bool waitForExit(int timeoutMs, int *exitCode);
    qint64 pid() const { return m_process.processId(); }
    QByteArray output() { return m_process.readAllStandardError() + m_process.readAllStandardOutput(); }

private:
    QProcess m_process;
};

class FakeConfigService
{
public:
    explicit FakeConfigService(const QString &logRules);
    ~FakeConfigService();
    bool waitForName(int timeoutMs = 10000);
    // Changes a value; the service then sends "valueChanged" for key.
    bool setValue(const QString &key, const QString &value);
    bool emitValueChanged(const QString &key);
    bool setReplyDelay(int ms);

private:
    QProcess m_process;
};

bool serviceRegistered(const QString &name);

// The entries of the private journal of sandbox-run --journal, oldest first; matches are
// journalctl's field matches ("_PID=123").
QVector<QJsonObject> readJournal(const QStringList &matches = {});

// A call of method on the agent's object and interface, to send as it is.
QDBusMessage agentCall(const QString &method, const QVariantList &args);

// Calls method on the agent over the system bus and waits for the answer (up to two minutes).
QDBusMessage callAgent(const QString &method, const QVariantList &args);

// The common start of a program that runs the agent in the sandbox. A test class derives from
// it and calls setUpSandbox() in initTestCase:
//     QString error;
//     QVERIFY2(setUpSandbox(OwnPid | ReleaseFiles | ConfigService, &error), qPrintable(error));
// It refuses to run outside sandbox-run and starts the private bus (m_bus). OwnPid writes this
// process's id as the support application's pid file; ReleaseFiles puts release files in /etc
// so that the agent starts without warnings about them; ConfigService starts the fake
// configuration service (m_config) with empty log rules and waits for its name.
class SandboxFixture
{
public:
    enum Option { BusOnly = 0, OwnPid = 0x1, ReleaseFiles = 0x2, ConfigService = 0x4 };

protected:
    bool setUpSandbox(int options, QString *error);

    PrivateBus m_bus;
    std::unique_ptr<FakeConfigService> m_config;
};

} // namespace testsupport
