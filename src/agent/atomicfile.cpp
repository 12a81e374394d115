// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/atomicfile.h"

#include "simplelog/writeall.h"

#include <QRandomGenerator>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

AtomicFile::AtomicFile(int dirFd, const QByteArray &name, int stagingFd)
    : m_dirFd(dirFd)
    , m_name(name)
    , m_stagingFd(stagingFd)
{
}

AtomicFile::~AtomicFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_tempExists)
        ::unlinkat(m_stagingFd, m_tempName.constData(), 0);
}

// Records errno, closes and removes the temporary file, keeps the target as it is.
bool AtomicFile::fail()
{
    m_error = errno;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (m_tempExists)
        ::unlinkat(m_stagingFd, m_tempName.constData(), 0);
    m_tempExists = false;
    m_written = false;
    errno = m_error;
    return false;
}

bool AtomicFile::open()
{
    if (m_name.isEmpty() || m_name == "." || m_name == ".." || m_name.contains('/')
        || m_name.contains('\0')) {
        errno = m_name.isEmpty() ? ENOENT : EINVAL;
        return fail();
    }

    struct stat st;
    if (::fstatat(m_dirFd, m_name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        m_replaces = true;
        if (S_ISREG(st.st_mode)) {
            m_keepOwner = true;
            m_replacedSize = st.st_size;
            m_mode = st.st_mode & 07777;
            m_uid = st.st_uid;
            m_gid = st.st_gid;
        } else if (!S_ISLNK(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return fail();
        }
    } else if (errno != ENOENT) {
        return fail();
    }

    for (int attempt = 0; attempt < 16; ++attempt) {
        // to_chars rather than a printf: this runs for every stored file.
        char name[64];
        const size_t prefixLength = std::strlen(temporaryPrefix);
        std::memcpy(name, temporaryPrefix, prefixLength);
        const auto end = std::to_chars(name + prefixLength, name + sizeof name,
                                       QRandomGenerator::system()->generate64(), 16).ptr;
        m_tempName = QByteArray(name, int(end - name));
        m_fd = ::openat(m_stagingFd, m_tempName.constData(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_fd >= 0 || errno != EEXIST)
            break;
    }
    if (m_fd < 0)
        return fail();
    m_tempExists = true;
    return true;
}

bool AtomicFile::write(const QByteArray &data)
{
    if (m_fd < 0) {
        errno = EBADF;
        return fail();
    }
    if (!simplelog::writeAll(m_fd, data.constData(), data.size()))
        return fail();
    // The new content is a caller's choice, so it never runs with the owner's rights: the
    // set-user-ID and set-group-ID bits of the old mode are not carried over.
    if (m_keepOwner && (::fchown(m_fd, m_uid, m_gid) != 0 || ::fchmod(m_fd, m_mode & ~(S_ISUID | S_ISGID)) != 0))
        return fail();
    if (::fsync(m_fd) != 0)
        return fail();
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return fail();
    m_written = true;
    return true;
}

bool AtomicFile::commit()
{
    if (!m_written) {
        errno = EBADF;
        return fail();
    }
    if (::renameat(m_stagingFd, m_tempName.constData(), m_dirFd, m_name.constData()) != 0)
        return fail();
    m_tempExists = false;
    m_written = false;
    // The rename is durable only once the directory itself is on disk.
    ::fsync(m_dirFd);
    return true;
}
