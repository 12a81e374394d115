// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/protectlogvalue.h"
#include "logkeytest.h"
#include "agent/sysinfo/commandrunner.h"
#include "agent/sysinfo/factconstants.h"
#include "agent/sysinfo/factparsers.h"
#include "agent/sysinfo/sysutils.h"
#include "testhelpers.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <csignal>
#include <memory>
#include <utility>

using factparsers::InterfaceEntry;
using Interfaces = QVector<InterfaceEntry>;
Q_DECLARE_METATYPE(Interfaces)

namespace {

const QByteArray Marker = logValueMarker;

QStringList messages;

void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    messages.append(message);
}

// Not from __FILE__: a package build maps source paths to relative ones.
QString sourceRoot()
{
    return QStringLiteral(KVO_FIXTURES_DIR "/../..");
}

QString fixture(const QString &machine, const QString &name)
{
    return sourceRoot() + QStringLiteral("/tests/fixtures/") + machine + QLatin1Char('/') + name;
}

// The plain text behind a protected value under the development key; "<undecryptable>" when
// this build protects under another key.
QByteArray reveal(const QByteArray &base64)
{
    static const QByteArray pem = testhelpers::readFile(sourceRoot() + QStringLiteral("/keys/log-dev-private.pem"));
    const QByteArray cipher = QByteArray::fromBase64(base64);
    return cipher.isEmpty() ? QByteArray("<undecryptable>") : logkeytest::decryptBlocks(pem, cipher);
}

// A deployment build protects under its own key; then values can only be checked for form.
bool canReveal()
{
    static const bool devKey = reveal(protectLogValue("probe").mid(Marker.size())) == "probe";
    return devKey;
}

// Each protected value of a log line, quoted as Qt writes a QByteArray, becomes {clear text}
// (or {?} when it cannot be revealed); any other quoted text is left as it is.
QString revealLine(const QString &line)
{
    static const QRegularExpression quoted(QStringLiteral("\"([^\"]*)\""));
    QString result;
    int at = 0;
    for (auto it = quoted.globalMatch(line); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        result += line.mid(at, match.capturedStart() - at);
        const QByteArray value = match.captured(1).toLatin1();
        if (value.startsWith(Marker)) {
            const QByteArray base64 = value.mid(Marker.size());
            const bool canonical = !base64.isEmpty() && QByteArray::fromBase64(base64).toBase64() == base64;
            if (!canonical)
                result += QStringLiteral("{not Base64}");
            else if (!canReveal())
                result += QStringLiteral("{?}");
            else
                result += QLatin1Char('{') + QString::fromUtf8(reveal(base64)) + QLatin1Char('}');
        } else {
            result += match.captured(0);
        }
        at = match.capturedEnd();
    }
    return result + line.mid(at);
}

QStringList hideValues(QStringList lines)
{
    static const QRegularExpression braces(QStringLiteral("\\{[^}]*\\}"));
    for (QString &line : lines)
        line.replace(braces, QStringLiteral("{?}"));
    return lines;
}

QStringList revealAll(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines)
        result.append(revealLine(line));
    return result;
}

QStringList expectedLines(const QStringList &lines)
{
    return canReveal() ? lines : hideValues(lines);
}

// The pipeline's own text, with its first tool replaced by cat of a recorded output.
QString onFixture(QString command, const QString &tool, const QString &path)
{
    command.replace(tool, QLatin1String("cat '") + path + QLatin1Char('\''));
    return command;
}

constexpr auto Up = QNetworkInterface::IsUp;
constexpr auto Running = QNetworkInterface::IsRunning;
constexpr auto Loop = QNetworkInterface::IsLoopBack;
const QNetworkInterface::InterfaceFlags Active = Up | Running | QNetworkInterface::CanBroadcast | QNetworkInterface::CanMulticast;
const QNetworkInterface::InterfaceFlags Down = QNetworkInterface::CanBroadcast | QNetworkInterface::CanMulticast;

