// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// The support application's data files. The functions take their directories as parameters;
// the bus object passes the fixed ones. Every outcome is logged, nothing is returned to the caller.
//
// New content is written to a temporary file in the staging directory beside the support
// directory (stagingDirectoryFor), on the same file system, and renamed into place, so no
// caller can name a temporary file and no reader sees a half-written one.
namespace supportfiles {

struct FileMessages
{
    const char *openSuccess;
    const char *openError;
};

// Replaces dir/fileName with data; dir is the support directory and becomes the process's
// working directory.
void storeSupportFile(const QString &dir, const QString &fileName, const QByteArray &data,
                      const FileMessages &messages);

// Stores data as qrDir + qrCodeType + "/" + saveName in the order the log tells: the type is
// tested, cleared when delCacheFile is set, created, then the name is tested and the image
// opened and written. qrDir is the QR-code directory directly below the support directory and
// ends with "/"; nothing outside it is created, cleared or written. The name is opened as given,
// component by component, never through a symbolic link.
void storeQrCode(const QString &qrDir, const QString &qrCodeType, const QString &saveName,
                 const QByteArray &data, bool delCacheFile);

// Lexical clean of an absolute path: "." dropped, ".." removes the component before it,
// repeated "/" collapsed; a final "/" is kept.
QString cleanPath(const QString &path);

// True when the directory part of the cleaned absolute path (the text before its last "/") is
// prefix itself or lies below it. Decided in one pass without splitting the path, so that a
// long path costs no more memory than itself. Paths holding a NUL character are never accepted.
bool pathStaysBelow(const QString &path, const QString &prefix);

// The longest name of one path component and the longest path a plain open takes, in bytes.
inline constexpr int maxNameBytes = 255;
inline constexpr int maxPathBytes = 4096;

// Space: a store never takes space or inodes that unprivileged users may not use (the root
// reserve stays free), counted as the file system reports them to users.
struct SpaceFigures
{
    quint64 availableBytes = 0; // f_bavail * f_frsize
    quint64 blockSize = 1;
    quint64 totalInodes = 0; // 0: the file system counts none
    quint64 availableInodes = 0; // f_favail
};
// bytes are rounded up to whole blocks.
bool fitsSpace(const SpaceFigures &space, quint64 bytes, quint64 inodes);

// Quota of the support tree (the support directory and everything below it, not counting the
// directory itself): the regular files' bytes and the entries of every kind.
inline constexpr quint64 quotaBytes = quint64(256) << 20;
inline constexpr quint64 quotaEntries = 4096;
struct TreeUsage
{
    quint64 bytes = 0;
    quint64 entries = 0;
};
// Whether the tree still keeps the quota after adding addBytes and addEntries and removing
// the replaced file's removedBytes.
bool fitsQuota(const TreeUsage &usage, quint64 addBytes, quint64 removedBytes, quint64 addEntries);

// Clearing a QR-code directory logs at most this many "Delete file error!" lines, then one count.
inline constexpr int maxLoggedDeleteErrors = 16;

// The staging directory of a support directory: "staging/" beside it.
QString stagingDirectoryFor(const QString &supportDir);

// Removes the temporary files an interrupted replacement left in the staging directory. Looks
// at that one directory only.
void removeLeftoverTemporaries(const QString &stagingDir);

} // namespace supportfiles
