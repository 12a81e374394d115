// SPDX-License-Identifier: GPL-3.0-or-later
//
// Metadata and links: every replacement keeps the file's mode and owner, and a symbolic link
// planted anywhere in the data tree leads nothing to its target.
#include "reliability.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using namespace reliability;
using testhelpers::writeFile;

namespace {

const QString top = QDir::cleanPath(kvo::supportDirectory() + QStringLiteral("/.."));
const QString ini = QString::fromLatin1(supportDir);
const QString staging = kvo::stagingDirectory();
const QString outside = QStringLiteral("/tmp/outside");

struct Target
{
    const char *name;
    const char *method;
    const char *file; // below ini/
    int form;         // 0: ay, 1: ssayb false, 2: ssayb true, 3: ssay
};

const Target targets[] = {
    {"device tree", "updateDeviceTreeFile", "kvo-devicetree.json", 0},
    {"customer", "updateCustomFile", "customer.json", 0},
    {"QR code", "downloadQRCode", "QRCode/t/a.png", 1},
    {"QR code, clearing", "downloadQRCode", "QRCode/t/a.png", 2},
    {"QR code, three arguments", "downloadQRCode", "QRCode/t/a.png", 3},
};

QVariantList argumentsFor(int form, const QByteArray &data)
{
    switch (form) {
    case 0: return {data};
    case 1: return {QStringLiteral("t"), QStringLiteral("a.png"), data, false};
    case 2: return {QStringLiteral("t"), QStringLiteral("a.png"), data, true};
    default: return {QStringLiteral("t"), QStringLiteral("a.png"), data};
    }
}

// Every entry below dir with its type, mode, owner, size, modification time and content.
QStringList snapshot(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QString line = QStringLiteral("%1 %2 %3:%4 %5 %6.%7")
                           .arg(path).arg(st.st_mode, 0, 8).arg(st.st_uid).arg(st.st_gid).arg(st.st_size)
                           .arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode))
            line += QLatin1Char(' ') + QString::fromLatin1(readFile(path).toHex());
        else if (S_ISLNK(st.st_mode))
            line += QStringLiteral(" -> ") + QFileInfo(path).symLinkTarget();
        entries.append(line);
    }
    entries.sort();
    return entries;
}

} // namespace

class tst_Metadata : public QObject, protected SandboxFixture
{
    Q_OBJECT

private:

