// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/supportfiles.h"

#include "agent/agentlog.h"
#include "agent/atomicfile.h"
#include "agent/localeencoding.h"

#include <simplelog/journalfields.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace supportfiles {
namespace {

// What one new directory is counted as against the free space.
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
        const void *encoding = nullptr;
        QByteArray encoded;
    };
    thread_local Entry recent[8];
    thread_local unsigned next = 0;
    const void *encoding = kvo::localeEncodingKey();
    for (const Entry &entry : recent) {
        if (entry.encoding == encoding && entry.name == name && !entry.name.isNull())
            return entry.encoded;
    }
    Entry &entry = recent[next++ % 8];
    entry = {name, encoding, QFile::encodeName(name)};
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

// Longer than a plain open takes (PATH_MAX, its NUL included), judged before anything is
// encoded when the text alone is long enough: every character takes at least one byte.
bool tooLongForOpen(const QString &path)
{
    return path.size() >= maxPathBytes || encodedName(path).size() >= maxPathBytes;
}

QString parentOf(QString dir)
{
    while (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    return dir.left(std::max(1, int(dir.lastIndexOf(QLatin1Char('/')))));
}

// What the support tree holds. Counted once by walking it, then kept up to date by every change
// the agent makes, so a store costs no walk; a walk stops once the tree is known to be over the
// quota. Kept for the most recent support directory, known by device, inode and birth time, so a
// directory made anew is counted anew even where its inode number is reused.
struct DirectoryId
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 bornSeconds = 0;
    quint32 bornNanoseconds = 0;
    bool operator==(const DirectoryId &o) const
    {
        return device == o.device && inode == o.inode && bornSeconds == o.bornSeconds
            && bornNanoseconds == o.bornNanoseconds;
    }
};
struct UsageCache
{
    DirectoryId id;
    bool valid = false;
    TreeUsage usage;
};

DirectoryId directoryId(int fd)
{
    DirectoryId id;
    struct statx st;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &st) == 0) {
        id.device = (quint64(st.stx_dev_major) << 32) | st.stx_dev_minor;
        id.inode = st.stx_ino;
        if (st.stx_mask & STATX_BTIME) {
            id.bornSeconds = st.stx_btime.tv_sec;
            id.bornNanoseconds = st.stx_btime.tv_nsec;
        }
    }
    return id;
}
thread_local UsageCache t_usage;
thread_local TreeUsage *t_walking = nullptr;

int countEntry(const char *, const struct stat *st, int, struct FTW *ftw)
{
    if (ftw->level == 0)
        return 0;
    ++t_walking->entries;
    if (S_ISREG(st->st_mode))
        t_walking->bytes += quint64(st->st_size);
    return t_walking->entries > quotaEntries ? 1 : 0;
}

TreeUsage &usageOf(const QString &supportDir, int supportFd)
{
    const DirectoryId id = directoryId(supportFd);
    if (!t_usage.valid || !(t_usage.id == id)) {
        t_usage = UsageCache{id, true, TreeUsage()};
        t_walking = &t_usage.usage;
        QString top = supportDir;
        while (top.size() > 1 && top.endsWith(QLatin1Char('/')))
            top.chop(1);
        ::nftw(QFile::encodeName(top).constData(), countEntry, 16, FTW_PHYS);
        t_walking = nullptr;
    }
    return t_usage.usage;
}

// The space of the file system that holds fd as unprivileged users may use it. False when the
// file system cannot say; a store is then not refused for space.
bool readSpace(int fd, SpaceFigures *space)
{
    struct statvfs st;
    if (::fstatvfs(fd, &st) != 0)
        return false;
    space->availableBytes = quint64(st.f_bavail) * st.f_frsize;
    space->blockSize = st.f_frsize;
    space->totalInodes = st.f_files;
    space->availableInodes = st.f_favail;
    return true;
}

