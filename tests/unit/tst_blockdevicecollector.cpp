// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/blockdevicecollector.h"
#include "agent/sysinfo/sysutils.h"
#include "testhelpers.h"

#include <QFile>
#include <QJsonParseError>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using Row = QMap<QString, QString>;
using Rows = QList<Row>;
Q_DECLARE_METATYPE(Rows)

using namespace testhelpers;

namespace {

QString fixture(const QString &machine)
{
    QFile file(QStringLiteral(KVO_FIXTURES_DIR "/%1/lsblk-json.txt").arg(machine));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll());
}

QStringList flagged(const QMap<QString, BlockDeviceRecord> &devices)
{
    QStringList names;
    for (const BlockDeviceRecord &record : devices) {
        if (record.onSystemMount)
            names.append(record.name);
    }
    return names;
}

// An identify block with the model and serial fields filled from the given bytes.
QByteArray identityBlock(const QByteArray &model, const QByteArray &serial, char filler = 'x')
{
    QByteArray block(512, filler);
    block.replace(54, 40, model.leftJustified(40, '\0', true));
    block.replace(20, 20, serial.leftJustified(20, '\0', true));
    return block;
}

QString nested(int depth)
{
    QString json = QStringLiteral("{\"blockdevices\":[{\"name\":\"sda\",\"type\":\"disk\"");
    for (int i = 0; i < depth; ++i)
        json += QStringLiteral(",\"children\":[{\"name\":\"d%1\",\"type\":\"%2\"").arg(i).arg(i < 2 ? "part" : "lvm");
    json += QStringLiteral(",\"mountpoint\":\"/\"");
    for (int i = 0; i < depth; ++i)
        json += QStringLiteral("}]");
    return json + QStringLiteral("}]}");
}

} // namespace

