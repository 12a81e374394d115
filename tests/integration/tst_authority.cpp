// SPDX-License-Identifier: GPL-3.0-or-later
//
// Who may change the support files: root, and any other caller only when a real polkitd grants
// the store-files action to its bus name. A refused or unanswerable call changes nothing, gets
// its empty reply and leaves one warning that names the method, the caller and why; a polkit
// that answers nothing holds up no other caller. In process: the table of answers keeps a
// caller's calls in order and does not outgrow the callers connected, even when the bus's news
// of their leaving is lost.
#include "agent/callerauthority.h"
#include "testsupport.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <signal.h>

#include <memory>
#include <utility>

using namespace testsupport;
using testhelpers::readFile;
using testhelpers::writeFile;

namespace {

const QString clientPath = QStringLiteral("/run/kvo-authority-client");
const QByteArray before("{\"before\":1}");
// What tst_policy_client sends.
const QByteArray clientData("{\"policy\":1}");
const QByteArray leftData("{\"left\":1}");
const QString notAuthorized = QStringLiteral("polkit does not authorize com.corvid.serviceandsupport.store-files");

QString idOf(const QString &user, const char *option)
{
    QProcess id;
    id.start(QStringLiteral("id"), {QLatin1String(option), user});
    id.waitForFinished(5000);
    return QString::fromLatin1(id.readAllStandardOutput()).trimmed();
}

QString uidOf(const QString &user)
{
    return idOf(user, "-u");
}

QStringList asUser(const QString &user)
{
    return user == QLatin1String("root")
        ? QStringList()
        : QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=") + uidOf(user),
                      QStringLiteral("--regid=") + idOf(user, "-g"), QStringLiteral("--clear-groups"), QStringLiteral("--")};
}

// Starts the client as user; the caller waits for it.
void startClient(QProcess &process, const QString &user, const QStringList &args)
{
    QStringList command = asUser(user) + QStringList{clientPath} + args;
    const QString program = command.takeFirst();
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, command);
}

QString runClient(const QString &user, const QStringList &args)
{
    QProcess process;
    startClient(process, user, args);
    if (!process.waitForFinished(30000))
        return QStringLiteral("client did not finish");
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

struct Method
{
    QString member;
    QString signature;
    QString file;
};

Method method(const QString &member)
{
    if (member == QLatin1String("updateDeviceTreeFile"))
        return {member, QStringLiteral("ay"), QString::fromLatin1(supportDir) + kvo::deviceTreeFileName()};
    if (member == QLatin1String("updateCustomFile"))
        return {member, QStringLiteral("ay"), QString::fromLatin1(supportDir) + kvo::customerFileName()};
    return {member, QStringLiteral("ssayb"), QString::fromLatin1(qrDir) + QStringLiteral("policy/policy.png")};
}

// The refusals in the log since the cursor's mark that match method, uid and reason.
int refusals(const LogCursor &log, const QString &member, const QString &uid, const QString &reason)
{
    const QRegularExpression pattern(QStringLiteral("^Refused %1 from :1\\.[0-9]+ \\(uid %2, pid [0-9]+\\): %3$")
                                         .arg(member, uid, QRegularExpression::escape(reason)));
    int found = 0;
    for (const QString &message : messages(log))
        found += pattern.match(message).hasMatch() ? 1 : 0;
    return found;
}

// Waits until some process sends a CheckAuthorization call through the bus.
class PolkitQuestionMonitor
{
public:
    PolkitQuestionMonitor()
    {
        m_process.start(QStringLiteral("dbus-monitor"),
                        {QStringLiteral("--system"), QStringLiteral("type='method_call',member='CheckAuthorization'")});
        m_process.waitForStarted(5000);
    }
    ~PolkitQuestionMonitor()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool waitForQuestion()
    {
        QDeadlineTimer deadline(20000);
        while (!m_seen.contains("member=CheckAuthorization") && !deadline.hasExpired()) {
            m_process.waitForReadyRead(100);
            m_seen += m_process.readAllStandardOutput();
        }
        return m_seen.contains("member=CheckAuthorization");
    }

private:
    QProcess m_process;
    QByteArray m_seen;
};

// An exported object whose one method goes through a CallerAuthority, as the agent's do.
class Gate : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.corvid.kvo.Gate")
public:
    explicit Gate(const QDBusConnection &bus)
        : authority(bus)
    {
    }
    CallerAuthority authority;
    QStringList served;

public Q_SLOTS:
    void store(const QString &what)
    {
        if (!authority.admit(message(), "store", what.size(), [this, what](bool allowed) {
                served.append(allowed ? what : QStringLiteral("refused ") + what);
            }))
            setDelayedReply(true);
    }
};

} // namespace

