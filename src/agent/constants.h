// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Fixed names of the service: bus, logging and the support application's data files.
namespace kvo {

inline QString serviceName() { return QStringLiteral("com.corvid.serviceandsupport"); }
inline QString agentObjectPath() { return QStringLiteral("/com/corvid/serviceandsupport/agent"); }
inline QString agentInterface() { return QStringLiteral("com.corvid.serviceandsupport.agent"); }
// The agent's connection for its questions about callers; it serves nothing.
inline QString questionsServiceName() { return QStringLiteral("com.corvid.serviceandsupport.questions"); }

inline QString busDaemonService() { return QStringLiteral("org.freedesktop.DBus"); }
inline QString busDaemonPath() { return QStringLiteral("/org/freedesktop/DBus"); }
inline QString busDaemonInterface() { return QStringLiteral("org.freedesktop.DBus"); }

// Who may change the support files: polkit's answer for this action, asked without interaction.
inline QString polkitService() { return QStringLiteral("org.freedesktop.PolicyKit1"); }
inline QString polkitAuthorityPath() { return QStringLiteral("/org/freedesktop/PolicyKit1/Authority"); }
inline QString polkitAuthorityInterface() { return QStringLiteral("org.freedesktop.PolicyKit1.Authority"); }
inline QString storeFilesAction() { return QStringLiteral("com.corvid.serviceandsupport.store-files"); }

inline QString organizationName() { return QStringLiteral("kvo-agent"); }
inline constexpr const char *localeCodec = "UTF-8";

inline QString logFormat()
{
    return QStringLiteral("%{time}{yyyy-MM-dd, HH:mm:ss.zzz} [%{type:-7}] [%{file:-20} %{line}] %{message}\n");
}
inline QString logDirectory() { return QStringLiteral("/var/log/kvo/kvo-service-support/"); }
inline QString logFileName() { return QStringLiteral("kvo-service-support-agent.log"); }
inline QString logFilePath() { return logDirectory() + logFileName(); }
inline constexpr const char *logCategoryName = "org.corvid.kvo-service-support.agent";

inline QString configService() { return QStringLiteral("org.desktopspec.ConfigManager"); }
inline QString configRootPath() { return QStringLiteral("/"); }
inline QString configRootInterface() { return QStringLiteral("org.desktopspec.ConfigManager"); }
inline QString configManagerInterface() { return QStringLiteral("org.desktopspec.ConfigManager.Manager"); }
inline QString configAppId() { return QStringLiteral("org.corvid.kvo-service-support"); }
// The configuration that holds the log rules is named after the category they govern.
inline QString configName() { return QString::fromLatin1(logCategoryName); }
inline QString configSubPath() { return QString(QLatin1String("")); }
inline QString logRulesKey() { return QStringLiteral("log_rules"); }

inline QString applicationName() { return QStringLiteral("kvo-service-support"); }
inline QString supportDirectory() { return QStringLiteral("/usr/share/") + applicationName() + QStringLiteral("/ini/"); }
// Temporary files of the support files, beside ini/ on the same file system.
inline QString stagingDirectory() { return QStringLiteral("/usr/share/") + applicationName() + QStringLiteral("/staging/"); }
inline QString deviceTreeFileName() { return QStringLiteral("kvo-devicetree.json"); }
inline QString customerFileName() { return QStringLiteral("customer.json"); }
inline QString qrCodePrefix() { return supportDirectory() + QStringLiteral("QRCode"); }
inline QString qrCodeDirectory() { return qrCodePrefix() + QLatin1Char('/'); }

inline QString pidFilePath() { return QStringLiteral("/tmp/kvo-service-support-pid"); }

} // namespace kvo
