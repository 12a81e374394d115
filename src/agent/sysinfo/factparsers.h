// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The command lines built from a name, and the text processing of the facts' command output,
// kept apart from the running so that recorded outputs can be fed in directly. The fixed command
// lines are in factconstants.h.

#include <QByteArray>
#include <QNetworkInterface>
#include <QString>
#include <QStringList>
#include <QVector>

namespace facts {
struct CommandResult;
}

namespace factparsers {

// The device name comes from lsblk; a name that is not plain is quoted for the shell.
QString installTimeCommand(const QString &partitionName);
// Lists the md arrays (md<digits>, and the names below md/) of devDirectory, "/dev" but in tests.
QString raidDeviceCommand(const QString &devDirectory);

// The lines printed by the DMI pipelines joined with "#"; the empty string for no output.
QString joinDmiValues(const QString &output);

// "1_" and the text after the first "Filesystem created:", or the empty string for no output.
QString installTimeFromDumpe2fs(const QString &output);
// "2_" and the listing's date and time.
QString installTimeFromListing(const QString &output);

bool isVirtual(const QString &hypervisorFlagOutput, const QString &detectVirtOutput);

// Entries of a directory listing, one per line.
QStringList virtualNamesFromListing(const QByteArray &output);

// The names a finished listing run gives: its entries when it ended in time with status 0, else
// none; logs the names it gives in the protected form only.
QStringList virtualNamesFromRun(const facts::CommandResult &run);

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

// Runs program and returns the names it lists; a run that outlives timeoutMs is ended with its
// process group and gives none.
QStringList listVirtualNames(const QString &program, const QStringList &arguments, int timeoutMs);

} // namespace factparsers
