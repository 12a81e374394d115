// SPDX-License-Identifier: GPL-3.0-or-later
#include "systeminfo.h"

#include "blockdevicecollector.h"
#include "factparsers.h"

#include <QNetworkInterface>

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
    QString output;
    m_collector->executeCmd(factparsers::boardInfoCommand(), output);
    return factparsers::joinDmiValues(output);
}

QString SystemInfo::getCpuInfo()
{
    QString output;
    m_collector->executeCmd(factparsers::cpuInfoCommand(), output);
    return factparsers::joinDmiValues(output);
}

QString SystemInfo::getInstallTime()
{
    const QString partition = m_collector->systemPartitionName();
    if (partition.isEmpty())
        return QString();

    QString output;
    m_collector->executeCmd(factparsers::installTimeCommand(partition), output);
    if (!output.isEmpty())
        return factparsers::installTimeFromDumpe2fs(output);

    m_collector->executeCmd(factparsers::installTimeFallbackCommand(), output);
    return factparsers::installTimeFromListing(output);
}

bool SystemInfo::hasRaid()
{
    QString output;
    if (m_collector->executeCmd(factparsers::raidControllerCommand(), output))
        return true;
    return m_collector->executeCmd(factparsers::raidDeviceCommand(QLatin1String(factparsers::devDirectory)), output);
}

int SystemInfo::raidState()
{
    return hasRaid() ? 1 : 2;
}

bool SystemInfo::isVirtualMachine()
{
    QString hypervisorFlag;
    QString detected;
    m_collector->executeCmd(factparsers::hypervisorFlagCommand(), hypervisorFlag);
    m_collector->executeCmd(factparsers::detectVirtCommand(), detected);
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
        this, QStringLiteral("ls"), {QLatin1String(factparsers::virtualNetDir)}, factparsers::listingTimeoutMs);
    return factparsers::chooseMacAddress(factparsers::interfaceEntries(interfaces), virtualNames, removeColons);
}

QString SystemInfo::getActiveMacAddress()
{
    return factparsers::firstActiveMacAddress(factparsers::interfaceEntries(QNetworkInterface::allInterfaces()));
}
