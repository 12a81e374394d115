// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QVector>

class QJsonObject;

// One device of the JSON block-device listing. Null or missing values read as empty text.
class BlockDeviceRecord
{
public:
    bool onSystemMount = false;
    QString name;
    QString serial;
    QString type;
    QString model;
    QString mountpoint;
    QString parentName;
    QString diskName;
};

// Runs the block-device listing once it is first needed and answers which disk and which
// partition hold the running system. Once loaded, the table is kept for the collector's life.
class BlockDeviceCollector
{
public:
    BlockDeviceCollector() = default;
    BlockDeviceCollector(const BlockDeviceCollector &) = delete;
    BlockDeviceCollector &operator=(const BlockDeviceCollector &) = delete;

    // The command runner (executeCmd of sysutils.h), through which the listing here and the
    // commands of SystemInfo run; it uses nothing of the collector.
    bool executeCmd(const QString &command, QString &output);

    void loadDeviceTable();
    // Fills devices from the listing's text; loadDeviceTable hands it the tool's output.
    void loadDeviceTableFromJson(const QString &output);

    QMap<QString, BlockDeviceRecord> deviceTable();
    QString systemDiskName();
    QString ataIdentity();
    QString systemPartitionName();
    QString systemDiskModelSerial();

    QMap<QString, BlockDeviceRecord> devices;
    QMap<QString, QString> partitionByMount;

private:
    bool ensureLoaded();
    void addChildren(const QJsonObject &object, const QString &diskName, const QString &parentName);
    void resolvePartition(const QString &key, const QString &name);
};

// Where the system disk is searched: one device (a record or a listing row) with its mount point
// and whether a root file system on it counts.
struct MountedDevice
{
    QString mountpoint;
    bool mayHoldRoot = true;
};

// Which of a "/boot" and a "/host" device a search takes when no device holds the root.
enum class BootOrHost {
    LastBootElseLastHost, // a later "/boot" replaces an earlier one, and any "/boot" beats "/host"
    FirstOfEither,        // the first device mounted at either
};

// The index of the device that holds the running system: the first at "/" that may hold it,
// else one at "/boot" or "/host" as rule says; -1 when there is none.
int findSystemMount(const QVector<MountedDevice> &devices, BootOrHost rule);

// Rows of "KEY=\"value\"" pairs, one row per non-empty line.
QList<QMap<QString, QString>> parseKeyValueLines(const QString &text);
QString unquote(QString value);

// Model (40 bytes) followed by serial (20 bytes) from an ATA identify block, as the drive pads
// them; a NUL in the model ends the text there. Empty for a block shorter than 512 bytes.
QString ataIdentityFromBlock(const QByteArray &block512);

// The identify request on one device node; empty unless running with real user id 0 and the
// device answers. Uses no shared buffer, so calls may overlap.
QString readAtaIdentity(const char *devicePath);
