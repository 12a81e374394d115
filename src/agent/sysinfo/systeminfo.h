// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>

class BlockDeviceCollector;

// Facts about the machine, each gathered afresh from standard tools, the kernel or UDisks2.
// A fact that cannot be obtained is the empty string; two-valued states are 1 = yes, 2 = no.
class SystemInfo : public QObject
{
    Q_OBJECT
public:
    SystemInfo();
    ~SystemInfo() override;
    SystemInfo(const SystemInfo &) = delete;
    SystemInfo &operator=(const SystemInfo &) = delete;

    // Board, processor and platform.
    QString getBoardInfo();
    QString getCpuInfo();
    QString getInstallTime();
    bool hasRaid();
    int raidState();
    bool isVirtualMachine();
    int vmState();

    // Network interfaces.
    QString getMacAddress(bool removeColons);
    QString getActiveMacAddress();

    // Storage, beyond what the collector answers itself.
    QString systemDiskIdCompact();
    QString systemDiskNameByPairs();
    QString udisksBlockId();
    QString udisksDriveId();

    BlockDeviceCollector *blockDeviceCollector() const { return m_collector; }
    // The states the constructor found, without running the detection again.
    int raidStateAtConstruction() const { return m_raidState; }
    int vmStateAtConstruction() const { return m_vmState; }

private:
    BlockDeviceCollector *m_collector;
    qint32 m_vmState = 2;
    qint32 m_raidState = 2;
};

// The storage facts from outputs and names a caller has at hand, as SystemInfo gives them.
namespace facts {

// The model and serial of the system disk without "_", "-", blanks and dots.
QString compactDiskId(const QString &modelSerial);
// The system disk by the pairs listing; logs the row it takes, or all rows when none fits.
QString systemDiskFromPairs(const QString &listing);
QString udisksBlockIdOf(const QString &diskName);
QString udisksDriveIdOf(const QString &diskName);

} // namespace facts
