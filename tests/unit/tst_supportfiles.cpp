// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/supportfiles.h"
#include "testhelpers.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextCodec>
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

// Regular and special files (not directories) whose name starts with the temporary prefix: a
// directory of that name may be stored on purpose.
QStringList temporaries(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().startsWith(QLatin1String(".kvo-tmp-")))
            found.append(path);
    }
    return found;
}

bool isRegularFile(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

// The line that gives the sizes when the free-space reserve refuses a store.
QString reserveFigures(quint64 bytes, quint64 inodes, quint64 freeBytes, quint64 freeInodes, quint64 reserve,
                       quint64 inodeReserve)
{
    return QStringLiteral("Free space reserve: %1 bytes and %2 inodes to write, %3 bytes and %4 inodes free, "
                          "%5 bytes and %6 inodes kept free")
        .arg(bytes).arg(inodes).arg(freeBytes).arg(freeInodes).arg(reserve).arg(inodeReserve);
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
    void checkQrCodePath_lengths_data();
    void checkQrCodePath_lengths();

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

    void writeFailureKeepsOldContent_data();
    void writeFailureKeepsOldContent();

    void spaceReserve_data();
    void spaceReserve();
    void spaceReserveOnSmallFileSystem_data();
    void spaceReserveOnSmallFileSystem();
    void inodeReserveOnSmallFileSystem_data();
    void inodeReserveOnSmallFileSystem();

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
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
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

// Limits in bytes of the file-system encoding (UTF-8): 255 per component, 4096 for the path
// below the support directory ("QRCode/" + type + "/" + name), taken from the text as given,
// as a plain open of that path would take them.
void tst_SupportFiles::checkQrCodePath_lengths_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("result");

    const int ok = int(supportfiles::QrCodePathCheck::Accepted);
    const int badPath = int(supportfiles::QrCodePathCheck::InvalidPath);
    const int badName = int(supportfiles::QrCodePathCheck::InvalidName);
    const QString a255(255, QLatin1Char('a'));
    const QString a256(256, QLatin1Char('a'));
    const QString e2(QChar(0xe9));                           // 2 bytes
    const QString smiley = QString::fromUcs4(U"\U0001F600"); // 4 bytes, 2 UTF-16 units
    // 16 components of 250 bytes: "QRCode/" + type is 4022 bytes, leaving 74 for "/" + name.
    QStringList parts;
    for (int i = 0; i < 16; ++i)
        parts.append(QString(250, QLatin1Char('d')));
    const QString deep = parts.join(QLatin1Char('/'));

    QTest::newRow("type component of 255 bytes")   << a255 << "x.png" << ok;
    QTest::newRow("type component of 256 bytes")   << a256 << "x.png" << badPath;
    QTest::newRow("long component cleaned away")   << a256 + "/.." << "x.png" << badPath;
    QTest::newRow("name component of 255 bytes")   << "t1" << a255 << ok;
    QTest::newRow("name component of 256 bytes")   << "t1" << a256 << badName;
    QTest::newRow("long name component passed by") << "t1" << a256 + "/../x.png" << badName;
    QTest::newRow("127 two-byte characters")       << "t1" << e2.repeated(127) << ok;
    QTest::newRow("128 two-byte characters")       << "t1" << e2.repeated(128) << badName;
    QTest::newRow("63 four-byte characters")       << "t1" << smiley.repeated(63) << ok;
    QTest::newRow("64 four-byte characters")       << "t1" << smiley.repeated(64) << badName;
    QTest::newRow("path of 4096 bytes")            << deep << QString(73, QLatin1Char('n')) << ok;
    QTest::newRow("path of 4097 bytes")            << deep << QString(74, QLatin1Char('n')) << badName;
    QTest::newRow("type path over 4096 bytes")     << deep + "/" + QString(250, QLatin1Char('d')) << "x.png" << badPath;
    QTest::newRow("100 KB type of a/a/a")          << QStringLiteral("a/").repeated(51200) << "x.png" << badPath;
    QTest::newRow("8 MB name")                     << "t1" << QString(8 << 20, QLatin1Char('n')) << badName;
    QTest::newRow("8 MB type")                     << QString(8 << 20, QLatin1Char('t')) << "x.png" << badPath;
}

void tst_SupportFiles::checkQrCodePath_lengths()
{
    QFETCH(QString, type);
    QFETCH(QString, name);
    QTEST(int(supportfiles::checkQrCodePath(QStringLiteral("/q/ini/QRCode/"), type, name)), "result");
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
        << QStringList{QrOk, DeleteError, DeleteError, DeleteError}
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

    // A refused name creates and clears nothing.
    QTest::newRow("name ../../y.png refused, nothing created")
        << "t1" << "../../y.png" << false << none << QStringList{NameInvalid} << none << "";
    QTest::newRow("name ../../y.png with del refused, nothing cleared")
        << "t1" << "../../y.png" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{NameInvalid} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"} << "";
    QTest::newRow("name ../../y.png with del refused, nothing created")
        << "t1/new" << "../../../y.png" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{NameInvalid} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"} << "";
    QTest::newRow("sibling name ../../QRCodeEvil/e.png refused")
        << "t1" << "../../QRCodeEvil/e.png" << false << none << QStringList{NameInvalid} << none << "";
    QTest::newRow("name .. refused") << "t1" << ".." << false << none << QStringList{NameInvalid} << none << "";
    // A last component "." or ".." cleans away to a file stored under another name.
    QTest::newRow("name . over an image stored as the type")
        << "t1" << "." << false << QStringList{"ini/QRCode/t1"} << QStringList{NameInvalid}
        << QStringList{"ini/QRCode/t1"} << "";
    QTest::newRow("name sub/.. over an image stored as the type")
        << "t1" << "sub/.." << false << QStringList{"ini/QRCode/t1"} << QStringList{NameInvalid}
        << QStringList{"ini/QRCode/t1"} << "";
    QTest::newRow("name a.png/. over a.png")
        << "t1" << "a.png/." << false << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
        << QStringList{NameInvalid} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"} << "";
    // Refused for their length before anything is created.
    QTest::newRow("type component of 256 bytes refused")
        << QString(256, QLatin1Char('a')) + "/b" << "a.png" << true << QStringList{"ini/QRCode/old.png"}
        << QStringList{PathInvalid} << QStringList{"ini/QRCode/old.png"} << "";
    QTest::newRow("100 KB type of a/a/a refused")
        << QStringLiteral("a/").repeated(51200) << "a.png" << false << none << QStringList{PathInvalid} << none << "";
    QTest::newRow("name component of 256 bytes refused")
        << "t1/new" << QString(256, QLatin1Char('n')) << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{NameInvalid} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"} << "";
    QTest::newRow("name component of 255 bytes stored")
        << "t1" << QString(255, QLatin1Char('n')) << false << none << QStringList{QrOk}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/" + QString(255, QLatin1Char('n'))}
        << "ini/QRCode/t1/" + QString(255, QLatin1Char('n'));
    // The start-up tidy-up removes files named like temporary ones, so no image may be stored so.
    QTest::newRow("name with the temporary prefix refused")
        << "t1" << ".kvo-tmp-1a2b" << false << none << QStringList{NameInvalid} << none << "";
    QTest::newRow("name in a sub-dir with the temporary prefix refused")
        << "t1" << "sub/.kvo-tmp-x" << false << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/"}
        << QStringList{NameInvalid} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/"} << "";
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
    QTest::newRow("NUL in name refused") << "t1" << "a" + nul + ".png" << true
                                         << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
                                         << QStringList{NameInvalid}
                                         << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"} << "";

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
        << QStringList{QrOk, DeleteError, DeleteError, DeleteError}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/.hidden", "ini/QRCode/t1/c.png", "ini/QRCode/t1/sub/",
                       "ini/QRCode/t1/sub/inner.png"}
        << "ini/QRCode/t1/c.png";
    QTest::newRow("clearing the file about to be stored")
        << "t1" << "a.png" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
        << QStringList{QrOk, DeleteError, DeleteError} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
        << "ini/QRCode/t1/a.png";
    // The cache is cleared only once the new image is written, so a call that cannot store it
    // leaves the cache as it was.
    QTest::newRow("name is a directory, del: nothing cleared")
        << "t1" << "sub" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png", "ini/QRCode/t1/sub/"}
        << QStringList{QrOpenError} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png", "ini/QRCode/t1/sub/"}
        << "";
    QTest::newRow("name in a missing sub-dir, del: nothing cleared")
        << "t1" << "sub/b.png" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{QrOpenError} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"} << "";
    QTest::newRow("name ends with a slash, del: nothing cleared")
        << "t1" << "x/" << true << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"}
        << QStringList{QrOpenError} << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png"} << "";
    QTest::newRow("name in a sub-dir, del clears only the type's files")
        << "t1" << "sub/b.png" << true
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/old.png", "ini/QRCode/t1/sub/", "ini/QRCode/t1/sub/b.png"}
        << QStringList{QrOk, DeleteError, DeleteError, DeleteError}
        << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/sub/", "ini/QRCode/t1/sub/b.png"} << "ini/QRCode/t1/sub/b.png";
    QTest::newRow("clearing a missing dir") << "t1" << "a.png" << true << none << QStringList{NotExists, QrOk}
                                            << QStringList{"ini/QRCode/t1/", "ini/QRCode/t1/a.png"}
                                            << "ini/QRCode/t1/a.png";
    {
        // 20 sub-directories and "." and "..": 22 entries that stay, 16 of them logged.
        QStringList dirs{"ini/QRCode/t1/"};
        for (int i = 0; i < 20; ++i)
            dirs.append(QStringLiteral("ini/QRCode/t1/d%1/").arg(i, 2, 10, QLatin1Char('0')));
        QStringList logged{QrOk};
        for (int i = 0; i < supportfiles::maxLoggedDeleteErrors; ++i)
            logged.append(DeleteError);
        logged.append(QStringLiteral("Delete file error! for 6 more entries, not logged one by one"));
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

void tst_SupportFiles::writeFailureKeepsOldContent()
{
    QFETCH(bool, qrCode);
    QFETCH(bool, del);
    QFETCH(bool, fullFileSystem);

    const QString dir = m_root + (qrCode ? QStringLiteral("/ini/QRCode/t1") : QStringLiteral("/support"));
    const QString fileName = qrCode ? QStringLiteral("a.png") : QStringLiteral("data.txt");
    QVERIFY(QDir().mkpath(dir));

    QScopedPointer<DetachOnExit> mount;
    if (fullFileSystem) {
        const QByteArray skip = mountSmallTmpfs(dir, "size=64k", &mount);
        if (!skip.isEmpty())
            QSKIP(skip.constData());
    }
    const QString path = dir + QLatin1Char('/') + fileName;
    QVERIFY(writeFile(path, "old content\n"));
    // With del the type's other images must survive the failed call too.
    QStringList files{fileName};
    if (del) {
        QVERIFY(writeFile(dir + QStringLiteral("/b.png"), "neighbour\n"));
        files.append(QStringLiteral("b.png"));
    }
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
            supportfiles::storeSupportFile(dir, fileName, data, Messages);
    }

    // A full file system is refused by the free-space reserve before the write, which says so.
    if (fullFileSystem) {
        QCOMPARE(g_messages.size(), 3);
        QVERIFY2(g_messages.takeLast().startsWith(QLatin1String("Free space reserve: 1048576 bytes and 0 inodes to write,")),
                 qPrintable(g_messages.join(QLatin1String(" | "))));
    }
    QCOMPARE(g_messages, (QStringList{qrCode ? QrOk : QString::fromLatin1(OpenSuccess), WriteError}));
    QCOMPARE(readFileOrMark(path), QByteArray("old content\n"));
    QCOMPARE(tree(dir), files);
    if (del)
        QCOMPARE(readFileOrMark(dir + QStringLiteral("/b.png")), QByteArray("neighbour\n"));
}

void tst_SupportFiles::spaceReserve_data()
{
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("free");
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<quint64>("reserve");
    QTest::addColumn<quint64>("totalInodes");
    QTest::addColumn<quint64>("freeInodes");
    QTest::addColumn<quint64>("inodes");
    QTest::addColumn<quint64>("inodeReserve");
    QTest::addColumn<bool>("stored");

    const quint64 KiB = 1024, MiB = KiB * KiB, GiB = MiB * KiB, TiB = GiB * KiB, M = 1000000;
    QTest::newRow("256 KiB, 5 %")                       << 256 * KiB << 200 * KiB << 64 * KiB << 13107ull     << M << M / 2 << 1ull << 50000ull << true;
    QTest::newRow("10 GiB, 5 %")                        << 10 * GiB << 5 * GiB << MiB << 512 * MiB            << M << M / 2 << 1ull << 50000ull << true;
    QTest::newRow("20 GiB, 5 % is 1 GiB")               << 20 * GiB << 2 * GiB << MiB << GiB                  << M << M / 2 << 1ull << 50000ull << true;
    QTest::newRow("1 TiB 96 % full takes a small file") << TiB << TiB / 25 << MiB << GiB                      << M << M / 2 << 1ull << 50000ull << true;
    QTest::newRow("1 TiB, 1 GiB free")                  << TiB << GiB << 0ull << GiB                          << M << M / 2 << 1ull << 50000ull << true;
    QTest::newRow("1 TiB, one block into the reserve")  << TiB << GiB << 1ull << GiB                          << M << M / 2 << 1ull << 50000ull << false;
    QTest::newRow("exactly the reserve left")           << 100 * MiB << 10 * MiB << 5 * MiB << 5 * MiB        << M << M / 2 << 1ull << 50000ull << true;
    QTest::newRow("one byte more is a block more")      << 100 * MiB << 10 * MiB << 5 * MiB + 1 << 5 * MiB    << M << M / 2 << 1ull << 50000ull << false;
    QTest::newRow("already below the reserve")          << 100 * MiB << 4 * MiB << 0ull << 5 * MiB            << M << M / 2 << 0ull << 50000ull << false;
    QTest::newRow("payload beyond the free space")      << 100 * MiB << 10 * MiB << 32 * MiB << 5 * MiB       << M << M / 2 << 1ull << 50000ull << false;
    QTest::newRow("inodes: exactly the reserve left")   << 10 * GiB << 5 * GiB << MiB << 512 * MiB            << M << 60000ull << 10000ull << 50000ull << true;
    QTest::newRow("inodes: one into the reserve")       << 10 * GiB << 5 * GiB << MiB << 512 * MiB            << M << 60000ull << 10001ull << 50000ull << false;
    QTest::newRow("inodes: already below the reserve")  << 10 * GiB << 5 * GiB << 0ull << 512 * MiB           << 1000ull << 40ull << 0ull << 50ull << false;
    QTest::newRow("inodes: at most 65,536 kept")        << 10 * GiB << 5 * GiB << MiB << 512 * MiB            << 100 * M << 70000ull << 2000ull << 65536ull << true;
    QTest::newRow("inodes: not counted")                << 10 * GiB << 5 * GiB << MiB << 512 * MiB            << 0ull << 0ull << 2049ull << 0ull << true;
    QTest::newRow("empty file system")                  << 0ull << 0ull << 0ull << 0ull                       << 0ull << 0ull << 1ull << 0ull << true;
}

void tst_SupportFiles::spaceReserve()
{
    QFETCH(quint64, total);
    QFETCH(quint64, free);
    QFETCH(quint64, bytes);
    QFETCH(quint64, totalInodes);
    QFETCH(quint64, freeInodes);
    QFETCH(quint64, inodes);
    supportfiles::SpaceFigures space;
    space.totalBytes = total;
    space.freeBytes = free;
    space.blockSize = 4096;
    space.totalInodes = totalInodes;
    space.freeInodes = freeInodes;
    const supportfiles::SpaceReserve reserve = supportfiles::spaceReserve(space);
    QTEST(reserve.bytes, "reserve");
    QTEST(reserve.inodes, "inodeReserve");
    QTEST(supportfiles::leavesReserve(space, bytes, inodes), "stored");
}

void tst_SupportFiles::spaceReserveOnSmallFileSystem_data()
{
    QTest::addColumn<int>("method");   // 0 support file, 1 QR code, 2 QR code with del, 3 QR code of a new type
    QTest::addColumn<int>("overBy");   // bytes beyond the largest payload that leaves the reserve

    const char *names[] = {"support file", "QR code", "QR code, del", "QR code, new type"};
    for (int method = 0; method < 4; ++method) {
        QTest::addRow("%s, leaves the reserve", names[method]) << method << 0;
        QTest::addRow("%s, one byte into it", names[method]) << method << 1;
    }
}

// On a real 1 MiB tmpfs: a payload that leaves the reserve is stored; one byte more is refused
// before anything is written or created, and the log gives the sizes.
void tst_SupportFiles::spaceReserveOnSmallFileSystem()
{
    QFETCH(int, method);
    QFETCH(int, overBy);
    const QString dir = m_root + QStringLiteral("/ini/QRCode");
    QVERIFY(QDir().mkpath(m_root + QStringLiteral("/ini")));
    QScopedPointer<DetachOnExit> mount;
    const QByteArray skip = mountSmallTmpfs(m_root + QStringLiteral("/ini"), "size=1m", &mount);
    if (!skip.isEmpty())
        QSKIP(skip.constData());
    const QString typeDir = m_root + (method == 3 ? QStringLiteral("/ini/QRCode/t2") : QStringLiteral("/ini/QRCode/t1"));
    const QString path = method == 0 ? m_root + QStringLiteral("/ini/data.txt") : typeDir + QStringLiteral("/a.png");
    QVERIFY(createEntries(m_root, {"ini/data.txt", "ini/QRCode/t1/a.png", "ini/QRCode/t1/b.png"}));
    const QStringList before = tree(m_root);

    struct statvfs st;
    QCOMPARE(::statvfs(QFile::encodeName(dir).constData(), &st), 0);
    const quint64 free = quint64(st.f_bavail) * st.f_frsize;
    const quint64 reserve = quint64(st.f_blocks) * st.f_frsize / 20;
    // A directory to be made counts as one block of 4 KiB.
    const quint64 room = (free - reserve) / st.f_frsize * st.f_frsize - (method == 3 ? 4096 : 0);
    const QByteArray data(int(room + quint64(overBy)), 'n');

    if (method == 0)
        supportfiles::storeSupportFile(m_root + QStringLiteral("/ini"), QStringLiteral("data.txt"), data, Messages);
    else
        supportfiles::storeQrCode(m_root + QStringLiteral("/ini/QRCode/"), method == 3 ? QStringLiteral("t2") : QStringLiteral("t1"),
                                  QStringLiteral("a.png"), data, method == 2);

    if (overBy == 0) {
        QCOMPARE(readFileOrMark(path), data);
        QCOMPARE(g_messages.value(0), method == 0 ? QString::fromLatin1(OpenSuccess) : QrOk);
        return;
    }
    // Measured again, as before the call: the temporary file, while it was there, held an inode.
    QCOMPARE(::statvfs(QFile::encodeName(dir).constData(), &st), 0);
    const QString figures = reserveFigures(quint64(data.size()) + (method == 3 ? 4096 : 0), method == 3 ? 2 : 0, free,
                                           st.f_favail - (method == 3 ? 0 : 1), reserve,
                                           std::min<quint64>(st.f_files / 20, 65536));
    if (method == 3)
        QCOMPARE(g_messages, (QStringList{MakePathFail, figures}));
    else
        QCOMPARE(g_messages, (QStringList{method == 0 ? QString::fromLatin1(OpenSuccess) : QrOk, WriteError, figures}));
    QCOMPARE(tree(m_root), before);
    for (const QString &entry : before) {
        if (!entry.endsWith(QLatin1Char('/')))
            QCOMPARE(readFileOrMark(m_root + QLatin1Char('/') + entry), oldContent(entry));
    }
}

void tst_SupportFiles::inodeReserveOnSmallFileSystem_data()
{
    QTest::addColumn<bool>("qrCode");
    QTest::addColumn<int>("overBy");   // inodes beyond what leaves the reserve

    QTest::newRow("support file, leaves the reserve")        << false << 0;
    QTest::newRow("support file, one inode into it")         << false << 1;
    QTest::newRow("QR code, nested new type, leaves it")     << true  << 0;
    QTest::newRow("QR code, nested new type, one inode in")  << true  << 1;
}

// On a real tmpfs of 400 inodes (20 kept free): a store that leaves the reserve is done, one
// that would take one inode of it is refused before anything is created.
void tst_SupportFiles::inodeReserveOnSmallFileSystem()
{
    QFETCH(bool, qrCode);
    QFETCH(int, overBy);
    const QString ini = m_root + QStringLiteral("/ini");
    QVERIFY(QDir().mkpath(ini));
    QScopedPointer<DetachOnExit> mount;
    const QByteArray skip = mountSmallTmpfs(ini, "size=1m,nr_inodes=400", &mount);
    if (!skip.isEmpty())
        QSKIP(skip.constData());
    QVERIFY(createEntries(m_root, {"ini/QRCode/", "ini/data.txt", "ini/fill/"}));

    struct statvfs st;
    QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    QCOMPARE(quint64(st.f_files), 400ull);
    // Three directories and the image; the support file's temporary file is its one inode.
    const quint64 needed = qrCode ? 4 : 1;
    const quint64 target = 20 + needed - quint64(overBy);
    for (int i = 0; st.f_favail > target; ++i) {
        QVERIFY(writeFile(ini + QStringLiteral("/fill/%1").arg(i), QByteArray()));
        QCOMPARE(::statvfs(QFile::encodeName(ini).constData(), &st), 0);
    }
    QCOMPARE(quint64(st.f_favail), target);
    const QStringList before = tree(m_root);

    if (qrCode)
        supportfiles::storeQrCode(ini + QStringLiteral("/QRCode/"), QStringLiteral("a/b/c"), QStringLiteral("x.png"),
                                  "image", false);
    else
        supportfiles::storeSupportFile(ini, QStringLiteral("data.txt"), "new", Messages);

    const QString path = qrCode ? ini + QStringLiteral("/QRCode/a/b/c/x.png") : ini + QStringLiteral("/data.txt");
    if (overBy == 0) {
        QCOMPARE(g_messages, QStringList{qrCode ? QrOk : QString::fromLatin1(OpenSuccess)});
        QCOMPARE(readFileOrMark(path), QByteArray(qrCode ? "image" : "new"));
        return;
    }
    const quint64 freeBytes = quint64(st.f_bavail) * st.f_frsize;
    const quint64 reserve = quint64(st.f_blocks) * st.f_frsize / 20;
    if (qrCode)
        QCOMPARE(g_messages, (QStringList{MakePathFail, reserveFigures(5 + 3 * 4096, 4, freeBytes, target, reserve, 20)}));
    else
        QCOMPARE(g_messages, (QStringList{QString::fromLatin1(OpenSuccess), WriteError,
                                          reserveFigures(3, 0, freeBytes, target - 1, reserve, 20)}));
    QCOMPARE(tree(m_root), before);
    QCOMPARE(readFileOrMark(ini + QStringLiteral("/data.txt")), oldContent("ini/data.txt"));
}

void tst_SupportFiles::removeLeftoverTemporaries()
{
    // A separate directory: the leftovers outside the cleaned tree must survive, which the
    // check in cleanup() would report.
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QString root = scratch.path();
    QVERIFY(createEntries(root, {"d/.kvo-tmp-1", "d/n/m/.kvo-tmp-2", "d/keep.txt", "d/.kvo-tmpx", "d/x.kvo-tmp-3",
                                 "d/.kvo-tmp-dir/", "d/.kvo-tmp-dir/.kvo-tmp-4", "outside/",
                                 "outside/.kvo-tmp-9", "outside/target.txt", "d/.kvo-tmp-link@outside/target.txt",
                                 "d/ln@outside"}));
    QCOMPARE(::mkfifo(QFile::encodeName(root + QStringLiteral("/d/.kvo-tmp-fifo")).constData(), 0600), 0);

    supportfiles::removeLeftoverTemporaries(root + QStringLiteral("/d"));

    QStringList expected{"d/", "d/.kvo-tmp-dir/", "d/.kvo-tmp-fifo", "d/.kvo-tmp-link@outside/target.txt",
                         "d/.kvo-tmpx", "d/keep.txt", "d/ln@outside", "d/n/", "d/n/m/", "d/x.kvo-tmp-3",
                         "outside/", "outside/.kvo-tmp-9", "outside/target.txt"};
    expected.sort();
    QCOMPARE(tree(root), expected);
    QCOMPARE(readFileOrMark(root + QStringLiteral("/outside/target.txt")), oldContent("outside/target.txt"));
}

QTEST_GUILESS_MAIN(tst_SupportFiles)
#include "tst_supportfiles.moc"