// Whether a change of bytes and entries fits both the file system's space for users and the
// support tree's quota. When not, the caller logs its failure line and then figures().
class Room
{
public:
    // spaceBytes and inodes are taken from the file system; fileBytes (of regular files),
    // replacedBytes and entries change the tree.
    Room(int fd, const TreeUsage &usage, quint64 spaceBytes, quint64 inodes, quint64 fileBytes,
         quint64 replacedBytes, quint64 entries)
        : m_usage(usage)
        , m_spaceBytes(spaceBytes)
        , m_inodes(inodes)
        , m_bytes(fileBytes)
        , m_replacedBytes(replacedBytes)
        , m_entries(entries)
    {
        m_spaceOk = !readSpace(fd, &m_space) || fitsSpace(m_space, spaceBytes, inodes);
        m_quotaOk = fitsQuota(usage, fileBytes, replacedBytes, entries);
    }
    bool ok() const { return m_spaceOk && m_quotaOk; }
    void logFigures() const
    {
        if (!m_spaceOk)
            qCWarning(agentLog) << "No space for users:" << m_spaceBytes << "bytes and" << m_inodes << "inodes to write,"
                                << m_space.availableBytes << "bytes and" << m_space.availableInodes
                                << "inodes available";
        if (!m_quotaOk)
            qCWarning(agentLog) << "Support files quota:" << m_bytes << "bytes and" << m_entries
                                << "entries to add," << m_replacedBytes << "bytes replaced; the tree holds"
                                << m_usage.bytes << "bytes in" << m_usage.entries << "entries, at most"
                                << quotaBytes << "bytes in" << quotaEntries << "entries";
    }

private:
    TreeUsage m_usage;
    quint64 m_spaceBytes;
    quint64 m_inodes;
    quint64 m_bytes;
    quint64 m_replacedBytes;
    quint64 m_entries;
    SpaceFigures m_space;
    bool m_spaceOk = true;
    bool m_quotaOk = true;
};

// A listing of the directory dirFd names, on a descriptor of its own, so it starts at the first
// entry whatever dirFd has read; null with errno set when it cannot be opened.
DIR *openListing(int dirFd)
{
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR *listing = ::fdopendir(fd);
    if (!listing) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return listing;
}

// Removes the entries of a directory as files, one at a time as the listing yields them, so a
// directory of any size costs the same memory and no sort. "." and ".." and sub-directories
// stay, each with "Delete file error!"; hidden entries are neither removed nor reported. Past
// maxLoggedDeleteErrors lines the rest are counted in one line, so no call floods the log.
void clearDirectory(int dirFd, TreeUsage &usage)
{
    DIR *listing = openListing(dirFd);
    if (!listing) {
        warnWithError("Delete file error!", errno);
        return;
    }
    int failures = 0;
    while (const dirent *entry = ::readdir(listing)) {
        const char *name = entry->d_name;
        const bool dotOrDotDot = std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
        if (name[0] == '.' && !dotOrDotDot)
            continue;
        if (!dotOrDotDot) {
            struct stat st;
            const bool known = ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
            if (::unlinkat(dirFd, name, 0) == 0) {
                if (known) {
                    usage.entries -= std::min<quint64>(usage.entries, 1);
                    if (S_ISREG(st.st_mode))
                        usage.bytes -= std::min<quint64>(usage.bytes, quint64(st.st_size));
                }
                continue;
            }
        }
        if (++failures <= maxLoggedDeleteErrors)
            qCWarning(agentLog) << "Delete file error!";
    }
    ::closedir(listing);
    if (failures > maxLoggedDeleteErrors)
        qCWarning(agentLog) << "Delete file error!" << "for" << failures - maxLoggedDeleteErrors
                            << "more entries, not logged one by one";
}

// Writes data as name in dirFd through a temporary file in the staging directory. Logs every
// outcome from the open on; the open's success line at info or debug level.
void writeReplacement(const QString &supportDir, int supportFd, int dirFd, const QByteArray &name,
                      const QByteArray &data, const FileMessages &messages, bool infoLevel)
{
    // The staging directory is the agent's alone: no other user sees a file before it is whole.
    const Fd staging = openDirectory(stagingDirectoryFor(supportDir), true);
    if (!staging.isValid() || ::fchmod(staging.get(), 0700) != 0) {
        warnWithError(messages.openError, errno);
        return;
    }
    AtomicFile file(dirFd, name, staging.get());
    if (!file.open()) {
        warnWithError(messages.openError, file.error());
        return;
    }
    if (infoLevel)
        qCInfo(agentLog) << messages.openSuccess;
    else
        qCDebug(agentLog) << messages.openSuccess;
    TreeUsage &usage = usageOf(supportDir, supportFd);
    // The temporary file already holds its inode, and stands beside the old file until the rename.
    const quint64 replaced = quint64(file.replacedSize());
    const Room room(staging.get(), usage, quint64(data.size()), 0, quint64(data.size()), replaced,
                    file.replaces() ? 0 : 1);
    if (!room.ok()) {
        warnWithError("write data error!", ENOSPC);
        room.logFigures();
        return;
    }
    if (!file.commit(data)) {
        warnWithError("write data error!", file.error());
        return;
    }
    usage.bytes = usage.bytes - std::min(usage.bytes, replaced) + quint64(data.size());
    usage.entries += file.replaces() ? 0 : 1;
}

