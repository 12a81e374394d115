// SPDX-License-Identifier: GPL-3.0-or-later
//
// The real agent ends when the support application named in the pid file is gone, whatever
// the pid file holds, and ends cleanly even while its main thread is busy.
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString pidPath = QString::fromLatin1(pidFile);
const QString noRunning = QStringLiteral("kvo-service-support no running");
const QString exitAgent = QStringLiteral("exit agent.");

void writePidFile(const QByteArray &content)
{
    QFile::remove(pidPath);
    QFile file(pidPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
}

} // namespace

class tst_Watcher : public QObject, protected SandboxFixture
{
    Q_OBJECT

private:

    static void expectEnd(AgentProcess &agent, const LogCursor &log, bool exitLine = true)
    {
        int status = -2;
        QVERIFY2(agent.waitForExit(15000, &status), "the agent did not end");
        QCOMPARE(status, 0);
        const QStringList lines = messages(log);
        if (exitLine) {
            QVERIFY(lines.size() >= 2);
            QCOMPARE(lines.mid(lines.size() - 2), QStringList({noRunning, exitAgent}));
        } else {
            QVERIFY(!lines.isEmpty());
            QCOMPARE(lines.constLast(), noRunning);
            QVERIFY(!lines.contains(exitAgent));
        }
    }

