// SPDX-License-Identifier: GPL-3.0-or-later
#include "reliability.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    const auto at = [&](double q) { return values.at(std::min(values.size() - 1, int(q * values.size()))); };
    return QStringLiteral("min %1 %5 / median %2 %5 / p95 %3 %5 / max %4 %5 (n=%6)")
        .arg(values.first(), 0, 'f', 1).arg(at(0.5), 0, 'f', 1).arg(at(0.95), 0, 'f', 1)
        .arg(values.last(), 0, 'f', 1).arg(unit).arg(values.size());
}

static qint64 procField(const QString &path, const QByteArray &field)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 statusKiB(qint64 pid, const char *field)
{
    return procField(QStringLiteral("/proc/%1/status").arg(pid), field);
}

qint64 ioField(qint64 pid, const char *field)
{
    return procField(QStringLiteral("/proc/%1/io").arg(pid), field);
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

QDBusMessage agentCall(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(service), QLatin1String(objectPath),
                                                       QLatin1String(interface), method);
    call.setArguments(args);
    return call;
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

QStringList leftoverTemporaries(const QString &dir)
{
    QStringList found;
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName().startsWith(QLatin1String(".kvo-tmp-")))
            found.append(entry.filePath());
        else if (entry.isDir() && !entry.isSymLink())
            found += leftoverTemporaries(entry.filePath());
    }
    return found;
}

QByteArray readFile(const QString &path, bool *ok)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    if (ok)
        *ok = opened;
    return opened ? file.readAll() : QByteArray();
}

} // namespace reliability