// Opens the directory that holds the last component of relative, walking its components as
// given from dir ("." and ".." included, as the kernel resolves them) without following a
// symbolic link. name gets the last component; it stays empty, with EISDIR, when relative
// names a directory: empty, ending with "/", or ending in "." or "..".
Fd openParentAsGiven(int dirFd, const QString &relative, QByteArray *name, int *error)
{
    const QByteArray native = encodedName(relative);
    QList<QByteArray> parts;
    for (const QByteArray &part : native.split('/')) {
        if (!part.isEmpty())
            parts.append(part);
    }
    if (parts.isEmpty() || native.endsWith('/') || parts.constLast() == "." || parts.constLast() == "..") {
        *error = EISDIR;
        return Fd();
    }
    *name = parts.takeLast();
    Fd dir(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const QByteArray &part : std::as_const(parts)) {
        Fd child = openChildDirectory(dir.get(), part);
        if (!child.isValid()) {
            *error = errno;
            return Fd();
        }
        dir = std::move(child);
    }
    return dir;
}

} // namespace

bool fitsSpace(const SpaceFigures &space, quint64 bytes, quint64 inodes)
{
    const quint64 block = std::max<quint64>(space.blockSize, 1);
    const quint64 needed = bytes / block * block + (bytes % block ? block : 0);
    const bool room = space.availableBytes >= needed;
    const bool inodeRoom = space.totalInodes == 0 || space.availableInodes >= inodes;
    return room && inodeRoom;
}

bool fitsQuota(const TreeUsage &usage, quint64 addBytes, quint64 removedBytes, quint64 addEntries)
{
    const quint64 bytes = usage.bytes - std::min(usage.bytes, removedBytes) + addBytes;
    return bytes <= quotaBytes && usage.entries + addEntries <= quotaEntries;
}

QString stagingDirectoryFor(const QString &supportDir)
{
    QString parent = parentOf(supportDir);
    if (!parent.endsWith(QLatin1Char('/')))
        parent += QLatin1Char('/');
    return parent + QStringLiteral("staging/");
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
    const auto base = QStringView(prefix).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // The cleaned path as a stack: its first intact components are those of prefix, then come
    // extra ones (below prefix when intact is all of prefix, elsewhere otherwise). Counting is
    // enough: a component below or beside prefix is never compared again.
    int intact = 0;
    qsizetype extra = 0;
    qsizetype start = 0;
    while (start <= path.size()) {
        qsizetype end = path.indexOf(QLatin1Char('/'), start);
        if (end < 0)
            end = path.size();
        const QStringView part = QStringView(path).mid(start, end - start);
        start = end + 1;
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (extra > 0)
                --extra;
            else if (intact > 0)
                --intact;
            continue;
        }
        if (extra == 0 && intact < base.size() && part == base.at(intact))
            ++intact;
        else
            ++extra;
    }
    // The directory part is the whole stack when the path ends with "/", else all but its last.
    // A plain prefix test would let siblings such as "QRCodeEvil" through.
    return intact == base.size() && (path.endsWith(QLatin1Char('/')) ? extra >= 0 : extra >= 1);
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
    writeReplacement(dir, dirFd.get(), dirFd.get(), encodedName(fileName), data, messages, false);
}

