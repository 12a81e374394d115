// SPDX-License-Identifier: GPL-3.0-or-later
#include "reliability.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>

namespace reliability {

int sizeFromEnv(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

void figure(const QString &name, const QString &value)
{
    std::printf("FIGURE %s: %s\n", qPrintable(name), qPrintable(value));
    std::fflush(stdout);
}

QString spread(QVector<double> values, const QString &unit)
{
    if (values.isEmpty())
        return QStringLiteral("none");
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) { return values.at(std::min<qsizetype>(values.size() - 1, qsizetype(q * values.size()))); };
    return QStringLiteral("min %1 %5 / median %2 %5 / p95 %3 %5 / max %4 %5 (n=%6)")
        .arg(values.first(), 0, 'f', 1).arg(at(0.5), 0, 'f', 1).arg(at(0.95), 0, 'f', 1)
        .arg(values.last(), 0, 'f', 1).arg(unit).arg(values.size());
}

QByteArray payload(quint64 seed, int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator rng(quint32(seed ^ (seed >> 32)));
    const int words = size / 4;
    rng.fillRange(reinterpret_cast<quint32 *>(data.data()), words);
    for (int i = words * 4; i < size; ++i)
        data[i] = char(rng.bounded(256));
    // The seed itself leads, so two payloads of one size never share their first bytes.
    const QByteArray head = QByteArray::number(seed) + '\n';
    for (int i = 0; i < head.size() && i < size; ++i)
        data[i] = head.at(i);
    return data;
}

bool agentAnswers(QDBusConnection bus, int timeoutMs)
{
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QLatin1String(service), QLatin1String(objectPath), QStringLiteral("org.freedesktop.DBus.Peer"),
        QStringLiteral("Ping"));
    const QDBusMessage introspect = QDBusMessage::createMethodCall(
        QLatin1String(service), QLatin1String(objectPath), QStringLiteral("org.freedesktop.DBus.Introspectable"),
        QStringLiteral("Introspect"));
    const QDBusMessage a = bus.call(ping, QDBus::Block, timeoutMs);
    const QDBusMessage b = bus.call(introspect, QDBus::Block, timeoutMs);
    return a.type() == QDBusMessage::ReplyMessage && b.type() == QDBusMessage::ReplyMessage
        && b.arguments().value(0).toString().contains(QLatin1String(interface));
}

} // namespace reliability
