// SPDX-License-Identifier: GPL-3.0-or-later
// The JSON block-device listing: loading, the walk through nested children, and the answers
// drawn from the table.

#include "fuzzsupport.h"
#include "agent/sysinfo/blockdevicecollector.h"

#include <QSet>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    BlockDeviceCollector collector;
    collector.loadDeviceTableFromJson(text);
    // An empty table would make the getters run the real tool.
    if (collector.devices.isEmpty())
        return 0;

    for (auto it = collector.devices.cbegin(); it != collector.devices.cend(); ++it) {
        FUZZ_CHECK(it.key() == it->name, it.key());
        // The walk only records a child below a disk it came from, and every disk is recorded
        // before its children (a later duplicate may replace the entry, never remove it).
        if (!it->diskName.isEmpty() || !it->parentName.isEmpty())
            FUZZ_CHECK(collector.devices.contains(it->diskName), it.key());
        if (!it->parentName.isEmpty())
            FUZZ_CHECK(collector.devices.contains(it->parentName), it.key());
    }

    const QString disk = collector.systemDiskName();
    FUZZ_CHECK(disk.isEmpty() || collector.devices.contains(disk), disk);

    const QString partition = collector.systemPartitionName();
    if (!partition.isEmpty()) {
        FUZZ_CHECK(collector.devices.contains(partition), partition);
        const QString type = collector.devices.value(partition).type;
        FUZZ_CHECK(type == QLatin1String("part") || type == QLatin1String("loop"), partition);
    }

    collector.systemDiskModelSerial();
    FUZZ_CHECK(!collector.deviceTable().isEmpty(), QString());
    return 0;
}
