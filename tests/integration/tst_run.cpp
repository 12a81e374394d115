// SPDX-License-Identifier: GPL-3.0-or-later
//
// ./scripts/run as a newcomer runs it: it serves until it is told to end (Ctrl-C to its process
// group, or --for), stores what it says it stores, prints calls that work when pasted, ends
// with the agent's status 0 and its own, and leaves no process and no policy file behind.
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <signal.h>
#include <unistd.h>

using namespace testsupport;
using testhelpers::readFile;

namespace {

const QString script = QStringLiteral(KVO_SOURCE_DIR "/scripts/run");
const QString readme = QStringLiteral(KVO_SOURCE_DIR "/README.md");
const QString installedPolicy = QStringLiteral("/etc/dbus-1/system.d/com.corvid.serviceandsupport.conf");

// Processes of this PID namespace other than this test, its ancestors and the ones it keeps.
QStringList strayProcesses(const QList<qint64> &kept)
{
    QList<qint64> mine;
    for (qint64 pid = ::getpid(); pid > 1;) {
        mine.append(pid);
        const QList<QByteArray> stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid)).split(')');
        pid = stat.size() < 2 ? 0 : stat.last().trimmed().split(' ').value(1).toLongLong();
    }
    QStringList stray;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || pid == 1 || mine.contains(pid) || kept.contains(pid))
            continue;
        QByteArray cmdline = readFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.isEmpty())
            continue; // gone between the listing and the read
        // The system bus starts polkit when the agent first asks it about a caller; it is the
        // bus's service, not something the run left behind.
        if (cmdline.startsWith("/usr/lib/polkit-1/polkitd"))
            continue;
        stray.append(QStringLiteral("%1 %2").arg(pid).arg(QString::fromLocal8Bit(cmdline.replace('\0', ' '))));
    }
    return stray;
}

// The run, started in a session of its own as a terminal would start it in a process group
// of its own: a signal to that group is what Ctrl-C sends.
class Run
{
public:
    explicit Run(const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("setsid"),
                        QStringList{QStringLiteral("bash"), script, QStringLiteral("--agent"),
                                    QStringLiteral(KVO_AGENT_BINARY)} + arguments);
    }
    ~Run()
    {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(-pid_t(m_process.processId()), SIGKILL);
            m_process.waitForFinished(5000);
        }
    }

    qint64 pid() const { return m_process.processId(); }

    // Waits for a line of output that starts with prefix; returns it, or a null string.
    QString waitForLine(const QString &prefix, int timeoutMs = 120000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                m_lines.append(line);
                if (line.startsWith(prefix))
                    return line;
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return QString();
            m_process.waitForReadyRead(100);
        }
    }

    bool waitForEnd(int *status, int timeoutMs = 120000)
    {
        if (!m_process.waitForFinished(timeoutMs))
            return false;
        while (m_process.canReadLine() || m_process.bytesAvailable() > 0)
            m_lines.append(QString::fromUtf8(m_process.readLine()).trimmed());
        *status = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        return true;
    }

    const QStringList &lines() const { return m_lines; }
    QString output() const { return m_lines.join(QLatin1Char('\n')); }

private:
    QProcess m_process;
    QStringList m_lines;
};

// The block of calls the run prints for the user to paste: the export line (with a private
// bus) and the lines that follow it up to the next empty line.
QStringList pasteBlock(const QStringList &lines)
{
    const int heading = lines.indexOf(QStringLiteral("== call the agent yourself, from another terminal"));
    QStringList block;
    for (int i = heading + 1; heading >= 0 && i < lines.size() && !lines.at(i).isEmpty(); ++i)
        block.append(lines.at(i));
    return block;
}

QString readmeLineStartingWith(const QByteArray &readmeText, const QString &prefix)
{
    const QStringList lines = QString::fromUtf8(readmeText).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            return line;
    }
    return QString();
}

} // namespace

