// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/factparsers.h"

#include "agent/agentlog.h"
#include "agent/sysinfo/commandrunner.h"
#include "agent/protectlogvalue.h"

#include <QRegularExpression>

namespace factparsers {

QString installTimeCommand(const QString &partitionName)
{
    // Device-mapper names are chosen by whoever set the volume up, and this line runs as root.
    // "$" would also match before a final line end, which would then end the command early.
    static const QRegularExpression plainName(QStringLiteral("\\A[A-Za-z0-9._+:@-]+\\z"));
    QString device = partitionName;
    if (!plainName.match(device).hasMatch())
        device = QLatin1Char('\'') + device.replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
    return QLatin1String("dumpe2fs -h /dev/") + device + QLatin1String(" | grep 'Filesystem created:'");
}

QString raidDeviceCommand(const QString &devDirectory)
{
    // mdadm names an array it assembles without a configuration entry md127 (then md126, ...),
    // and udev links arrays with a name into md/; a name that merely contains "md0" is none.
    QString dir = devDirectory;
    static const QRegularExpression plainPath(QStringLiteral("\\A[A-Za-z0-9._/-]+\\z"));
    if (!plainPath.match(dir).hasMatch())
        dir = QLatin1Char('\'') + dir.replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
    return QLatin1String("ls ") + dir + QLatin1String(" | grep -E '^md[0-9]+$'; ls ") + dir
        + QLatin1String("/md/ 2>/dev/null");
}

QString joinDmiValues(const QString &output)
{
    if (output.isEmpty())
        return QString();
    return output.split(QLatin1Char('\n'), Qt::KeepEmptyParts).join(QLatin1Char('#'));
}

QString installTimeFromDumpe2fs(const QString &output)
{
    if (output.isEmpty())
        return QString();
    // grep guarantees the label; a line without it still must not index past the parts.
    const QStringList parts = output.split(QStringLiteral("Filesystem created:"), Qt::KeepEmptyParts);
    QString result = QLatin1String("1_") + parts.value(1);
    return result.remove(QLatin1Char('\n'));
}

QString installTimeFromListing(const QString &output)
{
    QString result = QLatin1String("2_") + output;
    return result.remove(QLatin1Char('\n'));
}

bool isVirtual(const QString &hypervisorFlagOutput, const QString &detectVirtOutput)
{
    const bool hypervisorFlag = !hypervisorFlagOutput.isEmpty();
    // xargs runs echo even without input, so a missing tool shows up as a bare line end.
    const QString detected = detectVirtOutput.trimmed();
    const bool virtualised = !detected.isEmpty() && !detected.toLower().contains(QLatin1String("none"));
    return hypervisorFlag || virtualised;
}

QStringList virtualNamesFromListing(const QByteArray &output)
{
    static const QRegularExpression lineBreak(QStringLiteral("[\r\n]"));
    return QString::fromLocal8Bit(output).split(lineBreak, Qt::SkipEmptyParts);
}

QVector<InterfaceEntry> interfaceEntries(const QList<QNetworkInterface> &interfaces)
{
    QVector<InterfaceEntry> entries;
    entries.reserve(interfaces.size());
    for (const QNetworkInterface &interface : interfaces)
        entries.append({interface.humanReadableName(), interface.hardwareAddress(), interface.flags()});
    return entries;
}

QString chooseMacAddress(const QVector<InterfaceEntry> &interfaces, const QStringList &virtualNames,
                         bool removeColons)
{
    QStringList physicalAddresses;
    QStringList virtualAddresses;
    for (int index = 0; index < interfaces.size(); ++index) {
        const InterfaceEntry &interface = interfaces.at(index);
        if (!interface.flags.testFlag(QNetworkInterface::IsLoopBack)) {
            QString address = interface.hardwareAddress;
            if (removeColons)
                address.remove(QLatin1Char(':'));
            qCWarning(agentLog) << "-----" << index << protectLogValue(address.toUtf8());
            if (virtualNames.contains(interface.name)) {
                virtualAddresses.append(address);
                qCWarning(agentLog) << "virtual address" << protectLogValue(address.toUtf8());
            } else {
                physicalAddresses.append(address);
                qCWarning(agentLog) << "Physics address" << protectLogValue(address.toUtf8());
            }
        }
        if (physicalAddresses.size() == 2)
            break;
    }

    if (!physicalAddresses.isEmpty()) {
        const QString result = physicalAddresses.join(QLatin1Char(','));
        qCWarning(agentLog) << "return physics macAddr" << protectLogValue(result.toUtf8());
        return result;
    }

    QString result;
    if (virtualAddresses.size() == 1)
        result = virtualAddresses.at(0);
    else if (virtualAddresses.size() >= 2)
        result = virtualAddresses.at(0) + QLatin1Char(',') + virtualAddresses.at(1);
    qCWarning(agentLog) << "return macAddr" << protectLogValue(result.toUtf8());
    return result;
}

QString firstActiveMacAddress(const QVector<InterfaceEntry> &interfaces)
{
    for (const InterfaceEntry &interface : interfaces) {
        if (interface.flags.testFlag(QNetworkInterface::IsUp) && interface.flags.testFlag(QNetworkInterface::IsRunning)
            && !interface.flags.testFlag(QNetworkInterface::IsLoopBack))
            return interface.hardwareAddress;
    }
    return QString();
}

QStringList virtualNamesFromRun(const facts::CommandResult &run)
{
    if (!run.succeeded())
        return QStringList();
    const QStringList names = virtualNamesFromListing(run.output);
    qCWarning(agentLog) << "all virtual mac " << protectLogValue(names.join(QLatin1Char(',')).toUtf8());
    return names;
}

QStringList listVirtualNames(const QString &program, const QStringList &arguments, int timeoutMs)
{
    return virtualNamesFromRun(facts::runCommand({program, arguments}, timeoutMs));
}

} // namespace factparsers
