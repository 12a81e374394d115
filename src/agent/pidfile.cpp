// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/pidfile.h"

#include "agent/agentlog.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pidfile {

// Far more than any process id; a longer file names no process.
static constexpr int maxPidFileBytes = 64;

QByteArray read(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        qCWarning(agentLog) << path << "----" << qt_error_string(errno);
        return QByteArray();
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        qCWarning(agentLog) << path << "----" << QStringLiteral("Not a regular file");
        ::close(fd);
        return QByteArray();
    }
    QByteArray content(maxPidFileBytes + 1, Qt::Uninitialized);
    qsizetype size = 0;
    while (size < content.size()) {
        const ssize_t n = ::read(fd, content.data() + size, size_t(content.size() - size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size += n;
    }
    ::close(fd);
    content.truncate(int(size));
    return content;
}

bool namesRunningProcess(const QByteArray &content, const QString &procRoot)
{
    const int end = content.indexOf('\0');
    const QByteArray pid = end < 0 ? content : content.left(end);
    if (pid.isEmpty() || pid.size() > maxPidFileBytes)
        return false;
    for (const char c : pid) {
        if (c < '0' || c > '9')
            return false;
    }
    // What the process table shows to anyone, so that no ptrace right is needed: the state and
    // the flags in procRoot/<pid>/stat. A zombie, a dead task and a kernel thread count as gone,
    // as their executable link cannot be followed either.
    const QByteArray statPath = QFile::encodeName(procRoot) + pid + "/stat";
    const int fd = ::open(statPath.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[1024];
    ssize_t size;
    do
        size = ::read(fd, buffer, sizeof buffer - 1);
    while (size < 0 && errno == EINTR);
    ::close(fd);
    if (size <= 0)
        return false;
    const QByteArray line(buffer, int(size));
    // The command name stands in parentheses and may hold anything, ")" included.
    const int nameEnd = line.lastIndexOf(')');
    if (nameEnd < 0)
        return false;
    const QList<QByteArray> fields = line.mid(nameEnd + 1).simplified().split(' ');
    // state, ppid, pgrp, session, tty_nr, tpgid, flags
    if (fields.size() < 7 || fields.at(0).size() != 1)
        return false;
    const char state = fields.at(0).at(0);
    bool numeric = false;
    const qulonglong flags = fields.at(6).toULongLong(&numeric);
    constexpr qulonglong kernelThread = 0x00200000; // PF_KTHREAD
    return numeric && state != 'Z' && state != 'X' && state != 'x' && !(flags & kernelThread);
}

} // namespace pidfile