const InterfaceEntry lo{QStringLiteral("lo"), QStringLiteral("00:00:00:00:00:00"), Up | Running | Loop};
const InterfaceEntry eth0{QStringLiteral("eth0"), QStringLiteral("3C:7C:3F:2A:91:D0"), Active};
const InterfaceEntry eth1{QStringLiteral("eth1"), QStringLiteral("3C:7C:3F:2A:91:D1"), Active};
const InterfaceEntry eth2{QStringLiteral("eth2"), QStringLiteral("3C:7C:3F:2A:91:D2"), Active};
const InterfaceEntry wlan0{QStringLiteral("wlan0"), QStringLiteral("A4:C3:F0:85:1B:2E"), Active};
const InterfaceEntry docker0{QStringLiteral("docker0"), QStringLiteral("02:42:AC:11:00:01"), Up | QNetworkInterface::CanBroadcast};
const InterfaceEntry veth0{QStringLiteral("veth7a1c"), QStringLiteral("6E:6F:C7:28:86:4B"), Active};
const InterfaceEntry br0{QStringLiteral("br0"), QStringLiteral("4E:E3:35:D7:1D:72"), Active};
const InterfaceEntry wwan0{QStringLiteral("wwan0"), QString(), Active};
const InterfaceEntry ib0{QStringLiteral("ib0"), QString(), Down};
const InterfaceEntry eth0Down{QStringLiteral("eth0"), QStringLiteral("3C:7C:3F:2A:91:D0"), Down};

} // namespace

class tst_SystemInfo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void dmiPipeline_data();
    void dmiPipeline();
    void joinDmiValues_data();
    void joinDmiValues();

    void installTime_data();
    void installTime();
    void installTimeCommand_data();
    void installTimeCommand();

    void probesOnRecordedOutput_data();
    void probesOnRecordedOutput();
    void virtualDecision_data();
    void virtualDecision();
    void raidDevices_data();
    void raidDevices();

    void virtualNamesFromListing_data();
    void virtualNamesFromListing();
    void chooseMacAddress_data();
    void chooseMacAddress();
    void firstActiveMacAddress_data();
    void firstActiveMacAddress();

    void listingRun_data();
    void listingRun();
    void listingFinishingLate();

private:
    QtMessageHandler m_previousHandler = nullptr;
};

void tst_SystemInfo::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    if (!canReveal())
        qWarning("the log key is not the development key: protected values are checked for form only");
}

void tst_SystemInfo::init()
{
    messages.clear();
    m_previousHandler = qInstallMessageHandler(collect);
}

void tst_SystemInfo::cleanup()
{
    qInstallMessageHandler(m_previousHandler);
}

void tst_SystemInfo::dmiPipeline_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    const QString board = facts::boardInfoCommand();
    const QString cpu = facts::cpuInfoCommand();
    QTest::newRow("board, placeholder name, blank serial") << board << "dmidecode -t 1" << fixture("desktop-ext4", "dmidecode-t1.txt")
                                                           << "SystemProductName##4a1c2e80-d7b3-11eb-8b6e-3c7c3f2a91d0#";
    QTest::newRow("board, serial with a colon")            << board << "dmidecode -t 1" << fixture("server-raid-2socket", "dmidecode-t1.txt")
                                                           << "RW2UServerR740#SN#4c4c4544-0046-3310-804b-b7c04f395132#";
    QTest::newRow("board, virtual machine")                << board << "dmidecode -t 1" << fixture("kvm-guest-btrfs", "dmidecode-t1.txt")
                                                           << "StandardPC(Q35+ICH9,2009)#NotSpecified#8d2f6c1e-3b9a-4e57-a0c4-61f2b7d9e803#";
    QTest::newRow("board, tool prints nothing")            << board << "dmidecode -t 1" << "/dev/null" << "";
    QTest::newRow("cpu, one socket")                       << cpu << "dmidecode -t 4" << fixture("desktop-ext4", "dmidecode-t4.txt")
                                                           << "55060A00FFFBEBBF#Intel(R)Core(TM)i7-10700CPU@2.90GHz#";
    QTest::newRow("cpu, two sockets")                      << cpu << "dmidecode -t 4" << fixture("server-raid-2socket", "dmidecode-t4.txt")
                                                           << "54060500FFFBEBBF#Intel(R)Xeon(R)Silver4116CPU@2.10GHz#"
                                                              "54060500FFFBEBBF#Intel(R)Xeon(R)Silver4116CPU@2.10GHz#";
    QTest::newRow("cpu, virtual machine")                  << cpu << "dmidecode -t 4" << fixture("kvm-guest-btrfs", "dmidecode-t4.txt")
                                                           << "110FA000FFFB8B07#pc-q35-7.2#";
    QTest::newRow("cpu, tool prints nothing")              << cpu << "dmidecode -t 4" << "/dev/null" << "";
}

