// SPDX-License-Identifier: GPL-3.0-or-later
#include "sysutils.h"

#include "agentlog.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStringList>
#include <QTextCodec>

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

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(agentLog) << path << "----" << file.errorString();
        return QByteArray();
    }
    return file.readAll();
}

bool fileExists(const QString &path)
{
    // An entry counts even when it is a dangling symbolic link.
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        return true;
    qCWarning(agentLog) << path << " non-existent.";
    return false;
}

QMap<QString, QString> readIniGroup(const QString &path, const QString &group)
{
    QMap<QString, QString> values;
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("UTF8"));
    // QSettings parses sections lazily: without a look at every key first, a sub-group written
    // under its own "[group/sub]" header is missing from the group's keys.
    settings.allKeys();
    settings.beginGroup(group);
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        values.insert(key, settings.value(key, QString()).toString());
    settings.endGroup();
    return values;
}
