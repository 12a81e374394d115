// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/supportfiles.h"
#include "agent/localeencoding.h"
#include "testhelpers.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace testhelpers;

namespace {

const char OpenSuccess[] = "support file open ok";
const char OpenError[] = "support file open failed";
const supportfiles::FileMessages Messages{OpenSuccess, OpenError};

const QString QrOk = QStringLiteral("QRCode File open success!");
const QString QrOpenError = QStringLiteral("QRCode File open error!");
const QString PathInvalid = QStringLiteral("Save path is invalid");
const QString NameInvalid = QStringLiteral("Save name is invalid");
const QString NotExists = QStringLiteral("FilePath is not exists!");
const QString DeleteError = QStringLiteral("Delete file error!");
const QString MakePathFail = QStringLiteral("make filepath fail!");
const QString WriteError = QStringLiteral("write data error!");

QByteArray oldContent(const QString &entry)
{
    return "old:" + entry.toUtf8();
}

// Entries relative to root: "dir/" a directory, "name@target" a symbolic link to root/target,
// anything else a file holding oldContent(entry).
bool createEntries(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const int at = entry.indexOf(QLatin1Char('@'));
        const QString path = root + QLatin1Char('/') + (at >= 0 ? entry.left(at) : entry);
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        if (at >= 0) {
            if (!QFile::link(root + QLatin1Char('/') + entry.mid(at + 1), path))
                return false;
        } else if (entry.endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path))
                return false;
        } else if (!writeFile(path, oldContent(entry))) {
            return false;
        }
    }
    return true;
}

// Everything below root in the notation of createEntries, hidden entries included and
// symbolic links not followed.
QStringList tree(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = info.filePath().mid(root.size() + 1);
        // The agent's own staging directory beside ini/, checked on its own (temporaries()).
        if (relative == QLatin1String("staging") || relative.endsWith(QLatin1String("/staging"))
            || relative.startsWith(QLatin1String("staging/")) || relative.contains(QLatin1String("/staging/")))
            continue;
        if (info.isSymLink())
            entries.append(relative + QLatin1Char('@') + info.symLinkTarget().mid(root.size() + 1));
        else if (info.isDir())
            entries.append(relative + QLatin1Char('/'));
        else
            entries.append(relative);
    }
    entries.sort();
    return entries;
}

// What a store left in the staging directory of root/ini: nothing, once it has returned.
QStringList temporaries(const QString &root)
{
    return QDir(root + QStringLiteral("/staging")).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

bool isRegularFile(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

// The lines that give the figures when a store is refused for space or by the quota.
QString spaceFigures(quint64 bytes, quint64 inodes, quint64 availableBytes, quint64 availableInodes)
{
    return QStringLiteral("No space for users: %1 bytes and %2 inodes to write, %3 bytes and %4 inodes available")
        .arg(bytes).arg(inodes).arg(availableBytes).arg(availableInodes);
}
QString quotaFigures(quint64 bytes, quint64 entries, quint64 replaced, quint64 treeBytes, quint64 treeEntries)
{
    return QStringLiteral("Support files quota: %1 bytes and %2 entries to add, %3 bytes replaced; the tree holds "
                          "%4 bytes in %5 entries, at most 268435456 bytes in 4096 entries")
        .arg(bytes).arg(entries).arg(replaced).arg(treeBytes).arg(treeEntries);
}

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(20240611);
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / int(sizeof(quint32)));
    return data;
}

class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_saved); }
    bool isActive() const { return m_active; }

private:
    rlimit m_saved{};
    bool m_active = false;
};

class DetachOnExit
{
public:
    explicit DetachOnExit(const QByteArray &path) : m_path(path) {}
    ~DetachOnExit() { ::umount2(m_path.constData(), MNT_DETACH); }

private:
    QByteArray m_path;
};

// Mounts a tmpfs with options over dir in a mount namespace of this process's own; returns why
// not when it cannot.
QByteArray mountSmallTmpfs(const QString &dir, const char *options, QScopedPointer<DetachOnExit> *mount)
{
    if (::geteuid() != 0)
        return "mounting a small file system needs root";
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return "no private mount namespace";
    const QByteArray mountPoint = QFile::encodeName(dir);
    if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, options) != 0)
        return "cannot mount a tmpfs";
    mount->reset(new DetachOnExit(mountPoint));
    return QByteArray();
}

} // namespace

class tst_SupportFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void cleanPath_data();
    void cleanPath();
    void pathStaysBelow_data();
    void pathStaysBelow();

    void storeSupportFile_bytes_data();
    void storeSupportFile_bytes();
    void storeSupportFile_createsMissingDir();
    void storeSupportFile_dirCannotBeMade();
    void storeSupportFile_keepsModeAndOwner_data();
    void storeSupportFile_keepsModeAndOwner();
    void storeSupportFile_replacesSymlink_data();
    void storeSupportFile_replacesSymlink();
    void storeSupportFile_targetIsDirectory_data();
    void storeSupportFile_targetIsDirectory();

    void storeQrCode_data();
    void storeQrCode();
    void storeQrCode_symlinks_data();
    void storeQrCode_symlinks();
    void storeQrCode_clearingMakesANewFile_data();
    void storeQrCode_clearingMakesANewFile();
    void storeQrCode_baseDir_data();
    void storeQrCode_baseDir();
    void storeQrCode_lengths();

    void writeFailureKeepsOldContent_data();
    void writeFailureKeepsOldContent();

    void fitsSpaceAndQuota_data();
    void fitsSpaceAndQuota();
    void spaceOnSmallFileSystem_data();
    void spaceOnSmallFileSystem();
    void nearlyFullFileSystemTakesASmallReplacement();
    void inodesOnSmallFileSystem_data();
    void inodesOnSmallFileSystem();
    void rootReserveStaysFree();
    void quotaBySize_data();
    void quotaBySize();
    void quotaByEntries();

    void removeLeftoverTemporaries();

private:
    QString m_savedCwd;
    QScopedPointer<QTemporaryDir> m_tmp;
    QString m_root;
};

void tst_SupportFiles::initTestCase()
{
    QLoggingCategory::setFilterRules(logRule("debug=true"));
    // File names are encoded as the agent encodes them.
    kvo::useUtf8ForLocaleText();
    m_savedCwd = QDir::currentPath();
}

void tst_SupportFiles::init()
{
    m_tmp.reset(new QTemporaryDir);
    QVERIFY(m_tmp->isValid());
    m_root = m_tmp->path();
    g_messages.clear();
    g_previousHandler = qInstallMessageHandler(collectMessage);
}

void tst_SupportFiles::cleanup()
{
    qInstallMessageHandler(g_previousHandler);
    QDir::setCurrent(m_savedCwd);
    const QStringList left = temporaries(m_root);
    m_tmp.reset();
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
}

void tst_SupportFiles::cleanPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("cleaned");

    QTest::newRow("root") << "/" << "/";
    QTest::newRow("double slash") << "//" << "/";
    QTest::newRow("repeated slashes") << "/a//b///c" << "/a/b/c";
    QTest::newRow("trailing slash kept") << "/a/b/" << "/a/b/";
    QTest::newRow("trailing slashes collapsed") << "/a/b///" << "/a/b/";
    QTest::newRow("dot dropped") << "/a/./b" << "/a/b";
    QTest::newRow("final dot") << "/a/." << "/a";
    QTest::newRow("final dot slash") << "/a/./" << "/a/";
    QTest::newRow("dotdot removes one") << "/a/b/../c" << "/a/c";
    QTest::newRow("final dotdot") << "/a/b/.." << "/a";
    QTest::newRow("final dotdot slash") << "/a/b/../" << "/a/";
    QTest::newRow("dotdot at root") << "/.." << "/";
    QTest::newRow("dotdot at root slash") << "/../" << "/";
    QTest::newRow("dotdot past root") << "/a/../../../b" << "/b";
    QTest::newRow("dotdot back to root") << "/a/b/../.." << "/";
    QTest::newRow("mixed") << "/x/./y/../../z//w/." << "/z/w";
    QTest::newRow("three dots are a name") << "/a/.../b" << "/a/.../b";
    QTest::newRow("dotdot prefix is a name") << "/a/..b/" << "/a/..b/";
    QTest::newRow("hidden name") << "/a/.b/../c" << "/a/c";
}

