// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Command lines behind the board, processor and platform facts, and the text processing of
// their output, kept apart from the running so that recorded outputs can be fed in directly.

#include <QNetworkInterface>
#include <QString>
#include <QStringList>
#include <QVector>

class QObject;

namespace factparsers {

QString boardInfoCommand();
QString cpuInfoCommand();
// The device name comes from lsblk; a name that is not plain is quoted for the shell.
QString installTimeCommand(const QString &partitionName);
QString installTimeFallbackCommand();
QString raidControllerCommand();
// Lists the md arrays (md<digits>, and the names below md/) of devDirectory, "/dev" but in tests.
QString raidDeviceCommand(const QString &devDirectory);
QString hypervisorFlagCommand();
QString detectVirtCommand();

inline constexpr char virtualNetDir[] = "/sys/devices/virtual/net/";
inline constexpr char devDirectory[] = "/dev";
inline constexpr int listingTimeoutMs = 30000;

// The lines printed by the DMI pipelines joined with "#"; the empty string for no output.
QString joinDmiValues(const QString &output);

// "1_" and the text after the first "Filesystem created:", or the empty string for no output.
QString installTimeFromDumpe2fs(const QString &output);
// "2_" and the listing's date and time.
QString installTimeFromListing(const QString &output);

bool isVirtual(const QString &hypervisorFlagOutput, const QString &detectVirtOutput);

// Entries of a directory listing, one per line.
QStringList virtualNamesFromListing(const QByteArray &output);

struct InterfaceEntry
{
    QString name;
    QString hardwareAddress;
    QNetworkInterface::InterfaceFlags flags;
};

QVector<InterfaceEntry> interfaceEntries(const QList<QNetworkInterface> &interfaces);

// Up to two physical addresses, else up to two virtual ones, joined with ","; logs each
// address it looks at in the protected form only.
QString chooseMacAddress(const QVector<InterfaceEntry> &interfaces, const QStringList &virtualNames,
                         bool removeColons);

QString firstActiveMacAddress(const QVector<InterfaceEntry> &interfaces);

// Runs program as a child of parent and returns the names it lists within timeoutMs. A run
// that outlives the wait is left to end on its own; its end then only deletes the process.
QStringList listVirtualNames(QObject *parent, const QString &program, const QStringList &arguments,
                             int timeoutMs);

} // namespace factparsers
