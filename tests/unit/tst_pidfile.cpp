// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/pidfile.h"
#include "testhelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

using namespace testhelpers;

namespace {


QByteArray ownPid()
{
    return QByteArray::number(QCoreApplication::applicationPid());
}

} // namespace

class tst_PidFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void read_regularFile();
    void read_boundedLength();
    void read_unreadable_data();
    void read_unreadable();

    void namesRunningProcess_realProc_data();
    void namesRunningProcess_realProc();
    void namesRunningProcess_zombie();
    void namesRunningProcess_fakeRoot_data();
    void namesRunningProcess_fakeRoot();

private:
    QTemporaryDir m_dir;
    QString m_procRoot;
};

void tst_PidFile::initTestCase()
{
    QVERIFY(m_dir.isValid());
    g_previousHandler = qInstallMessageHandler(collectMessage);

    // A fake proc root in which every name the rule rejects still has the stat of a running
    // process, so that only the rule, not a missing entry, can make the answer false.
    const QString root = m_dir.filePath(QStringLiteral("fake"));
    m_procRoot = root + QStringLiteral("/proc/");
    QVERIFY(QDir().mkpath(m_procRoot));
    const QByteArray running = "100 (sleep) S 1 100 100 0 -1 4194304 95 0 0 0 0 0 0 0 20 0 1 0 9 5582848 230\n";
    const QStringList runningNames{QStringLiteral("100"),  QStringLiteral("self"), QStringLiteral("thread-self"),
                                   QStringLiteral("+1"),   QStringLiteral("-1"),   QStringLiteral("100\n"),
                                   QStringLiteral("100 "), QStringLiteral(" 100"), QStringLiteral("../1"), QString()};
    for (const QString &name : runningNames)
        QVERIFY2(writeFile(m_procRoot + name + QStringLiteral("/stat"), running), qPrintable(name));
    const QList<QPair<QString, QByteArray>> others{
        {QStringLiteral("200"), "200 (app) Z 1 200 200 0 -1 4227084 0 0 0 0 0 0 0 0 20 0 1 0 9 0 0\n"},
        {QStringLiteral("201"), "201 (app) X 1 201 201 0 -1 4227084 0 0 0 0 0 0 0 0 20 0 1 0 9 0 0\n"},
        {QStringLiteral("202"), "202 (kworker/0:1) I 2 0 0 0 -1 69238880 0 0 0 0 0 0 0 0 20 0 1 0 9 0 0\n"},
        {QStringLiteral("203"), "203 (a) Z (b) S 1 203 203 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 9 0 0\n"},
        {QStringLiteral("204"), "204 (a) S (b) Z 1 204 204 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 9 0 0\n"},
        {QStringLiteral("205"), "205 (app) S 1 205\n"},
        {QStringLiteral("206"), ""},
        {QStringLiteral("207"), "207 (app) S 1 207 207 0 -1 lots 0\n"},
    };
    for (const auto &entry : others)
        QVERIFY(writeFile(m_procRoot + entry.first + QStringLiteral("/stat"), entry.second));
    // A link in the place of stat leads nowhere: no link is followed.
    QVERIFY(writeFile(root + QStringLiteral("/running-stat"), running));
    QVERIFY(QDir().mkpath(m_procRoot + QStringLiteral("300")));
    QVERIFY(QFile::link(root + QStringLiteral("/running-stat"), m_procRoot + QStringLiteral("300/stat")));
}

void tst_PidFile::init()
{
    g_messages.clear();
}

void tst_PidFile::read_regularFile()
{
    const QString path = m_dir.filePath(QStringLiteral("regular.pid"));
    QVERIFY(writeFile(path, "4242\n"));
    QCOMPARE(pidfile::read(path), QByteArray("4242\n"));
    QCOMPARE(g_messages, QStringList());
}

void tst_PidFile::read_boundedLength()
{
    QByteArray content;
    content.reserve(10 * 1024 * 1024);
    while (content.size() < 10 * 1024 * 1024)
        content.append("0123456789");
    const QString path = m_dir.filePath(QStringLiteral("huge.pid"));
    QVERIFY(writeFile(path, content));

    const QByteArray read = pidfile::read(path);
    QVERIFY2(read.size() <= 65, QByteArray::number(read.size()));
    QVERIFY(!read.isEmpty());
    QVERIFY(content.startsWith(read));
}

void tst_PidFile::read_unreadable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");

    QTest::newRow("missing") << "missing" << "No such file or directory";
    // Opened without a writer, a FIFO would block a reader that waits for one.
    QTest::newRow("fifo without writer") << "fifo" << QString();
    QTest::newRow("symlink to valid file") << "symlink" << QString();
    QTest::newRow("directory") << "directory" << QString();
}