void tst_SystemInfo::dmiPipeline()
{
    QFETCH(QString, command);
    QFETCH(QString, tool);
    QFETCH(QString, path);
    QFETCH(QString, expected);

    QVERIFY(command.startsWith(tool));
    QString output;
    executeCmd(onFixture(command, tool, path), output);
    QCOMPARE(factparsers::joinDmiValues(output), expected);
}

void tst_SystemInfo::joinDmiValues_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("expected");

    QTest::newRow("null")                 << QString()        << "";
    QTest::newRow("three values")         << "P\nS\nU\n"      << "P#S#U#";
    QTest::newRow("empty middle value")   << "P\n\nU\n"       << "P##U#";
    QTest::newRow("one empty line")       << "\n"             << "#";
    QTest::newRow("no final line end")    << "P\nS"           << "P#S";
    QTest::newRow("carriage return kept") << "P\r\n"          << "P\r#";
}

void tst_SystemInfo::joinDmiValues()
{
    QFETCH(QString, output);
    QFETCH(QString, expected);
    QCOMPARE(factparsers::joinDmiValues(output), expected);
}

void tst_SystemInfo::installTime_data()
{
    QTest::addColumn<bool>("fromDumpe2fs");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("expected");

    QTest::newRow("ext4, blanks kept")        << true  << "Filesystem created:       Tue Mar  7 10:15:02 2023\n"
                                              << "1_       Tue Mar  7 10:15:02 2023";
    QTest::newRow("ext4, no output")          << true  << QString() << "";
    QTest::newRow("label only once split")    << true  << "Filesystem created: A\nFilesystem created: B\n" << "1_ A";
    QTest::newRow("line without the label")   << true  << "garbage\n" << "1_";
    QTest::newRow("listing")                  << false << "2023-03-07 10:14:58\n" << "2_2023-03-07 10:14:58";
    QTest::newRow("listing empty")            << false << QString() << "2_";
    QTest::newRow("listing only a line end")  << false << "\n" << "2_";
}

void tst_SystemInfo::installTime()
{
    QFETCH(bool, fromDumpe2fs);
    QFETCH(QString, output);
    QFETCH(QString, expected);

    const QString result = fromDumpe2fs ? factparsers::installTimeFromDumpe2fs(output)
                                        : factparsers::installTimeFromListing(output);
    QCOMPARE(result, expected);
}

void tst_SystemInfo::installTimeCommand_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("command");

    QTest::newRow("nvme partition") << "nvme0n1p2"  << "dumpe2fs -h /dev/nvme0n1p2 | grep 'Filesystem created:'";
    QTest::newRow("dm name")        << "vg0-root"   << "dumpe2fs -h /dev/vg0-root | grep 'Filesystem created:'";
    QTest::newRow("command in name") << "x;touch pwned" << "dumpe2fs -h /dev/'x;touch pwned' | grep 'Filesystem created:'";
    QTest::newRow("substitution")   << "$(id)"      << "dumpe2fs -h /dev/'$(id)' | grep 'Filesystem created:'";
    QTest::newRow("quote in name")  << "a'b c"      << "dumpe2fs -h /dev/'a'\\''b c' | grep 'Filesystem created:'";
    QTest::newRow("line end after a plain name") << "sda1\n" << "dumpe2fs -h /dev/'sda1\n' | grep 'Filesystem created:'";
}

