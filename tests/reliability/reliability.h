// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Helpers shared by the reliability programs: sizes from the environment, figures in a form
// scripts/stress collects, process statistics from /proc, reproducible payloads, bus calls.

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>
#include <QVector>

namespace reliability {

inline constexpr const char *service = "com.corvid.serviceandsupport";
inline constexpr const char *objectPath = "/com/corvid/serviceandsupport/agent";
inline constexpr const char *interface = "com.corvid.serviceandsupport.agent";

// The value of the environment variable name when it is a positive number, else fallback.
int sizeFromEnv(const char *name, int fallback);

// Prints "FIGURE <name>: <value>" on standard output; scripts/stress shows these lines.
void figure(const QString &name, const QString &value);

// "min / median / p95 / max" of values, each with unit.
QString spread(QVector<double> values, const QString &unit);

// A field of /proc/<pid>/status in KiB (VmRSS, VmHWM), or -1.
qint64 statusKiB(qint64 pid, const char *field);
// A field of /proc/<pid>/io (rchar, ...), or -1.
qint64 ioField(qint64 pid, const char *field);

// size bytes that depend only on seed, so a file can be checked against what was sent.
QByteArray payload(quint64 seed, int size);

QDBusMessage agentCall(const QString &method, const QVariantList &args);

// Ping and Introspect on the agent's object, both answered within timeoutMs.
bool agentAnswers(QDBusConnection bus, int timeoutMs = 60000);

// Entries whose name starts with the temporary prefix, below dir (links not followed).
QStringList leftoverTemporaries(const QString &dir);

QByteArray readFile(const QString &path, bool *ok = nullptr);

} // namespace reliability
