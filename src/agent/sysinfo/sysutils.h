// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "agent/sysinfo/factconstants.h"

#include <QByteArray>
#include <QMap>
#include <QString>

using facts::commandTimeoutMs;

// Runs command through "bash" "-c" and waits at most timeoutMs. output becomes the standard
// output decoded as Latin-1 up to the first zero byte, or the null text when nothing was read.
// The exit code is ignored: true exactly when output is not empty. A command still running at
// the deadline is ended with everything it started. Defined in kvo-facts (commandrunner.cpp), not
// beside the file helpers, so that the agent, which runs no command, does not carry it.
bool executeCmd(const QString &command, QString &output, int timeoutMs = commandTimeoutMs);

// The whole content of a file, or empty bytes and a warning when it cannot be opened.
QByteArray readFile(const QString &path);

// True when path names an existing entry of any kind; a warning otherwise.
bool fileExists(const QString &path);

// Every key of one group of a Qt INI-format file (UTF-8), sub-group keys as "sub/key".
QMap<QString, QString> readIniGroup(const QString &path, const QString &group);
