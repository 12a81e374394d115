// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

// Replaces one file in an open directory so that readers and crashes see either the old
// content or the new content whole: a temporary file in the same directory is written,
// flushed and renamed over the target, then the directory is flushed. An existing regular
// file's mode (without its set-user-ID and set-group-ID bits) and owner carry over; a symbolic
// link at the target is replaced, never followed.
class AtomicFile
{
public:
    static constexpr const char *temporaryPrefix = ".kvo-tmp-";

    // With keepMetadata false the new file gets the default mode and owner even where a file
    // exists, for a caller that removes the old file before the new one is put in place.
    AtomicFile(int dirFd, const QByteArray &name, bool keepMetadata = true);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // Opens the temporary file. Fails when the target is a directory or another non-regular
    // file, when the name is not a plain name, or when the directory refuses a new file.
    bool open();
    // Writes all of data to the temporary file and flushes it; the target is not touched yet.
    bool write(const QByteArray &data);
    // Puts the written file in place. On any failure the old file is untouched and the
    // temporary file is gone.
    bool commit();
    bool commit(const QByteArray &data) { return write(data) && commit(); }

    // The error number of the step that failed.
    int error() const { return m_error; }

private:
    bool fail();

    int m_dirFd;
    QByteArray m_name;
    QByteArray m_tempName;
    int m_fd = -1;
    bool m_tempExists = false;
    bool m_written = false;
    bool m_keepMetadata;
    bool m_keepOwner = false;
    unsigned m_mode = 0;
    unsigned m_uid = 0;
    unsigned m_gid = 0;
    int m_error = 0;
};
