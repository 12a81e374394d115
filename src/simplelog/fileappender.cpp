// SPDX-License-Identifier: GPL-3.0-or-later
#include "simplelog/fileappender.h"

#include "simplelog/writeall.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simplelog {

namespace {

qint64 monotonicMs()
{
    struct timespec ts = {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// mkdir -p for the parents of path, less the umask: the log's own directory 0750, as the
// agent's unit makes it, the directories above it 0755.
int makeParentDirectories(const QByteArray &path)
{
    QByteArray dir = path;
    const int slash = dir.lastIndexOf('/');
    if (slash <= 0)
        return 0;
    dir.truncate(slash);
    for (int i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir.at(i) != '/')
            continue;
        const QByteArray prefix = dir.left(i);
        if (::mkdir(prefix.constData(), i == dir.size() ? 0750 : 0755) == 0 || errno == EEXIST)
            continue;
        return errno;
    }
    return 0;
}

} // namespace

FileAppender::FileAppender(const QString &path, qint64 maxBytes, int keep, int retryIntervalMs)
    : m_path(path)
    , m_nativePath(QFile::encodeName(path))
    , m_maxBytes(maxBytes)
    , m_keep(qMax(0, keep))
    , m_retryIntervalMs(retryIntervalMs)
{
}

FileAppender::~FileAppender()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    closeLocked();
}

void FileAppender::setRotation(qint64 maxBytes, int keep)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_maxBytes = maxBytes;
    m_keep = qMax(0, keep);
}

bool FileAppender::write(const QByteArray &line)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    if (!ensureOpenLocked())
        return false;

    // Rotate before a line that would overflow, so no line is split between two files.
    if (m_maxBytes > 0 && m_size > 0 && m_size + line.size() > m_maxBytes) {
        rotateLocked();
        if (!ensureOpenLocked())
            return false;
    }

    if (!writeAll(m_fd, line.constData(), line.size())) {
        reportFailureLocked("cannot write to", errno);
        closeLocked();
        m_lastAttemptMs = monotonicMs();
        return false;
    }
    m_size += line.size();
    return true;
}

bool FileAppender::ensureOpenLocked()
{
    if (m_fd >= 0)
        return true;
    // Retrying on every message would cost a failing open per line; once in a while is enough.
    const qint64 now = monotonicMs();
    if (m_attempted && now - m_lastAttemptMs < m_retryIntervalMs)
        return false;
    m_attempted = true;
    m_lastAttemptMs = now;
    return openLocked();
}

bool FileAppender::openLocked()
{
    if (m_nativePath.isEmpty()) {
        reportFailureLocked("cannot open", ENOENT);
        return false;
    }
    const int dirError = makeParentDirectories(m_nativePath);
    if (dirError != 0) {
        reportFailureLocked("cannot create the directory of", dirError);
        return false;
    }

    // O_NONBLOCK keeps a FIFO planted at the path from hanging us; it is rejected below.
    const int fd = ::open(m_nativePath.constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
    if (fd < 0) {
        reportFailureLocked("cannot open", errno);
        return false;
    }
    struct stat st = {};
    const bool statOk = ::fstat(fd, &st) == 0;
    if (!statOk || !S_ISREG(st.st_mode)) {
        const int error = statOk ? EINVAL : errno;
        ::close(fd);
        reportFailureLocked("cannot open", error);
        return false;
    }
    if ((st.st_mode & S_IRWXO) != 0)
        ::fchmod(fd, st.st_mode & 07770);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    m_fd = fd;
    m_size = st.st_size;
    m_failureReported = false;
    return true;
}

void FileAppender::rotateLocked()
{
    closeLocked();
    const auto name = [this](int index) {
        return index == 0 ? m_nativePath : m_nativePath + '.' + QByteArray::number(index);
    };
    if (m_keep == 0) {
        ::unlink(m_nativePath.constData());
    } else {
        ::unlink(name(m_keep).constData());
        for (int i = m_keep - 1; i >= 0; --i)
            ::rename(name(i).constData(), name(i + 1).constData());
    }
    // Reopen now rather than after the retry interval.
    m_attempted = false;
}

void FileAppender::closeLocked()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_size = 0;
}

void FileAppender::reportFailureLocked(const char *what, int error)
{
    if (m_failureReported)
        return;
    m_failureReported = true;
    // Raw stderr: the Qt log handler is what is failing, so it cannot be used here.
    errno = error;
    std::fprintf(stderr, "simplelog: %s log file %s: %m; log lines are dropped\n", what,
                 m_nativePath.constData());
    std::fflush(stderr);
}

} // namespace simplelog
