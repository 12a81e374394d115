// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/supportfiles.h"

#include "agent/agentlog.h"
#include "agent/atomicfile.h"

#include <simplelog/journalfields.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextCodec>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace supportfiles {
namespace {

// What one new directory is counted as against the free-space reserve.
constexpr quint64 directoryBytes = 4096;

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : m_fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// QFile::encodeName goes through the locale's codec, which costs more per stored file than the
// rest of the path handling; the support directory and file names are the same every call.
QByteArray encodedName(const QString &name)
{
    struct Entry
    {
        QString name;
        const QTextCodec *codec = nullptr;
        QByteArray encoded;
    };
    thread_local Entry recent[8];
    thread_local unsigned next = 0;
    const QTextCodec *codec = QTextCodec::codecForLocale();
    for (const Entry &entry : recent) {
        if (entry.codec == codec && entry.name == name && !entry.name.isNull())
            return entry.encoded;
    }
    Entry &entry = recent[next++ % 8];
    entry = {name, codec, QFile::encodeName(name)};
    return entry.encoded;
}

Fd openChildDirectory(int parent, const QByteArray &name)
{
    return Fd(::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Opens a directory one component at a time without following a symbolic link, so that a link
// planted at any level of the data tree ("ini", "QRCode", their parents) leads nowhere; with
// create, missing components are made on the way.
Fd openDirectory(const QString &path, bool create = false)
{
    // Encoded whole and cut in place: every call to store a file comes through here, and a
    // list of names costs more than the walk itself. "/" never occurs inside an encoded name.
    QByteArray native = encodedName(path);
    // One system call instead of two per component when the whole path is there and holds no
    // symbolic link; anything else (a missing part, a link, an older kernel, a filter) takes
    // the walk below, which decides.
    struct open_how how = {};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fast = ::syscall(SYS_openat2, AT_FDCWD, native.constData(), &how, sizeof how);
    if (fast >= 0)
        return Fd(int(fast));

    Fd dir(::open(native.startsWith('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    char *cursor = native.data();
    char *const end = cursor + native.size();
    while (cursor < end && dir.isValid()) {
        char *const slash = std::find(cursor, end, '/');
        *slash = '\0';
        const char *name = cursor;
        cursor = slash + 1;
        if (*name == '\0')
            continue;
        Fd child(::openat(dir.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child.isValid() && errno == ENOENT && create
            && (::mkdirat(dir.get(), name, 0777) == 0 || errno == EEXIST))
            child.reset(::openat(dir.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // errno tells the caller why, so it must survive closing the parent.
        const int error = errno;
        dir = std::move(child);
        errno = error;
    }
    return dir;
}

// A failure line whose journal entry carries the error number behind it.
void warnWithError(const char *message, int error)
{
    const simplelog::JournalFields errnoField("ERRNO", error);
    qCWarning(agentLog) << message;
}

bool existsAt(int parent, const QByteArray &name)
{
    struct stat st;
    return ::fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// The components of a cleaned path below base, as file-system names. The caller has checked
// that the path lies below base.
QList<QByteArray> componentsBelow(const QString &cleaned, const QString &base)
{
    QList<QByteArray> names;
    const QStringList parts = cleaned.mid(base.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts)
        names.append(QFile::encodeName(part));
    return names;
}

struct Walk
{
    Fd dir;
    int reached = 0;
    int error = 0;
};

// Opens names one after the other below dir without following a symbolic link. Stops at the
// first that cannot be opened: dir is the last one opened, reached counts them and error holds
// the cause.
Walk walkFrom(Fd dir, const QList<QByteArray> &names)
{
    Walk walk;
    walk.dir = std::move(dir);
    for (; walk.reached < names.size(); ++walk.reached) {
        Fd child = openChildDirectory(walk.dir.get(), names.at(walk.reached));
        if (!child.isValid()) {
            walk.error = errno;
            break;
        }
        walk.dir = std::move(child);
    }
    return walk;
}

// The free space of the file system that holds fd, as a store must leave it. Root's own
// reserved blocks do not count as free: the agent writes for unprivileged callers.
bool readSpace(int fd, SpaceFigures *space)
{
    struct statvfs st;
    if (::fstatvfs(fd, &st) != 0)
        return false;
    space->totalBytes = quint64(st.f_blocks) * st.f_frsize;
    space->freeBytes = quint64(st.f_bavail) * st.f_frsize;
    space->blockSize = st.f_frsize;
    space->totalInodes = st.f_files;
    space->freeInodes = st.f_favail;
    return true;
}

// Whether bytes and inodes more still leave the reserve free on the file system of fd. When
// not, the caller logs its failure line and then the figures. A file system that cannot say is
// not refused.
class ReserveCheck
{
public:
    ReserveCheck(int fd, quint64 bytes, quint64 inodes)
        : m_bytes(bytes)
        , m_inodes(inodes)
    {
        m_ok = !readSpace(fd, &m_space) || leavesReserve(m_space, bytes, inodes);
    }
    bool ok() const { return m_ok; }
    void logFigures() const
    {
        const SpaceReserve reserve = spaceReserve(m_space);
        qCWarning(agentLog) << "Free space reserve:" << m_bytes << "bytes and" << m_inodes << "inodes to write,"
                            << m_space.freeBytes << "bytes and" << m_space.freeInodes << "inodes free,"
                            << reserve.bytes << "bytes and" << reserve.inodes << "inodes kept free";
    }

private:
    SpaceFigures m_space;
    quint64 m_bytes;
    quint64 m_inodes;
    bool m_ok;
};

bool sameDirectory(int a, int b)
{
    struct stat sa;
    struct stat sb;
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Removes the entries of a directory as files, one at a time as the listing yields them, so a
// directory of any size costs the same memory and no sort. "." and ".." and sub-directories
// stay, each with "Delete file error!"; hidden entries are neither removed nor reported. Past
// maxLoggedDeleteErrors lines the rest are counted in one line, so no call floods the log.
void clearDirectory(int dirFd)
{
    // A descriptor of its own, so the listing starts at the first entry whatever dirFd has read.
    const int listingFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = listingFd >= 0 ? ::fdopendir(listingFd) : nullptr;
    if (!listing) {
        if (listingFd >= 0)
            ::close(listingFd);
        warnWithError("Delete file error!", errno);
        return;
    }
    int failures = 0;
    while (const dirent *entry = ::readdir(listing)) {
        const char *name = entry->d_name;
        const bool dotOrDotDot = std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
        if (name[0] == '.' && !dotOrDotDot)
            continue;
        if (!dotOrDotDot && ::unlinkat(dirFd, name, 0) == 0)
            continue;
        if (++failures <= maxLoggedDeleteErrors)
            qCWarning(agentLog) << "Delete file error!";
    }
    ::closedir(listing);
    if (failures > maxLoggedDeleteErrors)
        qCWarning(agentLog) << "Delete file error!" << "for" << failures - maxLoggedDeleteErrors
                            << "more entries, not logged one by one";
}

// Stores data as name in dirFd through a temporary file. beforeRename runs once the new
// content is written whole and flushed, just before it replaces the old file.
template<typename BeforeRename>
bool writeReplacement(int dirFd, const QByteArray &name, const QByteArray &data,
                      const FileMessages &messages, bool infoLevel, bool keepMetadata,
                      BeforeRename beforeRename)
{
    AtomicFile file(dirFd, name, keepMetadata);
    if (!file.open()) {
        warnWithError(messages.openError, file.error());
        return false;
    }
    if (infoLevel)
        qCInfo(agentLog) << messages.openSuccess;
    else
        qCDebug(agentLog) << messages.openSuccess;
    // The temporary file already holds its inode.
    const ReserveCheck reserve(dirFd, quint64(data.size()), 0);
    if (!reserve.ok()) {
        warnWithError("write data error!", ENOSPC);
        reserve.logFigures();
        return false;
    }
    if (!file.write(data)) {
        warnWithError("write data error!", file.error());
        return false;
    }
    beforeRename();
    if (!file.commit()) {
        warnWithError("write data error!", file.error());
        return false;
    }
    return true;
}

// The length of text in file-system bytes when it is at most room bytes long and none of its
// components is longer than maxNameBytes, else -1. Text far too long is refused by its size
// alone: a character takes at least one byte and at most two UTF-16 units.
int boundedLength(const QString &text, int room)
{
    if (room < 0 || text.size() > 2 * room)
        return -1;
    const QByteArray bytes = QFile::encodeName(text);
    if (bytes.size() > room)
        return -1;
    int componentStart = 0;
    for (int i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes.at(i) == '/') {
            if (i - componentStart > maxNameBytes)
                return -1;
            componentStart = i + 1;
        }
    }
    return bytes.size();
}

} // namespace

SpaceReserve spaceReserve(const SpaceFigures &space)
{
    SpaceReserve reserve;
    reserve.bytes = std::min<quint64>(space.totalBytes / 20, quint64(1) << 30);
    reserve.inodes = std::min<quint64>(space.totalInodes / 20, 65536);
    return reserve;
}

bool leavesReserve(const SpaceFigures &space, quint64 bytes, quint64 inodes)
{
    const quint64 block = std::max<quint64>(space.blockSize, 1);
    const quint64 needed = bytes / block * block + (bytes % block ? block : 0);
    const SpaceReserve reserve = spaceReserve(space);
    const bool room = space.freeBytes >= reserve.bytes && space.freeBytes - reserve.bytes >= needed;
    const bool inodeRoom = space.totalInodes == 0
        || (space.freeInodes >= reserve.inodes && space.freeInodes - reserve.inodes >= inodes);
    return room && inodeRoom;
}

QString cleanPath(const QString &path)
{
    const bool absolute = path.startsWith(QLatin1Char('/'));
    const bool trailingSlash = path.endsWith(QLatin1Char('/'));
    QStringList kept;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (!kept.isEmpty() && kept.constLast() != QLatin1String(".."))
                kept.removeLast();
            else if (!absolute)
                kept.append(part);
            continue;
        }
        kept.append(part);
    }
    QString cleaned = kept.join(QLatin1Char('/'));
    if (absolute)
        cleaned.prepend(QLatin1Char('/'));
    else if (cleaned.isEmpty())
        cleaned = QStringLiteral(".");
    if (trailingSlash && !cleaned.endsWith(QLatin1Char('/')))
        cleaned.append(QLatin1Char('/'));
    return cleaned;
}

bool pathStaysBelow(const QString &path, const QString &prefix)
{
    if (path.contains(QChar(0)))
        return false;
    const QString cleaned = cleanPath(path);
    const QString directory = cleaned.left(std::max(0, int(cleaned.lastIndexOf(QLatin1Char('/')))));
    // A plain prefix test would let siblings such as "QRCodeEvil" through.
    return directory == prefix
        || (directory.startsWith(prefix) && directory.at(prefix.size()) == QLatin1Char('/'));
}

void storeSupportFile(const QString &dir, const QString &fileName, const QByteArray &data,
                      const FileMessages &messages)
{
    const Fd dirFd = openDirectory(dir, true);
    if (!dirFd.isValid()) {
        warnWithError("make filepath fail!", errno);
        return;
    }
    // Callers and commands started later rely on the support directory being the working one.
    if (::fchdir(dirFd.get()) != 0)
        warnWithError(messages.openError, errno);
    writeReplacement(dirFd.get(), encodedName(fileName), data, messages, false, true, [] {});
}

QrCodePathCheck checkQrCodePath(const QString &qrDir, const QString &qrCodeType, const QString &saveName)
{
    const QString base = qrDir.endsWith(QLatin1Char('/')) ? qrDir.chopped(1) : qrDir;
    // The path below the support directory starts with the QR-code directory's own name.
    const int qrDirBytes = encodedName(base.mid(base.lastIndexOf(QLatin1Char('/')) + 1)).size() + 1;
    const int typeBytes = boundedLength(qrCodeType, maxPathBytes - qrDirBytes);
    if (typeBytes < 0)
        return QrCodePathCheck::InvalidPath;
    const QString typePath = qrDir + qrCodeType;
    if (qrCodeType.contains(QChar(0)) || !pathStaysBelow(typePath, base))
        return QrCodePathCheck::InvalidPath;
    if (boundedLength(saveName, maxPathBytes - qrDirBytes - typeBytes - 1) < 0)
        return QrCodePathCheck::InvalidName;
    // "." or ".." at the end names the directory above or the type itself once cleaned, and
    // would replace a file stored there under another name. A file named like a temporary one
    // would be taken for the leftover of a crash and removed at the next start.
    const QStringRef lastComponent = saveName.midRef(saveName.lastIndexOf(QLatin1Char('/')) + 1);
    if (lastComponent == QLatin1String(".") || lastComponent == QLatin1String("..")
        || lastComponent.startsWith(QLatin1String(AtomicFile::temporaryPrefix)))
        return QrCodePathCheck::InvalidName;
    const QString filePath = typePath + QLatin1Char('/') + saveName;
    if (saveName.contains(QChar(0)) || !pathStaysBelow(filePath, base))
        return QrCodePathCheck::InvalidName;
    return QrCodePathCheck::Accepted;
}

void storeQrCode(const QString &qrDir, const QString &qrCodeType, const QString &saveName,
                 const QByteArray &data, bool delCacheFile)
{
    // A refused request changes nothing: every check comes before the first directory is made
    // or cleared.
    const QrCodePathCheck check = checkQrCodePath(qrDir, qrCodeType, saveName);
    if (check == QrCodePathCheck::InvalidPath) {
        qCWarning(agentLog) << "Save path is invalid";
        return;
    }
    if (check == QrCodePathCheck::InvalidName) {
        qCWarning(agentLog) << "Save name is invalid";
        return;
    }
    const QString base = qrDir.endsWith(QLatin1Char('/')) ? qrDir.chopped(1) : qrDir;
    const QString typePath = qrDir + qrCodeType;
    // Every file-system step works on the cleaned path, component by component, without
    // following a symbolic link, so the checked path is the one used.
    const QList<QByteArray> typeNames = componentsBelow(cleanPath(typePath), base);

    // The QR-code directory itself is a fixed path, made like the support directory; what lies
    // below it is the caller's choice and is counted against the reserve before it is made.
    const Fd baseDir = openDirectory(base, true);
    if (!baseDir.isValid()) {
        const int error = errno;
        if (delCacheFile)
            qCWarning(agentLog) << "FilePath is not exists!";
        warnWithError("make filepath fail!", error);
        return;
    }
    Walk type = walkFrom(Fd(::dup(baseDir.get())), typeNames);
    const bool typeExisted = type.reached == typeNames.size();
    if (delCacheFile && !typeExisted)
        qCWarning(agentLog) << "FilePath is not exists!";
    // A last component that exists but is no directory leaves nothing to create; opening the
    // image then fails.
    const bool typeIsNotDirectory = !typeExisted && type.error != ENOENT
        && type.reached == typeNames.size() - 1 && existsAt(type.dir.get(), typeNames.constLast());
    if (!typeExisted && !typeIsNotDirectory) {
        if (type.error != ENOENT) {
            warnWithError("make filepath fail!", type.error);
            return;
        }
        const quint64 missing = quint64(typeNames.size() - type.reached);
        const ReserveCheck reserve(type.dir.get(), quint64(data.size()) + missing * directoryBytes, missing + 1);
        if (!reserve.ok()) {
            warnWithError("make filepath fail!", ENOSPC);
            reserve.logFigures();
            return;
        }
        for (; type.reached < typeNames.size(); ++type.reached) {
            const QByteArray &name = typeNames.at(type.reached);
            Fd child;
            if (::mkdirat(type.dir.get(), name.constData(), 0777) == 0 || errno == EEXIST)
                child = openChildDirectory(type.dir.get(), name);
            if (!child.isValid()) {
                warnWithError("make filepath fail!", errno);
                return;
            }
            type.dir = std::move(child);
        }
    }

    const QString filePath = typePath + QLatin1Char('/') + saveName;
    const FileMessages messages{"QRCode File open success!", "QRCode File open error!"};
    QList<QByteArray> fileNames = componentsBelow(cleanPath(filePath), base);
    const QByteArray name = cleanPath(filePath).endsWith(QLatin1Char('/')) || fileNames.isEmpty()
        ? QByteArray()
        : fileNames.takeLast();
    const Walk parentWalk = walkFrom(Fd(::dup(baseDir.get())), fileNames);
    const Fd &parent = parentWalk.dir;
    if (parentWalk.reached < fileNames.size() || name.isEmpty()) {
        // A name that ends with "/" or leads back to the QR-code directory names a directory.
        warnWithError(messages.openError, name.isEmpty() ? EISDIR : parentWalk.error);
        return;
    }

    // The cache is cleared only once the new image is written whole, so a failed write leaves
    // it as it was. Clearing removes an old file of the same name first, as it always did, so
    // the image then is a new file rather than one that keeps the old file's mode and owner.
    const bool clear = delCacheFile && typeExisted;
    const bool clearsTarget = clear && !name.startsWith('.') && sameDirectory(parent.get(), type.dir.get());
    writeReplacement(parent.get(), name, data, messages, true, !clearsTarget, [&] {
        if (clear)
            clearDirectory(type.dir.get());
    });
}

namespace {
int removeIfLeftover(const char *path, const struct stat *st, int type, struct FTW *ftw)
{
    if (type == FTW_F && S_ISREG(st->st_mode)
        && qstrncmp(path + ftw->base, AtomicFile::temporaryPrefix,
                    qstrlen(AtomicFile::temporaryPrefix)) == 0) {
        if (::unlink(path) == 0)
            qCWarning(agentLog) << "Removed unfinished temporary file" << QFile::decodeName(path);
        else
            qCWarning(agentLog) << "Cannot remove unfinished temporary file" << QFile::decodeName(path);
    }
    return 0;
}
} // namespace

void removeLeftoverTemporaries(const QString &dir)
{
    // Only a tree reached without a symbolic link is tidied; the walk below follows none either
    // (a final "/" would make it follow a link at the top).
    if (!openDirectory(dir).isValid())
        return;
    QString top = dir;
    while (top.size() > 1 && top.endsWith(QLatin1Char('/')))
        top.chop(1);
    ::nftw(QFile::encodeName(top).constData(), removeIfLeftover, 16, FTW_PHYS);
}

} // namespace supportfiles