    static void call(const Target &target, const QByteArray &data)
    {
        const QDBusMessage reply = QDBusConnection::systemBus().call(
            agentCall(QLatin1String(target.method), argumentsFor(target.form, data)), QDBus::Block, 120000);
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(OwnPid | ReleaseFiles | ConfigService, &error), qPrintable(error));
    }

    void init()
    {
        QFile::remove(top);
        QDir(top).removeRecursively();
        QFile::remove(outside);
        QDir(outside).removeRecursively();
    }

    void modeAndOwnerKept_data()
    {
        QTest::addColumn<int>("target");
        QTest::addColumn<uint>("mode");
        QTest::addColumn<uint>("uid");
        QTest::addColumn<uint>("gid");
        const struct { const char *name; uint mode, uid, gid; } kinds[] = {
            {"0644 root", 0644, 0, 0},
            {"0600 root", 0600, 0, 0},
            {"0640 other owner", 0640, 4321, 4322},
            {"0444 read-only, nobody", 0444, 65534, 65534},
            {"0000", 0000, 4321, 4321},
            {"04755 set-user-id dropped, other owner", 04755, 4321, 4322},
            {"02750 set-group-id dropped, other group", 02750, 0, 4322},
            {"01777 sticky", 01777, 4321, 0},
        };
        for (int t = 0; t < int(std::size(targets)); ++t) {
            if (targets[t].form == 2)
                continue; // clearing removes the old file first: a new file, nothing to keep
            for (const auto &k : kinds)
                QTest::addRow("%s, %s", targets[t].name, k.name) << t << k.mode << k.uid << k.gid;
        }
    }

    // Several replacements in a row, each checked: the metadata must survive every one of
    // them, not only the first.
    void modeAndOwnerKept()
    {
        QFETCH(int, target);
        QFETCH(uint, mode);
        QFETCH(uint, uid);
        QFETCH(uint, gid);
        const Target &t = targets[target];
        const QString path = ini + QLatin1String(t.file);
        const QByteArray encoded = QFile::encodeName(path);
        QVERIFY(writeFile(path, "old"));
        QCOMPARE(::chown(encoded.constData(), uid, gid), 0);
        QCOMPARE(::chmod(encoded.constData(), mode), 0);

        AgentProcess agent;
        QVERIFY(agent.waitForName());
        for (int round = 0; round < 5; ++round) {
            const QByteArray data = payload(quint64(round + 1) << 32 | uint(target), round * 70000);
            call(t, data);
            struct stat st;
            QCOMPARE(::lstat(encoded.constData(), &st), 0);
            QVERIFY(S_ISREG(st.st_mode));
            // Set-user-ID and set-group-ID are dropped: the content is the caller's choice.
            QCOMPARE(uint(st.st_mode & 07777), mode & ~uint(S_ISUID | S_ISGID));
            QCOMPARE(uint(st.st_uid), uid);
            QCOMPARE(uint(st.st_gid), gid);
            QVERIFY(readFile(path) == data);
        }
        QCOMPARE(leftoverTemporaries(staging), QStringList());
    }

    void plantedLinkIsNeverFollowed_data()
    {
        QTest::addColumn<int>("target");
        QTest::addColumn<QString>("where");
        const char *places[] = {"file", "QRCode", "type", "ini", "top", "staging", "temporary"};
        for (const char *place : places) {
            for (int t = 0; t < int(std::size(targets)); ++t)
                QTest::newRow(QByteArray(place).append(" link, ").append(targets[t].name).constData())
                    << t << QString::fromLatin1(place);
        }
    }

    // outside/ holds a file under every name a followed link could lead a write to; after
    // a start of the agent (which tidies the tree) and a call, it must be exactly as it was.
    void plantedLinkIsNeverFollowed()
    {
        QFETCH(int, target);
        QFETCH(QString, where);
        const Target &t = targets[target];
        const QStringList bait = {
            "victim", "customer.json", "kvo-devicetree.json", "a.png", "t/a.png", "QRCode/t/a.png",
            "ini/customer.json", "ini/kvo-devicetree.json", "ini/QRCode/t/a.png", ".kvo-tmp-bait",
            "t/.kvo-tmp-bait", "QRCode/t/.kvo-tmp-bait", "ini/.kvo-tmp-bait",
        };
        for (const QString &name : bait)
            QVERIFY(writeFile(outside + QLatin1Char('/') + name, "precious " + name.toLatin1()));
        QVERIFY(QDir().mkpath(ini + QStringLiteral("QRCode/t")));

        const auto plant = [](const QString &link, const QString &to) {
            QFile::remove(link);
            QDir(link).removeRecursively();
            QDir().mkpath(QFileInfo(link).path());
            return QFile::link(to, link);
        };
        if (where == QLatin1String("file")) {
            QVERIFY(plant(ini + QLatin1String(t.file), outside + QStringLiteral("/victim")));
        } else if (where == QLatin1String("QRCode")) {
            QVERIFY(plant(ini + QStringLiteral("QRCode"), outside));
        } else if (where == QLatin1String("type")) {
            QVERIFY(plant(ini + QStringLiteral("QRCode/t"), outside));
        } else if (where == QLatin1String("ini")) {
            QVERIFY(plant(top + QStringLiteral("/ini"), outside));
        } else if (where == QLatin1String("top")) {
            QVERIFY(plant(top, outside));
        } else if (where == QLatin1String("staging")) {
            QVERIFY(plant(top + QStringLiteral("/staging"), outside));
        } else {
            QVERIFY(plant(staging + QStringLiteral(".kvo-tmp-0123456789abcdef"), outside + QStringLiteral("/victim")));
            QVERIFY(plant(staging + QStringLiteral(".kvo-tmp-dir"), outside));
        }
        const QStringList before = snapshot(outside);

        AgentProcess agent;
        QVERIFY(agent.waitForName());
        call(t, "new content");
        call(t, QByteArray(100000, 'n'));
        agent.stop();

        QCOMPARE(snapshot(outside), before);
        if (where == QLatin1String("file") || where == QLatin1String("temporary")) {
            // Inside the tree the call does its work; the link itself is replaced, not written through.
            const QString path = ini + QLatin1String(t.file);
            QVERIFY(!QFileInfo(path).isSymLink());
            QCOMPARE(readFile(path), QByteArray(100000, 'n'));
        }
    }
};

QTEST_GUILESS_MAIN(tst_Metadata)
#include "tst_metadata.moc"
