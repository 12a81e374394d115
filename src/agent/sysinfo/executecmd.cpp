// SPDX-License-Identifier: GPL-3.0-or-later
#include "sysutils.h"

#include <QProcess>
#include <QStringList>

#include <signal.h>
#include <unistd.h>

namespace {

// The shell leads a process group of its own, so that a command that outlives its deadline
// can be ended together with everything it started.
class GroupLeaderProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

} // namespace

bool executeCmd(const QString &command, QString &output, int timeoutMs)
{
    GroupLeaderProcess process;
    process.start(QStringLiteral("bash"), {QStringLiteral("-c"), command}, QIODevice::ReadWrite);
    const bool finished = process.waitForFinished(timeoutMs);
    const QByteArray bytes = process.readAllStandardOutput();

    if (!finished && process.state() != QProcess::NotRunning) {
        const qint64 pid = process.processId();
        if (pid > 0)
            ::kill(-pid_t(pid), SIGKILL);
        process.kill();
        process.waitForFinished(-1);
    }

    if (bytes.isEmpty()) {
        output = QString();
    } else {
        const int end = bytes.indexOf('\0');
        output = QString::fromLatin1(bytes.constData(), end < 0 ? bytes.size() : end);
    }
    return !output.isEmpty();
}