// The device name reaches dumpe2fs as one argument, whatever it contains.
void tst_SystemInfo::installTimeCommand()
{
    QFETCH(QString, name);
    QFETCH(QString, command);

    QCOMPARE(factparsers::installTimeCommand(name), command);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fake = QStringLiteral("dumpe2fs() { [ $# = 2 ] && printf 'Filesystem created: %s\\n' \"$2\"; }; cd '")
                         + dir.path() + QStringLiteral("'; ");
    QString output;
    executeCmd(fake + command, output);
    // The result drops line ends, those of the name included.
    QCOMPARE(factparsers::installTimeFromDumpe2fs(output), QStringLiteral("1_ /dev/") + QString(name).remove(QLatin1Char('\n')));
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

void tst_SystemInfo::probesOnRecordedOutput_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("replaced");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("found");

    const QString raid = facts::raidControllerCommand();
    const QString flag = facts::hypervisorFlagCommand();
    QTest::newRow("raid, desktop")        << raid << "lspci"         << fixture("desktop-ext4", "lspci.txt")         << false;
    QTest::newRow("raid, megaraid")       << raid << "lspci"         << fixture("server-raid-2socket", "lspci.txt")  << true;
    QTest::newRow("raid, guest")          << raid << "lspci"         << fixture("kvm-guest-btrfs", "lspci.txt")      << false;
    QTest::newRow("hypervisor, desktop")  << flag << "cat /proc/cpuinfo" << fixture("desktop-ext4", "cpuinfo.txt")   << false;
    QTest::newRow("hypervisor, server")   << flag << "cat /proc/cpuinfo" << fixture("server-raid-2socket", "cpuinfo.txt") << false;
    QTest::newRow("hypervisor, guest")    << flag << "cat /proc/cpuinfo" << fixture("kvm-guest-btrfs", "cpuinfo.txt") << true;
}

void tst_SystemInfo::probesOnRecordedOutput()
{
    QFETCH(QString, command);
    QFETCH(QString, replaced);
    QFETCH(QString, path);
    QFETCH(bool, found);

    QVERIFY(command.startsWith(replaced));
    QString output;
    QCOMPARE(executeCmd(onFixture(command, replaced, path), output), found);
}

void tst_SystemInfo::virtualDecision_data()
{
    QTest::addColumn<QString>("hypervisorFlag");
    QTest::addColumn<QString>("detected");
    QTest::addColumn<bool>("isVirtual");

    const QString flagLine = QStringLiteral("flags\t\t: fpu vme hypervisor lahf_lm\n");
    QTest::newRow("bare metal, none")         << QString() << "none\n"   << false;
    QTest::newRow("bare metal, None")         << QString() << "None\n"   << false;
    QTest::newRow("bare metal, nOnE")         << QString() << "nOnE\n"   << false;
    QTest::newRow("kvm")                      << QString() << "kvm\n"    << true;
    QTest::newRow("container")                << QString() << "docker\n" << true;
    QTest::newRow("tool missing, no flag")    << QString() << QString()  << false;
    QTest::newRow("tool missing, flag")       << flagLine  << QString()  << true;
    QTest::newRow("flag wins over none")      << flagLine  << "none\n"   << true;
    QTest::newRow("flag and kvm")             << flagLine  << "kvm\n"    << true;
    QTest::newRow("tool missing, xargs echo") << QString() << "\n"       << false;
    QTest::newRow("blanks, flag")             << flagLine  << " \n"      << true;
}

void tst_SystemInfo::virtualDecision()
{
    QFETCH(QString, hypervisorFlag);
    QFETCH(QString, detected);
    QFETCH(bool, isVirtual);
    QCOMPARE(factparsers::isVirtual(hypervisorFlag, detected), isVirtual);
}

namespace {

// A /dev made of entries as the fixtures write them: "name/" a directory, "name -> target" a
// symbolic link, anything else an empty file.
bool makeDevTree(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const int arrow = entry.indexOf(QLatin1String(" -> "));
        const QString path = root + QLatin1Char('/') + (arrow < 0 ? entry : entry.left(arrow));
        bool made = false;
        if (arrow >= 0) {
            made = QFile::link(entry.mid(arrow + 4), path);
        } else if (entry.endsWith(QLatin1Char('/'))) {
            made = QDir().mkpath(path);
        } else {
            QFile file(path);
            made = file.open(QIODevice::WriteOnly);
        }
        if (!made)
            return false;
    }
    return true;
}

QStringList devEntriesOf(const QString &machine)
{
    QStringList entries;
    for (const QString &line : QString::fromUtf8(testhelpers::readFile(fixture(machine, QStringLiteral("dev-entries.txt")))).split(QLatin1Char('\n'))) {
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            entries.append(line);
    }
    return entries;
}

} // namespace