class tst_BlockDeviceCollector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        g_previousHandler = qInstallMessageHandler(collectMessage);
        QLoggingCategory::setFilterRules(logRule("warning=true"));
    }

    void init() { g_messages.clear(); }

    void machines_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<QString>("diskName");
        QTest::addColumn<QString>("partition");
        QTest::addColumn<QString>("modelSerial");
        QTest::addColumn<QStringList>("flagged");
        QTest::addColumn<QStringList>("warnings");

        QTest::newRow("root on nvme0n1p2, /boot on nvme0n1p1")
            << "nvme-laptop" << "nvme0n1" << "nvme0n1p2" << "Samsung SSD 970 EVO Plus 1TB_S4EWNX0R123456A"
            << QStringList{"nvme0n1", "nvme0n1p1", "nvme0n1p2"} << QStringList{"diskMountName: \"nvme0n1\""};
        QTest::newRow("root on a logical volume in sda3")
            << "lvm-desktop" << "sda" << "sda3" << "WDC WD10EZEX-08WN4A0_WD-WCC6Y5RLZ1Y3"
            << QStringList{"sda", "sda1", "vg0-root"} << QStringList{"diskMountName: \"sda\""};
        QTest::newRow("root on a loop device, /host on sda2")
            << "live-usb" << "sda" << "loop0" << "_"
            << QStringList{"loop0"} << QStringList{"diskMountName: \"sda\""};
        QTest::newRow("root on RAID over two disks")
            << "raid-server" << "sdb" << "sdb1" << "ST4000NM0035-1V4107_ZC1D4E5F"
            << QStringList{"md0", "sda", "sdb"} << QStringList{"diskMountName: \"sdb\""};
        QTest::newRow("two /boot records, no root")
            << "netboot-two-boot" << "sdb" << "sdb1" << "INTEL SSDSC2KB240G8_PHYF123400AB240AGN"
            << QStringList{"sda", "sda1", "sdb", "sdb1"} << QStringList{"diskMountName: \"sdb\""};
        QTest::newRow("whole disk as root, null model and serial")
            << "kvm-guest" << "vda" << "" << "_"
            << QStringList{"vda"} << QStringList{"diskMountName: \"vda\""};
        QTest::newRow("nothing mounted")
            << "rescue-shell" << "" << "" << "_"
            << QStringList{} << QStringList{"get mount disk name is null!", "diskMountName: \"\""};
        QTest::newRow("multipath with dashes, listed under two paths")
            << "san-server" << "sdb" << "mpath-sys1" << "MSA 2040 SAN_00c0ff2a1b2c0000a1b2c3d402000000"
            << QStringList{"mpath-sys1", "mpath-sys2", "sda", "sdb"} << QStringList{"diskMountName: \"sdb\""};
    }

    void machines()
    {
        QFETCH(QString, machine);
        QFETCH(QString, diskName);
        QFETCH(QString, partition);
        QFETCH(QString, modelSerial);
        QFETCH(QStringList, flagged);
        QFETCH(QStringList, warnings);

        const QString json = fixture(machine);
        QVERIFY2(!json.isEmpty(), qPrintable(machine));
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(json);
        QVERIFY(g_messages.isEmpty());
        QCOMPARE(::flagged(collector.deviceTable()), flagged);

        QCOMPARE(collector.systemDiskName(), diskName);
        QCOMPARE(g_messages, warnings);
        g_messages.clear();

        QCOMPARE(collector.systemPartitionName(), partition);
        QCOMPARE(collector.systemPartitionName(), partition);
        QCOMPARE(collector.systemDiskModelSerial(), modelSerial);
        QCOMPARE(g_messages, QStringList());
    }

    void records_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parentName");
        QTest::addColumn<QString>("diskName");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("mountpoint");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("serial");

        QTest::newRow("top-level disk")    << "nvme-laptop" << "nvme0n1" << "" << "nvme0n1" << "disk" << "" << "Samsung SSD 970 EVO Plus 1TB" << "S4EWNX0R123456A";
        QTest::newRow("blank in mount")    << "nvme-laptop" << "sda1" << "sda" << "sda" << "part" << "/media/anna/USB STICK" << "" << "";
        QTest::newRow("logical volume")    << "lvm-desktop" << "vg0-root" << "sda3" << "sda" << "lvm" << "/" << "" << "";
        QTest::newRow("RAID: last listing") << "raid-server" << "md0" << "sdb1" << "sdb" << "raid1" << "/" << "" << "";
        QTest::newRow("multipath: last")   << "san-server" << "mpath-sys" << "sdb" << "sdb" << "mpath" << "" << "" << "";
        QTest::newRow("null fields")       << "kvm-guest" << "vda" << "" << "vda" << "disk" << "/" << "" << "";
    }

    void records()
    {
        QFETCH(QString, machine);
        QFETCH(QString, name);
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(fixture(machine));
        QVERIFY(collector.devices.contains(name));
        const BlockDeviceRecord record = collector.devices.value(name);
        QCOMPARE(record.name, name);
        QTEST(record.parentName, "parentName");
        QTEST(record.diskName, "diskName");
        QTEST(record.type, "type");
        QTEST(record.mountpoint, "mountpoint");
        QTEST(record.model, "model");
        QTEST(record.serial, "serial");
    }

    void partitionByMountKeepsBothKeys()
    {
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(fixture(QStringLiteral("lvm-desktop")));
        QCOMPARE(collector.systemPartitionName(), QStringLiteral("sda3"));
        const QMap<QString, QString> expected{{"/", "sda3"}, {"/boot", "sda1"}};
        QCOMPARE(collector.partitionByMount, expected);
    }

    void badListing_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<int>("error");

        const QString laptop = fixture(QStringLiteral("nvme-laptop"));
        QTest::newRow("tool error text")  << "lsblk: unknown column: MODELL" << int(QJsonParseError::IllegalValue);
        QTest::newRow("truncated")        << laptop.left(laptop.indexOf("},{") + 1) << int(QJsonParseError::UnterminatedArray);
        QTest::newRow("garbage after")    << laptop + "}" << int(QJsonParseError::GarbageAtEnd);
        QTest::newRow("too deep")         << nested(600) << int(QJsonParseError::DeepNesting);
        QTest::newRow("high bytes")       << QString::fromLatin1("\xff\xfe{") << int(QJsonParseError::IllegalValue);
    }

    void badListing()
    {
        QFETCH(QString, json);
        QFETCH(int, error);
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(json);
        QVERIFY(collector.devices.isEmpty());
        QCOMPARE(g_messages, QStringList{QStringLiteral("JSON error %1").arg(error)});
    }

    void listingWithoutDevices_data()
    {
        QTest::addColumn<QString>("json");
        QTest::newRow("top-level array")   << "[{\"name\":\"sda\"}]";
        QTest::newRow("no blockdevices")   << "{\"devices\":[{\"name\":\"sda\"}]}";
        QTest::newRow("blockdevices null") << "{\"blockdevices\":null}";
        QTest::newRow("empty array")       << "{\"blockdevices\":[]}";
    }

    void listingWithoutDevices()
    {
        QFETCH(QString, json);
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(json);
        QVERIFY(collector.devices.isEmpty());
        QVERIFY(g_messages.isEmpty());
    }

    void childrenNotAnArray_data()
    {
        QTest::addColumn<QString>("children");
        QTest::newRow("null")   << "null";
        QTest::newRow("string") << "\"sda1\"";
        QTest::newRow("object") << "{\"name\":\"sda1\",\"mountpoint\":\"/\"}";
        QTest::newRow("number") << "3";
        QTest::newRow("empty")  << "[]";
    }

    void childrenNotAnArray()
    {
        QFETCH(QString, children);
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(
            QStringLiteral("{\"blockdevices\":[{\"name\":\"sda\",\"type\":\"disk\",\"model\":\"M\",\"serial\":\"S\","
                           "\"mountpoint\":null,\"children\":%1}]}").arg(children));
        QCOMPARE(collector.devices.keys(), QStringList{QStringLiteral("sda")});
        QCOMPARE(collector.devices.value(QStringLiteral("sda")).onSystemMount, false);
        QCOMPARE(collector.systemDiskModelSerial(), QStringLiteral("M_S"));
    }

    void nonStringFields()
    {
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(QStringLiteral(
            "{\"blockdevices\":[{\"name\":\"sda\",\"serial\":12,\"type\":true,\"model\":[\"x\"],\"mountpoint\":{}}]}"));
        const BlockDeviceRecord record = collector.devices.value(QStringLiteral("sda"));
        QCOMPARE(record.serial, QString());
        QCOMPARE(record.type, QString());
        QCOMPARE(record.model, QString());
        QCOMPARE(record.mountpoint, QString());
        QCOMPARE(collector.systemDiskModelSerial(), QStringLiteral("_"));
    }

    void relistedDeviceReplacesFlag()
    {
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(QStringLiteral(
            "{\"blockdevices\":[{\"name\":\"sda\",\"type\":\"disk\",\"children\":[{\"name\":\"sda1\",\"type\":\"part\",\"mountpoint\":\"/\"}]},"
            "{\"name\":\"sda\",\"type\":\"disk\",\"model\":\"again\"}]}"));
        QCOMPARE(collector.devices.value(QStringLiteral("sda")).model, QStringLiteral("again"));
        QCOMPARE(collector.devices.value(QStringLiteral("sda")).onSystemMount, false);
        QCOMPARE(collector.devices.value(QStringLiteral("sda1")).onSystemMount, true);
    }

    // A listing that makes two devices each other's parent must not hang or overflow the stack.
    void parentCycle()
    {
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(QStringLiteral(
            "{\"blockdevices\":[{\"name\":\"a\",\"type\":\"part\",\"children\":[{\"name\":\"b\",\"type\":\"part\","
            "\"children\":[{\"name\":\"a\",\"type\":\"part\",\"mountpoint\":\"/\"}]}]}]}"));
        QCOMPARE(collector.devices.value(QStringLiteral("a")).parentName, QStringLiteral("b"));
        QCOMPARE(collector.devices.value(QStringLiteral("b")).parentName, QStringLiteral("a"));
        QCOMPARE(collector.systemPartitionName(), QStringLiteral("b"));
    }

    void deepTree()
    {
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(nested(500));
        QCOMPARE(g_messages, QStringList());
        QCOMPARE(collector.devices.size(), 501);
        QCOMPARE(collector.devices.value(QStringLiteral("d499")).diskName, QStringLiteral("sda"));
        QCOMPARE(collector.devices.value(QStringLiteral("d499")).parentName, QStringLiteral("d498"));
        QCOMPARE(collector.systemPartitionName(), QStringLiteral("d0"));
        QCOMPARE(collector.systemDiskName(), QStringLiteral("sda"));
    }

    void largeListing()
    {
        QString json = QStringLiteral("{\"blockdevices\":[");
        for (int i = 0; i < 20000; ++i) {
            json += QStringLiteral("{\"name\":\"sd%1\",\"type\":\"disk\",\"model\":\"m%1\",\"serial\":\"s%1\","
                                   "\"children\":[{\"name\":\"sd%1p1\",\"type\":\"part\",\"mountpoint\":%2}]},")
                        .arg(i, 5, 10, QLatin1Char('0'))
                        .arg(i == 12345 ? QStringLiteral("\"/\"") : QStringLiteral("null"));
        }
        json.chop(1);
        json += QStringLiteral("]}");
        BlockDeviceCollector collector;
        collector.loadDeviceTableFromJson(json);
        QCOMPARE(collector.devices.size(), 40000);
        QCOMPARE(collector.systemDiskName(), QStringLiteral("sd12345"));
        QCOMPARE(collector.systemPartitionName(), QStringLiteral("sd12345p1"));
        QCOMPARE(collector.systemDiskModelSerial(), QStringLiteral("m12345_s12345"));
    }

    void parseKeyValueLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Rows>("rows");

        QTest::newRow("one row")         << "PKNAME=\"sda\" NAME=\"sda1\" TYPE=\"part\" MOUNTPOINT=\"/\"\n"
                                         << Rows{{{"PKNAME", "sda"}, {"NAME", "sda1"}, {"TYPE", "part"}, {"MOUNTPOINT", "/"}}};
        QTest::newRow("empty value")     << "PKNAME=\"\" NAME=\"sda\"" << Rows{{{"PKNAME", ""}, {"NAME", "sda"}}};
        QTest::newRow("blank in value")  << "NAME=\"sdb1\" MOUNTPOINT=\"/media/USB STICK\" TYPE=\"part\""
                                         << Rows{{{"NAME", "sdb1"}, {"MOUNTPOINT", "/media/USB"}, {"TYPE", "part"}}};
        QTest::newRow("blank after /")   << "MOUNTPOINT=\"/ data\"" << Rows{{{"MOUNTPOINT", "/"}}};
        QTest::newRow("= in value")      << "NAME=\"a\" MOUNTPOINT=\"/a=b\"" << Rows{{{"NAME", "a"}}};
        QTest::newRow("doubled =")       << "A==\"b\"" << Rows{{{"A", "b"}}};
        QTest::newRow("no value")        << "A= B" << Rows{Row{}};
        QTest::newRow("later wins")      << "A=\"1\" A=\"2\"" << Rows{{{"A", "2"}}};
        QTest::newRow("blank line")      << "A=\"1\"\n   \nB=\"2\"" << Rows{{{"A", "1"}}, Row{}, {{"B", "2"}}};
        QTest::newRow("empty lines")     << "\n\nA=\"1\"\n\n" << Rows{{{"A", "1"}}};
        QTest::newRow("nothing")         << "" << Rows{};
        QTest::newRow("unquoted")        << "A=1" << Rows{{{"A", "1"}}};
    }

    void parseKeyValueLines()
    {
        QFETCH(QString, text);
        QFETCH(Rows, rows);
        QCOMPARE(::parseKeyValueLines(text), rows);
    }

    void unquote_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("quoted")       << "\"sda\"" << "sda";
        QTest::newRow("two quotes")   << "\"\"" << "";
        QTest::newRow("three quotes") << "\"\"\"" << "\"";
        QTest::newRow("one quote")    << "\"" << "\"";
        QTest::newRow("leading only") << "\"sda" << "sda";
        QTest::newRow("trailing")     << "sda\"" << "sda";
        QTest::newRow("plain")        << "sda" << "sda";
        QTest::newRow("one char")     << "a" << "a";
        QTest::newRow("empty")        << "" << "";
        QTest::newRow("inner quote")  << "\"a\"b\"" << "a\"b";
    }

    void unquote()
    {
        QFETCH(QString, value);
        QTEST(::unquote(value), "expected");
    }

    void ataIdentityFromBlock_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QString>("expected");

        const QByteArray model = QByteArray("ST1000LM035-1RK172").leftJustified(40, ' ');
        const QByteArray serial = QByteArray("WL1234AB").rightJustified(20, ' ');
        QTest::newRow("padded model and serial") << identityBlock(model, serial)
                                                 << QString::fromLatin1(model + serial);
        QTest::newRow("short serial")            << identityBlock(model, "WL12")
                                                 << QString::fromLatin1(model + "WL12");
        QTest::newRow("NUL in model cuts serial") << identityBlock("INTEL", serial) << "INTEL";
        QTest::newRow("empty model")             << identityBlock("", serial) << "";
        QTest::newRow("empty serial")            << identityBlock(model, "") << QString::fromLatin1(model);
        QTest::newRow("high bytes as Latin-1")   << identityBlock(QByteArray("Disk \xe9").leftJustified(40, ' '), "S\xb5")
                                                 << QString::fromLatin1(QByteArray("Disk \xe9").leftJustified(40, ' ') + "S\xb5");
        QTest::newRow("no NUL anywhere")         << QByteArray(512, 'A') << QString(60, QLatin1Char('A'));
        QTest::newRow("all zero")                << QByteArray(512, '\0') << "";
        QTest::newRow("short block")             << identityBlock(model, serial).left(100) << "";
        QTest::newRow("empty block")             << QByteArray() << "";
    }

    void ataIdentityFromBlock()
    {
        QFETCH(QByteArray, block);
        QTEST(::ataIdentityFromBlock(block), "expected");
    }

    void readAtaIdentityFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing node")  << "missing";
        QTest::newRow("regular file")  << "file";
        QTest::newRow("directory")     << "/dev/";
        QTest::newRow("char device")   << "/dev/null";
    }

    void readAtaIdentityFailures()
    {
        QFETCH(QString, kind);
        if (::getuid() != 0)
            QSKIP("without root the read returns at once, before the device is opened");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QString path = kind;
        if (kind == QLatin1String("missing")) {
            path = dir.filePath(QStringLiteral("sdz"));
        } else if (kind == QLatin1String("file")) {
            path = dir.filePath(QStringLiteral("sda"));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(identityBlock("MODEL", "SERIAL"));
        }
        QCOMPARE(readAtaIdentity(QFile::encodeName(path).constData()), QString());
        QCOMPARE(readAtaIdentity(nullptr), QString());
    }

    // The real lsblk of this machine, checked for shape only.
    void realMachine()
    {
        QString probe;
        if (!::executeCmd(QStringLiteral("command -v lsblk"), probe))
            QSKIP("no lsblk here");
        BlockDeviceCollector collector;
        const QMap<QString, BlockDeviceRecord> table = collector.deviceTable();
        QVERIFY(!table.isEmpty());
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            QCOMPARE(it.key(), it->name);
            QVERIFY2(table.contains(it->diskName), qPrintable(it->name));
            QVERIFY2(it->parentName.isEmpty() || table.contains(it->parentName), qPrintable(it->name));
        }
        const QString disk = collector.systemDiskName();
        QVERIFY(disk.isEmpty() || table.contains(disk));
        const QString partition = collector.systemPartitionName();
        QVERIFY(partition.isEmpty() || table.contains(partition));
        QVERIFY(collector.systemDiskModelSerial().contains(QLatin1Char('_')));
        QVERIFY(collector.ataIdentity().size() <= 60);
    }
};

QTEST_GUILESS_MAIN(tst_BlockDeviceCollector)
#include "tst_blockdevicecollector.moc"