void tst_SupportFiles::cleanPath()
{
    QFETCH(QString, path);
    QFETCH(QString, cleaned);
    QCOMPARE(supportfiles::cleanPath(path), cleaned);
}

void tst_SupportFiles::pathStaysBelow_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("below");

    QTest::newRow("child") << "/q/ini/QRCode/t1" << true;
    QTest::newRow("prefix with slash") << "/q/ini/QRCode/" << true;
    QTest::newRow("prefix with dot slash") << "/q/ini/QRCode/./" << true;
    QTest::newRow("prefix without slash") << "/q/ini/QRCode" << false;
    QTest::newRow("prefix with dot") << "/q/ini/QRCode/." << false;
    QTest::newRow("deep") << "/q/ini/QRCode/a/b/c" << true;
    QTest::newRow("double slash") << "/q/ini/QRCode//t1" << true;
    QTest::newRow("back in again") << "/q/ini/QRCode/../QRCode/t1" << true;
    QTest::newRow("up and out") << "/q/ini/QRCode/t1/../../x" << false;
    QTest::newRow("child dotdot") << "/q/ini/QRCode/t1/.." << false;
    QTest::newRow("child dotdot slash") << "/q/ini/QRCode/t1/../" << true;
    QTest::newRow("dotdot at root") << "/../../q/ini/QRCode/t1" << true;
    QTest::newRow("sibling with longer name") << "/q/ini/QRCodeEvil/x" << false;
    QTest::newRow("sibling dir") << "/q/ini/QRCodeEvil/" << false;
    QTest::newRow("shorter name") << "/q/ini/QRCod/x" << false;
    QTest::newRow("other case") << "/q/ini/qrcode/x" << false;
    QTest::newRow("root") << "/" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("NUL") << QString(QStringLiteral("/q/ini/QRCode/a") + QChar(0) + QStringLiteral("b"))
                         << false;
}

void tst_SupportFiles::pathStaysBelow()
{
    QFETCH(QString, path);
    QFETCH(bool, below);
    QCOMPARE(supportfiles::pathStaysBelow(path, QStringLiteral("/q/ini/QRCode")), below);
}

void tst_SupportFiles::storeSupportFile_bytes_data()
{
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("NUL bytes") << QByteArray("a\0b\0\0c", 6);
    QTest::newRow("CR LF") << QByteArray("line1\r\nline2\r\n");
    QTest::newRow("0xFF") << QByteArray("\xff\xfe\xff", 3);
    QTest::newRow("1 MiB random") << randomBytes(1 << 20);
}

void tst_SupportFiles::storeSupportFile_bytes()
{
    QFETCH(QByteArray, data);
    const QString dir = m_root + QStringLiteral("/support");
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(writeFile(dir + QStringLiteral("/data.txt"), "previous content, longer than a few bytes\n"));

    supportfiles::storeSupportFile(dir, QStringLiteral("data.txt"), data, Messages);

    QCOMPARE(g_messages, QStringList{OpenSuccess});
    QVERIFY(isRegularFile(dir + QStringLiteral("/data.txt")));
    QCOMPARE(readFileOrMark(dir + QStringLiteral("/data.txt")), data);
    QCOMPARE(tree(dir), QStringList{QStringLiteral("data.txt")});
    QCOMPARE(QDir::currentPath(), QFileInfo(dir).canonicalFilePath());
}

void tst_SupportFiles::storeSupportFile_createsMissingDir()
{
    const QString dir = m_root + QStringLiteral("/a/b/c");

    supportfiles::storeSupportFile(dir, QStringLiteral("data.txt"), "fresh", Messages);

    QCOMPARE(g_messages, QStringList{OpenSuccess});
    QCOMPARE(readFileOrMark(dir + QStringLiteral("/data.txt")), QByteArray("fresh"));
    QCOMPARE(tree(m_root), (QStringList{"a/", "a/b/", "a/b/c/", "a/b/c/data.txt"}));
    QCOMPARE(QDir::currentPath(), QFileInfo(dir).canonicalFilePath());
}

void tst_SupportFiles::storeSupportFile_dirCannotBeMade()
{
    QVERIFY(createEntries(m_root, {"blocker"}));
    const QString cwd = QDir::currentPath();

    supportfiles::storeSupportFile(m_root + QStringLiteral("/blocker/sub"), QStringLiteral("data.txt"),
                                   "fresh", Messages);

    QCOMPARE(g_messages, QStringList{MakePathFail});
    QCOMPARE(tree(m_root), QStringList{"blocker"});
    QCOMPARE(readFileOrMark(m_root + QStringLiteral("/blocker")), oldContent("blocker"));
    QCOMPARE(QDir::currentPath(), cwd);
}

void tst_SupportFiles::storeSupportFile_keepsModeAndOwner_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<int>("owner");
    QTest::addColumn<uint>("kept");

    QTest::newRow("mode 0640")              << 0640u  << -1   << 0640u;
    QTest::newRow("mode 0755")              << 0755u  << -1   << 0755u;
    QTest::newRow("owner 4321, mode 0600")  << 0600u  << 4321 << 0600u;
    QTest::newRow("sticky, mode 01644")     << 01644u << -1   << 01644u;
    // The new content is the caller's: it never runs with the owner's rights.
    QTest::newRow("owner 4321, mode 06755") << 06755u << 4321 << 0755u;
    QTest::newRow("mode 04755")             << 04755u << -1   << 0755u;
    QTest::newRow("mode 02750")             << 02750u << -1   << 0750u;
}

void tst_SupportFiles::storeSupportFile_keepsModeAndOwner()
{
    QFETCH(uint, mode);
    QFETCH(int, owner);
    QFETCH(uint, kept);
    if (owner >= 0 && ::geteuid() != 0)
        QSKIP("changing the owner needs root");

    const QString dir = m_root + QStringLiteral("/support");
    const QString path = dir + QStringLiteral("/data.txt");
    QVERIFY(createEntries(m_root, {"support/data.txt"}));
    const QByteArray cpath = QFile::encodeName(path);
    if (owner >= 0)
        QCOMPARE(::chown(cpath.constData(), uid_t(owner), gid_t(owner)), 0);
    QCOMPARE(::chmod(cpath.constData(), mode_t(mode)), 0);
    struct stat before;
    QCOMPARE(::stat(cpath.constData(), &before), 0);

    supportfiles::storeSupportFile(dir, QStringLiteral("data.txt"), "new content", Messages);

    QCOMPARE(g_messages, QStringList{OpenSuccess});
    QCOMPARE(readFileOrMark(path), QByteArray("new content"));
    struct stat after;
    QCOMPARE(::lstat(cpath.constData(), &after), 0);
    QVERIFY(after.st_ino != before.st_ino);
    QCOMPARE(uint(after.st_mode & 07777), kept);
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
}

void tst_SupportFiles::storeSupportFile_replacesSymlink_data()
{
    QTest::addColumn<QString>("linkTarget");

    QTest::newRow("link to a file") << "outside/victim.txt";
    QTest::newRow("dangling link") << "outside/missing.txt";
    QTest::newRow("link to a directory") << "outside";
}

void tst_SupportFiles::storeSupportFile_replacesSymlink()
{
    QFETCH(QString, linkTarget);
    QVERIFY(createEntries(m_root, {"outside/", "outside/victim.txt", "support/data.txt@" + linkTarget}));

    supportfiles::storeSupportFile(m_root + QStringLiteral("/support"), QStringLiteral("data.txt"),
                                   "new content", Messages);

    QCOMPARE(g_messages, QStringList{OpenSuccess});
    QCOMPARE(tree(m_root),
             (QStringList{"outside/", "outside/victim.txt", "support/", "support/data.txt"}));
    QCOMPARE(readFileOrMark(m_root + QStringLiteral("/support/data.txt")), QByteArray("new content"));
    QCOMPARE(readFileOrMark(m_root + QStringLiteral("/outside/victim.txt")), oldContent("outside/victim.txt"));
}