void tst_SystemInfo::raidDevices_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("found");

    const QStringList disks{"sda", "sda1", "sdb", "dm-0", "mapper/", "mapper/control", "nvme0n1", "nvme0n1p1"};
    QTest::newRow("md0")                         << disks + QStringList{"md0"}                    << true;
    QTest::newRow("md126 and md127 (fixture)")  << devEntriesOf(QStringLiteral("raid-md127"))     << true;
    QTest::newRow("md1 alone")                   << disks + QStringList{"md1"}                    << true;
    QTest::newRow("named array under md/")       << disks + QStringList{"md/", "md/data"}         << true;
    QTest::newRow("empty md/")                   << disks + QStringList{"md/"}                    << false;
    QTest::newRow("no array")                    << disks                                         << false;
    QTest::newRow("names only containing md0")   << disks + QStringList{"md0.bak", "cmd0", "xmd0"} << false;
    QTest::newRow("md without digits")           << disks + QStringList{"md", "mdX", "md1a"}      << false;
}

void tst_SystemInfo::raidDevices()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, found);

    // A blank and a quote in the path: the directory reaches the shell as one word.
    QTemporaryDir dev(QDir::tempPath() + QStringLiteral("/kvo dev 'x'-XXXXXX"));
    QVERIFY(dev.isValid());
    QVERIFY(!entries.isEmpty());
    QVERIFY(makeDevTree(dev.path(), entries));
    QString output;
    QCOMPARE(executeCmd(factparsers::raidDeviceCommand(dev.path()), output), found);
}

void tst_SystemInfo::virtualNamesFromListing_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("ls output")         << QByteArray("docker0\nlo\nveth7a1c\n") << QStringList{"docker0", "lo", "veth7a1c"};
    QTest::newRow("carriage returns")  << QByteArray("br0\r\nlo\r\n")           << QStringList{"br0", "lo"};
    QTest::newRow("blank lines")       << QByteArray("\n\nlo\n\n")               << QStringList{"lo"};
    QTest::newRow("no final line end") << QByteArray("lo")                       << QStringList{"lo"};
    QTest::newRow("empty")             << QByteArray()                           << QStringList();
}

void tst_SystemInfo::virtualNamesFromListing()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, names);
    QCOMPARE(factparsers::virtualNamesFromListing(output), names);
}

