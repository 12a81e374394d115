// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/systeminfo.h"

#include "agent/sysinfo/blockdevicecollector.h"
#include "agent/sysinfo/factconstants.h"
#include "agent/sysinfo/factparsers.h"

#include <QNetworkInterface>

namespace {

// What a command line printed, run through the collector's executeCmd.
QString outputOf(BlockDeviceCollector *collector, const QString &command)
{
    QString output;
    collector->executeCmd(command, output);
    return output;
}

} // namespace

SystemInfo::SystemInfo()
    : QObject(nullptr)
    , m_collector(new BlockDeviceCollector)
{
    m_vmState = isVirtualMachine() ? 1 : 2;
    m_raidState = hasRaid() ? 1 : 2;
}

SystemInfo::~SystemInfo()
{
    delete m_collector;
}

QString SystemInfo::getBoardInfo()
{
    return factparsers::joinDmiValues(outputOf(m_collector, facts::boardInfoCommand()));
}

QString SystemInfo::getCpuInfo()
{
    return factparsers::joinDmiValues(outputOf(m_collector, facts::cpuInfoCommand()));
}

QString SystemInfo::getInstallTime()
{
    const QString partition = m_collector->systemPartitionName();
    if (partition.isEmpty())
        return QString();

    const QString output = outputOf(m_collector, factparsers::installTimeCommand(partition));
    if (!output.isEmpty())
        return factparsers::installTimeFromDumpe2fs(output);
    return factparsers::installTimeFromListing(outputOf(m_collector, facts::installTimeFallbackCommand()));
}

bool SystemInfo::hasRaid()
{
    if (!outputOf(m_collector, facts::raidControllerCommand()).isEmpty())
        return true;
    return !outputOf(m_collector, factparsers::raidDeviceCommand(QLatin1String(facts::devDirectory))).isEmpty();
}

int SystemInfo::raidState()
{
    return hasRaid() ? 1 : 2;
}

bool SystemInfo::isVirtualMachine()
{
    const QString hypervisorFlag = outputOf(m_collector, facts::hypervisorFlagCommand());
    const QString detected = outputOf(m_collector, facts::detectVirtCommand());
    return factparsers::isVirtual(hypervisorFlag, detected);
}

int SystemInfo::vmState()
{
    return isVirtualMachine() ? 1 : 2;
}

QString SystemInfo::getMacAddress(bool removeColons)
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    const QStringList virtualNames = factparsers::listVirtualNames(
        facts::virtualNamesProgram(), {QLatin1String(facts::virtualNetDir)}, facts::commandTimeoutMs);
    return factparsers::chooseMacAddress(factparsers::interfaceEntries(interfaces), virtualNames, removeColons);
}

QString SystemInfo::getActiveMacAddress()
{
    return factparsers::firstActiveMacAddress(factparsers::interfaceEntries(QNetworkInterface::allInterfaces()));
}
