// SPDX-License-Identifier: GPL-3.0-or-later
//
// kvo-sysinfo on the machine the tests run on: the values differ from machine to machine, so
// the JSON is checked for its shape. With fake tools first on the commands' PATH, which only the
// tests' build of the tool (kvo-sysinfo-testpath) takes from KVO_TEST_COMMAND_PATH, the values
// are known.
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString fixture(const QString &machine, const QString &name)
{
    return QStringLiteral(KVO_FIXTURES_DIR "/") + machine + QLatin1Char('/') + name;
}

// Standard error without the time stamps and with protected values cut to their marker (they
// differ from run to run), sorted: lines of facts gathered side by side may come in any order.
QStringList comparableLines(const QByteArray &err)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d, [\\d:.]+ "));
    static const QRegularExpression protectedValue(QStringLiteral("LicenseLogEncryptSign[A-Za-z0-9+/=]*"));
    QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line.remove(stamp).replace(protectedValue, QStringLiteral("LicenseLogEncryptSign"));
    lines.sort();
    return lines;
}

} // namespace

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

    // Facts are gathered side by side; whichever command ends first, each value lands under its
    // own key, the keys keep their order, and standard error holds the same lines.
    void sameFactsWhicheverToolIsSlow()
    {
        QTemporaryDir tools;
        QVERIFY(tools.isValid());
        // Recorded outputs, after a pause for the tool the file "slow" names.
        const auto install = [&](const char *tool, const char *machine) {
            return testhelpers::installRecordedTool(tools.path(), QLatin1String(tool), QLatin1String(machine));
        };
        QVERIFY(install("dmidecode", "server-raid-2socket"));
        QVERIFY(install("lspci", "server-raid-2socket"));
        QVERIFY(install("systemd-detect-virt", "server-raid-2socket"));
        QVERIFY(install("dumpe2fs", "desktop-ext4"));
        // lsblk answers with the listing of one machine and the pairs of another.
        const QString lsblkMachine = tools.filePath(QStringLiteral("lsblk.machine"));
        QVERIFY(QDir().mkpath(lsblkMachine));
        QVERIFY(QFile::link(fixture("desktop-ext4", "lsblk-json.txt"), lsblkMachine + QStringLiteral("/lsblk-json.txt")));
        QVERIFY(QFile::link(fixture("nvme-laptop", "lsblk-pairs.txt"), lsblkMachine + QStringLiteral("/lsblk-pairs.txt")));
        QVERIFY(testhelpers::installFake(QStringLiteral("recorded-tool"), tools.filePath(QStringLiteral("lsblk"))));

        const QList<QPair<QString, QString>> known = {
            {QStringLiteral("boardInfo"), QStringLiteral("RW2UServerR740#SN#4c4c4544-0046-3310-804b-b7c04f395132#")},
            {QStringLiteral("cpuInfo"), QStringLiteral("54060500FFFBEBBF#Intel(R)Xeon(R)Silver4116CPU@2.10GHz#"
                                                       "54060500FFFBEBBF#Intel(R)Xeon(R)Silver4116CPU@2.10GHz#")},
            {QStringLiteral("installTime"), QStringLiteral("1_       Tue Mar  7 10:15:02 2023")},
            {QStringLiteral("systemDiskName"), QStringLiteral("nvme0n1")},
            {QStringLiteral("systemPartitionName"), QStringLiteral("nvme0n1p2")},
            {QStringLiteral("systemDiskModelSerial"), QStringLiteral("Samsung SSD 970 EVO Plus 500GB_S4EWNX0R123456A")},
            {QStringLiteral("systemDiskIdCompact"), QStringLiteral("SamsungSSD970EVOPlus500GBS4EWNX0R123456A")},
            {QStringLiteral("systemDiskNameByPairs"), QStringLiteral("nvme0n1")},
        };

        QByteArray firstOut;
        QStringList firstErr;
        const QStringList slowTools = {QString(), QStringLiteral("dmidecode"), QStringLiteral("lspci"),
                                       QStringLiteral("systemd-detect-virt"), QStringLiteral("lsblk"),
                                       QStringLiteral("dumpe2fs")};
        for (const QString &slow : slowTools) {
            QVERIFY(testhelpers::writeFile(tools.filePath(QStringLiteral("slow")), slow.toUtf8()));
            QProcess tool;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("KVO_TEST_COMMAND_PATH"), tools.path() + QStringLiteral(":/usr/sbin:/usr/bin:/sbin:/bin"));
            tool.setProcessEnvironment(environment);
            tool.start(QStringLiteral(KVO_SYSINFO_TESTPATH_PATH), QStringList());
            QVERIFY(tool.waitForFinished(180000));
            QCOMPARE(tool.exitCode(), 0);
            const QByteArray out = tool.readAllStandardOutput();
            const QStringList err = comparableLines(tool.readAllStandardError());

            const QJsonObject facts = QJsonDocument::fromJson(out).object();
            for (const auto &[key, value] : known)
                QCOMPARE(facts.value(key).toString(), value);
            QCOMPARE(facts.value(QStringLiteral("raidState")).toInt(), 1);
            if (slow.isEmpty()) {
                firstOut = out;
                firstErr = err;
            } else {
                QCOMPARE(out, firstOut);
                QCOMPARE(err, firstErr);
            }
        }
    }

    // The installed tool runs its commands on its own PATH with nothing of its caller's
    // environment: fake tools first on the caller's PATH, the variable the tests' build reads,
    // BASH_ENV and an exported function all stay unused. The same fakes answer the tests' build.
    void callerEnvironmentReachesNoCommand()
    {
        QTemporaryDir tools;
        QVERIFY(tools.isValid());
        for (const char *name : {"dmidecode", "lspci", "systemd-detect-virt", "dumpe2fs"})
            QVERIFY(testhelpers::installRecordedTool(tools.path(), QLatin1String(name), QStringLiteral("server-raid-2socket")));
        const QString marker = tools.filePath(QStringLiteral("bash-env-ran"));
        const QString script = tools.filePath(QStringLiteral("bash-env"));
        QVERIFY(testhelpers::writeFile(script, "echo x >> '" + QFile::encodeName(marker) + "'\n"));

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), tools.path() + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
        environment.insert(QStringLiteral("KVO_TEST_COMMAND_PATH"), tools.path() + QStringLiteral(":/usr/sbin:/usr/bin:/sbin:/bin"));
        environment.insert(QStringLiteral("BASH_ENV"), script);
        environment.insert(QStringLiteral("BASH_FUNC_lspci%%"), QStringLiteral("() { echo 'RAID bus controller: from the caller'; }"));
        const QString board = QStringLiteral("RW2UServerR740#SN#4c4c4544-0046-3310-804b-b7c04f395132#");

        QProcess installed;
        installed.setProcessEnvironment(environment);
        installed.start(QStringLiteral(KVO_SYSINFO_PATH), QStringList());
        QVERIFY(installed.waitForFinished(180000));
        QCOMPARE(installed.exitCode(), 0);
        const QJsonObject facts = QJsonDocument::fromJson(installed.readAllStandardOutput()).object();
        QVERIFY(!facts.isEmpty());
        QCOMPARE(testhelpers::readFileOrMark(tools.filePath(QStringLiteral("calls"))), QByteArray("<unreadable>"));
        QVERIFY(!QFile::exists(marker));
        QVERIFY(facts.value(QStringLiteral("boardInfo")).toString() != board);

        // The fixture does reach the commands of the tests' build, and through them the fakes.
        QProcess testBuild;
        testBuild.setProcessEnvironment(environment);
        testBuild.start(QStringLiteral(KVO_SYSINFO_TESTPATH_PATH), QStringList());
        QVERIFY(testBuild.waitForFinished(180000));
        QCOMPARE(testBuild.exitCode(), 0);
        const QJsonObject faked = QJsonDocument::fromJson(testBuild.readAllStandardOutput()).object();
        QCOMPARE(faked.value(QStringLiteral("boardInfo")).toString(), board);
        QVERIFY(testhelpers::readFile(tools.filePath(QStringLiteral("calls"))).contains("dmidecode -t 1"));
        QVERIFY(!QFile::exists(marker));
    }
};

QTEST_GUILESS_MAIN(tst_KvoSysinfo)
#include "tst_kvosysinfo.moc"
