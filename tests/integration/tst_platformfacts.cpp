// SPDX-License-Identifier: GPL-3.0-or-later
// The platform facts of SystemInfo end to end: the real command runner and shell pipelines,
// with the hardware tools replaced by scripts that print recorded outputs. Runs in sandbox-run,
// whose private mount namespace lets the test lay recorded files over /proc/cpuinfo and a fresh
// sysfs over /sys.
#include "agent/sysinfo/commandrunner.h"
#include "agent/sysinfo/systeminfo.h"
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

const QString Fixtures = QStringLiteral(KVO_FIXTURES_DIR);
const QString Absent = QStringLiteral("absent");
const QString Silent = QStringLiteral("silent");

QStringList messages;

void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    messages.append(message);
}

bool run(const QString &program, const QStringList &arguments, QString *error = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
                    && process.exitCode() == 0;
    if (!ok && error)
        *error = program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QStringLiteral(": ")
                 + QString::fromLocal8Bit(process.readAll());
    return ok;
}

// The date and time of the entry of "/" with the oldest status change, as ls shows it.
QString oldestRootEntry()
{
    struct timespec oldest = {0, 0};
    bool found = false;
    const QStringList names = QDir(QStringLiteral("/")).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        struct stat st;
        if (::lstat(QFile::encodeName(QStringLiteral("/") + name).constData(), &st) != 0)
            continue;
        if (!found || st.st_ctim.tv_sec < oldest.tv_sec
            || (st.st_ctim.tv_sec == oldest.tv_sec && st.st_ctim.tv_nsec < oldest.tv_nsec)) {
            oldest = st.st_ctim;
            found = true;
        }
    }
    return found ? QDateTime::fromSecsSinceEpoch(oldest.tv_sec).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : QString();
}

// Whether the host has an md array (md<digits> or a name below md/ in /dev), which the RAID
// check consults after lspci.
bool hostHasMdArray()
{
    const QRegularExpression array(QStringLiteral("^md[0-9]+$"));
    const QStringList names = QDir(QStringLiteral("/dev")).entryList(QDir::AllEntries | QDir::System);
    for (const QString &name : names) {
        if (array.match(name).hasMatch())
            return true;
    }
    return !QDir(QStringLiteral("/dev/md")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).isEmpty();
}

QString sysfsValue(const QString &interface, const QString &file)
{
    QFile f(QStringLiteral("/sys/class/net/") + interface + QLatin1Char('/') + file);
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).trimmed() : QString();
}

} // namespace

class tst_PlatformFacts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void facts_data();
    void facts();
    void virtualisation_data();
    void virtualisation();
    void raid_data();
    void raid();

    void macAddressInOwnNetworkNamespace();
    void thisMachine();

private:
    // Each tool (tests/fakes/recorded-tool) prints the machine's recorded output; Silent prints
    // nothing, Absent leaves it off the commands' PATH, any other variant is printed instead.
    void setUpTools(const QString &machine, const QMap<QString, QString> &variants = {});
    void layCpuinfo(const QString &path);
    QStringList calls() const;

    QTemporaryDir m_dir;
    bool m_cpuinfoMounted = false;
    QtMessageHandler m_previousHandler = nullptr;
};

void tst_PlatformFacts::initTestCase()
{
    QVERIFY2(testsupport::inSandbox(), "runs only inside sandbox-run, which owns the mounts it changes");
    QVERIFY(m_dir.isValid());

    // Only the tools the pipelines need, so that a tool left off stays missing whatever the host has.
    const QString system = m_dir.filePath(QStringLiteral("system"));
    QVERIFY(QDir().mkpath(system));
    for (const char *tool : {"bash", "sh", "sed", "awk", "grep", "cat", "ls", "tail", "xargs", "echo"}) {
        const QString found = QStandardPaths::findExecutable(QLatin1String(tool));
        QVERIFY2(!found.isEmpty(), tool);
        QVERIFY(QFile::link(found, system + QLatin1Char('/') + QLatin1String(tool)));
    }
}

