// SPDX-License-Identifier: GPL-3.0-or-later
#include "systeminfo.h"

#include "agentlog.h"
#include "blockdevicecollector.h"
#include "sysutils.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QProcess>
#include <QStringList>

namespace {

const QString udisksService = QStringLiteral("org.freedesktop.UDisks2");
const QString udisksBlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString udisksDriveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString udisksBlockPrefix = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");

QString compacted(QString text)
{
    text.remove(QLatin1Char('_'));
    text.remove(QLatin1Char('-'));
    text.remove(QLatin1Char(' '));
    text.remove(QLatin1Char('.'));
    return text;
}

// QtDBus refuses a malformed path itself, but with a warning of its own; a failed read is silent.
bool isObjectPath(const QString &path)
{
    if (path == QLatin1String("/"))
        return true;
    if (!path.startsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('/')))
        return false;
    const QStringList elements = path.mid(1).split(QLatin1Char('/'));
    for (const QString &element : elements) {
        if (element.isEmpty())
            return false;
        for (const QChar c : element) {
            if (!(c.unicode() < 128 && (c.isLetterOrNumber() || c == QLatin1Char('_'))))
                return false;
        }
    }
    return true;
}

// Invalid when the read fails for any reason: no bus, no service, no object, no property.
QVariant udisksProperty(const QString &path, const QString &interface, const QString &property)
{
    if (!isObjectPath(path))
        return QVariant();
    QDBusMessage call = QDBusMessage::createMethodCall(udisksService, path,
                                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call << interface << property;
    const QDBusMessage reply = QDBusConnection::systemBus().call(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QVariant();
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

QString blockDevicePath(const QString &name)
{
    // The name goes in unescaped: a name that UDisks2 escapes (such as one with "-") is not found.
    return QStringLiteral("%1%2").arg(udisksBlockPrefix, name);
}

} // namespace

QString SystemInfo::systemDiskIdCompact()
{
    const QString modelSerial = m_collector->systemDiskModelSerial();
    if (modelSerial.isEmpty())
        return QString();
    return compacted(modelSerial);
}

QString SystemInfo::systemDiskNameByPairs()
{
    QProcess process;
    process.start(QStringLiteral("lsblk"),
                  {QStringLiteral("-o"), QStringLiteral("PKNAME,NAME,TYPE,MOUNTPOINT"), QStringLiteral("-P")});
    process.waitForFinished(commandTimeoutMs);
    const QByteArray bytes = process.readAllStandardOutput();
    process.close();

    const int end = bytes.indexOf('\0');
    const QString text = QString::fromLatin1(bytes.constData(), end < 0 ? bytes.size() : end);
    const QList<QMap<QString, QString>> rows = parseKeyValueLines(text);

    const QString mountKey = QStringLiteral("MOUNTPOINT");
    const QString typeKey = QStringLiteral("TYPE");
    for (const auto &row : rows) {
        if (row.value(mountKey) == QLatin1String("/")
            && row.value(typeKey).compare(QLatin1String("part"), Qt::CaseInsensitive) == 0) {
            qCWarning(agentLog) << "MountpointInfo:" << row;
            return row.value(QStringLiteral("PKNAME"));
        }
    }
    for (const auto &row : rows) {
        const QString mountpoint = row.value(mountKey);
        if (mountpoint == QLatin1String("/boot") || mountpoint == QLatin1String("/host")) {
            qCWarning(agentLog) << "MountpointInfo:" << row;
            return row.value(QStringLiteral("PKNAME"));
        }
    }
    for (const auto &row : rows) {
        if (row.value(typeKey).compare(QLatin1String("disk"), Qt::CaseInsensitive) == 0) {
            qCWarning(agentLog) << "First diskInfo:" << row;
            return row.value(QStringLiteral("NAME"));
        }
    }
    qCWarning(agentLog) << "Can't find mountDiskName:" << rows;
    return QString();
}

QString SystemInfo::udisksBlockId()
{
    const QVariant id = udisksProperty(blockDevicePath(systemDiskNameByPairs()), udisksBlockInterface,
                                       QStringLiteral("Id"));
    const QByteArray bytes = id.toString().toUtf8();
    const int end = bytes.indexOf('\0');
    return QString::fromLatin1(bytes.constData(), end < 0 ? bytes.size() : end);
}

QString SystemInfo::udisksDriveId()
{
    const QVariant drive = udisksProperty(blockDevicePath(systemDiskNameByPairs()), udisksBlockInterface,
                                          QStringLiteral("Drive"));
    const QString drivePath = drive.value<QDBusObjectPath>().path();
    const QString id = udisksProperty(drivePath, udisksDriveInterface, QStringLiteral("Id")).toString();
    if (id.isEmpty())
        return QString();
    return compacted(id);
}
