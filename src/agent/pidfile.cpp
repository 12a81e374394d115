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
    const QByteArray exe = QFile::encodeName(procRoot) + pid + "/exe";
    struct stat target;
    struct stat link;
    return ::stat(exe.constData(), &target) == 0 && ::lstat(exe.constData(), &link) == 0
        && S_ISLNK(link.st_mode);
}

} // namespace pidfile