void tst_SupportFiles::storeSupportFile_targetIsDirectory_data()
{
    QTest::addColumn<QString>("fileName");

    QTest::newRow("directory at the name") << "data.txt";
    QTest::newRow("dot") << ".";
    QTest::newRow("dotdot") << "..";
    QTest::newRow("empty name") << "";
}

void tst_SupportFiles::storeSupportFile_targetIsDirectory()
{
    QFETCH(QString, fileName);
    QVERIFY(createEntries(m_root, {"support/data.txt/", "support/data.txt/inner"}));
    const QStringList before = tree(m_root);

    supportfiles::storeSupportFile(m_root + QStringLiteral("/support"), fileName, "new content", Messages);

    QCOMPARE(g_messages, QStringList{OpenError});
    QCOMPARE(tree(m_root), before);
    QCOMPARE(readFileOrMark(m_root + QStringLiteral("/support/data.txt/inner")), oldContent("support/data.txt/inner"));
}

// Every row starts from ini/QRCode/ and a sibling ini/QRCodeEvil/e.png. "before" and "after" list
// the entries beyond those; files from "before" that are still there must be unchanged, apart
// from "stored", which must hold the new data.
void tst_SupportFiles::storeQrCode_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("del");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QString>("stored");

    const QString nul(QChar(0));
    const QStringList none;

    QTest::newRow("t1/a.png") << "t1" << "a.png" << false << none << QStringList{QrOk}
                              << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"} << "ini/QRCode/t1/a.png";
    QTest::newRow("existing file replaced, neighbour kept")
        << "t1" << "a.png" << false
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png", "ini/QRCode/t1/b.png"} << QStringList{QrOk}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png", "ini/QRCode/t1/b.png"} << "ini/QRCode/t1/a.png";
    QTest::newRow("nested type created with parents")
        << "a/b" << "c.png" << false << none << QStringList{QrOk}
        << QStringList{"ini/QRCode/a/", "ini/QRCode/a/b/", "ini/QRCode/a/b/c.png"} << "ini/QRCode/a/b/c.png";
    QTest::newRow("type with final slash") << "t1/" << "a.png" << false << none << QStringList{QrOk}
                                           << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
                                           << "ini/QRCode/t1/a.png";
    QTest::newRow("empty type stores into QRCode dir") << "" << "a.png" << false << none << QStringList{QrOk}
                                                       << QStringList{"ini/QRCode/a.png"} << "ini/QRCode/a.png";
    QTest::newRow("empty type with del clears QRCode dir")
        << "" << "a.png" << true << QStringList{"ini/QRCode/old.png", "ini/QRCode/t1/", "ini/QRCode/t1/keep.png"}
        << QStringList{DeleteError, DeleteError, DeleteError, QrOk}
        << QStringList{"ini/QRCode/a.png", "ini/QRCode/t1/", "ini/QRCode/t1/keep.png"} << "ini/QRCode/a.png";

    QTest::newRow("type ../x refused") << "../x" << "a.png" << false << none << QStringList{PathInvalid} << none
                                       << "";
    QTest::newRow("type ../x with del refused")
        << "../x" << "a.png" << true << QStringList{"ini/x/", "ini/x/f.png"} << QStringList{PathInvalid}
        << QStringList{"ini/x/", "ini/x/f.png"} << "";
    QTest::newRow("type .. refused") << ".." << "a.png" << false << none << QStringList{PathInvalid} << none << "";
    QTest::newRow("type . refused") << "." << "a.png" << false << none << QStringList{PathInvalid} << none << "";
    QTest::newRow("type . with del refused") << "." << "a.png" << true << QStringList{"ini/QRCode/old.png"}
                                             << QStringList{PathInvalid} << QStringList{"ini/QRCode/old.png"}
                                             << "";
    QTest::newRow("type t1/.. refused") << "t1/.." << "a.png" << false << none << QStringList{PathInvalid}
                                        << none << "";
    QTest::newRow("type t1/../../x refused") << "t1/../../x" << "a.png" << false << none
                                             << QStringList{PathInvalid} << none << "";
    QTest::newRow("sibling type ../QRCodeEvil/x refused")
        << "../QRCodeEvil/x" << "a.png" << false << none << QStringList{PathInvalid} << none << "";
    QTest::newRow("sibling type ../QRCodeEvil/ with del refused")
        << "../QRCodeEvil/" << "e.png" << true << none << QStringList{PathInvalid} << none << "";
    QTest::newRow("NUL in type refused")
        << "t1" + nul + "x" << "a.png" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{PathInvalid} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"} << "";

    // The type's directory is cleared and made before the name is tested (steps 3 to 5), so a
    // refused name leaves it made and, with del, cleared.
    QTest::newRow("name ../../y.png refused after the type is made")
        << "t1" << "../../y.png" << false << none << QStringList{NameInvalid} << QStringList{"ini/QRCode/t1/"} << "";
    QTest::newRow("name ../../y.png with del refused after clearing")
        << "t1" << "../../y.png" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{DeleteError, DeleteError, NameInvalid} << QStringList{"ini/QRCode/t1/"} << "";
    QTest::newRow("name ../../../y.png with del, new type made, then refused")
        << "t1/new" << "../../../y.png" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{NotExists, NameInvalid}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/new/", "ini/QRCode/t1/old.png"} << "";
    QTest::newRow("sibling name ../../QRCodeEvil/e.png refused")
        << "t1" << "../../QRCodeEvil/e.png" << false << none << QStringList{NameInvalid}
        << QStringList{"ini/QRCode/t1/"} << "";
    QTest::newRow("name .. refused") << "t1" << ".." << false << none << QStringList{NameInvalid}
                                     << QStringList{"ini/QRCode/t1/"} << "";
    // The name is opened as given: "." and ".." are resolved where they stand, a file is no
    // directory, and a last component "." or ".." names a directory.
    QTest::newRow("name . with the type an image")
        << "t1" << "." << false << QStringList{"ini/QRCode/t1"} << QStringList{QrOpenError}
        << QStringList{"ini/QRCode/t1"} << "";
    QTest::newRow("name sub/.. with the type an image")
        << "t1" << "sub/.." << false << QStringList{"ini/QRCode/t1"} << QStringList{QrOpenError}
        << QStringList{"ini/QRCode/t1"} << "";
    QTest::newRow("name a.png/. over a.png")
        << "t1" << "a.png/." << false << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
        << QStringList{QrOpenError} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"} << "";
    QTest::newRow("name nosuch/../n.png") << "t1" << "nosuch/../n.png" << false << none << QStringList{QrOpenError}
                                          << QStringList{"ini/QRCode/t1/"} << "";
    QTest::newRow("name z.png/../w.png with z.png a file")
        << "t1" << "z.png/../w.png" << false << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/z.png"}
        << QStringList{QrOpenError} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/z.png"} << "";
    QTest::newRow("name sub/../w.png with sub a directory")
        << "t1" << "sub/../w.png" << false << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/"}
        << QStringList{QrOk} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/", "ini/QRCode/t1/w.png"}
        << "ini/QRCode/t1/w.png";
    // Long input meets the limits where the described flow meets them (see storeQrCode_lengths).
    QTest::newRow("type component of 256 bytes, del")
        << QString(256, QLatin1Char('a')) + "/b" << "a.png" << true << QStringList{"ini/QRCode/old.png"}
        << QStringList{NotExists, MakePathFail} << QStringList{"ini/QRCode/old.png"} << "";
    QTest::newRow("100 KB type of a/a/a")
        << QStringLiteral("a/").repeated(51200) << "a.png" << false << none << QStringList{MakePathFail} << none << "";
    QTest::newRow("name component of 256 bytes, del")
        << "t1/new" << QString(256, QLatin1Char('n')) << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{NotExists, QrOpenError}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/new/", "ini/QRCode/t1/old.png"} << "";
    QTest::newRow("name component of 255 bytes stored")
        << "t1" << QString(255, QLatin1Char('n')) << false << none << QStringList{QrOk}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/" + QString(255, QLatin1Char('n'))}
        << "ini/QRCode/t1/" + QString(255, QLatin1Char('n'));
    // Temporary files live in a directory of the agent's own, so every name is the caller's.
    QTest::newRow("name with the temporary prefix stored")
        << "t1" << ".kvo-tmp-abc" << false << none << QStringList{QrOk}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/.kvo-tmp-abc"} << "ini/QRCode/t1/.kvo-tmp-abc";
    QTest::newRow("name in a sub-dir with the temporary prefix stored")
        << "t1" << "sub/.kvo-tmp-x" << false << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/"}
        << QStringList{QrOk} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/", "ini/QRCode/t1/sub/.kvo-tmp-x"}
        << "ini/QRCode/t1/sub/.kvo-tmp-x";
    QTest::newRow("temporary prefix inside a name is a name")
        << "t1" << "x.kvo-tmp-1" << false << none << QStringList{QrOk}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/x.kvo-tmp-1"} << "ini/QRCode/t1/x.kvo-tmp-1";
    QTest::newRow("temporary prefix as a type is a directory")
        << ".kvo-tmp-d" << "a.png" << false << none << QStringList{QrOk}
        << QStringList{"ini/QRCode/.kvo-tmp-d/", "ini/QRCode/.kvo-tmp-d/a.png"} << "ini/QRCode/.kvo-tmp-d/a.png";
    QTest::newRow("name ../z.png stays in QRCode dir")
        << "t1" << "../z.png" << false << none << QStringList{QrOk}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/z.png"} << "ini/QRCode/z.png";
    // Names that lead back to the QR-code directory itself stay inside it; there is no file to
    // open there, which is what the log says.
    QTest::newRow("empty type, empty name") << "" << "" << false << none << QStringList{QrOpenError}
                                            << none << "";
    QTest::newRow("name ../ back to the QRCode dir")
        << "t1" << "../" << false << none << QStringList{QrOpenError} << QStringList{"ini/QRCode/t1/"} << "";
    QTest::newRow("NUL in name refused after clearing") << "t1" << "a" + nul + ".png" << true
                                         << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
                                         << QStringList{DeleteError, DeleteError, NameInvalid}
                                         << QStringList{"ini/QRCode/t1/"} << "";

    QTest::newRow("name sub/b.png, sub missing") << "t1" << "sub/b.png" << false << none
                                                 << QStringList{QrOpenError} << QStringList{"ini/QRCode/t1/"}
                                                 << "";
    QTest::newRow("name sub/b.png, sub exists")
        << "t1" << "sub/b.png" << false << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/"}
        << QStringList{QrOk} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/", "ini/QRCode/t1/sub/b.png"}
        << "ini/QRCode/t1/sub/b.png";
    QTest::newRow("empty name") << "t1" << "" << false << none << QStringList{QrOpenError}
                                << QStringList{"ini/QRCode/t1/"} << "";

    QTest::newRow("clearing files, sub-dir and hidden file")
        << "t1" << "c.png" << true
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/A.png", "ini/QRCode/t1/b.png", "ini/QRCode/t1/sub/",
                       "ini/QRCode/t1/sub/inner.png", "ini/QRCode/t1/.hidden"}
        << QStringList{DeleteError, DeleteError, DeleteError, QrOk}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/.hidden", "ini/QRCode/t1/c.png", "ini/QRCode/t1/sub/",
                       "ini/QRCode/t1/sub/inner.png"}
        << "ini/QRCode/t1/c.png";
    QTest::newRow("clearing the file about to be stored")
        << "t1" << "a.png" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
        << QStringList{DeleteError, DeleteError, QrOk} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
        << "ini/QRCode/t1/a.png";
    // The cache is cleared first, as asked, so it stays cleared when the image then cannot be stored.
    QTest::newRow("name is a directory, del: cleared, then the open fails")
        << "t1" << "sub" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png", "ini/QRCode/t1/sub/"}
        << QStringList{DeleteError, DeleteError, DeleteError, QrOpenError}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/"} << "";
    QTest::newRow("name in a missing sub-dir, del: cleared, then the open fails")
        << "t1" << "sub/b.png" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{DeleteError, DeleteError, QrOpenError} << QStringList{"ini/QRCode/t1/"} << "";
    QTest::newRow("name ends with a slash, del: cleared, then the open fails")
        << "t1" << "x/" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{DeleteError, DeleteError, QrOpenError} << QStringList{"ini/QRCode/t1/"} << "";
    QTest::newRow("name in a sub-dir, del clears only the type's files")
        << "t1" << "sub/b.png" << true
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png", "ini/QRCode/t1/sub/", "ini/QRCode/t1/sub/b.png"}
        << QStringList{DeleteError, DeleteError, DeleteError, QrOk}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/", "ini/QRCode/t1/sub/b.png"} << "ini/QRCode/t1/sub/b.png";
    QTest::newRow("clearing a missing dir") << "t1" << "a.png" << true << none << QStringList{NotExists, QrOk}
                                            << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
                                            << "ini/QRCode/t1/a.png";
    {
        // 20 sub-directories and "." and "..": 22 entries that stay, 16 of them logged.
        QStringList dirs{"ini/QRCode/t1/"};
        for (int i = 0; i < 20; ++i)
            dirs.append(QStringLiteral("ini/QRCode/t1/d%1/").arg(i, 2, 10, QLatin1Char('0')));
        QStringList logged;
        for (int i = 0; i < supportfiles::maxLoggedDeleteErrors; ++i)
            logged.append(DeleteError);
        logged.append(QStringLiteral("Delete file error! for 6 more entries, not logged one by one"));
        logged.append(QrOk);
        QTest::newRow("clearing many sub-dirs logs a bounded number of lines")
            << "t1" << "a.png" << true << dirs << logged << dirs + QStringList{"ini/QRCode/t1/a.png"}
            << "ini/QRCode/t1/a.png";
    }
    QTest::newRow("type below a file") << "f/x" << "a.png" << false << QStringList{"ini/QRCode/f"}
                                       << QStringList{MakePathFail} << QStringList{"ini/QRCode/f"} << "";
    QTest::newRow("type below a file, del") << "f/x" << "a.png" << true << QStringList{"ini/QRCode/f"}
                                            << QStringList{NotExists, MakePathFail}
                                            << QStringList{"ini/QRCode/f"} << "";
}

