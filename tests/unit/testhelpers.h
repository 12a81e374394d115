// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Helpers shared by the unit tests: capturing the agent's log messages, writing fixture files
// and looking at processes.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace testhelpers {

inline constexpr char AgentCategory[] = "org.corvid.kvo-service-support.agent";

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

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
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

} // namespace testhelpers
