// SPDX-License-Identifier: GPL-3.0-or-later
//
// Hostile pid files: every form an unprivileged program can put at the pid file's path. Each
// check reads a bounded number of bytes (counted by the kernel, /proc/self/io rchar), leaves
// no memory behind, and no form keeps the real agent alive once the support application is gone.
#include "reliability.h"
#include "testsupport.h"
#include "agent/pidfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using namespace reliability;

extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

const QString pidPath = QString::fromLatin1(pidFile);
// The watcher asks for one byte more than the longest content it accepts (64), and for at most
// 1 KiB of the stat of a process the content names.
constexpr qint64 maxBytesPerCheck = 65;
constexpr qint64 maxStatBytesPerCheck = 1023;

qint64 liveHeapBytes()
{
    if (__sanitizer_get_current_allocated_bytes)
        return qint64(__sanitizer_get_current_allocated_bytes());
    return qint64(mallinfo2().uordblks);
}

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

bool writePidFile(const QByteArray &content)
{
    QFile file(pidPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

void removePidFile()
{
    QFile::remove(pidPath);
    QDir(pidPath).removeRecursively();
}

// Puts form at the pid file's path; livePid is the support application's id.
bool plant(const QString &form, const QByteArray &livePid)
{
    removePidFile();
    if (form == QLatin1String("FIFO"))
        return ::mkfifo(pidFile, 0666) == 0;
    if (form == QLatin1String("link to /dev/zero"))
        return QFile::link(QStringLiteral("/dev/zero"), pidPath);
    if (form == QLatin1String("sparse 1 GiB, live pid"))
        return writePidFile(livePid + QByteArray(1, '\0')) && ::truncate(pidFile, 1LL << 30) == 0;
    if (form == QLatin1String("directory"))
        return QDir().mkpath(pidPath);
    if (form == QLatin1String("empty"))
        return writePidFile(QByteArray());
    if (form == QLatin1String("1 MiB of digits"))
        return writePidFile(QByteArray(1 << 20, '7'));
    return writePidFile(form.toLatin1());
}

void addForms()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("namesProcess");
    for (const char *form : {"FIFO", "link to /dev/zero", "self", "thread-self", "../proc/self", "directory",
                             "empty", "1 MiB of digits"})
        QTest::newRow(form) << QString::fromLatin1(form) << false;
    QTest::newRow("sparse 1 GiB, live pid") << QStringLiteral("sparse 1 GiB, live pid") << true;
}

} // namespace

class tst_HostilePidFile : public QObject, protected SandboxFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(ReleaseFiles, &error), qPrintable(error));
    }

    void cleanup() { removePidFile(); }

    void checkIsBounded_data() { addForms(); }

    // The watcher's own check, many times over: bytes read and memory are assertable exactly
    // because they do not depend on timing; time per check is only printed.
    void checkIsBounded()
    {
        QFETCH(QString, form);
        QFETCH(bool, namesProcess);
        const int checks = sizeFromEnv("KVO_STRESS_PID_CHECKS", 2000);
        SupportApp app;
        QVERIFY(plant(form, app.pid()));
        const qint64 self = QCoreApplication::applicationPid();
        const QtMessageHandler previous = qInstallMessageHandler(dropMessages);
        for (int i = 0; i < 20; ++i)
            pidfile::namesRunningProcess(pidfile::read(pidPath));

        const qint64 heapBefore = liveHeapBytes();
        const qint64 rssBefore = statusKiB(self, "VmRSS");
        const qint64 r0 = ioField(self, "rchar");
        const qint64 r1 = ioField(self, "rchar");
        int named = 0;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < checks; ++i)
            named += pidfile::namesRunningProcess(pidfile::read(pidPath)) ? 1 : 0;
        const qint64 ns = timer.nsecsElapsed();
        const qint64 r2 = ioField(self, "rchar");
        const qint64 heapAfter = liveHeapBytes();
        const qint64 rssAfter = statusKiB(self, "VmRSS");
        qInstallMessageHandler(previous);

        // r1 - r0 is what reading /proc/self/io itself adds.
        const qint64 bytes = std::max<qint64>(0, (r2 - r1) - (r1 - r0));
        figure(QStringLiteral("pid file %1: per check").arg(form),
               QStringLiteral("%1 bytes read, %2 us, heap %3 B -> %4 B, RSS %5 KiB -> %6 KiB over %7 checks")
                   .arg(double(bytes) / checks, 0, 'f', 1).arg(double(ns) / checks / 1000.0, 0, 'f', 1)
                   .arg(heapBefore).arg(heapAfter).arg(rssBefore).arg(rssAfter).arg(checks));
        QCOMPARE(named, namesProcess ? checks : 0);
        QVERIFY2(bytes <= (maxBytesPerCheck + (namesProcess ? maxStatBytesPerCheck : 0)) * checks + 64,
                 qPrintable(QString::number(bytes)));
        // A leak of a few bytes per check would pass 64 KiB after a couple of thousand checks.
        QVERIFY2(heapAfter - heapBefore <= 64 * 1024, qPrintable(QString::number(heapAfter - heapBefore)));
    }

    void agentEndsWhateverTheForm_data() { addForms(); }

    // The form replaces a good pid file while the agent runs. A form naming no process ends
    // the agent at its next check; the one that still names the support application keeps it
    // only as long as that process lives, reading a few bytes per check meanwhile.
    void agentEndsWhateverTheForm()
    {
        QFETCH(QString, form);
        QFETCH(bool, namesProcess);
        FakeConfigService config{QString()};
        QVERIFY(config.waitForName());
        SupportApp app;
        QVERIFY(writePidFile(app.pid()));
        LogCursor log;
        AgentProcess agent;
        QVERIFY(agent.waitForName());
        QVERIFY(plant(form, app.pid()));

        int status = -2;
        if (namesProcess) {
            QTest::qWait(600);
            const qint64 r0 = ioField(agent.pid(), "rchar");
            const qint64 rss0 = statusKiB(agent.pid(), "VmRSS");
            QElapsedTimer window;
            window.start();
            QVERIFY2(!agent.waitForExit(3000, &status), "the agent ended while the support application ran");
            const qint64 r1 = ioField(agent.pid(), "rchar");
            const qint64 rss1 = statusKiB(agent.pid(), "VmRSS");
            const qint64 checksUpperBound = window.elapsed() / 500 + 2;
            figure(QStringLiteral("pid file %1: agent").arg(form),
                   QStringLiteral("%1 bytes read in %2 ms (at most %3 checks), RSS %4 KiB -> %5 KiB")
                       .arg(r1 - r0).arg(window.elapsed()).arg(checksUpperBound).arg(rss0).arg(rss1));
            // The rest of an idle agent's reads (event-loop wake-ups) stay far below one page.
            QVERIFY2(r1 - r0 <= maxBytesPerCheck * checksUpperBound + 4096, qPrintable(QString::number(r1 - r0)));
            app.end();
        }
        QVERIFY2(agent.waitForExit(15000, &status), "the agent did not end");
        QCOMPARE(status, 0);
        const QStringList lines = messages(log);
        QVERIFY(!lines.isEmpty());
        QCOMPARE(lines.constLast(), QStringLiteral("exit agent."));
    }
};

QTEST_GUILESS_MAIN(tst_HostilePidFile)
#include "tst_hostilepidfile.moc"
