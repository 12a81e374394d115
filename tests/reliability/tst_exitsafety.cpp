// SPDX-License-Identifier: GPL-3.0-or-later
//
// Exits triggered by the watcher while the agent is busy: under a flood of calls, while its
// main thread waits in a blocking call to the configuration service, and while it takes in
// calls just under the bus's message limit. Every exit: status 0, "exit agent." last, no hang.
#include "reliability.h"
#include "testsupport.h"

#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>

using namespace testsupport;
using namespace reliability;

namespace {

const QString exitAgent = QStringLiteral("exit agent.");
const QString noRunning = QStringLiteral("kvo-service-support no running");

// Calls the agent from its own connection until stopped, with up to window calls in flight.
class Flood : public QThread
{
public:
    Flood(const QString &address, int id, bool huge)
        : m_address(address), m_id(id), m_huge(huge)
    {
    }
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::atomic<int> answered{0};

protected:
    void run() override
    {
        const QString name = QStringLiteral("flood-%1").arg(m_id);
        {
            QDBusConnection bus = QDBusConnection::connectToBus(m_address, name);
            QRandomGenerator rng{quint32(m_id)};
            const QByteArray big = payload(m_id, (32 << 20) - 4096);
            const QByteArray mib = payload(m_id, 1 << 20);
            QList<QDBusPendingCall> pending;
            const int window = m_huge ? 3 : 32;
            while (!stop) {
                QByteArray data;
                if (m_huge)
                    data = big;
                else if (rng.bounded(20) == 0)
                    data = mib;
                else
                    data = mib.left(int(rng.bounded(64 * 1024)));
                QDBusMessage call;
                switch (rng.bounded(4)) {
                case 0: call = agentCall(QStringLiteral("updateCustomFile"), {data}); break;
                case 1: call = agentCall(QStringLiteral("updateDeviceTreeFile"), {data}); break;
                case 2:
                    call = agentCall(QStringLiteral("downloadQRCode"),
                                     {QStringLiteral("flood"), QStringLiteral("%1.png").arg(m_id), data, false});
                    break;
                default:
                    call = QDBusMessage::createMethodCall(QLatin1String(service), QLatin1String(objectPath),
                                                          QStringLiteral("org.freedesktop.DBus.Peer"),
                                                          QStringLiteral("Ping"));
                }
                pending.append(bus.asyncCall(call, 30000));
                ++sent;
                while (pending.size() >= window) {
                    QDBusPendingCall first = pending.takeFirst();
                    first.waitForFinished();
                    answered += first.isError() ? 0 : 1;
                }
            }
            for (QDBusPendingCall &call : pending) {
                call.waitForFinished();
                answered += call.isError() ? 0 : 1;
            }
        }
        QDBusConnection::disconnectFromBus(name);
    }

private:
    QString m_address;
    int m_id;
    bool m_huge;
};

} // namespace

class tst_ExitSafety : public QObject, protected SandboxFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(ReleaseFiles, &error), qPrintable(error));
    }

    // The main thread is held three ways. A blocking call to the configuration service (which
    // the agent makes on every "valueChanged") holds it longest: the fake answers after 60 s,
    // so the agent waits the bus's full 25 s call time-out, the longest stretch anything the
    // agent runs can keep it away from its event loop. Calls of 32 MiB keep it copying and
    // writing; a flood of mixed calls keeps it dispatching.
    void watcherExitWhileBusy()
    {
        const int exits = sizeFromEnv("KVO_STRESS_EXITS", 6);
        static const QRegularExpression wholeLine(QStringLiteral(
            R"(^\d{4}-\d\d-\d\d, \d\d:\d\d:\d\d\.\d{3} \[[a-z ]{7,}\] \[ {20} 0\] \S.*$)"));
        const char *modeNames[] = {"flood", "main thread blocked in a 25 s call, and flood", "32 MiB calls"};
        QVector<double> goneMs[3];
        int statusZero = 0, exitLast = 0, hangs = 0;
        qint64 sent = 0, answered = 0;
        QRandomGenerator rng(quint32(sizeFromEnv("KVO_STRESS_SEED", 5)));

        for (int round = 0; round < exits; ++round) {
            const int mode = round % 3;
            FakeConfigService config{QString()};
            QVERIFY(config.waitForName());
            SupportApp app;
            {
                QFile pid(QString::fromLatin1(pidFile));
                QVERIFY(pid.open(QIODevice::WriteOnly | QIODevice::Truncate));
                pid.write(app.pid());
            }
            LogCursor log;
            AgentProcess agent;
            QVERIFY(agent.waitForName());

            std::vector<std::unique_ptr<Flood>> floods;
            for (int i = 0; i < (mode == 2 ? 2 : 3); ++i) {
                floods.push_back(std::make_unique<Flood>(m_bus.address(), round * 10 + i, mode == 2));
                floods.back()->start();
            }
            if (mode == 1) {
                QVERIFY(config.setReplyDelay(60000));
                QVERIFY(config.emitValueChanged(QStringLiteral("log_rules")));
                QVERIFY(log.waitFor(QStringLiteral("value changed: \"log_rules\"")));
            }
            QThread::msleep(ulong(rng.bounded(700)));

            app.end();
            QElapsedTimer sinceDeath;
            sinceDeath.start();
            int status = -2;
            const bool ended = agent.waitForExit(15000, &status);
            const double ms = double(sinceDeath.nsecsElapsed()) / 1e6;
            for (auto &flood : floods)
                flood->stop = true;
            for (auto &flood : floods) {
                flood->wait();
                sent += flood->sent;
                answered += flood->answered;
            }
            if (!ended) {
                ++hangs;
                agent.stop();
                continue;
            }
            goneMs[mode].append(ms);
            statusZero += status == 0 ? 1 : 0;
            const QStringList lines = log.lines();
            const QStringList tail = messages(log).mid(std::max(0, int(lines.size()) - 2));
            if (tail == QStringList({noRunning, exitAgent}))
                ++exitLast;
            else
                qWarning("round %d: log ends with %s", round, qPrintable(tail.join(QLatin1String(" | "))));
            for (const QString &line : lines)
                QVERIFY2(wholeLine.match(line).hasMatch(), qPrintable(line));
            QVERIFY2(status == 0, qPrintable(QStringLiteral("round %1: status %2").arg(round).arg(status)));
        }

        figure(QStringLiteral("watcher exits"),
               QStringLiteral("%1 exits: %2 with status 0, %3 with \"exit agent.\" last, %4 hangs (15 s bound); "
                              "flood calls %5 sent, %6 answered before the end")
                   .arg(exits).arg(statusZero).arg(exitLast).arg(hangs).arg(sent).arg(answered));
        for (int mode = 0; mode < 3; ++mode)
            figure(QStringLiteral("support process death to agent gone, %1").arg(QLatin1String(modeNames[mode])),
                   spread(goneMs[mode], QStringLiteral("ms")));
        QCOMPARE(hangs, 0);
        QCOMPARE(statusZero, exits);
        QCOMPARE(exitLast, exits);
    }
};

QTEST_GUILESS_MAIN(tst_ExitSafety)
#include "tst_exitsafety.moc"
