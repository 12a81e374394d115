// SPDX-License-Identifier: GPL-3.0-or-later
//
// The real agent's failure lines in a private journal (sandbox-run --journal): each journal
// entry carries the error number behind the failure as ERRNO=, while the message text and the
// log file's line stay as they are.
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>

using namespace testhelpers;
using namespace testsupport;

namespace {

const QString ini = QString::fromLatin1(supportDir);

// The journal entry of process pid whose message ends with text, once journald has it.
QJsonObject waitForEntry(qint64 pid, const QString &text)
{
    const QDeadlineTimer deadline(30000);
    do {
        for (const QJsonObject &entry : readJournal({QStringLiteral("_PID=%1").arg(pid)})) {
            if (entry.value(QLatin1String("MESSAGE")).toString().endsWith(QStringLiteral("] ") + text))
                return entry;
        }
        QTest::qWait(50);
    } while (!deadline.hasExpired());
    return {};
}

// Sets a file-size limit for the processes started while it lives, with SIGXFSZ ignored so
// that a write beyond it fails with EFBIG instead of ending the process. Both are inherited
// through fork and exec.
class FileSizeLimitForChildren
{
public:
    explicit FileSizeLimitForChildren(rlim_t bytes)
    {
        m_handler = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimitForChildren()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        ::signal(SIGXFSZ, m_handler);
    }
    bool isActive() const { return m_active; }

private:
    rlimit m_saved{};
    sighandler_t m_handler = SIG_DFL;
    bool m_active = false;
};

enum Setup { SupportDirIsFile, TypeBelowFile, SmallFileSystem, FileNameIsDirectory, NoSetup, FileSizeLimit };

} // namespace

