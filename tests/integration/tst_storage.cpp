// SPDX-License-Identifier: GPL-3.0-or-later
//
// The storage queries of SystemInfo inside the sandbox: a fake lsblk first on the commands' PATH,
// run through the real command runner and started directly, and a fake UDisks2 on the private
// system bus.
#include "testsupport.h"

#include "agent/sysinfo/blockdevicecollector.h"
#include "agent/sysinfo/commandrunner.h"
#include "agent/sysinfo/systeminfo.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <utility>

using namespace testsupport;

namespace {

const char *const AgentCategory = kvo::logCategoryName;
const QString jsonArguments = QStringLiteral("-J -bno NAME,SERIAL,TYPE,MODEL,MOUNTPOINT");
const QString pairsArguments = QStringLiteral("-o PKNAME,NAME,TYPE,MOUNTPOINT -P");

QStringList g_messages;
QStringList g_otherMessages;
QtMessageHandler g_previousHandler = nullptr;

void collectMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, AgentCategory) == 0)
        g_messages.append(message);
    else
        g_otherMessages.append(message);
    if (!g_messages.isEmpty() && g_messages.constLast() == message)
        return;
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

QByteArray fixture(const QString &machine, const QString &listing)
{
    QFile file(QStringLiteral(KVO_FIXTURES_DIR "/%1/lsblk-%2.txt").arg(machine, listing));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString pairsRow(const QString &pkname, const QString &name, const QString &type, const QString &mountpoint)
{
    return QStringLiteral("QMap((\"MOUNTPOINT\", \"%4\")(\"NAME\", \"%2\")(\"PKNAME\", \"%1\")(\"TYPE\", \"%3\"))")
        .arg(pkname, name, type, mountpoint);
}

class FakeUdisks
{
public:
    bool start(const QStringList &arguments)
    {
        m_process.start(QStringLiteral(KVO_FAKE_UDISKS2_BINARY), arguments);
        QDeadlineTimer deadline(10000);
        while (!m_process.canReadLine() && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning)
            m_process.waitForReadyRead(100);
        return m_process.readLine().trimmed() == "ready";
    }
    QByteArray errors() { return m_process.readAllStandardError(); }
    ~FakeUdisks()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QProcess m_process;
};

} // namespace