void tst_PidFile::read_unreadable()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("kvo.pid"));
    const QString valid = dir.filePath(QStringLiteral("valid.pid"));
    QVERIFY(writeFile(valid, ownPid()));
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == QLatin1String("symlink"))
        QVERIFY(QFile::link(valid, path));
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(path));

    QCOMPARE(pidfile::read(path), QByteArray());
    QCOMPARE(g_messages.size(), 1);
    const QString prefix = QStringLiteral("\"%1\" ---- ").arg(path);
    if (reason.isEmpty())
        QVERIFY2(g_messages.first().startsWith(prefix), qPrintable(g_messages.first()));
    else
        QCOMPARE(g_messages.first(), prefix + QLatin1Char('"') + reason + QLatin1Char('"'));
}

// A kernel thread this process can see (PF_KTHREAD in its stat flags), or nothing: in the PID
// namespace of a container there is none, and pid 2 may be any process.
static QByteArray kernelThreadPid()
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        entry.toInt(&numeric);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!numeric || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        constexpr qulonglong kernelThread = 0x00200000;
        if (fields.size() > 6 && (fields.at(6).toULongLong() & kernelThread))
            return entry.toLatin1();
    }
    return QByteArray();
}

void tst_PidFile::namesRunningProcess_realProc_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("expected");

    const QByteArray pid = ownPid();
    QTest::newRow("own pid") << pid << true;
    QTest::newRow("own pid, newline") << pid + "\n" << false;
    QTest::newRow("own pid, blank") << pid + " " << false;
    QTest::newRow("own pid, NUL and garbage") << pid + QByteArray("\0garbage\n", 9) << true;
    QTest::newRow("NUL before own pid") << QByteArray("\0", 1) + pid << false;
    QTest::newRow("self") << QByteArray("self") << false;
    QTest::newRow("thread-self") << QByteArray("thread-self") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("no such process") << QByteArray("99999999") << false;
    const QByteArray kernelThread = kernelThreadPid();
    if (!kernelThread.isEmpty())
        QTest::newRow("a kernel thread") << kernelThread << false;
}

void tst_PidFile::namesRunningProcess_realProc()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, expected);
    QCOMPARE(pidfile::namesRunningProcess(content), expected);
    QCOMPARE(g_messages, QStringList());
}

// A child that has ended and was not yet reaped still has its /proc entry, but is gone.
void tst_PidFile::namesRunningProcess_zombie()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    QVERIFY(child > 0);
    const QByteArray pid = QByteArray::number(child);
    // The state turns to Z once the child has ended; waitid with WNOWAIT leaves it unreaped.
    siginfo_t info{};
    QCOMPARE(::waitid(P_PID, id_t(child), &info, WEXITED | WNOWAIT), 0);
    QVERIFY(QFile::exists(QStringLiteral("/proc/%1/stat").arg(child)));
    QCOMPARE(pidfile::namesRunningProcess(pid), false);
    QCOMPARE(::waitpid(child, nullptr, 0), child);
}

void tst_PidFile::namesRunningProcess_fakeRoot_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("expected");

    QTest::newRow("running") << QByteArray("100") << true;
    QTest::newRow("digits, NUL and garbage") << QByteArray("100\0/../self", 12) << true;
    QTest::newRow("newline") << QByteArray("100\n") << false;
    QTest::newRow("trailing blank") << QByteArray("100 ") << false;
    QTest::newRow("leading blank") << QByteArray(" 100") << false;
    QTest::newRow("self") << QByteArray("self") << false;
    QTest::newRow("thread-self") << QByteArray("thread-self") << false;
    QTest::newRow("parent path") << QByteArray("../1") << false;
    QTest::newRow("plus sign") << QByteArray("+1") << false;
    QTest::newRow("minus sign") << QByteArray("-1") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("only NUL") << QByteArray("\0", 1) << false;
    QTest::newRow("no entry") << QByteArray("400") << false;
    QTest::newRow("zombie") << QByteArray("200") << false;
    QTest::newRow("dead") << QByteArray("201") << false;
    QTest::newRow("kernel thread") << QByteArray("202") << false;
    QTest::newRow("name holding \") Z (\", running") << QByteArray("203") << true;
    QTest::newRow("name holding \") S (\", zombie") << QByteArray("204") << false;
    QTest::newRow("stat cut short") << QByteArray("205") << false;
    QTest::newRow("stat empty") << QByteArray("206") << false;
    QTest::newRow("flags not a number") << QByteArray("207") << false;
    QTest::newRow("stat a link") << QByteArray("300") << false;
}

void tst_PidFile::namesRunningProcess_fakeRoot()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, expected);
    QCOMPARE(pidfile::namesRunningProcess(content, m_procRoot), expected);
}

QTEST_GUILESS_MAIN(tst_PidFile)
#include "tst_pidfile.moc"