void tst_SupportFiles::storeQrCode()
{
    QFETCH(QString, type);
    QFETCH(QString, name);
    QFETCH(bool, del);
    QFETCH(QStringList, before);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, after);
    QFETCH(QString, stored);

    const QStringList base{"ini/", "ini/QRCode/", "ini/QRCodeEvil/", "ini/QRCodeEvil/e.png"};
    QVERIFY(createEntries(m_root, base + before));
    const QByteArray data("\x89PNG\r\n\x1a\n\0\xff", 10);

    supportfiles::storeQrCode(m_root + QStringLiteral("/ini/QRCode/"), type, name, data, del);

    QCOMPARE(g_messages, messages);
    QStringList expected = base + after;
    expected.sort();
    QCOMPARE(tree(m_root), expected);
    for (const QString &entry : base + before) {
        if (expected.contains(entry) && entry != stored && !entry.endsWith(QLatin1Char('/')))
            QCOMPARE(readFileOrMark(m_root + QLatin1Char('/') + entry), oldContent(entry));
    }
    if (!stored.isEmpty())
        QCOMPARE(readFileOrMark(m_root + QLatin1Char('/') + stored), data);
}

// Links inside the QR tree point at outside/, which holds victim.png; nothing there may change.
void tst_SupportFiles::storeQrCode_symlinks_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("del");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QString>("stored");

    const QStringList none;

    QTest::newRow("type dir links outside, del") << "t1" << "a.png" << true << QStringList{"ini/QRCode/t1@outside"}
                                                 << QStringList{"ini/QRCode/t1@outside"} << "";
    QTest::newRow("type dir links outside") << "t1" << "a.png" << false << QStringList{"ini/QRCode/t1@outside"}
                                            << QStringList{"ini/QRCode/t1@outside"} << "";
    QTest::newRow("type dir is a dangling link, del")
        << "t1" << "a.png" << true << QStringList{"ini/QRCode/t1@outside/missing"}
        << QStringList{"ini/QRCode/t1@outside/missing"} << "";
    QTest::newRow("type passes a link") << "l/x" << "a.png" << true << QStringList{"ini/QRCode/l@outside"}
                                        << QStringList{"ini/QRCode/l@outside"} << "";
    QTest::newRow("name passes a link")
        << "t1" << "l/b.png" << false << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/l@outside"}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/l@outside"} << "";
    QTest::newRow("target is a link") << "t1" << "a.png" << false
                                      << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png@outside/victim.png"}
                                      << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
                                      << "ini/QRCode/t1/a.png";
    QTest::newRow("clearing removes links, not their targets")
        << "t1" << "c.png" << true
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/f@outside/victim.png", "ini/QRCode/t1/d@outside"}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/c.png"} << "ini/QRCode/t1/c.png";
}

