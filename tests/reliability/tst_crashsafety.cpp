// SPDX-License-Identifier: GPL-3.0-or-later
//
// kill -9 of the agent at random moments while it stores 1-16 MiB: each file afterwards holds
// the old or the new content whole, and the next start leaves no temporary file behind.
#include "reliability.h"
#include "testsupport.h"

#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <memory>
#include <signal.h>

using namespace testsupport;
using namespace reliability;

namespace {

const QString ini = QString::fromLatin1(supportDir);
const QString staging = kvo::stagingDirectory();
const QString serviceName = QString::fromLatin1(service);

QDBusMessage storeCall(const QString &method, const QByteArray &data, int variant)
{
    if (method != QLatin1String("downloadQRCode"))
        return agentCall(method, {data});
    if (variant % 2)
        return agentCall(method, {QStringLiteral("t"), QStringLiteral("a.png"), data});
    return agentCall(method, {QStringLiteral("t"), QStringLiteral("a.png"), data, false});
}

bool waitForNameGone()
{
    QDeadlineTimer deadline(10000);
    while (serviceRegistered(serviceName)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

} // namespace

class tst_CrashSafety : public QObject, protected SandboxFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(OwnPid | ReleaseFiles | ConfigService, &error), qPrintable(error));
    }

    void killDuringWrite_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("file");
        QTest::newRow("updateDeviceTreeFile") << "updateDeviceTreeFile" << "kvo-devicetree.json";
        QTest::newRow("updateCustomFile") << "updateCustomFile" << "customer.json";
        QTest::newRow("downloadQRCode") << "downloadQRCode" << "QRCode/t/a.png";
    }

    void killDuringWrite()
    {
        QFETCH(QString, method);
        QFETCH(QString, file);
        const int kills = sizeFromEnv("KVO_STRESS_KILLS", 8);
        const quint32 seed = quint32(sizeFromEnv("KVO_STRESS_SEED", 8));
        QRandomGenerator rng(seed ^ qHash(method));
        const QString path = ini + file;
        QDBusConnection bus = QDBusConnection::systemBus();

        // How long an uninterrupted call of 1 and of 16 MiB takes, so that the kills spread
        // over the whole call, from the message still on the way to the rename.
        QByteArray current;
        double msSmall = 0;
        double msLarge = 0;
        {
            AgentProcess agent;
            QVERIFY(agent.waitForName());
            for (const int mib : {1, 16}) {
                current = payload(mib, mib << 20);
                QElapsedTimer timer;
                timer.start();
                QCOMPARE(bus.call(storeCall(method, current, 0), QDBus::Block, 120000).type(),
                         QDBusMessage::ReplyMessage);
                (mib == 1 ? msSmall : msLarge) = double(timer.nsecsElapsed()) / 1e6;
            }
            QVERIFY(readFile(path) == current);
        }
        QVERIFY(waitForNameGone());

        int keptOld = 0, wroteNew = 0, torn = 0, missing = 0, interrupted = 0, leftAfterStart = 0;
        qint64 bytesSent = 0;
        for (int round = 0; round < kills; ++round) {
            AgentProcess agent;
            QVERIFY(agent.waitForName());
            leftAfterStart += leftoverTemporaries(staging).size();

            const int size = (1 << 20) + int(rng.bounded((15 << 20) + 1));
            const QByteArray next = payload((quint64(round + 1) << 32) | rng.generate(), size);
            const double expectedMs = msSmall + (msLarge - msSmall) * (double(size - (1 << 20)) / (15 << 20));
            const qint64 delayUs = qint64(rng.bounded(1.3 * expectedMs) * 1000);
            QDBusPendingCall pending = bus.asyncCall(storeCall(method, next, round));
            QThread::usleep(ulong(delayUs));
            ::kill(pid_t(agent.pid()), SIGKILL);
            int status = 0;
            QVERIFY(agent.waitForExit(10000, &status));
            bytesSent += size;

            bool ok = false;
            const QByteArray stored = readFile(path, &ok);
            if (!ok)
                ++missing;
            else if (stored == next)
                ++wroteNew, current = next;
            else if (stored == current)
                ++keptOld;
            else
                ++torn;
            interrupted += leftoverTemporaries(staging).isEmpty() ? 0 : 1;
            pending.waitForFinished();
            QVERIFY(waitForNameGone());
        }
        {
            AgentProcess agent;
            QVERIFY(agent.waitForName());
            leftAfterStart += leftoverTemporaries(staging).size();
            QVERIFY(readFile(path) == current);
        }

        figure(QStringLiteral("kill -9 %1").arg(method),
               QStringLiteral("%1 kills (%2 MiB sent, 1-16 MiB each; full call %3 ms at 1 MiB, %4 ms at 16 MiB): "
                              "%5 old whole, %6 new whole, %7 torn, %8 missing; %9 kills left a temporary file, "
                              "%10 temporary files after the next start")
                   .arg(kills).arg(bytesSent >> 20).arg(msSmall, 0, 'f', 0).arg(msLarge, 0, 'f', 0)
                   .arg(keptOld).arg(wroteNew).arg(torn).arg(missing).arg(interrupted).arg(leftAfterStart));
        QCOMPARE(torn, 0);
        QCOMPARE(missing, 0);
        QCOMPARE(leftAfterStart, 0);
    }
};

QTEST_GUILESS_MAIN(tst_CrashSafety)
#include "tst_crashsafety.moc"
