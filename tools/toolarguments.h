// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "agent/protectlogvalue.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

#include <sysexits.h>

// Wrong usage ends every tool with this status, after one line saying what is wrong and the usage.
inline constexpr int exitUsage = EX_USAGE;

// The command line of a tool, read the same way by every tool: "--name value" or "--name=value",
// "-h" and "--help" print the help to standard output, "--version" the version and the log key,
// "--" ends the options, "-" is an argument. Options are read in order: --help, --version or the
// first mistake ends the reading; an option given twice keeps its last value.
class ToolArguments
{
public:
    // usage: the synopsis lines without the leading "usage: "; about: what the tool does;
    // details: the text after the options (exit statuses), both printed by --help only.
    ToolArguments(const char *tool, const QStringList &usage, const QString &about, const QString &details,
                  int maxPositionalArguments = 0);

    void addOption(const QCommandLineOption &option);
    void addOptions(const QList<QCommandLineOption> &options);

    // -1 when the tool is to go on; otherwise --help, --version or wrong usage has been answered
    // and the tool ends with the returned status.
    int parse(int argc, const char *const argv[]);

    bool isSet(const QString &name) const;
    bool isSet(const QCommandLineOption &option) const;
    // The last value given, or the option's default.
    QString value(const QString &name) const;
    QString value(const QCommandLineOption &option) const;
    QStringList positionalArguments() const { return m_positional; }

    // Prints "tool: reason" and the usage to standard error; returns exitUsage.
    int usageError(const QString &reason) const;

    QByteArray usageText() const;
    QByteArray helpText() const;

private:
    const QCommandLineOption *find(const QString &name) const;

    QByteArray m_tool;
    QStringList m_usage;
    QString m_about;
    QString m_details;
    int m_maxPositional;
    QList<QCommandLineOption> m_options;
    QList<QPair<QString, QString>> m_given;
    QStringList m_positional;
};

// What --version prints: the tool with the project version, and the SHA-256 fingerprint of the log
// public key the shares rebuild, marked when it is the development key.
QByteArray versionText(const char *tool, const QStringList &shares = logKeyShares());