    static bool stillRunningAfter(AgentProcess &agent, int ms)
    {
        int status = 0;
        return !agent.waitForExit(ms, &status);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(ReleaseFiles, &error), qPrintable(error));
    }

    void cleanup()
    {
        QFile::remove(pidPath);
        QDir(pidPath).removeRecursively();
    }

    void missingPidFileEndsAtFirstCheck()
    {
        FakeConfigService config{QString()};
        QVERIFY(config.waitForName());
        QFile::remove(pidPath);
        LogCursor log;
        AgentProcess agent;
        expectEnd(agent, log);
        const QStringList lines = messages(log);
        QCOMPARE(lines, QStringList({QStringLiteral("\"/tmp/kvo-service-support-pid\" ---- \"No such file or directory\""),
                                     noRunning, exitAgent}));
    }

    void followsTheSupportApplication()
    {
        FakeConfigService config{QString()};
        QVERIFY(config.waitForName());
        SupportApp first;
        SupportApp second;
        writePidFile(first.pid());
        LogCursor log;
        AgentProcess agent;
        QVERIFY(agent.waitForName());
        QVERIFY(stillRunningAfter(agent, 1200));

        // A new process id written between two checks is followed.
        writePidFile(second.pid());
        first.end();
        QVERIFY(stillRunningAfter(agent, 1200));
        QCOMPARE(messages(log), QStringList());

        second.end();
        expectEnd(agent, log);
        QCOMPARE(messages(log), QStringList({noRunning, exitAgent}));
    }

    void pidFileNamingNoProcess_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("digits and line break") << "newline";
        QTest::newRow("digits and blank") << "blank";
        QTest::newRow("self") << "self";
        QTest::newRow("thread-self") << "thread-self";
        QTest::newRow("../1") << "../1";
        QTest::newRow("empty file") << "empty";
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("symbolic link to a valid file") << "symlink";
        QTest::newRow("directory") << "directory";
    }

    void pidFileNamingNoProcess()
    {
        QFETCH(QString, kind);
        FakeConfigService config{QString()};
        QVERIFY(config.waitForName());
        SupportApp app;
        const QByteArray pid = app.pid();

        QFile::remove(pidPath);
        if (kind == QLatin1String("newline")) {
            writePidFile(pid + '\n');
        } else if (kind == QLatin1String("blank")) {
            writePidFile(pid + ' ');
        } else if (kind == QLatin1String("empty")) {
            writePidFile(QByteArray());
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(pidFile, 0666), 0);
        } else if (kind == QLatin1String("symlink")) {
            const QString real = QStringLiteral("/tmp/real-pid");
            QFile file(real);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(pid);
            file.close();
            QVERIFY(QFile::link(real, pidPath));
        } else if (kind == QLatin1String("directory")) {
            QVERIFY(QDir().mkpath(pidPath));
        } else {
            writePidFile(kind.toLatin1());
        }

        LogCursor log;
        AgentProcess agent;
        expectEnd(agent, log);
    }

    void hugePidFileIsReadBounded()
    {
        FakeConfigService config{QString()};
        QVERIFY(config.waitForName());
        SupportApp app;
        // The process id followed by 1 GiB of zero bytes still names the process; only its
        // first bytes may be read at each check.
        writePidFile(app.pid());
        QCOMPARE(::truncate(pidFile, 1LL << 30), 0);
        LogCursor log;
        AgentProcess agent;
        QVERIFY(agent.waitForName());
        QVERIFY(stillRunningAfter(agent, 2000));

        QFile io(QStringLiteral("/proc/%1/io").arg(agent.pid()));
        QVERIFY(io.open(QIODevice::ReadOnly));
        const QRegularExpression rchar(QStringLiteral("^rchar: (\\d+)$"), QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = rchar.match(QString::fromLatin1(io.readAll()));
        QVERIFY(match.hasMatch());
        QVERIFY2(match.captured(1).toLongLong() < (64LL << 20), qPrintable(match.captured(1)));

        app.end();
        expectEnd(agent, log);
    }

    void warningsDisabledStillEnd()
    {
        FakeConfigService config(testhelpers::logRule("warning=false"));
        QVERIFY(config.waitForName());
        SupportApp app;
        writePidFile(app.pid());
        LogCursor log;
        AgentProcess agent;
        QVERIFY(agent.waitForName());
        app.end();
        expectEnd(agent, log, false);
    }

    void endsWhileMainThreadIsBlocked()
    {
        FakeConfigService config{QString()};
        QVERIFY(config.waitForName());
        SupportApp app;
        writePidFile(app.pid());
        LogCursor log;
        AgentProcess agent;
        QVERIFY(agent.waitForName());

        // The agent's main thread now waits 60 s for the configuration service to answer.
        QVERIFY(config.setReplyDelay(60000));
        QVERIFY(config.emitValueChanged(QStringLiteral("log_rules")));
        QVERIFY(log.waitFor(QStringLiteral("value changed: \"log_rules\"")));
        app.end();
        expectEnd(agent, log);
    }

    void endsDuringACallFlood()
    {
        FakeConfigService config{QString()};
        QVERIFY(config.waitForName());
        static const QRegularExpression wholeLine(QStringLiteral(
            R"(^\d{4}-\d\d-\d\d, \d\d:\d\d:\d\d\.\d{3} \[[a-z ]{7,}\] \[ {20} 0\] \S.*$)"));
        const QByteArray payload(1 << 20, 'x');
        for (int round = 0; round < 5; ++round) {
            SupportApp app;
            writePidFile(app.pid());
            LogCursor log;
            AgentProcess agent;
            QVERIFY(agent.waitForName());
            QList<QDBusPendingCall> calls;
            for (int i = 0; i < 40; ++i) {
                QDBusMessage call = QDBusMessage::createMethodCall(
                    QStringLiteral("com.corvid.serviceandsupport"), QStringLiteral("/com/corvid/serviceandsupport/agent"),
                    QStringLiteral("com.corvid.serviceandsupport.agent"), QStringLiteral("updateCustomFile"));
                call.setArguments({payload});
                calls.append(QDBusConnection::systemBus().asyncCall(call));
            }
            QTest::qWait(50 * round);
            app.end();
            expectEnd(agent, log);
            for (const QString &line : log.lines())
                QVERIFY2(wholeLine.match(line).hasMatch(), qPrintable(line));
            for (QDBusPendingCall &call : calls)
                call.waitForFinished();
        }
    }
};

QTEST_GUILESS_MAIN(tst_Watcher)
#include "tst_watcher.moc"