void tst_SupportFiles::storeQrCode_symlinks()
{
    QFETCH(QString, type);
    QFETCH(QString, name);
    QFETCH(bool, del);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(QString, stored);

    const QStringList base{"ini/", "ini/QRCode/", "outside/", "outside/victim.png"};
    QVERIFY(createEntries(m_root, base + before));

    supportfiles::storeQrCode(m_root + QStringLiteral("/ini/QRCode/"), type, name, "new", del);

    QStringList expected = base + after;
    expected.sort();
    QCOMPARE(tree(m_root), expected);
    QCOMPARE(readFileOrMark(m_root + QStringLiteral("/outside/victim.png")), oldContent("outside/victim.png"));
    if (stored.isEmpty()) {
        QVERIFY2(!g_messages.contains(QrOk), qPrintable(g_messages.join(QLatin1String(" | "))));
    } else {
        QVERIFY2(g_messages.contains(QrOk), qPrintable(g_messages.join(QLatin1String(" | "))));
        QVERIFY2(!g_messages.contains(WriteError), qPrintable(g_messages.join(QLatin1String(" | "))));
        QCOMPARE(readFileOrMark(m_root + QLatin1Char('/') + stored), QByteArray("new"));
    }
}

void tst_SupportFiles::storeQrCode_clearingMakesANewFile_data()
{
    QTest::addColumn<bool>("del");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("kept");

    QTest::newRow("no del: mode and owner kept")          << false << "a.png"      << true;
    QTest::newRow("del: the old file is cleared first")   << true  << "a.png"      << false;
    QTest::newRow("del: a hidden file is not cleared")    << true  << ".a.png"     << true;
    QTest::newRow("del: a file in a sub-dir is not cleared") << true << "sub/a.png" << true;
}

