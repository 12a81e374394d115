// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/factgathering.h"

#include "agent/agentcore.h"
#include "agent/sysinfo/blockdevicecollector.h"
#include "agent/sysinfo/commandrunner.h"
#include "agent/sysinfo/factconstants.h"
#include "agent/sysinfo/factparsers.h"
#include "agent/sysinfo/systeminfo.h"

#include <QEventLoop>
#include <QJsonObject>
#include <QNetworkInterface>

#include <functional>
#include <memory>

namespace facts {

namespace {

QJsonObject recordObject(const QMap<QString, QString> &values)
{
    QJsonObject object;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

// Runs commands side by side on this thread; run() returns once every command started, those
// started from a handler included, has finished and been handled.
class CommandSet
{
public:
    using Handler = std::function<void(const CommandResult &)>;

    void start(Command command, Handler handler)
    {
        m_runs.push_back(std::make_unique<CommandRun>(std::move(command)));
        CommandRun *run = m_runs.back().get();
        ++m_running;
        QObject::connect(run, &CommandRun::finished, &m_loop, [this, run, handler = std::move(handler)] {
            handler(run->result());
            if (--m_running == 0)
                m_loop.quit();
        });
        run->start();
    }

    void startShell(const QString &line, Handler handler) { start(shellCommand(line), std::move(handler)); }

    void run()
    {
        if (m_running > 0)
            m_loop.exec();
    }

private:
    QEventLoop m_loop;
    int m_running = 0;
    std::vector<std::unique_ptr<CommandRun>> m_runs;
};

} // namespace

FactList gatherFacts(const AgentCore &core)
{
    CommandSet commands;

    QString board;
    QString cpu;
    QString hypervisorFlag;
    QString detectedVirt;
    bool raid = false;
    QString installTime;
    QStringList virtualNames;
    QString pairsListing;
    BlockDeviceCollector disks;

    // The longest chain first: the device table, then dumpe2fs on the partition it names.
    commands.startShell(blockDeviceListingCommand(), [&](const CommandResult &run) {
        const QString listing = run.text();
        if (!listing.isEmpty())
            disks.loadDeviceTableFromJson(listing);
        // As SystemInfo::getInstallTime: dumpe2fs on the system partition, else the listing of "/".
        const QString partition = disks.systemPartitionName();
        if (partition.isEmpty())
            return;
        commands.startShell(factparsers::installTimeCommand(partition), [&](const CommandResult &dump) {
            const QString created = dump.text();
            if (!created.isEmpty()) {
                installTime = factparsers::installTimeFromDumpe2fs(created);
                return;
            }
            commands.startShell(installTimeFallbackCommand(), [&](const CommandResult &listed) {
                installTime = factparsers::installTimeFromListing(listed.text());
            });
        });
    });
    commands.startShell(raidControllerCommand(), [&](const CommandResult &run) {
        raid = !run.text().isEmpty();
        if (!raid) {
            commands.startShell(factparsers::raidDeviceCommand(QLatin1String(devDirectory)),
                                [&](const CommandResult &devices) { raid = !devices.text().isEmpty(); });
        }
    });
    commands.startShell(hypervisorFlagCommand(), [&](const CommandResult &run) { hypervisorFlag = run.text(); });
    commands.startShell(detectVirtCommand(), [&](const CommandResult &run) { detectedVirt = run.text(); });
    commands.startShell(boardInfoCommand(), [&](const CommandResult &run) { board = factparsers::joinDmiValues(run.text()); });
    commands.startShell(cpuInfoCommand(), [&](const CommandResult &run) { cpu = factparsers::joinDmiValues(run.text()); });
    commands.start({virtualNamesProgram(), {QLatin1String(virtualNetDir)}},
                   [&](const CommandResult &run) { virtualNames = factparsers::virtualNamesFromRun(run); });
    commands.start({pairsListingProgram(), pairsListingArguments()},
                   [&](const CommandResult &run) { pairsListing = run.text(); });
    commands.run();

    const QString systemDiskName = disks.systemDiskName();
    const QString systemPartitionName = disks.systemPartitionName();
    const QString systemDiskModelSerial = disks.systemDiskModelSerial();
    const QString systemDiskIdCompact = compactDiskId(systemDiskModelSerial);
    const QString ataIdentity = disks.ataIdentity();
    const QVector<factparsers::InterfaceEntry> interfaces =
        factparsers::interfaceEntries(QNetworkInterface::allInterfaces());
    const QString macAddress = factparsers::chooseMacAddress(interfaces, virtualNames, false);
    const QString activeMacAddress = factparsers::firstActiveMacAddress(interfaces);
    // Each of the three finds the disk from the listing as SystemInfo's getters do, log line included.
    const QString systemDiskNameByPairs = systemDiskFromPairs(pairsListing);
    const QString udisksBlockId = udisksBlockIdOf(systemDiskFromPairs(pairsListing));
    const QString udisksDriveId = udisksDriveIdOf(systemDiskFromPairs(pairsListing));

    return {
        {QStringLiteral("osVersion"), recordObject(core.osVersion().values)},
        {QStringLiteral("oemVersion"), recordObject(core.oemVersion().values)},
        {QStringLiteral("boardInfo"), board},
        {QStringLiteral("cpuInfo"), cpu},
        {QStringLiteral("installTime"), installTime},
        {QStringLiteral("raidState"), raid ? 1 : 2},
        {QStringLiteral("vmState"), factparsers::isVirtual(hypervisorFlag, detectedVirt) ? 1 : 2},
        {QStringLiteral("macAddress"), macAddress},
        {QStringLiteral("activeMacAddress"), activeMacAddress},
        {QStringLiteral("systemDiskName"), systemDiskName},
        {QStringLiteral("systemPartitionName"), systemPartitionName},
        {QStringLiteral("systemDiskModelSerial"), systemDiskModelSerial},
        {QStringLiteral("systemDiskIdCompact"), systemDiskIdCompact},
        {QStringLiteral("systemDiskNameByPairs"), systemDiskNameByPairs},
        {QStringLiteral("ataIdentity"), ataIdentity},
        {QStringLiteral("udisksBlockId"), udisksBlockId},
        {QStringLiteral("udisksDriveId"), udisksDriveId},
    };
}

} // namespace facts
