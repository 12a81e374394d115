// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/versioninfo.h"

#include "agent/sysinfo/sysutils.h"

ReleaseRecord::ReleaseRecord(const QString &path, const QString &group)
    : m_path(path)
    , m_group(group)
{
}

bool ReleaseRecord::exists() const { return fileExists(m_path); }

void ReleaseRecord::reload()
{
    values.clear();
    if (fileExists(m_path))
        values = readIniGroup(m_path, m_group);
}

QString ReleaseRecord::value(const QString &key) const { return values.value(key); }
bool ReleaseRecord::isEmpty() const { return values.isEmpty(); }

OsVersionInfo::OsVersionInfo(const QString &path)
    : ReleaseRecord(path, versioninfo::osVersionGroup())
{
}

QString OsVersionInfo::systemName() const { return value(QStringLiteral("SystemName")); }
QString OsVersionInfo::systemNameZh() const { return value(QStringLiteral("SystemName[zh_CN]")); }
QString OsVersionInfo::productType() const { return value(QStringLiteral("ProductType")); }
QString OsVersionInfo::productTypeZh() const { return value(QStringLiteral("ProductType[zh_CN]")); }
QString OsVersionInfo::editionName() const { return value(QStringLiteral("EditionName")); }
QString OsVersionInfo::editionNameZh() const { return value(QStringLiteral("EditionName[zh_CN]")); }
QString OsVersionInfo::majorVersion() const { return value(QStringLiteral("MajorVersion")); }
QString OsVersionInfo::minorVersion() const { return value(QStringLiteral("MinorVersion")); }
QString OsVersionInfo::osBuild() const { return value(QStringLiteral("OsBuild")); }

OemVersionInfo::OemVersionInfo(const QString &path)
    : ReleaseRecord(path, versioninfo::oemVersionGroup())
{
}

QString OemVersionInfo::manufacturer() const { return value(QStringLiteral("Manufacturer")); }
QString OemVersionInfo::brand() const { return value(QStringLiteral("Brand")); }
QString OemVersionInfo::type() const { return value(QStringLiteral("Type")); }
