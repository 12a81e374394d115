// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/callercredentials.h"

#include "agent/constants.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QVariantMap>

CallerCredentials::CallerCredentials(const QDBusConnection &bus)
    : m_questionsConnection(QStringLiteral("kvo-caller-credentials-%1").arg(quintptr(this)))
{
    // On the connection the calls come in on, so that a caller's calls are all served before
    // the news that it left, and subscribed before the first question, so that no caller leaves
    // unnoticed once asked about. The empty third argument (no new owner) keeps names that
    // arrive from waking us.
    QDBusConnection(bus).connect(kvo::busDaemonService(), kvo::busDaemonPath(), kvo::busDaemonInterface(),
                                 QStringLiteral("NameOwnerChanged"), {QString(), QString(), QString(QLatin1String(""))},
                                 QString(), this, SLOT(nameOwnerChanged(QString,QString,QString)));
}

CallerCredentials::~CallerCredentials()
{
    if (m_questionsConnected)
        QDBusConnection::disconnectFromBus(m_questionsConnection);
}

QVector<QByteArray> CallerCredentials::journalFields(const QString &uniqueName)
{
    const auto known = m_known.constFind(uniqueName);
    if (known != m_known.constEnd())
        return known.value();

    // The questions go over a connection of their own: on the calls' connection the answer
    // would queue behind the payloads of other calls, which are not read while this one is
    // served, and the question would wait for its time-out.
    if (!m_questionsConnected) {
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_questionsConnection);
        m_questionsConnected = true;
    }
    QDBusMessage question = QDBusMessage::createMethodCall(kvo::busDaemonService(), kvo::busDaemonPath(),
                                                           kvo::busDaemonInterface(),
                                                           QStringLiteral("GetConnectionCredentials"));
    question << uniqueName;
    const QDBusMessage answer = QDBusConnection(m_questionsConnection).call(question, QDBus::Block);
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
