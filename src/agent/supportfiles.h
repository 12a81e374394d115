// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// The support application's data files. The functions take their directories as parameters;
// the bus object passes the fixed ones. Every outcome is logged, nothing is returned to the caller.
namespace supportfiles {

struct FileMessages
{
    const char *openSuccess;
    const char *openError;
};

// Replaces dir/fileName with data. dir becomes the process's working directory.
void storeSupportFile(const QString &dir, const QString &fileName, const QByteArray &data,
                      const FileMessages &messages);

// Stores data as qrDir + qrCodeType + "/" + saveName; with delCacheFile the files of the type's
// directory are removed once the new image is written whole, just before it is put in place.
// qrDir ends with "/"; nothing outside it is created, cleared or written. A refused call changes
// nothing; one that fails later removes nothing.
void storeQrCode(const QString &qrDir, const QString &qrCodeType, const QString &saveName,
                 const QByteArray &data, bool delCacheFile);

// What storeQrCode makes of a type and a name before it touches the file system: Accepted, or
// the reason it refuses them ("Save path is invalid" / "Save name is invalid"). Lengths are
// checked first, before the text is split or cleaned, so a long text costs next to nothing.
enum class QrCodePathCheck { Accepted, InvalidPath, InvalidName };
QrCodePathCheck checkQrCodePath(const QString &qrDir, const QString &qrCodeType, const QString &saveName);

// Lexical clean of an absolute path: "." dropped, ".." removes the component before it,
// repeated "/" collapsed; a final "/" is kept.
QString cleanPath(const QString &path);

// True when the directory part of the cleaned path (the text before its last "/") is prefix
// itself or lies below it. Paths holding a NUL character are never accepted.
bool pathStaysBelow(const QString &path, const QString &prefix);

// A store refuses to leave less free than a reserve of the file system: 5 % of its size, at
// most 1 GiB, so that no caller fills it and a large disk that is nearly full still takes a
// small file; and 5 % of its inodes, at most 65,536, so that no caller uses them up with
// directories. bytes are rounded up to whole blocks. A file system that counts no inodes
// keeps no inode reserve.
struct SpaceFigures
{
    quint64 totalBytes = 0;
    quint64 freeBytes = 0;
    quint64 blockSize = 1;
    quint64 totalInodes = 0;
    quint64 freeInodes = 0;
};
struct SpaceReserve
{
    quint64 bytes = 0;
    quint64 inodes = 0;
};
SpaceReserve spaceReserve(const SpaceFigures &space);
bool leavesReserve(const SpaceFigures &space, quint64 bytes, quint64 inodes);

// The longest name of one path component and the longest path below the support directory
// that a QR-code type and name may make, in bytes: what a plain open of such a path would meet.
inline constexpr int maxNameBytes = 255;
inline constexpr int maxPathBytes = 4096;

// Clearing a QR-code directory logs at most this many "Delete file error!" lines, then one count.
inline constexpr int maxLoggedDeleteErrors = 16;

// Removes temporary files that an interrupted replacement left behind in dir and below it.
void removeLeftoverTemporaries(const QString &dir);

} // namespace supportfiles
