// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMap>
#include <QString>

// The release records: one INI group of a small file under /etc, loaded into memory.
namespace versioninfo {
inline QString osVersionFile() { return QStringLiteral("/etc/os-version"); }
inline QString osVersionGroup() { return QStringLiteral("Version"); }
inline QString oemVersionFile() { return QStringLiteral("/etc/oem-version"); }
inline QString oemVersionGroup() { return QStringLiteral("OEM-Version"); }
} // namespace versioninfo

// One release record; the two below only name its keys.
class ReleaseRecord
{
public:
    ReleaseRecord(const QString &path, const QString &group);

    bool exists() const;
    void reload();
    QString value(const QString &key) const;
    bool isEmpty() const;

    QMap<QString, QString> values;

private:
    QString m_path;
    QString m_group;
};

class OsVersionInfo : public ReleaseRecord
{
public:
    explicit OsVersionInfo(const QString &path = versioninfo::osVersionFile());

    QString systemName() const;
    QString systemNameZh() const;
    QString productType() const;
    QString productTypeZh() const;
    QString editionName() const;
    QString editionNameZh() const;
    QString majorVersion() const;
    QString minorVersion() const;
    QString osBuild() const;
};

class OemVersionInfo : public ReleaseRecord
{
public:
    explicit OemVersionInfo(const QString &path = versioninfo::oemVersionFile());

    QString manufacturer() const;
    QString brand() const;
    QString type() const;
};