void tst_SystemInfo::chooseMacAddress_data()
{
    QTest::addColumn<Interfaces>("interfaces");
    QTest::addColumn<QStringList>("virtualNames");
    QTest::addColumn<bool>("removeColons");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QStringList>("log");

    const QStringList sysfs{"docker0", "lo", "veth7a1c", "br0"};

    QTest::newRow("eth0, docker0, wlan0")
        << Interfaces{lo, eth0, docker0, wlan0} << sysfs << false << "3C:7C:3F:2A:91:D0,A4:C3:F0:85:1B:2E"
        << QStringList{"----- 1 {3C:7C:3F:2A:91:D0}", "Physics address {3C:7C:3F:2A:91:D0}",
                       "----- 2 {02:42:AC:11:00:01}", "virtual address {02:42:AC:11:00:01}",
                       "----- 3 {A4:C3:F0:85:1B:2E}", "Physics address {A4:C3:F0:85:1B:2E}",
                       "return physics macAddr {3C:7C:3F:2A:91:D0,A4:C3:F0:85:1B:2E}"};
    QTest::newRow("three physical, stops after two")
        << Interfaces{eth0, lo, eth1, eth2} << sysfs << false << "3C:7C:3F:2A:91:D0,3C:7C:3F:2A:91:D1"
        << QStringList{"----- 0 {3C:7C:3F:2A:91:D0}", "Physics address {3C:7C:3F:2A:91:D0}",
                       "----- 2 {3C:7C:3F:2A:91:D1}", "Physics address {3C:7C:3F:2A:91:D1}",
                       "return physics macAddr {3C:7C:3F:2A:91:D0,3C:7C:3F:2A:91:D1}"};
    QTest::newRow("only virtual, first two")
        << Interfaces{lo, veth0, br0, docker0} << sysfs << false << "6E:6F:C7:28:86:4B,4E:E3:35:D7:1D:72"
        << QStringList{"----- 1 {6E:6F:C7:28:86:4B}", "virtual address {6E:6F:C7:28:86:4B}",
                       "----- 2 {4E:E3:35:D7:1D:72}", "virtual address {4E:E3:35:D7:1D:72}",
                       "----- 3 {02:42:AC:11:00:01}", "virtual address {02:42:AC:11:00:01}",
                       "return macAddr {6E:6F:C7:28:86:4B,4E:E3:35:D7:1D:72}"};
    QTest::newRow("one virtual")
        << Interfaces{lo, br0} << sysfs << false << "4E:E3:35:D7:1D:72"
        << QStringList{"----- 1 {4E:E3:35:D7:1D:72}", "virtual address {4E:E3:35:D7:1D:72}",
                       "return macAddr {4E:E3:35:D7:1D:72}"};
    QTest::newRow("one physical beats virtual")
        << Interfaces{br0, eth0} << sysfs << false << "3C:7C:3F:2A:91:D0"
        << QStringList{"----- 0 {4E:E3:35:D7:1D:72}", "virtual address {4E:E3:35:D7:1D:72}",
                       "----- 1 {3C:7C:3F:2A:91:D0}", "Physics address {3C:7C:3F:2A:91:D0}",
                       "return physics macAddr {3C:7C:3F:2A:91:D0}"};
    QTest::newRow("physical without address first")
        << Interfaces{lo, wwan0, eth0} << sysfs << false << ",3C:7C:3F:2A:91:D0"
        << QStringList{"----- 1 {}", "Physics address {}", "----- 2 {3C:7C:3F:2A:91:D0}",
                       "Physics address {3C:7C:3F:2A:91:D0}", "return physics macAddr {,3C:7C:3F:2A:91:D0}"};
    QTest::newRow("two physical without address")
        << Interfaces{wwan0, ib0, eth0} << sysfs << false << ","
        << QStringList{"----- 0 {}", "Physics address {}", "----- 1 {}", "Physics address {}",
                       "return physics macAddr {,}"};
    QTest::newRow("remove colons")
        << Interfaces{lo, eth0, docker0} << sysfs << true << "3C7C3F2A91D0"
        << QStringList{"----- 1 {3C7C3F2A91D0}", "Physics address {3C7C3F2A91D0}",
                       "----- 2 {0242AC110001}", "virtual address {0242AC110001}",
                       "return physics macAddr {3C7C3F2A91D0}"};
    QTest::newRow("down interface takes part")
        << Interfaces{lo, eth0Down} << sysfs << false << "3C:7C:3F:2A:91:D0"
        << QStringList{"----- 1 {3C:7C:3F:2A:91:D0}", "Physics address {3C:7C:3F:2A:91:D0}",
                       "return physics macAddr {3C:7C:3F:2A:91:D0}"};
    QTest::newRow("virtual names are case-sensitive")
        << Interfaces{docker0} << QStringList{"Docker0"} << false << "02:42:AC:11:00:01"
        << QStringList{"----- 0 {02:42:AC:11:00:01}", "Physics address {02:42:AC:11:00:01}",
                       "return physics macAddr {02:42:AC:11:00:01}"};
    QTest::newRow("listing failed: all physical")
        << Interfaces{lo, docker0, br0, eth0} << QStringList() << false << "02:42:AC:11:00:01,4E:E3:35:D7:1D:72"
        << QStringList{"----- 1 {02:42:AC:11:00:01}", "Physics address {02:42:AC:11:00:01}",
                       "----- 2 {4E:E3:35:D7:1D:72}", "Physics address {4E:E3:35:D7:1D:72}",
                       "return physics macAddr {02:42:AC:11:00:01,4E:E3:35:D7:1D:72}"};
    QTest::newRow("only loopback")
        << Interfaces{lo} << sysfs << false << "" << QStringList{"return macAddr {}"};
    QTest::newRow("no interfaces")
        << Interfaces{} << QStringList() << true << "" << QStringList{"return macAddr {}"};
}

void tst_SystemInfo::chooseMacAddress()
{
    QFETCH(Interfaces, interfaces);
    QFETCH(QStringList, virtualNames);
    QFETCH(bool, removeColons);
    QFETCH(QString, expected);
    QFETCH(QStringList, log);

    QCOMPARE(factparsers::chooseMacAddress(interfaces, virtualNames, removeColons), expected);
    QCOMPARE(revealAll(messages), expectedLines(log));

    for (const InterfaceEntry &interface : interfaces) {
        if (interface.hardwareAddress.isEmpty())
            continue;
        const QString bare = QString(interface.hardwareAddress).remove(QLatin1Char(':'));
        for (const QString &line : std::as_const(messages)) {
            QVERIFY2(!line.contains(interface.hardwareAddress, Qt::CaseInsensitive), qPrintable(line));
            QVERIFY2(!line.contains(bare, Qt::CaseInsensitive), qPrintable(line));
        }
    }
}