// Clearing removes an old file of the same name before the image is put in place, so the image
// is a new file then, as it was when the clearing came first.
void tst_SupportFiles::storeQrCode_clearingMakesANewFile()
{
    QFETCH(bool, del);
    QFETCH(QString, name);
    QFETCH(bool, kept);
    if (::geteuid() != 0)
        QSKIP("changing the owner needs root");
    const QString entry = QStringLiteral("ini/QRCode/t1/") + name;
    QVERIFY(createEntries(m_root, {"ini/QRCode/t1/sub/", entry}));
    const QByteArray path = QFile::encodeName(m_root + QLatin1Char('/') + entry);
    QCOMPARE(::chown(path.constData(), 4321, 4322), 0);
    QCOMPARE(::chmod(path.constData(), 0604), 0);

    supportfiles::storeQrCode(m_root + QStringLiteral("/ini/QRCode/"), QStringLiteral("t1"), name, "new", del);

    QCOMPARE(readFileOrMark(m_root + QLatin1Char('/') + entry), QByteArray("new"));
    struct stat st;
    QCOMPARE(::lstat(path.constData(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    QCOMPARE(uint(st.st_mode & 07777), kept ? 0604u : uint(0666 & ~mask));
    QCOMPARE(uint(st.st_uid), kept ? 4321u : uint(::geteuid()));
    QCOMPARE(uint(st.st_gid), kept ? 4322u : uint(::getegid()));
}

void tst_SupportFiles::storeQrCode_baseDir_data()
{
    QTest::addColumn<bool>("del");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("after");

    QTest::newRow("missing QRCode dir created with parents")
        << false << QStringList{} << QStringList{QrOk}
        << QStringList{"ini/", "ini/QRCode/", "ini/QRCode/t1/", "ini/QRCode/t1/a.png"};
    QTest::newRow("missing QRCode dir, del") << true << QStringList{} << QStringList{NotExists, QrOk}
                                             << QStringList{"ini/", "ini/QRCode/", "ini/QRCode/t1/",
                                                            "ini/QRCode/t1/a.png"};
    QTest::newRow("ini is a file") << false << QStringList{"ini"} << QStringList{MakePathFail}
                                   << QStringList{"ini"};
    QTest::newRow("ini is a file, del") << true << QStringList{"ini"} << QStringList{NotExists, MakePathFail}
                                        << QStringList{"ini"};
}

void tst_SupportFiles::storeQrCode_baseDir()
{
    QFETCH(bool, del);
    QFETCH(QStringList, before);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, after);
    QVERIFY(createEntries(m_root, before));

    supportfiles::storeQrCode(m_root + QStringLiteral("/ini/QRCode/"), QStringLiteral("t1"),
                              QStringLiteral("a.png"), "new", del);

    QCOMPARE(g_messages, messages);
    QCOMPARE(tree(m_root), after);
}

// Lengths in bytes of the file-system encoding (UTF-8), as the kernel takes them: 255 per
// component and 4096 for the whole path, its NUL included. Long input is refused at the step
// where the described flow meets it, with that step's line and effect: a type when its
// directory is made, a name when it is opened.
void tst_SupportFiles::storeQrCode_lengths()
{
    const QString a255(255, QLatin1Char('a'));
    const QString a256(256, QLatin1Char('a'));
    const QString e2(QChar(0xe9));                           // 2 bytes
    const QString smiley = QString::fromUcs4(U"\U0001F600"); // 4 bytes, 2 UTF-16 units
    const QString qrDir = m_root + QStringLiteral("/ini/QRCode/");
    // A type of 250-byte components that leaves room for a name of 1 to 255 bytes in a path of
    // exactly 4095 bytes.
    const int prefixBytes = int(QFile::encodeName(qrDir).size());
    QString deep;
    while (prefixBytes + deep.size() + 1 + 255 < 4095)
        deep += (deep.isEmpty() ? QString() : QStringLiteral("/")) + QString(250, QLatin1Char('d'));
    const int nameRoom = 4095 - prefixBytes - int(deep.size()) - 1;
    QVERIFY(nameRoom >= 1 && nameRoom <= 255);

    struct Case
    {
        const char *what;
        QString type;
        QString name;
        bool del;
        QStringList messages;
        bool stored;
        QString made; // the type's directory as left, relative to the QR-code directory
    };
    const QList<Case> cases{
        {"type component of 255 bytes", a255, "x.png", false, {QrOk}, true, a255},
        {"type component of 256 bytes", a256, "x.png", false, {MakePathFail}, false, ""},
        {"type component of 256 bytes, del", a256, "x.png", true, {NotExists, MakePathFail}, false, ""},
        {"long type component cleaned away", a256 + "/../t1", "x.png", false, {QrOpenError}, false, "t1"},
        {"name component of 255 bytes", "t1", a255, false, {QrOk}, true, "t1"},
        {"name component of 256 bytes", "t1", a256, false, {QrOpenError}, false, "t1"},
        {"long name component passed by", "t1", a256 + "/../x.png", false, {QrOpenError}, false, "t1"},
        {"127 two-byte characters", "t1", e2.repeated(127), false, {QrOk}, true, "t1"},
        {"128 two-byte characters", "t1", e2.repeated(128), false, {QrOpenError}, false, "t1"},
        {"63 four-byte characters", "t1", smiley.repeated(63), false, {QrOk}, true, "t1"},
        {"64 four-byte characters", "t1", smiley.repeated(64), false, {QrOpenError}, false, "t1"},
        {"path of 4095 bytes", deep, QString(nameRoom, QLatin1Char('n')), false, {QrOk}, true, deep},
        {"path of 4096 bytes", deep, QString(nameRoom + 1, QLatin1Char('n')), false, {QrOpenError}, false, deep},
        {"100 KB type of a/a/a", QStringLiteral("a/").repeated(51200), "x.png", false, {MakePathFail}, false, ""},
        {"100 KB type of a/a/a, del", QStringLiteral("a/").repeated(51200), "x.png", true, {NotExists, MakePathFail}, false, ""},
        {"8 MiB name", "t1", QString(8 << 20, QLatin1Char('n')), true, {NotExists, QrOpenError}, false, "t1"},
        {"8 MiB type", QString(8 << 20, QLatin1Char('t')), "x.png", false, {MakePathFail}, false, ""},
    };
    for (const Case &c : cases) {
        QVERIFY(QDir(m_root).removeRecursively());
        QVERIFY(createEntries(m_root, {"ini/QRCode/"}));
        g_messages.clear();

        supportfiles::storeQrCode(qrDir, c.type, c.name, "image", c.del);

        QVERIFY2(g_messages == c.messages, qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(c.what), g_messages.join(QLatin1String(" | ")))));
        const QString typeDir = qrDir + c.made;
        QVERIFY2(c.made.isEmpty() || QFileInfo(typeDir).isDir(), c.what);
        QDirIterator it(qrDir, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        QStringList files;
        while (it.hasNext()) {
            it.next();
            if (it.fileInfo().isFile())
                files.append(it.filePath());
        }
        QVERIFY2(files == (c.stored ? QStringList{typeDir + QLatin1Char('/') + c.name} : QStringList()), c.what);
        if (c.made.isEmpty())
            QVERIFY2(tree(m_root) == (QStringList{"ini/", "ini/QRCode/"}), c.what);
    }
}

void tst_SupportFiles::writeFailureKeepsOldContent_data()
{
    QTest::addColumn<bool>("qrCode");
    QTest::addColumn<bool>("del");
    QTest::addColumn<bool>("fullFileSystem");

    QTest::newRow("support file, file size limit")    << false << false << false;
    QTest::newRow("QR code, file size limit")         << true  << false << false;
    QTest::newRow("QR code, del, file size limit")    << true  << true  << false;
    QTest::newRow("support file, full file system")   << false << false << true;
    QTest::newRow("QR code, full file system")        << true  << false << true;
    QTest::newRow("QR code, del, full file system")   << true  << true  << true;
}

// A write that fails keeps the old file whole; with del the cache was cleared before (step 3)
// and stays cleared, as described.
void tst_SupportFiles::writeFailureKeepsOldContent()
{
    QFETCH(bool, qrCode);
    QFETCH(bool, del);
    QFETCH(bool, fullFileSystem);

    QScopedPointer<DetachOnExit> mount;
    if (fullFileSystem) {
        const QByteArray skip = mountSmallTmpfs(m_root, "size=64k", &mount);
        if (!skip.isEmpty())
            QSKIP(skip.constData());
    }
    const QString dir = m_root + (qrCode ? QStringLiteral("/ini/QRCode/t1") : QStringLiteral("/support"));
    const QString fileName = qrCode ? QStringLiteral("a.png") : QStringLiteral("data.txt");
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + QLatin1Char('/') + fileName;
    QVERIFY(writeFile(path, "old content\n"));
    if (del)
        QVERIFY(writeFile(dir + QStringLiteral("/b.png"), "neighbour\n"));
    const QByteArray data(1 << 20, 'x');

    {
        QScopedPointer<FileSizeLimit> limit;
        if (!fullFileSystem) {
            limit.reset(new FileSizeLimit(4096));
            QVERIFY(limit->isActive());
        }
        if (qrCode)
            supportfiles::storeQrCode(m_root + QStringLiteral("/ini/QRCode/"), QStringLiteral("t1"), fileName,
                                      data, del);
        else
            supportfiles::storeSupportFile(dir + QLatin1Char('/'), fileName, data, Messages);
    }

    // A full file system is refused before the write, with the figures.
    if (fullFileSystem) {
        QVERIFY2(g_messages.takeLast().startsWith(QLatin1String("No space for users: 1048576 bytes and 0 inodes to write,")),
                 qPrintable(g_messages.join(QLatin1String(" | "))));
    }
    const QStringList cleared = del ? QStringList{DeleteError, DeleteError} : QStringList();
    QCOMPARE(g_messages, (cleared + QStringList{qrCode ? QrOk : QString::fromLatin1(OpenSuccess), WriteError}));
    if (del) {
        QCOMPARE(tree(dir), QStringList());
        return;
    }
    QCOMPARE(readFileOrMark(path), QByteArray("old content\n"));
    QCOMPARE(tree(dir), QStringList{fileName});
}

void tst_SupportFiles::fitsSpaceAndQuota_data()
{
    QTest::addColumn<quint64>("available");
    QTest::addColumn<quint64>("availableInodes");
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<quint64>("inodes");
    QTest::addColumn<bool>("fitsSpace");

    const quint64 KiB = 1024, MiB = KiB * KiB;
    QTest::newRow("exactly the space users have")  << 8 * KiB << 10ull << 8 * KiB << 1ull << true;
    QTest::newRow("one byte more is a block more") << 8 * KiB << 10ull << 8 * KiB + 1 << 1ull << false;
    QTest::newRow("2 bytes with one block left")   << 4 * KiB << 10ull << 2ull << 0ull << true;
    QTest::newRow("nothing to write, nothing left") << 0ull << 0ull << 0ull << 0ull << true;
    QTest::newRow("no block left")                 << 0ull << 10ull << 1ull << 0ull << false;
    QTest::newRow("exactly the inodes users have") << MiB << 3ull << 0ull << 3ull << true;
    QTest::newRow("one inode more")                << MiB << 3ull << 0ull << 4ull << false;
}

void tst_SupportFiles::fitsSpaceAndQuota()
{
    QFETCH(quint64, available);
    QFETCH(quint64, availableInodes);
    QFETCH(quint64, bytes);
    QFETCH(quint64, inodes);
    supportfiles::SpaceFigures space;
    space.availableBytes = available;
    space.blockSize = 4096;
    space.totalInodes = 1000;
    space.availableInodes = availableInodes;
    QTEST(supportfiles::fitsSpace(space, bytes, inodes), "fitsSpace");
    // A file system that counts no inodes is never short of them.
    space.totalInodes = 0;
    space.availableInodes = 0;
    QCOMPARE(supportfiles::fitsSpace(space, 0, inodes), true);

    // The quota: the replaced file counts as gone; the limits themselves still fit.
    const quint64 quota = supportfiles::quotaBytes;
    QVERIFY(supportfiles::fitsQuota({quota - 10, 4095}, 10, 0, 1));
    QVERIFY(!supportfiles::fitsQuota({quota - 10, 4095}, 11, 0, 0));
    QVERIFY(!supportfiles::fitsQuota({quota - 10, 4096}, 0, 0, 1));
    QVERIFY(supportfiles::fitsQuota({quota, 4096}, 100, 100, 0));
    QVERIFY(supportfiles::fitsQuota({quota + 5, 5000}, 0, 10, 0) == false);
}

void tst_SupportFiles::spaceOnSmallFileSystem_data()
{
    QTest::addColumn<int>("method");   // 0 support file, 1 QR code, 2 QR code with del
    QTest::addColumn<int>("overBy");   // bytes beyond the largest payload that fits

    const char *names[] = {"support file", "QR code", "QR code, del"};
    for (int method = 0; method < 3; ++method) {
        QTest::addRow("%s, fits", names[method]) << method << 0;
        QTest::addRow("%s, one byte more", names[method]) << method << 1;
    }
}

// On a real 1 MiB tmpfs: a payload that fits the space users have is stored; one byte more is
// refused before anything is written, and the log gives the figures.
void tst_SupportFiles::spaceOnSmallFileSystem()
{
    QFETCH(int, method);
    QFETCH(int, overBy);
    QScopedPointer<DetachOnExit> mount;
    const QByteArray skip = mountSmallTmpfs(m_root, "size=1m", &mount);
    if (!skip.isEmpty())
        QSKIP(skip.constData());
    const QString ini = m_root + QStringLiteral("/ini");
    const QString path = ini + (method == 0 ? QStringLiteral("/data.txt") : QStringLiteral("/QRCode/t1/a.png"));
    QVERIFY(createEntries(m_root, {"ini/data.txt", "ini/QRCode/t1/a.png", "ini/QRCode/t1/b.png", "staging/"}));

    struct statvfs st;
    QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    const quint64 available = quint64(st.f_bavail) * st.f_frsize;
    // Clearing frees the two images' pages before the new one is written.
    const quint64 room = available / st.f_frsize * st.f_frsize + (method == 2 ? 2 * st.f_frsize : 0);
    const QByteArray data(int(room + quint64(overBy)), 'n');
    // Clearing takes the type's files first, as described, whatever comes of the image.
    const QStringList cleared = method == 2 ? QStringList{DeleteError, DeleteError} : QStringList();
    const QStringList before = tree(m_root);

    if (method == 0)
        supportfiles::storeSupportFile(ini + QLatin1Char('/'), QStringLiteral("data.txt"), data, Messages);
    else
        supportfiles::storeQrCode(ini + QStringLiteral("/QRCode/"), QStringLiteral("t1"), QStringLiteral("a.png"), data,
                                  method == 2);

    if (overBy == 0) {
        QCOMPARE(readFileOrMark(path), data);
        QCOMPARE(g_messages, (cleared + QStringList{method == 0 ? QString::fromLatin1(OpenSuccess) : QrOk}));
        return;
    }
    QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    // The temporary file held an inode while it was there.
    const quint64 availableThen = available + (method == 2 ? 2 * st.f_frsize : 0);
    QCOMPARE(g_messages, (cleared + QStringList{method == 0 ? QString::fromLatin1(OpenSuccess) : QrOk, WriteError,
                                                spaceFigures(quint64(data.size()), 0, availableThen, st.f_favail - 1)}));
    if (method == 2) {
        QCOMPARE(tree(m_root), (QStringList{"ini/", "ini/QRCode/", "ini/QRCode/t1/", "ini/data.txt"}));
        return;
    }
    QCOMPARE(tree(m_root), before);
    for (const QString &entry : before) {
        if (!entry.endsWith(QLatin1Char('/')))
            QCOMPARE(readFileOrMark(m_root + QLatin1Char('/') + entry), oldContent(entry));
    }
}

// A support application is most needed on a full disk: with less than a tenth of a small file
// system left, a small replacement still goes through.
void tst_SupportFiles::nearlyFullFileSystemTakesASmallReplacement()
{
    QScopedPointer<DetachOnExit> mount;
    const QByteArray skip = mountSmallTmpfs(m_root, "size=4m", &mount);
    if (!skip.isEmpty())
        QSKIP(skip.constData());
    const QString ini = m_root + QStringLiteral("/ini");
    QVERIFY(createEntries(m_root, {"ini/customer.json", "staging/"}));
    struct statvfs st;
    QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    QVERIFY(writeFile(m_root + QStringLiteral("/fill"), QByteArray(int(quint64(st.f_bavail) * st.f_frsize - 8192), 'f')));
    QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    QCOMPARE(quint64(st.f_bavail) * st.f_frsize, 8192ull);

    supportfiles::storeSupportFile(ini + QLatin1Char('/'), QStringLiteral("customer.json"), "{}", Messages);

    QCOMPARE(g_messages, QStringList{QString::fromLatin1(OpenSuccess)});
    QCOMPARE(readFileOrMark(ini + QStringLiteral("/customer.json")), QByteArray("{}"));
}

void tst_SupportFiles::inodesOnSmallFileSystem_data()
{
    QTest::addColumn<bool>("qrCode");
    QTest::addColumn<int>("lacking");   // inodes fewer than the store needs

    QTest::newRow("support file, just enough")        << false << 0;
    QTest::newRow("support file, none left")          << false << 1;
    QTest::newRow("QR code, nested new type, enough") << true  << 0;
    QTest::newRow("QR code, nested new type, 1 short") << true << 1;
}

// On a real tmpfs of 400 inodes: a store that has the inodes it needs is done; one short of
// them is refused before anything is created.
void tst_SupportFiles::inodesOnSmallFileSystem()
{
    QFETCH(bool, qrCode);
    QFETCH(int, lacking);
    QScopedPointer<DetachOnExit> mount;
    const QByteArray skip = mountSmallTmpfs(m_root, "size=1m,nr_inodes=400", &mount);
    if (!skip.isEmpty())
        QSKIP(skip.constData());
    const QString ini = m_root + QStringLiteral("/ini");
    QVERIFY(createEntries(m_root, {"ini/QRCode/", "ini/data.txt", "fill/", "staging/"}));

    struct statvfs st;
    QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    QCOMPARE(quint64(st.f_files), 400ull);
    // Three directories and the image; the support file's temporary file is its one inode.
    const quint64 needed = qrCode ? 4 : 1;
    const quint64 target = needed - quint64(lacking);
    for (int i = 0; st.f_favail > target; ++i) {
        QVERIFY(writeFile(m_root + QStringLiteral("/fill/%1").arg(i), QByteArray()));
        QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    }
    QCOMPARE(quint64(st.f_favail), target);
    const QStringList before = tree(m_root);

    if (qrCode)
        supportfiles::storeQrCode(ini + QStringLiteral("/QRCode/"), QStringLiteral("a/b/c"), QStringLiteral("x.png"),
                                  "image", false);
    else
        supportfiles::storeSupportFile(ini + QLatin1Char('/'), QStringLiteral("data.txt"), "new", Messages);

    const QString path = qrCode ? ini + QStringLiteral("/QRCode/a/b/c/x.png") : ini + QStringLiteral("/data.txt");
    if (lacking == 0) {
        QCOMPARE(g_messages, QStringList{qrCode ? QrOk : QString::fromLatin1(OpenSuccess)});
        QCOMPARE(readFileOrMark(path), QByteArray(qrCode ? "image" : "new"));
        return;
    }
    const quint64 available = quint64(st.f_bavail) * st.f_frsize;
    if (qrCode)
        QCOMPARE(g_messages, (QStringList{MakePathFail, spaceFigures(3 * 4096, 4, available, target)}));
    else // no inode for the temporary file: the open fails, as a plain open would
        QCOMPARE(g_messages, QStringList{QString::fromLatin1(OpenError)});
    QCOMPARE(tree(m_root), before);
    QCOMPARE(readFileOrMark(ini + QStringLiteral("/data.txt")), oldContent("ini/data.txt"));
}

// On a real ext4 file system with blocks reserved for root: a store larger than what users may
// still use is refused, though root could write it, and the reserve stays free.
void tst_SupportFiles::rootReserveStaysFree()
{
    QTemporaryDir imageDir;
    QVERIFY(imageDir.isValid());
    const QString image = imageDir.filePath(QStringLiteral("ext4.img"));
    QProcess mkfs;
    mkfs.start(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-m"),
                                             QStringLiteral("25"), QStringLiteral("-b"), QStringLiteral("4096"),
                                             image, QStringLiteral("16M")});
    if (!mkfs.waitForFinished(60000) || mkfs.exitStatus() != QProcess::NormalExit)
        QSKIP("mkfs.ext4 is missing (scripts/setup installs e2fsprogs)");
    QCOMPARE(mkfs.exitCode(), 0);
    QScopedPointer<DetachOnExit> mount;
    const QByteArray skip = mountSmallTmpfs(m_root, "size=64k", &mount); // a private mount namespace
    if (!skip.isEmpty())
        QSKIP(skip.constData());
    mount.reset();
    QProcess mounting;
    mounting.start(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, m_root});
    QVERIFY(mounting.waitForFinished(60000));
    if (mounting.exitCode() != 0)
        QSKIP(qPrintable(QStringLiteral("no loop device: ") + QString::fromLocal8Bit(mounting.readAllStandardError())));
    mount.reset(new DetachOnExit(QFile::encodeName(m_root)));
    QVERIFY(createEntries(m_root, {"ini/", "staging/"}));
    const QString ini = m_root + QStringLiteral("/ini");

    struct statvfs st;
    QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    const quint64 available = quint64(st.f_bavail) * st.f_frsize;
    const quint64 freeForRoot = quint64(st.f_bfree) * st.f_frsize;
    QVERIFY2(freeForRoot > available + (1 << 20), "the reserve is large enough to hold the payload");
    const QByteArray tooLarge(int(available + 4096), 'r');

    supportfiles::storeSupportFile(ini + QLatin1Char('/'), QStringLiteral("customer.json"), tooLarge, Messages);

    QCOMPARE(g_messages, (QStringList{QString::fromLatin1(OpenSuccess), WriteError,
                                      spaceFigures(quint64(tooLarge.size()), 0, available, st.f_favail - 1)}));
    QVERIFY(!QFile::exists(ini + QStringLiteral("/customer.json")));
    QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    QCOMPARE(quint64(st.f_bfree) * st.f_frsize, freeForRoot);

    g_messages.clear();
    const QByteArray fits(int(available - 4096), 'f');
    supportfiles::storeSupportFile(ini + QLatin1Char('/'), QStringLiteral("customer.json"), fits, Messages);
    QCOMPARE(g_messages, QStringList{QString::fromLatin1(OpenSuccess)});
    QCOMPARE(readFileOrMark(ini + QStringLiteral("/customer.json")).size(), fits.size());
}

