// SPDX-License-Identifier: GPL-3.0-or-later
//
// kvo-sysinfo on the machine the tests run on: the values differ from machine to machine, so
// the JSON is checked for its shape.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

class tst_KvoSysinfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void printsEveryFactInOrder_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("compact") << QStringList();
        QTest::newRow("pretty") << QStringList{QStringLiteral("--pretty")};
    }

    void printsEveryFactInOrder()
    {
        QFETCH(QStringList, arguments);
        QProcess tool;
        tool.start(QStringLiteral(KVO_SYSINFO_PATH), arguments);
        QVERIFY(tool.waitForFinished(180000));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 0);
        const QByteArray out = tool.readAllStandardOutput();

        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(out, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QVERIFY(doc.isObject());
        const QJsonObject facts = doc.object();

        const QStringList order = {
            "osVersion", "oemVersion", "boardInfo", "cpuInfo", "installTime", "raidState", "vmState",
            "macAddress", "activeMacAddress", "systemDiskName", "systemPartitionName",
            "systemDiskModelSerial", "systemDiskIdCompact", "systemDiskNameByPairs", "ataIdentity",
            "udisksBlockId", "udisksDriveId",
        };
        QCOMPARE(facts.keys().size(), order.size());
        // Top-level keys as they stand in the text; nested objects hold no keys of these names.
        QStringList seen;
        const QRegularExpression key(QStringLiteral("\"([A-Za-z]+)\"\\s*:"));
        for (auto it = key.globalMatch(QString::fromUtf8(out)); it.hasNext();) {
            const QString name = it.next().captured(1);
            if (order.contains(name))
                seen.append(name);
        }
        QCOMPARE(seen, order);

        QVERIFY(facts.value(QStringLiteral("osVersion")).isObject());
        QVERIFY(facts.value(QStringLiteral("oemVersion")).isObject());
        for (const char *state : {"raidState", "vmState"}) {
            const int value = facts.value(QLatin1String(state)).toInt();
            QVERIFY2(value == 1 || value == 2, state);
        }
        for (const QString &name : order.mid(7))
            QVERIFY2(facts.value(name).isString(), qPrintable(name));
        const QString install = facts.value(QStringLiteral("installTime")).toString();
        QVERIFY2(install.isEmpty() || install.startsWith(QLatin1String("1_")) || install.startsWith(QLatin1String("2_")),
                 qPrintable(install));
        QVERIFY(!install.contains(QLatin1Char('\n')));

        // Hardware addresses reach standard error only in the protected form.
        const QString mac = facts.value(QStringLiteral("macAddress")).toString();
        const QByteArray err = tool.readAllStandardError();
        for (const QString &address : mac.split(QLatin1Char(','), Qt::SkipEmptyParts))
            QVERIFY2(!err.contains(address.toUtf8()), qPrintable(address));
    }
};

QTEST_GUILESS_MAIN(tst_KvoSysinfo)
#include "tst_kvosysinfo.moc"