void tst_PlatformFacts::init()
{
    messages.clear();
    m_previousHandler = qInstallMessageHandler(collect);
}

void tst_PlatformFacts::cleanup()
{
    qInstallMessageHandler(m_previousHandler);
    if (m_cpuinfoMounted) {
        QCOMPARE(::umount2("/proc/cpuinfo", MNT_DETACH), 0);
        m_cpuinfoMounted = false;
    }
    facts::setCommandPathForTests(QString());
}

void tst_PlatformFacts::setUpTools(const QString &machine, const QMap<QString, QString> &variants)
{
    const QString fakes = m_dir.filePath(QStringLiteral("fakes"));
    QDir(fakes).removeRecursively();
    QVERIFY(QDir().mkpath(fakes));

    for (const char *name : {"dmidecode", "lspci", "dumpe2fs", "systemd-detect-virt", "lsblk"}) {
        const QString tool = QLatin1String(name);
        const QString variant = variants.value(tool);
        if (variant == Absent)
            continue;
        QVERIFY(testhelpers::installRecordedTool(fakes, tool, machine));
        if (variant == Silent)
            QVERIFY(testhelpers::writeFile(fakes + QLatin1Char('/') + tool + QStringLiteral(".silent"), QByteArray()));
        else if (!variant.isEmpty())
            QVERIFY(testhelpers::writeFile(fakes + QLatin1Char('/') + tool + QStringLiteral(".says"), variant.toUtf8() + '\n'));
    }
    facts::setCommandPathForTests(fakes + QLatin1Char(':') + m_dir.filePath(QStringLiteral("system")));
}

void tst_PlatformFacts::layCpuinfo(const QString &path)
{
    QVERIFY(!m_cpuinfoMounted);
    QVERIFY2(::mount(QFile::encodeName(path).constData(), "/proc/cpuinfo", nullptr, MS_BIND, nullptr) == 0,
             qPrintable(QStringLiteral("bind %1 over /proc/cpuinfo: %2").arg(path, QString::fromLocal8Bit(strerror(errno)))));
    m_cpuinfoMounted = true;
}