class tst_Storage : public QObject, protected SandboxFixture
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tools;

    void setListing(const QString &listing, const QByteArray &content)
    {
        const QString path = m_tools->filePath(listing);
        QFile::remove(path);
        if (content.isNull())
            return;
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), qint64(content.size()));
    }

    QStringList lsblkCalls() const
    {
        QFile file(m_tools->filePath(QStringLiteral("calls")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(BusOnly, &error), qPrintable(error));

        m_tools = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tools->isValid());
        QVERIFY(testhelpers::installFake(QStringLiteral("lsblk"), m_tools->filePath(QStringLiteral("lsblk"))));
        facts::setCommandPathForTests(m_tools->path() + QLatin1Char(':') + QLatin1String(facts::commandPath));

        g_previousHandler = qInstallMessageHandler(collectMessage);
        QLoggingCategory::setFilterRules(QLatin1String(AgentCategory) + QStringLiteral(".warning=true"));
    }

    void init()
    {
        QFile::remove(m_tools->filePath(QStringLiteral("calls")));
        setListing(QStringLiteral("json"), QByteArray());
        setListing(QStringLiteral("pairs"), QByteArray());
        g_messages.clear();
    }

    void collectorLoadsOnceAfterSuccess()
    {
        SystemInfo info;
        BlockDeviceCollector *collector = info.blockDeviceCollector();
        QVERIFY(collector);
        g_messages.clear();

        QCOMPARE(collector->systemDiskName(), QString());
        QCOMPARE(collector->deviceTable().size(), 0);
        QCOMPARE(lsblkCalls(), (QStringList{jsonArguments, jsonArguments}));
        QCOMPARE(g_messages, QStringList());

        setListing(QStringLiteral("json"), "lsblk: /dev/sdq: not a block device\n");
        QCOMPARE(collector->systemPartitionName(), QString());
        QCOMPARE(g_messages, QStringList{QStringLiteral("JSON error 5")});
        QCOMPARE(lsblkCalls().size(), 3);

        setListing(QStringLiteral("json"), fixture(QStringLiteral("nvme-laptop"), QStringLiteral("json")));
        QCOMPARE(collector->systemPartitionName(), QStringLiteral("nvme0n1p2"));
        QCOMPARE(collector->systemDiskName(), QStringLiteral("nvme0n1"));
        QCOMPARE(collector->systemDiskModelSerial(), QStringLiteral("Samsung SSD 970 EVO Plus 1TB_S4EWNX0R123456A"));
        QCOMPARE(collector->deviceTable().size(), 6);
        // /dev/nvme0n1 does not exist here, so the identify read has nothing to open.
        QCOMPARE(collector->ataIdentity(), QString());
        QCOMPARE(lsblkCalls().size(), 4);

        setListing(QStringLiteral("json"), fixture(QStringLiteral("lvm-desktop"), QStringLiteral("json")));
        QCOMPARE(collector->systemDiskName(), QStringLiteral("nvme0n1"));
        QCOMPARE(lsblkCalls().size(), 4);
    }

    void systemDiskIdCompact_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected");

        const auto json = [](const char *machine) { return fixture(QString::fromLatin1(machine), QStringLiteral("json")); };
        QTest::newRow("nvme-laptop")      << json("nvme-laptop") << "SamsungSSD970EVOPlus1TBS4EWNX0R123456A";
        QTest::newRow("lvm-desktop")      << json("lvm-desktop") << "WDCWD10EZEX08WN4A0WDWCC6Y5RLZ1Y3";
        QTest::newRow("raid-server")      << json("raid-server") << "ST4000NM00351V4107ZC1D4E5F";
        QTest::newRow("netboot-two-boot") << json("netboot-two-boot") << "INTELSSDSC2KB240G8PHYF123400AB240AGN";
        QTest::newRow("null model/serial") << json("kvm-guest") << "";
        QTest::newRow("nothing mounted")  << json("rescue-shell") << "";
        QTest::newRow("only four kinds removed")
            << QByteArray(R"({"blockdevices":[{"name":"sda","type":"disk","model":"Ab.c-D_e f+G","serial":"x/y:Z","mountpoint":"/"}]})")
            << "AbcDef+Gx/y:Z";
        QTest::newRow("no listing")       << QByteArray() << "";
    }

    void systemDiskIdCompact()
    {
        QFETCH(QByteArray, json);
        setListing(QStringLiteral("json"), json);
        SystemInfo info;
        QTEST(info.systemDiskIdCompact(), "expected");
    }

    void systemDiskNameByPairs_data()
    {
        QTest::addColumn<QByteArray>("pairs");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("message");

        const auto pairs = [](const char *machine) { return fixture(QString::fromLatin1(machine), QStringLiteral("pairs")); };
        const QString mounted = QStringLiteral("MountpointInfo: ");
        const QString first = QStringLiteral("First diskInfo: ");

        QTest::newRow("pass 1: root partition") << pairs("nvme-laptop") << "nvme0n1"
            << mounted + pairsRow("nvme0n1", "nvme0n1p2", "part", "/");
        QTest::newRow("pass 2: root on LVM, /boot") << pairs("lvm-desktop") << "sda"
            << mounted + pairsRow("sda", "sda1", "part", "/boot");
        QTest::newRow("pass 2: root on loop, /host") << pairs("live-usb") << "sda"
            << mounted + pairsRow("sda", "sda2", "part", "/host");
        QTest::newRow("pass 2: first of two /boot") << pairs("netboot-two-boot") << "sda"
            << mounted + pairsRow("sda", "sda1", "part", "/boot");
        QTest::newRow("pass 3: root on RAID") << pairs("raid-server") << "sda"
            << first + pairsRow("", "sda", "disk", "");
        QTest::newRow("pass 3: whole disk as root") << pairs("kvm-guest") << "zram0"
            << first + pairsRow("", "zram0", "disk", "[SWAP]");
        QTest::newRow("pass 3: nothing mounted") << pairs("rescue-shell") << "sda"
            << first + pairsRow("", "sda", "disk", "");
        QTest::newRow("pass 1: dash in parent") << pairs("san-server") << "mpath-sys"
            << mounted + pairsRow("mpath-sys", "mpath-sys1", "part", "/");
        QTest::newRow("pass 1: upper-case TYPE") << pairs("arm-board") << "mmcblk0"
            << mounted + pairsRow("mmcblk0", "mmcblk0p2", "PART", "/");
        QTest::newRow("pass 3: /BOOT is no /boot")
            << QByteArray("PKNAME=\"sda\" NAME=\"sda1\" TYPE=\"part\" MOUNTPOINT=\"/BOOT\"\nPKNAME=\"\" NAME=\"sda\" TYPE=\"DISK\" MOUNTPOINT=\"\"\n")
            << "sda" << first + pairsRow("", "sda", "DISK", "");
        QTest::newRow("blank cuts the mount point")
            << QByteArray("PKNAME=\"sdc\" NAME=\"sdc1\" TYPE=\"part\" MOUNTPOINT=\"/ backup\"\n")
            << "sdc" << mounted + pairsRow("sdc", "sdc1", "part", "/");
        QTest::newRow("output ends at NUL")
            << QByteArray("PKNAME=\"sda\" NAME=\"sda1\" TYPE=\"part\" MOUNTPOINT=\"/boot\"\n") + QByteArray(1, '\0')
                   + "PKNAME=\"sdb\" NAME=\"sdb1\" TYPE=\"part\" MOUNTPOINT=\"/\"\n"
            << "sda" << mounted + pairsRow("sda", "sda1", "part", "/boot");
        QTest::newRow("no match") << pairs("thin-client") << ""
            << QStringLiteral("Can't find mountDiskName: (%1, %2)")
                   .arg(pairsRow("", "loop0", "loop", "/"), pairsRow("", "sr0", "rom", "/BOOT"));
        QTest::newRow("lsblk fails") << QByteArray() << "" << "Can't find mountDiskName: ()";
    }

    void systemDiskNameByPairs()
    {
        QFETCH(QByteArray, pairs);
        QFETCH(QString, message);
        setListing(QStringLiteral("pairs"), pairs);
        SystemInfo info;
        g_messages.clear();
        QTEST(info.systemDiskNameByPairs(), "expected");
        QTEST(info.systemDiskNameByPairs(), "expected");
        QCOMPARE(g_messages, (QStringList{message, message}));
        QCOMPARE(lsblkCalls(), (QStringList{pairsArguments, pairsArguments}));
    }

    void udisks_data()
    {
        QTest::addColumn<QByteArray>("pairs");
        QTest::addColumn<QStringList>("fake");
        QTest::addColumn<QString>("blockId");
        QTest::addColumn<QString>("driveId");

        const auto pairs = [](const char *machine) { return fixture(QString::fromLatin1(machine), QStringLiteral("pairs")); };
        const QStringList laptop{"--block", "sda=Cruzer=by-id-usb-SanDisk_Cruzer",
                                 "--block", "nvme0n1=Samsung_970=by-id-nvme-Samsung_SSD_970_EVO_Plus_1TB_S4EWNX0R123456A",
                                 "--drive", "Cruzer=SanDisk-Cruzer",
                                 "--drive", "Samsung_970=Samsung SSD-970.EVO_Plus 1TB-S4EWNX0R123456A"};
        QTest::newRow("found") << pairs("nvme-laptop") << laptop
            << "by-id-nvme-Samsung_SSD_970_EVO_Plus_1TB_S4EWNX0R123456A" << "SamsungSSD970EVOPlus1TBS4EWNX0R123456A";
        QTest::newRow("dash in name")
            << pairs("san-server")
            << QStringList{"--block", "mpath_2dsys=MSA=by-id-dm-name-mpath-sys", "--drive", "MSA=MSA-2040-SAN"}
            << "" << "";
        QTest::newRow("block without drive")
            << pairs("kvm-guest") << QStringList{"--block", "zram0==zram-swap"} << "zram-swap" << "";
        QTest::newRow("drive object missing")
            << pairs("rescue-shell") << QStringList{"--block", "sda=Gone=by-id-ata-TOSHIBA"} << "by-id-ata-TOSHIBA" << "";
        QTest::newRow("no system disk") << pairs("thin-client") << laptop << "" << "";
        QTest::newRow("UTF-8 read as Latin-1")
            << pairs("nvme-laptop")
            << QStringList{"--block", QString::fromUtf8("nvme0n1=D=Disk_\xc3\xa9"), "--drive", QString::fromUtf8("D=Disk \xc3\xa9")}
            << QString::fromLatin1("Disk_\xc3\xa9") << QString::fromUtf8("Disk\xc3\xa9");
        QTest::newRow("UDisks2 absent") << pairs("nvme-laptop") << QStringList() << "" << "";
    }

    void udisks()
    {
        QFETCH(QByteArray, pairs);
        QFETCH(QStringList, fake);
        setListing(QStringLiteral("pairs"), pairs);

        const QString name = QStringLiteral("org.freedesktop.UDisks2");
        QTRY_VERIFY(!serviceRegistered(name));
        std::unique_ptr<FakeUdisks> udisks;
        if (!fake.isEmpty()) {
            udisks = std::make_unique<FakeUdisks>();
            QVERIFY2(udisks->start(fake), udisks->errors().constData());
        }

        SystemInfo info;
        g_messages.clear();
        g_otherMessages.clear();
        QTEST(info.udisksBlockId(), "blockId");
        QTEST(info.udisksDriveId(), "driveId");
        QCOMPARE(lsblkCalls().size(), 2);
        QCOMPARE(g_messages.size(), 2);
        for (const QString &message : std::as_const(g_messages))
            QVERIFY2(message.startsWith(QLatin1String("MountpointInfo: ")) || message.startsWith(QLatin1String("First diskInfo: "))
                         || message.startsWith(QLatin1String("Can't find mountDiskName: ")),
                     qPrintable(message));
        QCOMPARE(g_otherMessages, QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_Storage)
#include "tst_storage.moc"
