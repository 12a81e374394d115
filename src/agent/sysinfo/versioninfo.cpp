// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/versioninfo.h"

#include "agent/sysinfo/sysutils.h"

QMap<QString, QString> versioninfo::readRecord(const QString &path, const QString &group)
{
    if (!fileExists(path))
        return {};
    return readIniGroup(path, group);
}

bool OsVersionInfo::exists() const { return fileExists(versioninfo::osVersionFile()); }

void OsVersionInfo::reload()
{
    values.clear();
    values = versioninfo::readRecord(versioninfo::osVersionFile(), versioninfo::osVersionGroup());
}

QString OsVersionInfo::value(const QString &key) const { return values.value(key); }
bool OsVersionInfo::isEmpty() const { return values.isEmpty(); }

QString OsVersionInfo::systemName() const { return value(QStringLiteral("SystemName")); }
QString OsVersionInfo::systemNameZh() const { return value(QStringLiteral("SystemName[zh_CN]")); }
QString OsVersionInfo::productType() const { return value(QStringLiteral("ProductType")); }
QString OsVersionInfo::productTypeZh() const { return value(QStringLiteral("ProductType[zh_CN]")); }
QString OsVersionInfo::editionName() const { return value(QStringLiteral("EditionName")); }
QString OsVersionInfo::editionNameZh() const { return value(QStringLiteral("EditionName[zh_CN]")); }
QString OsVersionInfo::majorVersion() const { return value(QStringLiteral("MajorVersion")); }
QString OsVersionInfo::minorVersion() const { return value(QStringLiteral("MinorVersion")); }
QString OsVersionInfo::osBuild() const { return value(QStringLiteral("OsBuild")); }

bool OemVersionInfo::exists() const { return fileExists(versioninfo::oemVersionFile()); }

void OemVersionInfo::reload()
{
    values.clear();
    values = versioninfo::readRecord(versioninfo::oemVersionFile(), versioninfo::oemVersionGroup());
}

QString OemVersionInfo::value(const QString &key) const { return values.value(key); }

QString OemVersionInfo::manufacturer() const { return value(QStringLiteral("Manufacturer")); }
QString OemVersionInfo::brand() const { return value(QStringLiteral("Brand")); }
QString OemVersionInfo::type() const { return value(QStringLiteral("Type")); }