QStringList tst_PlatformFacts::calls() const
{
    QFile file(m_dir.filePath(QStringLiteral("fakes/calls")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void tst_PlatformFacts::facts_data()
{
    QTest::addColumn<QString>("machine");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("cpu");
    QTest::addColumn<QString>("installTime");
    QTest::addColumn<int>("raidState");
    QTest::addColumn<int>("vmState");

    // "ls" stands for the fallback: the date of the oldest entry of the real "/".
    QTest::newRow("desktop, ext4")
        << "desktop-ext4" << QStringList()
        << "SystemProductName##4a1c2e80-d7b3-11eb-8b6e-3c7c3f2a91d0#"
        << "55060A00FFFBEBBF#Intel(R)Core(TM)i7-10700CPU@2.90GHz#"
        << "1_       Tue Mar  7 10:15:02 2023" << 2 << 2;
    QTest::newRow("guest, btrfs")
        << "kvm-guest-btrfs" << QStringList()
        << "StandardPC(Q35+ICH9,2009)#NotSpecified#8d2f6c1e-3b9a-4e57-a0c4-61f2b7d9e803#"
        << "110FA000FFFB8B07#pc-q35-7.2#" << "ls" << 2 << 1;
    QTest::newRow("server, two sockets, RAID, no partition known")
        << "server-raid-2socket" << QStringList()
        << "RW2UServerR740#SN#4c4c4544-0046-3310-804b-b7c04f395132#"
        << "54060500FFFBEBBF#Intel(R)Xeon(R)Silver4116CPU@2.10GHz#54060500FFFBEBBF#Intel(R)Xeon(R)Silver4116CPU@2.10GHz#"
        << "" << 1 << 2;
    QTest::newRow("desktop, no dmidecode, no dumpe2fs")
        << "desktop-ext4" << QStringList{"dmidecode", "dumpe2fs"} << "" << "" << "ls" << 2 << 2;
    QTest::newRow("guest, nothing installed")
        << "kvm-guest-btrfs" << QStringList{"dmidecode", "dumpe2fs", "lspci", "systemd-detect-virt", "lsblk"}
        << "" << "" << "" << 2 << 1;
}

void tst_PlatformFacts::facts()
{
    QFETCH(QString, machine);
    QFETCH(QStringList, absent);
    QFETCH(QString, board);
    QFETCH(QString, cpu);
    QFETCH(QString, installTime);
    QFETCH(int, raidState);
    QFETCH(int, vmState);

    QMap<QString, QString> variants;
    for (const QString &tool : absent)
        variants.insert(tool, Absent);
    setUpTools(machine, variants);
    layCpuinfo(Fixtures + QLatin1Char('/') + machine + QStringLiteral("/cpuinfo.txt"));
    if (raidState == 2 && hostHasMdArray())
        raidState = 1;

    SystemInfo info;
    QCOMPARE(info.getBoardInfo(), board);
    QCOMPARE(info.getCpuInfo(), cpu);

    const QString time = info.getInstallTime();
    if (installTime == QLatin1String("ls")) {
        QCOMPARE(time, QStringLiteral("2_") + oldestRootEntry());
        QVERIFY(QDateTime::fromString(time.mid(2), QStringLiteral("yyyy-MM-dd hh:mm:ss")).isValid());
    } else {
        QCOMPARE(time, installTime);
        if (!time.isEmpty())
            QVERIFY(QDateTime::fromString(time.mid(2).trimmed(), Qt::TextDate).isValid());
    }
    if (installTime.isEmpty()) {
        for (const QString &call : calls())
            QVERIFY2(!call.startsWith(QLatin1String("dumpe2fs")), qPrintable(call));
    }

    QCOMPARE(info.raidState(), raidState);
    QCOMPARE(info.hasRaid(), raidState == 1);
    QCOMPARE(info.vmState(), vmState);
    QCOMPARE(info.isVirtualMachine(), vmState == 1);
}

void tst_PlatformFacts::virtualisation_data()
{
    QTest::addColumn<QString>("detectVirt");
    QTest::addColumn<QString>("cpuinfoOf");
    QTest::addColumn<int>("vmState");

    QTest::newRow("none, bare metal")         << "none"   << "desktop-ext4"    << 2;
    QTest::newRow("None, bare metal")         << "None"   << "desktop-ext4"    << 2;
    QTest::newRow("NONE, bare metal")         << "NONE"   << "desktop-ext4"    << 2;
    QTest::newRow("kvm without flag")         << "kvm"    << "desktop-ext4"    << 1;
    QTest::newRow("container")                << "docker" << "desktop-ext4"    << 1;
    QTest::newRow("tool missing, no flag")    << Absent   << "desktop-ext4"    << 2;
    QTest::newRow("tool silent, no flag")     << Silent   << "desktop-ext4"    << 2;
    QTest::newRow("tool missing, flag")       << Absent   << "kvm-guest-btrfs" << 1;
    QTest::newRow("none with flag")           << "none"   << "kvm-guest-btrfs" << 1;
}

void tst_PlatformFacts::virtualisation()
{
    QFETCH(QString, detectVirt);
    QFETCH(QString, cpuinfoOf);
    QFETCH(int, vmState);

    setUpTools(QStringLiteral("desktop-ext4"), {{QStringLiteral("systemd-detect-virt"), detectVirt}});
    layCpuinfo(Fixtures + QLatin1Char('/') + cpuinfoOf + QStringLiteral("/cpuinfo.txt"));

    SystemInfo info;
    QCOMPARE(info.vmState(), vmState);
    QCOMPARE(info.isVirtualMachine(), vmState == 1);
}

void tst_PlatformFacts::raid_data()
{
    QTest::addColumn<QString>("lspciOf");
    QTest::addColumn<QString>("variant");
    QTest::addColumn<bool>("controller");

    QTest::newRow("RAID bus controller") << "server-raid-2socket" << QString() << true;
    QTest::newRow("no RAID controller")  << "desktop-ext4"        << QString() << false;
    QTest::newRow("lspci missing")       << "desktop-ext4"        << Absent    << false;
    QTest::newRow("lower-case raid")     << "desktop-ext4"        << "00:1f.2 SATA controller: Intel raid mode" << false;
}

void tst_PlatformFacts::raid()
{
    QFETCH(QString, lspciOf);
    QFETCH(QString, variant);
    QFETCH(bool, controller);

    setUpTools(lspciOf, {{QStringLiteral("lspci"), variant}});
    const int expected = controller || hostHasMdArray() ? 1 : 2;
    SystemInfo info;
    QCOMPARE(info.raidState(), expected);
    QCOMPARE(info.hasRaid(), expected == 1);
}

// Only virtual interfaces in a namespace of the test's own: the addresses come from the
// fallback, in enumeration order, and none reaches the log in clear.
void tst_PlatformFacts::macAddressInOwnNetworkNamespace()
{
    const QString ns = QStringLiteral("kvo-pf-%1").arg(::getpid());
    QString error;
    if (!run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("add"), ns}, &error))
        QFAIL(qPrintable(error));
    auto removeNamespace = qScopeGuard([&] { run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("delete"), ns}); });

    const QList<QStringList> setup = {
        {"link", "add", "kvo-v0", "type", "veth", "peer", "name", "kvo-v1"},
        {"link", "add", "kvo-br0", "type", "bridge"},
        {"link", "set", "kvo-v0", "up"},
        {"link", "set", "kvo-v1", "up"},
    };
    for (const QStringList &step : setup) {
        if (!run(QStringLiteral("ip"), QStringList{"-n", ns} + step, &error))
            QFAIL(qPrintable(error));
    }
    // Not every kernel has the dummy driver; the test does not depend on it.
    run(QStringLiteral("ip"), {"-n", ns, "link", "add", "kvo-d0", "type", "dummy"});

    const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(QFile::encodeName(QStringLiteral("/run/netns/") + ns).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(home >= 0 && target >= 0);
    QCOMPARE(::setns(target, CLONE_NEWNET), 0);
    ::close(target);
    bool sysfsMounted = ::mount("sysfs", "/sys", "sysfs", 0, nullptr) == 0;
    auto goHome = qScopeGuard([&] {
        if (sysfsMounted)
            ::umount2("/sys", MNT_DETACH);
        ::setns(home, CLONE_NEWNET);
        ::close(home);
    });
    QVERIFY2(sysfsMounted, strerror(errno));

    QStringList nonLoopback;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        if (!interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            nonLoopback.append(interface.name());
    }
    QVERIFY2(nonLoopback.size() >= 3, qPrintable(nonLoopback.join(QLatin1Char(','))));
    for (const QString &name : nonLoopback)
        QVERIFY2(QFileInfo::exists(QStringLiteral("/sys/devices/virtual/net/") + name), qPrintable(name));

    const QString first = sysfsValue(nonLoopback.at(0), QStringLiteral("address")).toUpper();
    const QString second = sysfsValue(nonLoopback.at(1), QStringLiteral("address")).toUpper();
    QCOMPARE(first.size(), 17);
    QCOMPARE(second.size(), 17);

    // Carrier on a fresh veth pair comes a moment after "up".
    QTRY_COMPARE_WITH_TIMEOUT(sysfsValue(QStringLiteral("kvo-v0"), QStringLiteral("operstate")), QStringLiteral("up"), 10000);
    QString active;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        bool ok = false;
        const uint flags = sysfsValue(interface.name(), QStringLiteral("flags")).toUInt(&ok, 16);
        QVERIFY(ok);
        // IFF_UP and not IFF_LOOPBACK; sysfs shows carrier as the operational state.
        if ((flags & 0x1) && !(flags & 0x8)
            && sysfsValue(interface.name(), QStringLiteral("operstate")) == QLatin1String("up")) {
            active = sysfsValue(interface.name(), QStringLiteral("address")).toUpper();
            break;
        }
    }

    messages.clear();
    SystemInfo info;
    messages.clear();
    QCOMPARE(info.getMacAddress(false), first + QLatin1Char(',') + second);
    QCOMPARE(info.getMacAddress(true), QString(first + QLatin1Char(',') + second).remove(QLatin1Char(':')));
    QVERIFY(!active.isEmpty());
    QCOMPARE(info.getActiveMacAddress(), active);

    QVERIFY(messages.filter(QStringLiteral("virtual address")).size() >= 6);
    QCOMPARE(messages.filter(QStringLiteral("Physics address")).size(), 0);
    QCOMPARE(messages.filter(QStringLiteral("return macAddr")).size(), 2);
    QCOMPARE(messages.filter(QStringLiteral("all virtual mac")).size(), 2);
    for (const QString &name : nonLoopback) {
        const QString address = sysfsValue(name, QStringLiteral("address")).toUpper();
        const QString bare = QString(address).remove(QLatin1Char(':'));
        for (const QString &line : std::as_const(messages)) {
            QVERIFY2(!line.contains(address, Qt::CaseInsensitive) && !line.contains(bare, Qt::CaseInsensitive)
                         && !line.contains(name),
                     qPrintable(line));
        }
    }
}