void tst_SystemInfo::firstActiveMacAddress_data()
{
    QTest::addColumn<Interfaces>("interfaces");
    QTest::addColumn<QString>("expected");

    const InterfaceEntry upNotRunning{QStringLiteral("eth1"), QStringLiteral("3C:7C:3F:2A:91:D1"), Up};
    const InterfaceEntry runningNotUp{QStringLiteral("eth2"), QStringLiteral("3C:7C:3F:2A:91:D2"), Running};
    QTest::newRow("first up and running")   << Interfaces{lo, eth0, wlan0}              << "3C:7C:3F:2A:91:D0";
    QTest::newRow("down one skipped")       << Interfaces{lo, eth0Down, wlan0}          << "A4:C3:F0:85:1B:2E";
    QTest::newRow("up without carrier")     << Interfaces{upNotRunning, runningNotUp, br0} << "4E:E3:35:D7:1D:72";
    QTest::newRow("virtual counts too")     << Interfaces{lo, veth0, eth0}              << "6E:6F:C7:28:86:4B";
    QTest::newRow("active without address") << Interfaces{wwan0, eth0}                  << "";
    QTest::newRow("only loopback")          << Interfaces{lo}                           << "";
    QTest::newRow("nothing active")         << Interfaces{lo, eth0Down, upNotRunning}   << "";
    QTest::newRow("no interfaces")          << Interfaces{}                             << "";
}

void tst_SystemInfo::firstActiveMacAddress()
{
    QFETCH(Interfaces, interfaces);
    QFETCH(QString, expected);

    QCOMPARE(factparsers::firstActiveMacAddress(interfaces), expected);
    QVERIFY(messages.isEmpty());
}

void tst_SystemInfo::listingRun_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("existingDir");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("listing")         << "ls"                    << true  << QStringList{"br0", "docker0", "lo"};
    QTest::newRow("ls fails")        << "ls"                    << false << QStringList();
    QTest::newRow("program missing") << "/nonexistent/kvo-ls"   << true  << QStringList();
}

void tst_SystemInfo::listingRun()
{
    QFETCH(QString, program);
    QFETCH(bool, existingDir);
    QFETCH(QStringList, names);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char *name : {"lo", "docker0", "br0"})
        QVERIFY(QDir(dir.path()).mkdir(name));
    const QString path = existingDir ? dir.path() + QLatin1Char('/') : dir.path() + QStringLiteral("/missing/");

    QCOMPARE(factparsers::listVirtualNames(program, {path}, 30000), names);

    if (names.isEmpty()) {
        QCOMPARE(messages.size(), 0);
    } else {
        QCOMPARE(revealAll(messages), expectedLines({QStringLiteral("all virtual mac  {br0,docker0,lo}")}));
    }
}

// A listing still running at its deadline is ended with everything it started; what it printed
// reaches neither the caller nor the log.
void tst_SystemInfo::listingFinishingLate()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("pid"));
    const QStringList arguments{QStringLiteral("-c"),
                                QStringLiteral("echo $$ > '%1'; echo late0; echo late1; sleep 600").arg(pidFile)};

    const QStringList names = factparsers::listVirtualNames(QStringLiteral("sh"), arguments, 1500);

    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 pid = file.readAll().trimmed().toLongLong();
    QVERIFY(pid > 1);
    auto cleanup = qScopeGuard([pid] { ::kill(-pid_t(pid), SIGKILL); ::kill(pid_t(pid), SIGKILL); });
    QCOMPARE(names, QStringList());
    QVERIFY2(messages.isEmpty(), qPrintable(revealAll(messages).join(QLatin1Char('\n'))));
    QTRY_VERIFY_WITH_TIMEOUT(!testhelpers::isLive(pid) && testhelpers::liveGroupMembers(pid).isEmpty(), 10000);
}

QTEST_GUILESS_MAIN(tst_SystemInfo)
#include "tst_systeminfo.moc"
