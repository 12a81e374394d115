// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

// Replaces one file in an open directory so that readers and crashes see either the old
// content or the new content whole: a temporary file in the staging directory (on the same file
// system) is written, flushed and renamed over the target, then the directory is flushed. An
// existing regular file's mode (without its set-user-ID and set-group-ID bits) and owner carry
// over; a symbolic link at the target is replaced, never followed.
class AtomicFile
{
public:
    static constexpr const char *temporaryPrefix = ".kvo-tmp-";

    AtomicFile(int dirFd, const QByteArray &name, int stagingFd);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // Opens the temporary file. Fails when the target is a directory or another non-regular
    // file, when the name is not a plain name, or when the staging directory refuses a new file.
    bool open();
    // Writes all of data to the temporary file and flushes it; the target is not touched yet.
    bool write(const QByteArray &data);
    // Puts the written file in place. On any failure the old file is untouched and the
    // temporary file is gone.
    bool commit();
    bool commit(const QByteArray &data) { return write(data) && commit(); }

    // The error number of the step that failed.
    int error() const { return m_error; }
    // The size of the file it replaces; 0 when there is none.
    qint64 replacedSize() const { return m_replacedSize; }
    bool replaces() const { return m_replaces; }

private:
    bool fail();

    int m_dirFd;
    QByteArray m_name;
    int m_stagingFd;
    QByteArray m_tempName;
    int m_fd = -1;
    bool m_tempExists = false;
    bool m_written = false;
    bool m_keepOwner = false;
    bool m_replaces = false;
    qint64 m_replacedSize = 0;
    unsigned m_mode = 0;
    unsigned m_uid = 0;
    unsigned m_gid = 0;
    int m_error = 0;
};
