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

    // A fake proc root in which every name the rule rejects still has a followable exe link,
    // so that only the rule, not a missing entry, can make the answer false.
    const QString root = m_dir.filePath(QStringLiteral("fake"));
    m_procRoot = root + QStringLiteral("/proc/");
    const QString target = root + QStringLiteral("/target");
    QVERIFY(QDir().mkpath(m_procRoot));
    QVERIFY(writeFile(target, "binary"));

    const QStringList validLinks{QStringLiteral("100"),         QStringLiteral("self"),
                                 QStringLiteral("thread-self"), QStringLiteral("+1"),
                                 QStringLiteral("-1"),          QStringLiteral("100\n"),
                                 QStringLiteral("100 "),        QStringLiteral(" 100"),
                                 QStringLiteral("../1"),        QString()};
    for (const QString &name : validLinks) {
        const QString dir = m_procRoot + name;
        QVERIFY(QDir().mkpath(dir));
        QVERIFY2(QFile::link(target, dir + QStringLiteral("/exe")), qPrintable(name));
    }
    QVERIFY(QDir().mkpath(m_procRoot + QStringLiteral("200")));
    QVERIFY(writeFile(m_procRoot + QStringLiteral("200/exe"), "not a link"));
    QVERIFY(QDir().mkpath(m_procRoot + QStringLiteral("300")));
    QVERIFY(QFile::link(root + QStringLiteral("/gone"), m_procRoot + QStringLiteral("300/exe")));
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
}

void tst_PidFile::namesRunningProcess_realProc()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, expected);
    QCOMPARE(pidfile::namesRunningProcess(content), expected);
    QCOMPARE(g_messages, QStringList());
}

void tst_PidFile::namesRunningProcess_fakeRoot_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("expected");

    QTest::newRow("followable link") << QByteArray("100") << true;
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
    QTest::newRow("exe a regular file") << QByteArray("200") << false;
    QTest::newRow("exe a dangling link") << QByteArray("300") << false;
}

void tst_PidFile::namesRunningProcess_fakeRoot()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, expected);
    QCOMPARE(pidfile::namesRunningProcess(content, m_procRoot), expected);
}

QTEST_GUILESS_MAIN(tst_PidFile)
#include "tst_pidfile.moc"
