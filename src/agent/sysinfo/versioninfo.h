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

// What a record's reload reads: every key of group in the INI file at path, or nothing when
// the file is missing (with the warning of fileExists).
QMap<QString, QString> readRecord(const QString &path, const QString &group);
} // namespace versioninfo

class OsVersionInfo
{
public:
    bool exists() const;
    void reload();
    QString value(const QString &key) const;
    bool isEmpty() const;

    QString systemName() const;
    QString systemNameZh() const;
    QString productType() const;
    QString productTypeZh() const;
    QString editionName() const;
    QString editionNameZh() const;
    QString majorVersion() const;
    QString minorVersion() const;
    QString osBuild() const;

    QMap<QString, QString> values;
};

class OemVersionInfo
{
public:
    bool exists() const;
    void reload();
    QString value(const QString &key) const;

    QString manufacturer() const;
    QString brand() const;
    QString type() const;

    QMap<QString, QString> values;
};
