// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/systeminfo.h"

#include "agent/agentlog.h"
#include "agent/sysinfo/blockdevicecollector.h"
#include "agent/sysinfo/commandrunner.h"
#include "agent/sysinfo/factconstants.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDebug>
#include <QStringList>

namespace {

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
    QDBusMessage call = QDBusMessage::createMethodCall(facts::udisksService(), path, facts::propertiesInterface(),
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
    return QStringLiteral("%1%2").arg(facts::udisksBlockPrefix(), name);
}

} // namespace

QString SystemInfo::systemDiskIdCompact()
{
    return facts::compactDiskId(m_collector->systemDiskModelSerial());
}

QString SystemInfo::systemDiskNameByPairs()
{
    const facts::Command listing{facts::pairsListingProgram(), facts::pairsListingArguments()};
    return facts::systemDiskFromPairs(facts::runCommand(listing).text());
}

QString SystemInfo::udisksBlockId()
{
    return facts::udisksBlockIdOf(systemDiskNameByPairs());
}

QString SystemInfo::udisksDriveId()
{
    return facts::udisksDriveIdOf(systemDiskNameByPairs());
}

namespace facts {

QString compactDiskId(const QString &modelSerial)
{
    if (modelSerial.isEmpty())
        return QString();
    return compacted(modelSerial);
}

// The rows in a log line as Qt 5 writes a list, "(QMap(...), QMap(...))", on every Qt (Qt 6
// writes "QList(...)"), so that support reads the same line from every build.
struct LoggedRows
{
    const QList<QMap<QString, QString>> &rows;
};

QDebug operator<<(QDebug debug, const LoggedRows &logged)
{
    const QDebugStateSaver saver(debug);
    debug.nospace() << '(';
    for (qsizetype i = 0; i < logged.rows.size(); ++i) {
        if (i > 0)
            debug << ", ";
        debug << logged.rows.at(i);
    }
    debug << ')';
    return debug;
}

QString systemDiskFromPairs(const QString &listing)
{
    const QList<QMap<QString, QString>> rows = parseKeyValueLines(listing);

    const QString mountKey = QStringLiteral("MOUNTPOINT");
    const QString typeKey = QStringLiteral("TYPE");
    QVector<MountedDevice> mounted;
    mounted.reserve(rows.size());
    for (const auto &row : rows)
        mounted.append({row.value(mountKey), row.value(typeKey).compare(QLatin1String("part"), Qt::CaseInsensitive) == 0});
    const int found = findSystemMount(mounted, BootOrHost::FirstOfEither);
    if (found >= 0) {
        qCWarning(agentLog) << "MountpointInfo:" << rows.at(found);
        return rows.at(found).value(QStringLiteral("PKNAME"));
    }
    for (const auto &row : rows) {
        if (row.value(typeKey).compare(QLatin1String("disk"), Qt::CaseInsensitive) == 0) {
            qCWarning(agentLog) << "First diskInfo:" << row;
            return row.value(QStringLiteral("NAME"));
        }
    }
    qCWarning(agentLog) << "Can't find mountDiskName:" << LoggedRows{rows};
    return QString();
}

QString udisksBlockIdOf(const QString &diskName)
{
    const QVariant id = udisksProperty(blockDevicePath(diskName), udisksBlockInterface(), QStringLiteral("Id"));
    return latin1UpToNul(id.toString().toUtf8());
}

QString udisksDriveIdOf(const QString &diskName)
{
    const QVariant drive = udisksProperty(blockDevicePath(diskName), udisksBlockInterface(), QStringLiteral("Drive"));
    const QString drivePath = drive.value<QDBusObjectPath>().path();
    const QString id = udisksProperty(drivePath, udisksDriveInterface(), QStringLiteral("Id")).toString();
    if (id.isEmpty())
        return QString();
    return compacted(id);
}

} // namespace facts
