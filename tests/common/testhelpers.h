// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Helpers shared by all test programs: capturing the agent's log messages, reading and writing
// fixture files, finding temporaries left behind, putting fake tools in place, and looking at
// processes in /proc.

#include "agent/atomicfile.h"
#include "agent/constants.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace testhelpers {

inline constexpr const char *AgentCategory = kvo::logCategoryName;

// AddressSanitizer's shadow memory and quarantine make resident sizes say nothing of the code.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool builtWithAddressSanitizer = true;
#elif defined(__has_feature)
inline constexpr bool builtWithAddressSanitizer = __has_feature(address_sanitizer);
#else
inline constexpr bool builtWithAddressSanitizer = false;
#endif

// A log rule for the agent's category, such as logRule("debug=true").
inline QString logRule(const char *rest)
{
    return QLatin1String(AgentCategory) + QLatin1Char('.') + QLatin1String(rest);
}

// Messages of the agent's category, in order; other messages go to the handler found before.
inline QStringList g_messages;
inline QtMessageHandler g_previousHandler = nullptr;

inline void collectMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, AgentCategory) == 0)
        g_messages.append(message);
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

// The whole file; empty (and *ok false) when it cannot be read.
inline QByteArray readFile(const QString &path, bool *ok = nullptr)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    if (ok)
        *ok = opened;
    return opened ? file.readAll() : QByteArray();
}

// The whole file, or "<unreadable>", so that a missing file never compares equal to an
// expected empty one.
inline QByteArray readFileOrMark(const QString &path)
{
    bool ok = false;
    const QByteArray data = readFile(path, &ok);
    return ok ? data : QByteArray("<unreadable>");
}

// Replaces the file with data, creating the directories above it.
inline bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Entries whose name starts with the atomic writer's temporary prefix in its staging directory.
inline QStringList leftoverTemporaries(const QString &stagingDir)
{
    QStringList found;
    const QFileInfoList entries =
        QDir(stagingDir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName().startsWith(QLatin1String(AtomicFile::temporaryPrefix)))
            found.append(entry.filePath());
    }
    return found;
}

// The number in a "<field>: <number> ..." line of a /proc file, or -1.
inline qint64 procField(const QString &path, const char *field)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// A field of /proc/<pid>/status in KiB (VmRSS, VmHWM), or -1.
inline qint64 statusKiB(qint64 pid, const char *field)
{
    return procField(QStringLiteral("/proc/%1/status").arg(pid), field);
}

// A field of /proc/<pid>/io (rchar, ...), or -1.
inline qint64 ioField(qint64 pid, const char *field)
{
    return procField(QStringLiteral("/proc/%1/io").arg(pid), field);
}

// Puts the fake tests/fakes/<fake> at path (a link), so that it runs under the link's name and
// finds its answers beside the link.
inline bool installFake(const QString &fake, const QString &path)
{
    return QFile::link(QStringLiteral(KVO_FAKES_DIR "/") + fake, path);
}

// Puts tests/fakes/recorded-tool in dir as tool, answering with the recorded outputs of machine
// (a directory of tests/fixtures).
inline bool installRecordedTool(const QString &dir, const QString &tool, const QString &machine)
{
    const QString path = dir + QLatin1Char('/') + tool;
    return installFake(QStringLiteral("recorded-tool"), path)
        && QFile::link(QStringLiteral(KVO_FIXTURES_DIR "/") + machine, path + QStringLiteral(".machine"));
}

// Fields after the command name in /proc/<pid>/stat: state, ppid, pgrp, ...
inline QList<QByteArray> statFields(const QString &pid)
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
inline bool isLive(qint64 pid)
{
    const QList<QByteArray> fields = statFields(QString::number(pid));
    return !fields.isEmpty() && fields.at(0) != "Z";
}

// Live members of process group pgrp.
inline QList<qint64> liveGroupMembers(qint64 pgrp)
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

struct ChildRun
{
    QProcess::ExitStatus status = QProcess::CrashExit;
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// Runs this test program again as "--child MODE ARG", for cases that end their process; its
// main() hands such a command line to the child code instead of the tests.
inline ChildRun runSelfAsChild(const char *mode, const QString &argument)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--child"), QString::fromLatin1(mode), argument});
    if (!child.waitForFinished(60000)) {
        child.kill();
        child.waitForFinished();
    }
    return {child.exitStatus(), child.exitCode(), child.readAllStandardOutput(), child.readAllStandardError()};
}

} // namespace testhelpers
