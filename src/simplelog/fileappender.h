// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <mutex>

namespace simplelog {

// Appends whole lines to a log file with size-based rotation (path.1 newest ... path.N).
// Thread-safe; each line is one write(2) straight to the file, nothing is buffered.
class FileAppender
{
public:
    static constexpr qint64 DefaultMaxBytes = 10 * 1024 * 1024;
    static constexpr int DefaultKeep = 3;
    static constexpr int DefaultRetryIntervalMs = 5000;

    explicit FileAppender(const QString &path, qint64 maxBytes = DefaultMaxBytes,
                          int keep = DefaultKeep, int retryIntervalMs = DefaultRetryIntervalMs);
    ~FileAppender();

    FileAppender(const FileAppender &) = delete;
    FileAppender &operator=(const FileAppender &) = delete;

    QString path() const { return m_path; }
    void setRotation(qint64 maxBytes, int keep);

    // Returns false when the line was dropped.
    bool write(const QByteArray &line);

private:
    bool ensureOpenLocked();
    bool openLocked();
    void rotateLocked();
    void closeLocked();
    void reportFailureLocked(const char *what, int error);

    const QString m_path;
    const QByteArray m_nativePath;
    std::mutex m_mutex;
    qint64 m_maxBytes;
    int m_keep;
    const int m_retryIntervalMs;
    int m_fd = -1;
    qint64 m_size = 0;
    qint64 m_lastAttemptMs = 0;
    bool m_attempted = false;
    bool m_failureReported = false;
};

} // namespace simplelog
