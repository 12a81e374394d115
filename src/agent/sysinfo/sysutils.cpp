// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/sysutils.h"

#include "agent/agentlog.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(agentLog) << path << "----" << file.errorString();
        return QByteArray();
    }
    return file.readAll();
}

bool fileExists(const QString &path)
{
    // An entry counts even when it is a dangling symbolic link.
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        return true;
    qCWarning(agentLog) << path << " non-existent.";
    return false;
}

QMap<QString, QString> readIniGroup(const QString &path, const QString &group)
{
    QMap<QString, QString> values;
    QSettings settings(path, QSettings::IniFormat);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 reads INI files as UTF-8 always.
    settings.setIniCodec("UTF-8");
#endif
    // QSettings parses sections lazily: without a look at every key first, a sub-group written
    // under its own "[group/sub]" header is missing from the group's keys.
    settings.allKeys();
    settings.beginGroup(group);
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        values.insert(key, settings.value(key, QString()).toString());
    settings.endGroup();
    return values;
}
