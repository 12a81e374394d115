// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The fixed names of the machine facts: command lines, paths, bus names and the one time-out.
// Command lines built from a device name or a directory are made in factparsers; the ATA
// identify request is HDIO_GET_IDENTITY of <linux/hdreg.h>.

#include <QString>
#include <QStringList>

namespace facts {

// Every command of the facts gets this long before it is ended with everything it started.
inline constexpr int commandTimeoutMs = 30000;

inline QString shellProgram() { return QStringLiteral("bash"); }

inline QString boardInfoCommand()
{
    return QStringLiteral("dmidecode -t 1 | sed -n '/Product Name:/p;/Serial Number:/p;/UUID:/p' | sed s/[[:space:]]//g|awk  -F ':'  '{print $2}'");
}
inline QString cpuInfoCommand()
{
    return QStringLiteral("dmidecode -t 4 | sed -n '/ID/p;/Version/p' | sed s/[[:space:]]//g | awk -F ':' '{print $2}'");
}
inline QString installTimeFallbackCommand()
{
    return QStringLiteral("ls -lact --time-style '+%Y-%m-%d %H:%M:%S' / | tail -1 |awk '{print $6,$7}'");
}
inline QString raidControllerCommand() { return QStringLiteral("lspci | grep RAID"); }
inline QString hypervisorFlagCommand() { return QStringLiteral("cat /proc/cpuinfo | grep 'hypervisor'"); }
inline QString detectVirtCommand() { return QStringLiteral("systemd-detect-virt | xargs"); }
inline QString blockDeviceListingCommand() { return QStringLiteral("lsblk -J -bno NAME,SERIAL,TYPE,MODEL,MOUNTPOINT"); }

// The pairs listing and the listing of virtual interfaces run without a shell.
inline QString pairsListingProgram() { return QStringLiteral("lsblk"); }
inline QStringList pairsListingArguments()
{
    return {QStringLiteral("-o"), QStringLiteral("PKNAME,NAME,TYPE,MOUNTPOINT"), QStringLiteral("-P")};
}
inline QString virtualNamesProgram() { return QStringLiteral("ls"); }
inline constexpr char virtualNetDir[] = "/sys/devices/virtual/net/";

inline constexpr char devDirectory[] = "/dev";

// The mount points the system disk and partition are searched by, in this order.
inline constexpr char rootMount[] = "/";
inline constexpr char bootMount[] = "/boot";
inline constexpr char hostMount[] = "/host";

inline QString udisksService() { return QStringLiteral("org.freedesktop.UDisks2"); }
inline QString udisksBlockInterface() { return QStringLiteral("org.freedesktop.UDisks2.Block"); }
inline QString udisksDriveInterface() { return QStringLiteral("org.freedesktop.UDisks2.Drive"); }
inline QString udisksBlockPrefix() { return QStringLiteral("/org/freedesktop/UDisks2/block_devices/"); }
inline QString propertiesInterface() { return QStringLiteral("org.freedesktop.DBus.Properties"); }

} // namespace facts
