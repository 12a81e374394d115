// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/blockdevicecollector.h"

#include "agent/agentlog.h"
#include "agent/sysinfo/commandrunner.h"
#include "agent/sysinfo/factconstants.h"
#include "agent/sysinfo/sysutils.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QStringList>

#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace {

const QString rootMount = QLatin1String(facts::rootMount);
const QString bootMount = QLatin1String(facts::bootMount);
const QString hostMount = QLatin1String(facts::hostMount);

// The fields of an ATA identify block that name the drive.
constexpr int identityBlockSize = 512;
constexpr int serialOffset = 20;
constexpr int serialSize = 20;
constexpr int modelOffset = 54;
constexpr int modelSize = 40;

QString textOf(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

BlockDeviceRecord recordOf(const QJsonObject &object, const QString &parentName, const QString &diskName)
{
    BlockDeviceRecord record;
    record.name = textOf(object, QStringLiteral("name"));
    record.serial = textOf(object, QStringLiteral("serial"));
    record.type = textOf(object, QStringLiteral("type"));
    record.model = textOf(object, QStringLiteral("model"));
    record.mountpoint = textOf(object, QStringLiteral("mountpoint"));
    record.parentName = parentName;
    record.diskName = diskName;
    return record;
}

bool isSystemMount(const QString &mountpoint)
{
    return mountpoint == rootMount || mountpoint == bootMount;
}

QString modelSerial(const BlockDeviceRecord &record)
{
    return record.model + QLatin1Char('_') + record.serial;
}

} // namespace

bool BlockDeviceCollector::executeCmd(const QString &command, QString &output)
{
    return ::executeCmd(command, output);
}

void BlockDeviceCollector::loadDeviceTable()
{
    QString output;
    if (!executeCmd(facts::blockDeviceListingCommand(), output))
        return;
    loadDeviceTableFromJson(output);
}

void BlockDeviceCollector::loadDeviceTableFromJson(const QString &output)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(output.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        qCWarning(agentLog) << "JSON error" << int(error.error);
        return;
    }
    if (document.isNull())
        return;

    const QJsonArray top = document.object().value(QStringLiteral("blockdevices")).toArray();
    for (const QJsonValue &element : top) {
        const QJsonObject object = element.toObject();
        BlockDeviceRecord record = recordOf(object, QString(), QString());
        record.diskName = record.name;
        record.onSystemMount = isSystemMount(record.mountpoint);
        const QString name = record.name;
        devices.insert(name, record);
        addChildren(object, name, name);
    }
}

void BlockDeviceCollector::addChildren(const QJsonObject &object, const QString &diskName, const QString &parentName)
{
    const QJsonValue children = object.value(QStringLiteral("children"));
    if (children.isUndefined() || children.isNull())
        return;
    const QJsonArray array = children.toArray();
    for (const QJsonValue &element : array) {
        const QJsonObject child = element.toObject();
        BlockDeviceRecord record = recordOf(child, parentName, diskName);
        if (isSystemMount(record.mountpoint)) {
            record.onSystemMount = true;
            devices[diskName].onSystemMount = true;
        }
        const QString name = record.name;
        devices.insert(name, record);
        addChildren(child, diskName, name);
    }
}

bool BlockDeviceCollector::ensureLoaded()
{
    if (devices.isEmpty())
        loadDeviceTable();
    return !devices.isEmpty();
}

QMap<QString, BlockDeviceRecord> BlockDeviceCollector::deviceTable()
{
    ensureLoaded();
    return devices;
}

QString BlockDeviceCollector::systemDiskName()
{
    if (!ensureLoaded())
        return QString();

    // Records without a disk take no part; a root file system on a loop device is passed over.
    QVector<MountedDevice> mounted;
    QStringList diskNames;
    for (const BlockDeviceRecord &record : std::as_const(devices)) {
        if (record.diskName.isEmpty())
            continue;
        mounted.append({record.mountpoint, record.type != QLatin1String("loop")});
        diskNames.append(record.diskName);
    }
    const int found = findSystemMount(mounted, BootOrHost::LastBootElseLastHost);
    const QString result = found < 0 ? QString() : diskNames.at(found);
    if (result.isEmpty())
        qCWarning(agentLog) << "get mount disk name is null!";
    qCWarning(agentLog) << "diskMountName:" << result;
    return result;
}