void storeQrCode(const QString &qrDir, const QString &qrCodeType, const QString &saveName,
                 const QByteArray &data, bool delCacheFile)
{
    const QString base = qrDir.endsWith(QLatin1Char('/')) ? qrDir.chopped(1) : qrDir;
    const QString supportDir = parentOf(base) + QLatin1Char('/');
    const QString typePath = qrDir + qrCodeType;

    // Step 2: the type's directory stays in the QR-code directory.
    if (!pathStaysBelow(typePath, base)) {
        qCWarning(agentLog) << "Save path is invalid";
        return;
    }
    // A type longer than a path may be names nothing and can be made nowhere; the rest is
    // short enough to split. The steps then work on the cleaned path, component by component,
    // without following a symbolic link, so the checked path is the one used.
    const bool typeTooLong = tooLongForOpen(typePath);
    const QList<QByteArray> typeNames = typeTooLong ? QList<QByteArray>() : componentsBelow(cleanPath(typePath), base);
    // Opened once here, made in step 4 where they are missing.
    Fd supportFd = openDirectory(supportDir);
    Fd baseDir = openDirectory(base);
    Walk type = baseDir.isValid() && !typeTooLong ? walkFrom(Fd(::dup(baseDir.get())), typeNames)
                                                  : Walk{Fd(), 0, typeTooLong ? ENAMETOOLONG : ENOENT};
    const bool typeExists = type.dir.isValid() && type.reached == typeNames.size();

    // Step 3: clear the type's directory.
    if (delCacheFile) {
        if (!typeExists) {
            qCWarning(agentLog) << "FilePath is not exists!";
        } else {
            TreeUsage unknown;
            clearDirectory(type.dir.get(), supportFd.isValid() ? usageOf(supportDir, supportFd.get()) : unknown);
        }
    }

    // Step 4: make it. A last component that exists but is no directory leaves nothing to
    // make; opening the image then fails.
    const bool typeIsNotDirectory = !typeExists && type.dir.isValid() && type.error != ENOENT
        && type.reached == typeNames.size() - 1 && existsAt(type.dir.get(), typeNames.constLast());
    if (!typeExists && !typeIsNotDirectory) {
        if (typeTooLong) {
            warnWithError("make filepath fail!", ENAMETOOLONG);
            return;
        }
        if (!supportFd.isValid())
            supportFd = openDirectory(supportDir, true);
        if (!supportFd.isValid()) {
            warnWithError("make filepath fail!", errno);
            return;
        }
        TreeUsage &usage = usageOf(supportDir, supportFd.get());
        if (!baseDir.isValid()) {
            baseDir = openDirectory(base, true);
            if (!baseDir.isValid()) {
                warnWithError("make filepath fail!", errno);
                return;
            }
            ++usage.entries;
        }
        type = walkFrom(Fd(::dup(baseDir.get())), typeNames);
        if (type.reached < typeNames.size() && type.error != ENOENT) {
            warnWithError("make filepath fail!", type.error);
            return;
        }
        const quint64 missing = quint64(typeNames.size() - type.reached);
        // The image to come needs an inode too: no directory is made for a file that cannot be.
        const Room room(type.dir.get(), usage, missing * directoryBytes, missing + 1, 0, 0, missing);
        if (!room.ok()) {
            warnWithError("make filepath fail!", ENOSPC);
            room.logFigures();
            return;
        }
        for (; type.reached < typeNames.size(); ++type.reached) {
            const QByteArray &name = typeNames.at(type.reached);
            Fd child;
            if (::mkdirat(type.dir.get(), name.constData(), 0777) == 0) {
                ++usage.entries;
                child = openChildDirectory(type.dir.get(), name);
            } else if (errno == EEXIST) {
                child = openChildDirectory(type.dir.get(), name);
            }
            if (!child.isValid()) {
                warnWithError("make filepath fail!", errno);
                return;
            }
            type.dir = std::move(child);
        }
    }

    // Step 5: the name's file stays in the QR-code directory.
    const QString filePath = typePath + QLatin1Char('/') + saveName;
    if (!pathStaysBelow(filePath, base)) {
        qCWarning(agentLog) << "Save name is invalid";
        return;
    }

    // Step 6: open P + "/" + saveName as given, as the kernel would resolve it from the QR-code
    // directory, but never through a symbolic link.
    const FileMessages messages{"QRCode File open success!", "QRCode File open error!"};
    if (tooLongForOpen(filePath)) {
        warnWithError(messages.openError, ENAMETOOLONG);
        return;
    }
    if (!baseDir.isValid() || !supportFd.isValid()) {
        warnWithError(messages.openError, ENOENT);
        return;
    }
    QByteArray name;
    int error = 0;
    const Fd parent = openParentAsGiven(baseDir.get(), qrCodeType + QLatin1Char('/') + saveName, &name, &error);
    if (!parent.isValid()) {
        warnWithError(messages.openError, error);
        return;
    }
    writeReplacement(supportDir, supportFd.get(), parent.get(), name, data, messages, true);
}

void removeLeftoverTemporaries(const QString &stagingDir)
{
    const Fd dir = openDirectory(stagingDir);
    if (!dir.isValid())
        return;
    DIR *listing = openListing(dir.get());
    if (!listing)
        return;
    // Nothing but the agent writes here, and only while it serves a call; one directory, no walk.
    while (const dirent *entry = ::readdir(listing)) {
        struct stat st;
        if (qstrncmp(entry->d_name, AtomicFile::temporaryPrefix, qstrlen(AtomicFile::temporaryPrefix)) != 0
            || ::fstatat(dir.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        const QString path = stagingDir + QFile::decodeName(entry->d_name);
        if (::unlinkat(dir.get(), entry->d_name, 0) == 0)
            qCWarning(agentLog) << "Removed unfinished temporary file" << path;
        else
            qCWarning(agentLog) << "Cannot remove unfinished temporary file" << path;
    }
    ::closedir(listing);
}

} // namespace supportfiles
