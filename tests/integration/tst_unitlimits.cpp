// SPDX-License-Identifier: GPL-3.0-or-later
//
// The unit's MemoryMax= and TasksMax= leave room for the largest calls the bus passes: the real
// agent gets bursts of them from several connections, and its peak memory and its thread count
// are compared with the limits the unit sets.
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QTest>

using namespace testsupport;

namespace {

// A field of /proc/<pid>/status (VmHWM in KiB, Threads), or -1.
qint64 statusField(qint64 pid, const char *field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// A setting of the unit as systemd reads it: a number with an optional K, M or G (base 1024).
qint64 unitSetting(const char *name)
{
    QFile file(QStringLiteral(KVO_UNIT_FILE));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(name) + '=';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.startsWith(prefix))
            continue;
        QByteArray value = line.mid(prefix.size()).trimmed();
        qint64 unit = 1;
        const char suffix = value.isEmpty() ? '\0' : value.back();
        if (suffix == 'K' || suffix == 'M' || suffix == 'G') {
            unit = qint64(1) << (suffix == 'K' ? 10 : suffix == 'M' ? 20 : 30);
            value.chop(1);
        }
        bool ok = false;
        const qint64 number = value.toLongLong(&ok);
        return ok ? number * unit : -1;
    }
    return -1;
}

} // namespace

class tst_UnitLimits : public QObject, protected SandboxFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(OwnPid | ReleaseFiles | ConfigService, &error), qPrintable(error));
    }

    void largestCallsFitTheUnit_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("args");

        // Each just under the bus's 32 MiB message limit.
        const QByteArray payload((32 << 20) - 4096, 'p');
        const QString text((16 << 20) - 4096, QLatin1Char('t'));
        QTest::newRow("updateCustomFile") << "updateCustomFile" << QVariantList{payload};
        QTest::newRow("downloadQRCode, payload") << "downloadQRCode"
                                                 << QVariantList{QStringLiteral("t"), QStringLiteral("a.png"), payload, false};
        // Texts are decoded into copies twice their size: the most memory one message can ask for.
        QTest::newRow("downloadQRCode, two 16 MiB texts") << "downloadQRCode"
                                                          << QVariantList{text, text, QByteArray(), true};
    }

    void largestCallsFitTheUnit()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, args);
        const qint64 memoryMax = unitSetting("MemoryMax");
        const qint64 tasksMax = unitSetting("TasksMax");
        QVERIFY2(memoryMax > 0, "no MemoryMax= in " KVO_UNIT_FILE);
        QVERIFY2(tasksMax > 0, "no TasksMax= in " KVO_UNIT_FILE);

        // AddressSanitizer keeps freed blocks in a quarantine that would count as the agent's.
        AgentProcess agent({QStringLiteral("ASAN_OPTIONS=") + qEnvironmentVariable("ASAN_OPTIONS")
                            + QStringLiteral(":quarantine_size_mb=16:thread_local_quarantine_size_kb=256")});
        QVERIFY(agent.waitForName());

        // Four connections with two calls in flight each: more than the bus queues for the agent
        // at once, so some are refused by the bus itself (LimitsExceeded).
        QList<QDBusPendingCall> calls;
        for (int client = 0; client < 4; ++client) {
            QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SystemBus,
                                                                       QStringLiteral("client%1").arg(client));
            QVERIFY(connection.isConnected());
            for (int i = 0; i < 2; ++i)
                calls.append(connection.asyncCall(agentCall(method, args), 300000));
        }
        int answered = 0;
        qint64 threads = statusField(agent.pid(), "Threads");
        for (QDBusPendingCall &call : calls) {
            while (!call.isFinished()) {
                QTest::qWait(10);
                threads = qMax(threads, statusField(agent.pid(), "Threads"));
            }
            if (!call.isError())
                ++answered;
            else
                QCOMPARE(call.error().name(), QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
        }
        for (int client = 0; client < 4; ++client)
            QDBusConnection::disconnectFromBus(QStringLiteral("client%1").arg(client));

        const qint64 peak = statusField(agent.pid(), "VmHWM") * 1024;
        qInfo("%d of 8 answered; agent peak %lld bytes (MemoryMax %lld), at most %lld threads (TasksMax %lld)",
              answered, peak, memoryMax, threads, tasksMax);
        QVERIFY(answered > 0);
        QVERIFY2(peak > 0 && peak <= memoryMax, "the agent's peak memory exceeds the unit's MemoryMax");
        QVERIFY2(threads > 0 && threads <= tasksMax, "the agent has more threads than the unit's TasksMax");
        QCOMPARE(QDBusConnection::systemBus().call(agentCall(QStringLiteral("updateCustomFile"), {QByteArray("ok")})).type(),
                 QDBusMessage::ReplyMessage);
    }

    void cleanupTestCase()
    {
        QFile::remove(QString::fromLatin1(supportDir) + QStringLiteral("customer.json"));
    }
};

QTEST_GUILESS_MAIN(tst_UnitLimits)
#include "tst_unitlimits.moc"
