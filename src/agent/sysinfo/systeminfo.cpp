// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/systeminfo.h"

#include "agent/sysinfo/blockdevicecollector.h"
#include "agent/sysinfo/commandrunner.h"
#include "agent/sysinfo/factconstants.h"
#include "agent/sysinfo/factparsers.h"

#include <QNetworkInterface>

using facts::shellOutput;

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
    return factparsers::joinDmiValues(shellOutput(facts::boardInfoCommand()));
}

QString SystemInfo::getCpuInfo()
{
    return factparsers::joinDmiValues(shellOutput(facts::cpuInfoCommand()));
}

QString SystemInfo::getInstallTime()
{
    const QString partition = m_collector->systemPartitionName();
    if (partition.isEmpty())
        return QString();

    const QString output = shellOutput(factparsers::installTimeCommand(partition));
    if (!output.isEmpty())
        return factparsers::installTimeFromDumpe2fs(output);
    return factparsers::installTimeFromListing(shellOutput(facts::installTimeFallbackCommand()));
}

bool SystemInfo::hasRaid()
{
    if (!shellOutput(facts::raidControllerCommand()).isEmpty())
        return true;
    return !shellOutput(factparsers::raidDeviceCommand(QLatin1String(facts::devDirectory))).isEmpty();
}

int SystemInfo::raidState()
{
    return hasRaid() ? 1 : 2;
}

bool SystemInfo::isVirtualMachine()
{
    const QString hypervisorFlag = shellOutput(facts::hypervisorFlagCommand());
    const QString detected = shellOutput(facts::detectVirtCommand());
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