void tst_SupportFiles::quotaBySize_data()
{
    QTest::addColumn<bool>("replace");
    QTest::addColumn<int>("overBy");

    QTest::newRow("new file, fits") << false << 0;
    QTest::newRow("new file, one byte over") << false << 1;
    QTest::newRow("replacement counted as gone, fits") << true << 0;
    QTest::newRow("replacement, one byte over") << true << 1;
}

// The tree's bytes: a sparse file of nearly 256 MiB stands in for the stored images.
void tst_SupportFiles::quotaBySize()
{
    QFETCH(bool, replace);
    QFETCH(int, overBy);
    const QString ini = m_root + QStringLiteral("/ini");
    QVERIFY(createEntries(m_root, {"ini/QRCode/t1/old.png"}));
    const quint64 big = supportfiles::quotaBytes - 1000;
    QFile bigFile(ini + QStringLiteral("/QRCode/big.png"));
    QVERIFY(bigFile.open(QIODevice::WriteOnly) && bigFile.resize(qint64(big)));
    bigFile.close();
    const quint64 oldSize = quint64(oldContent("ini/QRCode/t1/old.png").size());
    // What is left beside big.png and old.png; a replacement may take old.png's bytes too.
    const quint64 room = 1000 - oldSize + (replace ? oldSize : 0);
    const QByteArray data(int(room + quint64(overBy)), 'q');
    const QStringList before = tree(m_root);

    supportfiles::storeQrCode(ini + QStringLiteral("/QRCode/"), QStringLiteral("t1"),
                              replace ? QStringLiteral("old.png") : QStringLiteral("new.png"), data, false);

    const QString path = ini + (replace ? QStringLiteral("/QRCode/t1/old.png") : QStringLiteral("/QRCode/t1/new.png"));
    if (overBy == 0) {
        QCOMPARE(g_messages, QStringList{QrOk});
        QCOMPARE(readFileOrMark(path), data);
        return;
    }
    QCOMPARE(g_messages, (QStringList{QrOk, WriteError,
                                      quotaFigures(quint64(data.size()), replace ? 0 : 1, replace ? oldSize : 0,
                                                   big + oldSize, 4)}));
    QCOMPARE(tree(m_root), before);
}

