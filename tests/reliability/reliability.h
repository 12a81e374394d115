// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Helpers shared by the reliability programs: sizes from the environment, figures in a form
// scripts/stress collects, reproducible payloads, bus calls; the file and /proc
// helpers of testhelpers.h and the agent call of testsupport.h under the same names.

#include "agent/constants.h"
#include "testhelpers.h"
#include "testsupport.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>
#include <QVector>

namespace reliability {

inline const QByteArray service = kvo::serviceName().toLatin1();
inline const QByteArray objectPath = kvo::agentObjectPath().toLatin1();
inline const QByteArray interface = kvo::agentInterface().toLatin1();

using testhelpers::ioField;
using testhelpers::leftoverTemporaries;
using testhelpers::readFile;
using testhelpers::statusKiB;
using testsupport::agentCall;

// The value of the environment variable name when it is a positive number, else fallback.
int sizeFromEnv(const char *name, int fallback);

// Prints "FIGURE <name>: <value>" on standard output; scripts/stress shows these lines.
void figure(const QString &name, const QString &value);

// "min / median / p95 / max" of values, each with unit.
QString spread(QVector<double> values, const QString &unit);

// size bytes that depend only on seed, so a file can be checked against what was sent.
QByteArray payload(quint64 seed, int size);

// Ping and Introspect on the agent's object, both answered within timeoutMs.
bool agentAnswers(QDBusConnection bus, int timeoutMs = 60000);

} // namespace reliability