// The real tools of the machine the tests run on: the results have the documented form.
void tst_PlatformFacts::thisMachine()
{
    SystemInfo info;
    const QRegularExpression dmi(QStringLiteral("^([^#\\n]*#)+$"));
    const QString board = info.getBoardInfo();
    const QString cpu = info.getCpuInfo();
    QVERIFY2(board.isEmpty() || dmi.match(board).hasMatch(), qPrintable(board));
    QVERIFY2(cpu.isEmpty() || dmi.match(cpu).hasMatch(), qPrintable(cpu));

    const QString time = info.getInstallTime();
    if (time.startsWith(QLatin1String("1_")))
        QVERIFY2(QDateTime::fromString(time.mid(2).trimmed(), Qt::TextDate).isValid(), qPrintable(time));
    else if (time.startsWith(QLatin1String("2_")))
        QVERIFY2(QDateTime::fromString(time.mid(2), QStringLiteral("yyyy-MM-dd hh:mm:ss")).isValid(), qPrintable(time));
    else
        QVERIFY2(time.isEmpty(), qPrintable(time));
    QVERIFY(!time.contains(QLatin1Char('\n')));

    QVERIFY(info.raidState() == 1 || info.raidState() == 2);
    QVERIFY(info.vmState() == 1 || info.vmState() == 2);
    QCOMPARE(info.hasRaid(), info.raidState() == 1);

    const QString macs = info.getMacAddress(false);
    QVERIFY2(QRegularExpression(QStringLiteral("^$|^[0-9A-F:]*(,[0-9A-F:]*)?$")).match(macs).hasMatch(), qPrintable(macs));
    const QString bare = info.getMacAddress(true);
    QCOMPARE(bare, QString(macs).remove(QLatin1Char(':')));
    const QString active = info.getActiveMacAddress();
    QVERIFY2(QRegularExpression(QStringLiteral("^([0-9A-F]{2}(:[0-9A-F]{2})*)?$")).match(active).hasMatch(), qPrintable(active));
    for (const QString &address : macs.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        for (const QString &line : std::as_const(messages))
            QVERIFY2(!line.contains(address), qPrintable(line));
    }
}

QTEST_GUILESS_MAIN(tst_PlatformFacts)
#include "tst_platformfacts.moc"