class tst_AgentJournal : public QObject, protected SandboxFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(OwnPid | ReleaseFiles | ConfigService, &error), qPrintable(error));
        if (!QFileInfo::exists(QStringLiteral("/run/systemd/journal/socket")))
            QSKIP("needs the private journal of sandbox-run --journal");
    }

    void init()
    {
        QFile::remove(QStringLiteral("/usr/share/kvo-service-support"));
        QDir(QStringLiteral("/usr/share/kvo-service-support")).removeRecursively();
    }

    void failureCarriesErrno_data()
    {
        QTest::addColumn<int>("setup");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("args");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("error");

        const QByteArray mib(1 << 20, 'x');
        QTest::newRow("make filepath fail!, support directory")
            << int(SupportDirIsFile) << "updateCustomFile" << QVariantList{QByteArray("x")} << "make filepath fail!"
            << ENOTDIR;
        QTest::newRow("make filepath fail!, QR-code type")
            << int(TypeBelowFile) << "downloadQRCode" << QVariantList{QStringLiteral("f/x"), QStringLiteral("a.png"), QByteArray("i"), false}
            << "make filepath fail!" << ENOTDIR;
        QTest::newRow("make filepath fail!, no inodes for users")
            << int(SmallFileSystem) << "downloadQRCode" << QVariantList{QStringLiteral("a/b/c/d/e"), QStringLiteral("a.png"), mib, false}
            << "make filepath fail!" << ENOSPC;
        QTest::newRow("Custom File open error!")
            << int(FileNameIsDirectory) << "updateCustomFile" << QVariantList{QByteArray("x")} << "Custom File open error!"
            << EISDIR;
        QTest::newRow("Device Tree File open error!")
            << int(FileNameIsDirectory) << "updateDeviceTreeFile" << QVariantList{QByteArray("x")}
            << "Device Tree File open error!" << EISDIR;
        QTest::newRow("QRCode File open error!, missing sub-directory")
            << int(NoSetup) << "downloadQRCode" << QVariantList{QStringLiteral("t1"), QStringLiteral("sub/b.png"), QByteArray("i"), false}
            << "QRCode File open error!" << ENOENT;
        QTest::newRow("QRCode File open error!, name of a directory")
            << int(NoSetup) << "downloadQRCode" << QVariantList{QStringLiteral("t1"), QStringLiteral("x/"), QByteArray("i"), false}
            << "QRCode File open error!" << EISDIR;
        QTest::newRow("write data error!, no space for users")
            << int(SmallFileSystem) << "updateCustomFile" << QVariantList{mib} << "write data error!" << ENOSPC;
        QTest::newRow("write data error!, file size limit")
            << int(FileSizeLimit) << "downloadQRCode" << QVariantList{QStringLiteral("t1"), QStringLiteral("a.png"), mib + mib, false}
            << "write data error!" << EFBIG;
    }

    void failureCarriesErrno()
    {
        QFETCH(int, setup);
        QFETCH(QString, method);
        QFETCH(QVariantList, args);
        QFETCH(QString, message);
        QFETCH(int, error);

        switch (Setup(setup)) {
        case SupportDirIsFile:
            QVERIFY(writeFile(QStringLiteral("/usr/share/kvo-service-support"), "not a directory"));
            break;
        case TypeBelowFile:
            QVERIFY(writeFile(ini + QStringLiteral("QRCode/f"), "a file"));
            break;
        case FileNameIsDirectory:
            QVERIFY(QDir().mkpath(ini + QStringLiteral("customer.json")));
            QVERIFY(QDir().mkpath(ini + QStringLiteral("kvo-devicetree.json")));
            break;
        case SmallFileSystem:
        case NoSetup:
        case FileSizeLimit:
            QVERIFY(QDir().mkpath(ini));
            break;
        }
        std::unique_ptr<AgentProcess> agent;
        {
            std::unique_ptr<FileSizeLimitForChildren> limit;
            if (setup == FileSizeLimit) {
                limit = std::make_unique<FileSizeLimitForChildren>(1 << 20);
                QVERIFY(limit->isActive());
            }
            agent = std::make_unique<AgentProcess>();
        }
        QVERIFY(agent->waitForName());
        // The support directory and the staging directory beside it, on one small file system
        // of 256 KiB and 8 inodes.
        const QByteArray mountPoint = QFile::encodeName(QDir::cleanPath(ini + QStringLiteral("/..")));
        const bool mounted = setup == SmallFileSystem;
        if (mounted)
            QCOMPARE(::mount("kvo-small", mountPoint.constData(), "tmpfs", 0, "size=256k,nr_inodes=8"), 0);
        const auto unmount = qScopeGuard([&] {
            agent.reset();
            if (mounted)
                ::umount2(mountPoint.constData(), MNT_DETACH);
        });

        LogCursor log;
        QCOMPARE(callAgent(method, args).type(), QDBusMessage::ReplyMessage);
        QVERIFY2(messages(log).contains(message), qPrintable(messages(log).join(QLatin1String(" | "))));

        const QJsonObject entry = waitForEntry(agent->pid(), message);
        QVERIFY2(!entry.isEmpty(), "no journal entry with the message");
        QCOMPARE(entry.value(QLatin1String("ERRNO")).toString(), QString::number(error));
        QCOMPARE(entry.value(QLatin1String("PRIORITY")).toString(), QStringLiteral("4"));
    }

    // Lines that report no failure carry no error number.
    void successHasNoErrno()
    {
        AgentProcess agent;
        QVERIFY(agent.waitForName());
        QCOMPARE(callAgent(QStringLiteral("downloadQRCode"),
                           {QStringLiteral("t1"), QStringLiteral("a.png"), QByteArray("image"), false}).type(),
                 QDBusMessage::ReplyMessage);
        const QJsonObject entry = waitForEntry(agent.pid(), QStringLiteral("QRCode File open success!"));
        QVERIFY(!entry.isEmpty());
        QVERIFY(!entry.contains(QLatin1String("ERRNO")));
    }
};

QTEST_GUILESS_MAIN(tst_AgentJournal)
#include "tst_agentjournal.moc"