// The tree's entries, files and directories alike: a store that would make the 4,097th is
// refused, a replacement is not; a new type that would pass the limit is not made.
void tst_SupportFiles::quotaByEntries()
{
    const QString ini = m_root + QStringLiteral("/ini");
    QVERIFY(createEntries(m_root, {"ini/QRCode/t1/"}));
    // ini/QRCode and ini/QRCode/t1 are two; 4093 files make 4095.
    for (int i = 0; i < 4093; ++i)
        QVERIFY(writeFile(ini + QStringLiteral("/QRCode/t1/%1.png").arg(i), QByteArray()));
    const QString qrDir = ini + QStringLiteral("/QRCode/");

    supportfiles::storeQrCode(qrDir, QStringLiteral("t1"), QStringLiteral("last.png"), "x", false);
    QCOMPARE(g_messages, QStringList{QrOk});
    QVERIFY(QFile::exists(ini + QStringLiteral("/QRCode/t1/last.png")));

    g_messages.clear();
    supportfiles::storeQrCode(qrDir, QStringLiteral("t1"), QStringLiteral("one-more.png"), "x", false);
    QCOMPARE(g_messages, (QStringList{QrOk, WriteError, quotaFigures(1, 1, 0, 1, 4096)}));
    QVERIFY(!QFile::exists(ini + QStringLiteral("/QRCode/t1/one-more.png")));

    g_messages.clear();
    supportfiles::storeQrCode(qrDir, QStringLiteral("t2/t3"), QStringLiteral("a.png"), "x", false);
    QCOMPARE(g_messages, (QStringList{MakePathFail, quotaFigures(0, 2, 0, 1, 4096)}));
    QVERIFY(!QFile::exists(ini + QStringLiteral("/QRCode/t2")));

    g_messages.clear();
    supportfiles::storeQrCode(qrDir, QStringLiteral("t1"), QStringLiteral("last.png"), "yz", false);
    QCOMPARE(g_messages, QStringList{QrOk});
    QCOMPARE(readFileOrMark(ini + QStringLiteral("/QRCode/t1/last.png")), QByteArray("yz"));

    // Clearing gives entries back.
    g_messages.clear();
    supportfiles::storeQrCode(qrDir, QStringLiteral("t1"), QStringLiteral("after.png"), "x", true);
    QCOMPARE(g_messages.constLast(), QrOk);
    QCOMPARE(QDir(ini + QStringLiteral("/QRCode/t1")).entryList(QDir::Files), QStringList{"after.png"});
}

// The start-up sweep: temporary files in the staging directory and nothing else, no walk below.
void tst_SupportFiles::removeLeftoverTemporaries()
{
    QVERIFY(createEntries(m_root, {"staging/.kvo-tmp-1", "staging/.kvo-tmp-2", "staging/keep.txt",
                                   "staging/sub/.kvo-tmp-3", "staging/.kvo-tmp-dir/", "outside/",
                                   "outside/target.txt", "staging/.kvo-tmp-link@outside/target.txt",
                                   "ini/QRCode/t1/.kvo-tmp-stored"}));
    QCOMPARE(::mkfifo(QFile::encodeName(m_root + QStringLiteral("/staging/.kvo-tmp-fifo")).constData(), 0600), 0);

    supportfiles::removeLeftoverTemporaries(m_root + QStringLiteral("/staging/"));

    QStringList left = QDir(m_root + QStringLiteral("/staging")).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    left.sort();
    QCOMPARE(left, (QStringList{".kvo-tmp-dir", ".kvo-tmp-fifo", ".kvo-tmp-link", "keep.txt", "sub"}));
    QVERIFY(QFile::exists(m_root + QStringLiteral("/staging/sub/.kvo-tmp-3")));
    QCOMPARE(readFileOrMark(m_root + QStringLiteral("/outside/target.txt")), oldContent("outside/target.txt"));
    QCOMPARE(readFileOrMark(m_root + QStringLiteral("/ini/QRCode/t1/.kvo-tmp-stored")),
             oldContent("ini/QRCode/t1/.kvo-tmp-stored"));
    QCOMPARE(g_messages.size(), 2);
    // What cleanup() would take for a store's leftovers.
    QVERIFY(QDir(m_root + QStringLiteral("/staging")).removeRecursively());
}

QTEST_GUILESS_MAIN(tst_SupportFiles)
#include "tst_supportfiles.moc"