class tst_Run : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(inSandbox(), "runs only inside sandbox-run, which owns the fixed paths");
        writeReleaseFiles();
    }

    void servesUntilToldToEnd_data()
    {
        QTest::addColumn<bool>("systemBusRuns");
        QTest::addColumn<bool>("ctrlC");
        QTest::newRow("private bus, --for") << false << false;
        QTest::newRow("private bus, Ctrl-C") << false << true;
        QTest::newRow("running system bus, Ctrl-C") << true << true;
    }

    void servesUntilToldToEnd()
    {
        QFETCH(bool, systemBusRuns);
        QFETCH(bool, ctrlC);
        QDir(QLatin1String(supportDir)).removeRecursively();

        // A system bus as Debian configures it: its policies from /usr/share/dbus-1/system.d
        // and /etc/dbus-1/system.d, the only place the run may add one.
        QProcess systemBus;
        QList<qint64> kept;
        if (systemBusRuns) {
            QFile::remove(QLatin1String(busSocket));
            systemBus.start(QStringLiteral("dbus-daemon"),
                            {QStringLiteral("--system"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile")});
            QVERIFY(systemBus.waitForStarted());
            QDeadlineTimer deadline(30000);
            while (!QFile::exists(QLatin1String(busSocket)) && !deadline.hasExpired())
                QTest::qWait(20);
            QVERIFY2(QFile::exists(QLatin1String(busSocket)), systemBus.readAllStandardError().constData());
            kept.append(systemBus.processId());
        }
        QVERIFY(!QFile::exists(installedPolicy));

        const LogCursor log;
        Run run(ctrlC ? QStringList() : QStringList{QStringLiteral("--for"), QStringLiteral("2")});
        QVERIFY(!run.waitForLine(QStringLiteral("run: serving")).isNull());
        QCOMPARE(::getpgid(pid_t(run.pid())), pid_t(run.pid()));

        // What the run says it stored, byte for byte, and the path it says the agent refuses.
        QCOMPARE(readFile(QLatin1String(supportDir) + QStringLiteral("customer.json")),
                 QByteArray(R"({"customer": "Example Ltd", "contract": "K-1001"})"));
        QCOMPARE(readFile(QLatin1String(supportDir) + QStringLiteral("kvo-devicetree.json")),
                 QByteArray(R"({"board": "demo", "disks": []})"));
        QCOMPARE(readFile(QLatin1String(qrDir) + QStringLiteral("contact/hotline.png")),
                 QByteArray("\x89PNG\r\n\x1a\n"));
        QCOMPARE(log.count(QStringLiteral("Save path is invalid")), 1);
        // The support application's id, and nothing else.
        const QByteArray appPid = readFile(QLatin1String(pidFile));
        QVERIFY2(QRegularExpression(QStringLiteral("\\A[0-9]+\\z")).match(QString::fromLatin1(appPid)).hasMatch(),
                 appPid.constData());
        QVERIFY(QFile::exists(QStringLiteral("/proc/%1/exe").arg(QString::fromLatin1(appPid))));
        QCOMPARE(QFile::exists(installedPolicy), systemBusRuns);

        // The calls it prints are the README's and work as pasted into another shell.
        const QStringList block = pasteBlock(run.lines());
        QCOMPARE(block.size(), systemBusRuns ? 6 : 7);
        QCOMPARE(block.first().startsWith(QStringLiteral("export DBUS_SYSTEM_BUS_ADDRESS=")), !systemBusRuns);
        const QByteArray readmeText = readFile(readme);
        for (const QString &line : block) {
            if (!line.startsWith(QStringLiteral("export ")))
                QVERIFY2(readmeText.contains(line.toUtf8() + '\n'), qPrintable(line));
        }

        if (ctrlC) {
            // Several of the agent's checks of the support application pass while it serves.
            QTest::qWait(1600);
            QProcess paste;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"));
            paste.setProcessEnvironment(env);
            paste.setProcessChannelMode(QProcess::MergedChannels);
            paste.start(QStringLiteral("bash"), {QStringLiteral("-ec"), block.join(QLatin1Char('\n'))});
            QVERIFY(paste.waitForFinished(60000));
            QVERIFY2(paste.exitCode() == 0, paste.readAll().constData());
            QCOMPARE(readFile(QLatin1String(supportDir) + QStringLiteral("customer.json")), QByteArray("{}"));
            QCOMPARE(readFile(QLatin1String(qrDir) + QStringLiteral("contact/hotline.png")), QByteArray("\1\2\3"));

            // The README's call as an unprivileged user reaches the agent on either bus, which
            // refuses it: no polkit here says yes.
            const QString asNobody = readmeLineStartingWith(readmeText, QStringLiteral("runuser -u nobody -- "));
            QVERIFY(!asNobody.isEmpty());
            QVERIFY(QFile::remove(QLatin1String(supportDir) + QStringLiteral("kvo-devicetree.json")));
            QStringList script = block.filter(QRegularExpression(QStringLiteral("^(export|S=)")));
            script.append(asNobody);
            paste.start(QStringLiteral("bash"), {QStringLiteral("-ec"), script.join(QLatin1Char('\n'))});
            QVERIFY(paste.waitForFinished(60000));
            QVERIFY2(paste.exitCode() == 0, paste.readAll().constData());
            QVERIFY(!QFile::exists(QLatin1String(supportDir) + QStringLiteral("kvo-devicetree.json")));
            const QRegularExpression refused(QStringLiteral("^Refused updateDeviceTreeFile from :1\\.[0-9]+ \\(uid 65534, pid [0-9]+\\): polkit "));
            QTRY_COMPARE_WITH_TIMEOUT(messages(log).filter(refused).size(), 1, 10000);
            QCOMPARE(::kill(-pid_t(run.pid()), SIGINT), 0);
        }

        int status = -2;
        QVERIFY2(run.waitForEnd(&status), qPrintable(run.output()));
        QVERIFY2(status == 0, qPrintable(run.output()));
        QVERIFY2(run.lines().contains(QStringLiteral("run: the agent has ended with status 0")), qPrintable(run.output()));
        QVERIFY2(run.output().contains(QStringLiteral("run: the agent still serves after ")), qPrintable(run.output()));
        const QStringList logged = messages(log);
        QCOMPARE(logged.value(logged.size() - 2), QStringLiteral("kvo-service-support no running"));
        QCOMPARE(logged.last(), QStringLiteral("exit agent."));

        QVERIFY(!QFile::exists(QLatin1String(pidFile)));
        QVERIFY(!QFile::exists(installedPolicy));
        const QStringList stray = strayProcesses(kept);
        QVERIFY2(stray.isEmpty(), qPrintable(stray.join(QLatin1Char('\n'))));

        if (systemBusRuns) {
            systemBus.terminate();
            QVERIFY(systemBus.waitForFinished());
        }
    }
};

QTEST_GUILESS_MAIN(tst_Run)
#include "tst_run.moc"