class tst_Authority : public QObject
{
    Q_OBJECT

private:
    PrivateBus m_bus;
    std::unique_ptr<SupportApp> m_support;
    std::unique_ptr<FakeConfigService> m_config;
    std::unique_ptr<AgentProcess> m_agent;

    void startAgent()
    {
        m_agent = std::make_unique<AgentProcess>();
        QVERIFY2(m_agent->waitForName(), m_agent->output().constData());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(inSandbox(), "runs only inside sandbox-run, which owns the fixed paths");
        QVERIFY2(QFile::exists(QStringLiteral("/usr/lib/polkit-1/polkitd")), "polkitd is not installed");
        QFile::remove(clientPath);
        QVERIFY(QFile::copy(QStringLiteral(KVO_POLICY_CLIENT), clientPath));
        QVERIFY(QFile::setPermissions(clientPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        QString error;
        QVERIFY2(m_bus.start(&error), qPrintable(error));
        writeReleaseFiles();
        m_support = std::make_unique<SupportApp>();
        QVERIFY(writeFile(QString::fromLatin1(pidFile), m_support->pid()));
        m_config = std::make_unique<FakeConfigService>(testhelpers::logRule("debug=true"));
        QVERIFY(m_config->waitForName());
    }

    void cleanupTestCase()
    {
        m_agent.reset();
        m_config.reset();
        m_support.reset();
        m_bus.stop();
    }

    void cleanup() { m_agent.reset(); }

    void storesAsPolkitAnswers_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("member");
        QTest::addColumn<bool>("stored");
        for (const char *member : {"updateDeviceTreeFile", "updateCustomFile", "downloadQRCode"}) {
            // Root is never asked about; daemon and nobody as the rules say; bin as the action's
            // defaults say for a user outside an active session.
            QTest::addRow("root %s", member) << "root" << member << true;
            QTest::addRow("rule yes %s", member) << "daemon" << member << true;
            QTest::addRow("rule no %s", member) << "nobody" << member << false;
            QTest::addRow("defaults %s", member) << "bin" << member << false;
        }
    }

    void storesAsPolkitAnswers()
    {
        QFETCH(QString, user);
        QFETCH(QString, member);
        QFETCH(bool, stored);
        Polkit polkit({QStringLiteral("daemon")}, {QStringLiteral("nobody")});
        QString error;
        QVERIFY2(polkit.start(&error), qPrintable(error));
        startAgent();
        const Method m = method(member);
        QDir().mkpath(QFileInfo(m.file).path());
        QVERIFY(writeFile(m.file, before));
        LogCursor log;

        QCOMPARE(runClient(user, {QStringLiteral("call"), kvo::agentInterface(), m.member, m.signature}), QStringLiteral("ok 0"));
        QCOMPARE(readFile(m.file), stored ? clientData : before);
        QCOMPARE(refusals(log, m.member, uidOf(user), notAuthorized), stored ? 0 : 1);
        if (!stored)
            QCOMPARE(messages(log).size(), 1);
    }

    // Without polkit's yes nothing changes, whatever kept polkit from answering; root is not
    // asked about and is served meanwhile.
    void refusedWhenPolkitCannotAnswer_data()
    {
        QTest::addColumn<QString>("polkitState");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not on the bus") << "absent"
                                        << "polkit did not answer: org.freedesktop.DBus.Error.ServiceUnknown: "
                                           "The name org.freedesktop.PolicyKit1 was not provided by any .service files";
        QTest::newRow("answers nothing") << "paused" << "polkit did not answer within 5000 ms";
    }

    void refusedWhenPolkitCannotAnswer()
    {
        QFETCH(QString, polkitState);
        QFETCH(QString, reason);
        Polkit polkit({QStringLiteral("daemon")}, {});
        if (polkitState == QLatin1String("paused")) {
            QString error;
            QVERIFY2(polkit.start(&error), qPrintable(error));
            polkit.pause();
        }
        startAgent();
        const Method m = method(QStringLiteral("updateCustomFile"));
        QVERIFY(writeFile(m.file, before));
        LogCursor log;
        PolkitQuestionMonitor monitor;

        QProcess waiting;
        startClient(waiting, QStringLiteral("daemon"), {QStringLiteral("call"), kvo::agentInterface(), m.member, m.signature});
        QVERIFY(waiting.waitForStarted(5000));
        if (polkitState == QLatin1String("paused")) {
            QVERIFY(monitor.waitForQuestion());
            // While the agent waits for polkit, root's call is served.
            QCOMPARE(runClient(QStringLiteral("root"), {QStringLiteral("call"), kvo::agentInterface(),
                                                        QStringLiteral("updateDeviceTreeFile"), QStringLiteral("ay")}),
                     QStringLiteral("ok 0"));
            QCOMPARE(readFile(method(QStringLiteral("updateDeviceTreeFile")).file), clientData);
            QCOMPARE(refusals(log, m.member, uidOf(QStringLiteral("daemon")), reason), 0);
        }
        QVERIFY(waiting.waitForFinished(30000));
        QCOMPARE(QString::fromUtf8(waiting.readAllStandardOutput()).trimmed(), QStringLiteral("ok 0"));
        QCOMPARE(readFile(m.file), before);
        QCOMPARE(refusals(log, m.member, uidOf(QStringLiteral("daemon")), reason), 1);

        // Root does not need polkit.
        QCOMPARE(runClient(QStringLiteral("root"), {QStringLiteral("call"), kvo::agentInterface(), m.member, m.signature}),
                 QStringLiteral("ok 0"));
        QCOMPARE(readFile(m.file), clientData);
    }

    // Stores sent by an allowed user that closes its connection at once: the agent reads them
    // only after the callers have left, so it cannot ask polkit about them, and nothing changes.
    void leavingCallerChangesNothing()
    {
        Polkit polkit({QStringLiteral("daemon")}, {});
        QString error;
        QVERIFY2(polkit.start(&error), qPrintable(error));
        startAgent();
        const Method m = method(QStringLiteral("updateCustomFile"));
        QVERIFY(writeFile(m.file, before));
        LogCursor log;

        const int callers = 20;
        QCOMPARE(::kill(pid_t(m_agent->pid()), SIGSTOP), 0);
        QStringList names;
        for (int i = 0; i < callers; ++i) {
            const QString sent = runClient(QStringLiteral("daemon"), {QStringLiteral("leave"), m.member});
            QVERIFY2(sent.startsWith(QLatin1String("sent :1.")), qPrintable(sent));
            names.append(sent.mid(5));
        }
        for (const QString &name : std::as_const(names))
            QTRY_VERIFY_WITH_TIMEOUT(!serviceRegistered(name), 10000);
        QCOMPARE(::kill(pid_t(m_agent->pid()), SIGCONT), 0);

        QStringList expected;
        for (const QString &name : std::as_const(names))
            expected.append(QStringLiteral("Refused updateCustomFile from %1: the caller has left").arg(name));
        QTRY_COMPARE_WITH_TIMEOUT(messages(log).size(), callers, 30000);
        QCOMPARE(messages(log), expected);
        QCOMPARE(readFile(m.file), before);
        // The same client, staying, is allowed: the refusals were about leaving.
        QCOMPARE(runClient(QStringLiteral("daemon"), {QStringLiteral("call"), kvo::agentInterface(), m.member, m.signature}),
                 QStringLiteral("ok 0"));
        QCOMPARE(readFile(m.file), clientData);
    }

    // One caller's calls that wait for its answer are served in the order sent; the answers
    // kept are dropped as callers leave, and when that news is lost, a sweep against the bus's
    // names keeps the table within bounds.
    void answersFollowTheCallers()
    {
        const QString gateConnection = QStringLiteral("kvo-gate");
        QDBusConnection gateBus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, gateConnection);
        QVERIFY(gateBus.isConnected());
        {
            Gate gate(gateBus);
            QVERIFY(gateBus.registerObject(QStringLiteral("/gate"), &gate, QDBusConnection::ExportAllSlots));
            const QString gateName = gateBus.baseService();
            auto callGate = [&gateName](QDBusConnection &from, const QString &what) {
                QDBusMessage call = QDBusMessage::createMethodCall(gateName, QStringLiteral("/gate"),
                                                                   QStringLiteral("com.corvid.kvo.Gate"), QStringLiteral("store"));
                call << what;
                return from.asyncCall(call, 10000);
            };

            QString callerName;
            {
                QDBusConnection caller = QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("kvo-caller-0"));
                callerName = caller.baseService();
                QList<QDBusPendingCall> calls;
                for (const char *what : {"one", "two", "three"})
                    calls.append(callGate(caller, QLatin1String(what)));
                // The gate serves on this thread: wait with its event loop running.
                for (QDBusPendingCall &call : calls) {
                    QTRY_VERIFY_WITH_TIMEOUT(call.isFinished(), 10000);
                    QVERIFY2(!call.isError(), qPrintable(call.error().message()));
                }
                QCOMPARE(gate.served, QStringList({"one", "two", "three"}));
                QVERIFY(gate.authority.knows(callerName));
            }
            // A connection closes once it is disconnected and its last handle is gone.
            QDBusConnection::disconnectFromBus(QStringLiteral("kvo-caller-0"));
            QTRY_VERIFY_WITH_TIMEOUT(!gate.authority.knows(callerName), 30000);
            QCOMPARE(gate.authority.size(), 0);

            // The news of leaving lost, as when the bus drops it from a full queue.
            QVERIFY(gateBus.disconnect(kvo::busDaemonService(), kvo::busDaemonPath(), kvo::busDaemonInterface(),
                                       QStringLiteral("NameOwnerChanged"), {QString(), QString(), QString(QLatin1String(""))},
                                       QString(), &gate.authority, SLOT(nameOwnerChanged(QString,QString,QString))));
            const int callers = 200;
            int largest = 0;
            for (int i = 1; i <= callers; ++i) {
                const QString connectionName = QStringLiteral("kvo-caller-%1").arg(i);
                {
                    QDBusConnection caller = QDBusConnection::connectToBus(QDBusConnection::SystemBus, connectionName);
                    QDBusPendingCall call = callGate(caller, QString::number(i));
                    QTRY_VERIFY_WITH_TIMEOUT(call.isFinished(), 10000);
                    QVERIFY2(!call.isError(), qPrintable(call.error().message()));
                }
                QDBusConnection::disconnectFromBus(connectionName);
                largest = std::max(largest, gate.authority.size());
            }
            QCOMPARE(gate.served.size(), 3 + callers);
            // Without the sweep every one of them would still be there.
            QVERIFY2(largest <= 64, qPrintable(QString::number(largest)));
            QVERIFY(gate.authority.size() < callers);
        }
        QDBusConnection::disconnectFromBus(gateConnection);
    }
};

QTEST_GUILESS_MAIN(tst_Authority)
#include "tst_authority.moc"
