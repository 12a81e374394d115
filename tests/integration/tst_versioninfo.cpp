// SPDX-License-Identifier: GPL-3.0-or-later
//
// The release records on their own files, /etc/os-version and /etc/oem-version, which the
// sandbox makes throw-away.
#include "agent/sysinfo/versioninfo.h"
#include "testsupport.h"

#include <QFile>
#include <QTest>

using namespace testsupport;

namespace {
QStringList g_messages;
void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_messages.append(message);
}

void write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

const QString osFile = QStringLiteral("/etc/os-version");
const QString oemFile = QStringLiteral("/etc/oem-version");
} // namespace

class tst_VersionInfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY2(inSandbox(), "runs only inside sandbox-run, which owns /etc"); }
    void init()
    {
        QFile::remove(osFile);
        QFile::remove(oemFile);
        g_messages.clear();
        qInstallMessageHandler(collect);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void osRecord()
    {
        write(osFile,
            "[Version]\n"
            "SystemName=Corvid OS\n"
            "SystemName[zh_CN]=\xe7\xa7\x91\xe6\xb2\x83\n"
            "ProductType=Desktop\n"
            "ProductType[zh_CN]=\xe6\xa1\x8c\xe9\x9d\xa2\n"
            "EditionName=Professional\n"
            "EditionName[zh_CN]=\xe4\xb8\x93\xe4\xb8\x9a\xe7\x89\x88\n"
            "MajorVersion=23\n"
            "MinorVersion=0100\n"
            "OsBuild=21.103\n"
            "Codename=bookworm\n");
        OsVersionInfo os;
        QVERIFY(os.isEmpty());
        QCOMPARE(os.majorVersion(), QString());
        QVERIFY(os.exists());
        os.reload();
        QVERIFY(!os.isEmpty());
        QCOMPARE(os.systemName(), QStringLiteral("Corvid OS"));
        QCOMPARE(os.systemNameZh(), QString::fromUtf8("\xe7\xa7\x91\xe6\xb2\x83"));
        QCOMPARE(os.productType(), QStringLiteral("Desktop"));
        QCOMPARE(os.productTypeZh(), QString::fromUtf8("\xe6\xa1\x8c\xe9\x9d\xa2"));
        QCOMPARE(os.editionName(), QStringLiteral("Professional"));
        QCOMPARE(os.editionNameZh(), QString::fromUtf8("\xe4\xb8\x93\xe4\xb8\x9a\xe7\x89\x88"));
        QCOMPARE(os.majorVersion(), QStringLiteral("23"));
        QCOMPARE(os.minorVersion(), QStringLiteral("0100"));
        QCOMPARE(os.osBuild(), QStringLiteral("21.103"));
        // Keys without a getter are kept; letter case matters.
        QCOMPARE(os.value(QStringLiteral("Codename")), QStringLiteral("bookworm"));
        QCOMPARE(os.value(QStringLiteral("editionname")), QString());
        QCOMPARE(os.values.size(), 10);
        QCOMPARE(g_messages, QStringList());
    }

    void nothingLoaded_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("keys in another group") << QByteArray("[Other]\nMajorVersion=23\n");
        QTest::newRow("keys in no group") << QByteArray("MajorVersion=23\n");
        QTest::newRow("the other record's group") << QByteArray("[OEM-Version]\nMajorVersion=23\n");
        QTest::newRow("group empty") << QByteArray("[Version]\n");
        QTest::newRow("empty file") << QByteArray();
    }

    void nothingLoaded()
    {
        QFETCH(QByteArray, content);
        write(osFile, content);
        OsVersionInfo os;
        os.reload();
        QVERIFY(os.isEmpty());
        QCOMPARE(os.majorVersion(), QString());
        QCOMPARE(g_messages, QStringList());
    }

    void missingFileWarnsAndReloadDropsOldValues()
    {
        write(osFile, "[Version]\nMajorVersion=23\n");
        OsVersionInfo os;
        os.reload();
        QCOMPARE(os.majorVersion(), QStringLiteral("23"));
        QVERIFY(QFile::remove(osFile));
        g_messages.clear();
        QVERIFY(!os.exists());
        os.reload();
        QVERIFY(os.isEmpty());
        QCOMPARE(os.majorVersion(), QString());
        const QString warning = QStringLiteral("\"%1\"  non-existent.").arg(osFile);
        QCOMPARE(g_messages, QStringList({warning, warning}));
    }

    void oemRecordIndependentOfOs()
    {
        write(oemFile, "[OEM-Version]\nManufacturer=Example\nBrand=Ex\nType=Laptop\nSeries=X\n");
        OsVersionInfo os;
        OemVersionInfo oem;
        os.reload();
        oem.reload();
        QVERIFY(os.isEmpty());
        QVERIFY(oem.exists());
        QCOMPARE(oem.manufacturer(), QStringLiteral("Example"));
        QCOMPARE(oem.brand(), QStringLiteral("Ex"));
        QCOMPARE(oem.type(), QStringLiteral("Laptop"));
        QCOMPARE(oem.value(QStringLiteral("Series")), QStringLiteral("X"));
        QCOMPARE(g_messages, QStringList{QStringLiteral("\"%1\"  non-existent.").arg(osFile)});
    }
};

QTEST_GUILESS_MAIN(tst_VersionInfo)
#include "tst_versioninfo.moc"
