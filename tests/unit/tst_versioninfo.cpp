// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/versioninfo.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
QStringList g_messages;
void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_messages.append(message);
}
} // namespace

class tst_VersionInfo : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString write(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private Q_SLOTS:
    void init()
    {
        g_messages.clear();
        qInstallMessageHandler(collect);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void osRecord()
    {
        const QString path = write(QStringLiteral("os-version"),
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
        OsVersionInfo os(path);
        QVERIFY(os.isEmpty());
        QCOMPARE(os.majorVersion(), QString());
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
        QCOMPARE(g_messages, QStringList());
    }

    void nothingLoaded_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("keys in another group") << QByteArray("[Other]\nMajorVersion=23\n");
        QTest::newRow("keys in no group") << QByteArray("MajorVersion=23\n");
        QTest::newRow("group empty") << QByteArray("[Version]\n");
        QTest::newRow("empty file") << QByteArray();
    }

    void nothingLoaded()
    {
        QFETCH(QByteArray, content);
        OsVersionInfo os(write(QStringLiteral("os-version"), content));
        os.reload();
        QVERIFY(os.isEmpty());
        QCOMPARE(os.majorVersion(), QString());
        QCOMPARE(g_messages, QStringList());
    }

    void missingFileWarnsAndReloadDropsOldValues()
    {
        const QString path = write(QStringLiteral("os-version"), "[Version]\nMajorVersion=23\n");
        OsVersionInfo os(path);
        os.reload();
        QCOMPARE(os.majorVersion(), QStringLiteral("23"));
        QVERIFY(QFile::remove(path));
        QVERIFY(!os.exists());
        g_messages.clear();
        os.reload();
        QVERIFY(os.isEmpty());
        QCOMPARE(os.majorVersion(), QString());
        QCOMPARE(g_messages, QStringList{QStringLiteral("\"%1\"  non-existent.").arg(path)});
    }

    void oemRecordIndependentOfOs()
    {
        OemVersionInfo oem(write(QStringLiteral("oem-version"),
                                 "[OEM-Version]\nManufacturer=Example\nBrand=Ex\nType=Laptop\n"));
        OsVersionInfo os(m_dir.filePath(QStringLiteral("missing-os-version")));
        os.reload();
        oem.reload();
        QVERIFY(os.isEmpty());
        QCOMPARE(oem.manufacturer(), QStringLiteral("Example"));
        QCOMPARE(oem.brand(), QStringLiteral("Ex"));
        QCOMPARE(oem.type(), QStringLiteral("Laptop"));
        QCOMPARE(g_messages.size(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_VersionInfo)
#include "tst_versioninfo.moc"
