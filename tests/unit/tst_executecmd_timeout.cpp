// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/sysutils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Fields after the command name in /proc/<pid>/stat: state, ppid, pgrp, ...
QList<QByteArray> statFields(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    // The command name may hold blanks and parentheses; the fields after it may not.
    const int close = line.lastIndexOf(')');
    return close < 0 ? QList<QByteArray>() : line.mid(close + 2).split(' ');
}

// Zombies do not count: an orphan is reaped by pid 1, which in a container does not always reap.
bool isLive(qint64 pid)
{
    const QList<QByteArray> fields = statFields(QString::number(pid));
    return !fields.isEmpty() && fields.at(0) != "Z";
}

QList<qint64> liveGroupMembers(qint64 pgrp)
{
    QList<qint64> members;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QList<QByteArray> fields = statFields(entry);
        if (fields.size() >= 3 && fields.at(0) != "Z" && fields.at(2).toLongLong() == pgrp)
            members.append(pid);
    }
    return members;
}

qint64 readPid(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

} // namespace

class tst_executecmd_timeout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaultTimeoutEndsCommand();
};

void tst_executecmd_timeout::defaultTimeoutEndsCommand()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pgidFile = dir.filePath(QStringLiteral("pgid"));
    const QString sleeperFile = dir.filePath(QStringLiteral("sleeper"));

    QString output;
    const bool result = executeCmd(
        QStringLiteral("echo line; echo $$ > %1; sleep 60 & echo $! > %2; wait").arg(pgidFile, sleeperFile), output);

    const qint64 pgid = readPid(pgidFile);
    const qint64 sleeper = readPid(sleeperFile);
    QVERIFY(pgid > 1 && pgid != ::getpgrp());
    QVERIFY(sleeper > 1);
    auto cleanup = qScopeGuard([pgid, sleeper] {
        ::kill(-pid_t(pgid), SIGKILL);
        ::kill(pid_t(sleeper), SIGKILL);
    });

    QVERIFY(result);
    QCOMPARE(output, QStringLiteral("line\n"));
    QTRY_VERIFY_WITH_TIMEOUT(liveGroupMembers(pgid).isEmpty(), 10000);
    QVERIFY(!isLive(sleeper));
}

QTEST_GUILESS_MAIN(tst_executecmd_timeout)
#include "tst_executecmd_timeout.moc"