QString BlockDeviceCollector::ataIdentity()
{
    if (::getuid() != 0)
        return QString();
    const QByteArray path = QFile::encodeName(QStringLiteral("/dev/") + systemDiskName());
    return readAtaIdentity(path.constData());
}

QString BlockDeviceCollector::systemPartitionName()
{
    if (!ensureLoaded())
        return QString();

    for (const BlockDeviceRecord &record : std::as_const(devices)) {
        if (record.mountpoint == rootMount)
            resolvePartition(rootMount, record.name);
        else if (record.mountpoint == bootMount)
            resolvePartition(bootMount, record.name);
    }

    if (partitionByMount.contains(rootMount))
        return partitionByMount.value(rootMount);
    if (partitionByMount.contains(bootMount))
        return partitionByMount.value(bootMount);
    return QString();
}

void BlockDeviceCollector::resolvePartition(const QString &key, const QString &name)
{
    // A listing that names a device as its own ancestor must not send the walk round for ever.
    QSet<QString> visited;
    QString current = name;
    while (!visited.contains(current)) {
        visited.insert(current);
        const auto it = devices.constFind(current);
        if (it == devices.constEnd())
            return;
        if (it->type == QLatin1String("part") || it->type == QLatin1String("loop"))
            partitionByMount.insert(key, it->name);
        if (it->parentName.isEmpty())
            return;
        current = it->parentName;
    }
}

QString BlockDeviceCollector::systemDiskModelSerial()
{
    if (!ensureLoaded())
        return QString();

    QMap<QString, QString> found;
    for (const BlockDeviceRecord &record : std::as_const(devices)) {
        if (record.diskName.isEmpty())
            continue;
        if (record.mountpoint == rootMount)
            found.insert(rootMount, modelSerial(devices.value(record.diskName)));
        else if (record.mountpoint == bootMount)
            found.insert(bootMount, modelSerial(devices.value(record.diskName)));
    }
    if (found.contains(rootMount))
        return found.value(rootMount);
    if (found.contains(bootMount))
        return found.value(bootMount);
    return modelSerial(devices.first());
}

int findSystemMount(const QVector<MountedDevice> &devices, BootOrHost rule)
{
    int boot = -1;
    int host = -1;
    int bootOrHost = -1;
    for (int i = 0; i < devices.size(); ++i) {
        const MountedDevice &device = devices.at(i);
        if (device.mountpoint == rootMount && device.mayHoldRoot)
            return i;
        if (device.mountpoint == bootMount)
            boot = i;
        else if (device.mountpoint == hostMount)
            host = i;
        else
            continue;
        if (bootOrHost < 0)
            bootOrHost = i;
    }
    if (rule == BootOrHost::FirstOfEither)
        return bootOrHost;
    return boot >= 0 ? boot : host;
}

QList<QMap<QString, QString>> parseKeyValueLines(const QString &text)
{
    QList<QMap<QString, QString>> rows;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        QMap<QString, QString> row;
        const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString &field : fields) {
            const QStringList parts = field.split(QLatin1Char('='), Qt::SkipEmptyParts);
            if (parts.size() == 2)
                row.insert(parts.at(0), unquote(parts.at(1)));
        }
        rows.append(row);
    }
    return rows;
}

QString unquote(QString value)
{
    if (value.size() >= 2) {
        if (value.endsWith(QLatin1Char('"')))
            value.chop(1);
        if (value.startsWith(QLatin1Char('"')))
            value.remove(0, 1);
    }
    return value;
}

QString ataIdentityFromBlock(const QByteArray &block512)
{
    if (block512.size() < identityBlockSize)
        return QString();

    char text[1024] = {};
    const char *block = block512.constData();
    for (int i = 0; i < modelSize && block[modelOffset + i] != '\0'; ++i)
        text[i] = block[modelOffset + i];
    for (int i = 0; i < serialSize && block[serialOffset + i] != '\0'; ++i)
        text[modelSize + i] = block[serialOffset + i];
    return QString::fromLatin1(text);
}

QString readAtaIdentity(const char *devicePath)
{
    if (::getuid() != 0 || devicePath == nullptr)
        return QString();
    const int fd = ::open(devicePath, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return QString();

    unsigned char block[identityBlockSize] = {};
    QString result;
    if (::ioctl(fd, HDIO_GET_IDENTITY, block) == 0)
        result = ataIdentityFromBlock(QByteArray(reinterpret_cast<const char *>(block), identityBlockSize));
    ::close(fd);
    return result;
}
