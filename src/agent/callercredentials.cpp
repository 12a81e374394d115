// SPDX-License-Identifier: GPL-3.0-or-later
#include "callercredentials.h"

#include "constants.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QVariantMap>

CallerCredentials::CallerCredentials(const QDBusConnection &bus)
    : m_bus(bus)
{
    // Subscribed before the first question, so no caller can leave unnoticed after being asked
    // about; the empty third argument (no new owner) keeps names that arrive from waking us.
    m_bus.connect(kvo::busDaemonService(), kvo::busDaemonPath(), kvo::busDaemonInterface(),
                  QStringLiteral("NameOwnerChanged"), {QString(), QString(), QString(QLatin1String(""))}, QString(),
                  this, SLOT(nameOwnerChanged(QString,QString,QString)));
}

QVector<QByteArray> CallerCredentials::journalFields(const QString &uniqueName)
{
    const auto known = m_known.constFind(uniqueName);
    if (known != m_known.constEnd())
        return known.value();

    QDBusMessage question = QDBusMessage::createMethodCall(kvo::busDaemonService(), kvo::busDaemonPath(),
                                                           kvo::busDaemonInterface(),
                                                           QStringLiteral("GetConnectionCredentials"));
    question << uniqueName;
    const QDBusMessage answer = m_bus.call(question, QDBus::Block);
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        return {};
    const QVariantMap credentials = qdbus_cast<QVariantMap>(answer.arguments().constFirst());
    QVector<QByteArray> fields;
    bool valid = false;
    const uint uid = credentials.value(QStringLiteral("UnixUserID")).toUInt(&valid);
    if (valid)
        fields.append("CALLER_UID=" + QByteArray::number(uid));
    const uint pid = credentials.value(QStringLiteral("ProcessID")).toUInt(&valid);
    if (valid)
        fields.append("CALLER_PID=" + QByteArray::number(pid));
    if (!fields.isEmpty())
        m_known.insert(uniqueName, fields);
    return fields;
}

void CallerCredentials::nameOwnerChanged(const QString &name, const QString &, const QString &newOwner)
{
    if (newOwner.isEmpty())
        m_known.remove(name);
}
