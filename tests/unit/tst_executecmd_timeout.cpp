// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/sysutils.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

using namespace testhelpers;

namespace {

qint64 readPid(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

} // namespace

class tst_ExecuteCmdTimeout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaultTimeoutEndsCommand();
};

void tst_ExecuteCmdTimeout::defaultTimeoutEndsCommand()
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

QTEST_GUILESS_MAIN(tst_ExecuteCmdTimeout)
#include "tst_executecmd_timeout.moc"
