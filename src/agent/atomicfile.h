// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

// Replaces one file in an open directory so that readers and crashes see either the old
// content or the new content whole: a temporary file in the same directory is written,
// flushed and renamed over the target, then the directory is flushed. An existing regular
// file's mode and owner carry over; a symbolic link at the target is replaced, never followed.
class AtomicFile
{
public:
    static constexpr const char *temporaryPrefix = ".kvo-tmp-";

    AtomicFile(int dirFd, const QByteArray &name);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // Opens the temporary file. Fails when the target is a directory or another non-regular
    // file, when the name is not a plain name, or when the directory refuses a new file.
    bool open();
    // Writes all of data and puts the file in place. On failure the old file is untouched.
    bool commit(const QByteArray &data);

private:
    int m_dirFd;
    QByteArray m_name;
    QByteArray m_tempName;
    int m_fd = -1;
    bool m_keepOwner = false;
    unsigned m_mode = 0;
    unsigned m_uid = 0;
    unsigned m_gid = 0;
};
