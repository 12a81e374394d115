// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/callerauthority.h"

#include "agent/agentlog.h"
#include "agent/constants.h"

#include <simplelog/journalfields.h>

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>
#include <utility>

namespace {

constexpr int minSweepAt = 64;

bool isTimeout(const QDBusError &error)
{
    return error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout;
}

QString describe(const QDBusError &error)
{
    return error.name() + QStringLiteral(": ") + error.message();
}

} // namespace

CallerAuthority::CallerAuthority(const QDBusConnection &bus)
    : m_bus(bus)
    , m_questionsName(QStringLiteral("kvo-caller-questions-%1").arg(quintptr(this)))
    , m_questions(QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_questionsName))
    , m_sweepAt(minSweepAt)
{
    // The answers come over a connection of their own: on the calls' connection they would
    // queue behind large calls that the bus library stops reading while calls wait for them.
    // Its name puts it behind the bus policy, which keeps other senders' messages from it.
    if (!m_questions.registerService(kvo::questionsServiceName()))
        qCWarning(agentLog).noquote() << QStringLiteral("Cannot own %1 for the questions about callers: %2")
                                             .arg(kvo::questionsServiceName(), m_questions.lastError().message());
    // On the connection the calls come in on, so that a caller's calls all come before the news
    // that it left. The empty third argument (no new owner) keeps names that arrive from waking us.
    m_bus.connect(kvo::busDaemonService(), kvo::busDaemonPath(), kvo::busDaemonInterface(),
                  QStringLiteral("NameOwnerChanged"), {QString(), QString(), QString(QLatin1String(""))},
                  QString(), this, SLOT(nameOwnerChanged(QString,QString,QString)));
}

bool CallerAuthority::admit(const QDBusMessage &call, const char *method, qint64 bytes, Work work)
{
    const QString name = call.service();
    if (!m_asking.contains(name)) {
        const auto known = m_answers.constFind(name);
        if (known != m_answers.constEnd() && !known->keptUntil.hasExpired()) {
            decide(*known, method, work);
            return true;
        }
        m_answers.remove(name);
    }
    if (m_waitingCalls >= maxWaitingCalls || m_waitingBytes + bytes > maxWaitingBytes) {
        Answer busy;
        busy.who = name;
        busy.refusal = QStringLiteral("too many calls are waiting for authorization");
        decide(busy, method, work);
        return true;
    }
    const bool first = !m_asking.contains(name);
    Asking &asking = m_asking[name];
    asking.calls.append({call, method, bytes, std::move(work)});
    ++m_waitingCalls;
    m_waitingBytes += bytes;
    if (first) {
        asking.who = name;
        QDBusMessage question = QDBusMessage::createMethodCall(kvo::busDaemonService(), kvo::busDaemonPath(),
                                                               kvo::busDaemonInterface(),
                                                               QStringLiteral("GetConnectionCredentials"));
        question << name;
        ask(name, question, &CallerAuthority::credentialsAnswered);
    }
    return false;
}

void CallerAuthority::decide(const Answer &answer, const char *method, const Work &work)
{
    const simplelog::JournalFields caller(answer.fields);
    if (!answer.allowed)
        qCWarning(agentLog).noquote() << QStringLiteral("Refused %1 from %2: %3")
                                             .arg(QLatin1String(method), answer.who, answer.refusal);
    work(answer.allowed);
}

void CallerAuthority::ask(const QString &name, const QDBusMessage &question,
                          void (CallerAuthority::*answered)(const QString &, const QDBusMessage &))
{
    auto *watcher = new QDBusPendingCallWatcher(m_questions.asyncCall(question, questionTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, name, answered](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        (this->*answered)(name, call->reply());
    });
}

void CallerAuthority::credentialsAnswered(const QString &name, const QDBusMessage &reply)
{
    const auto asking = m_asking.find(name);
    if (asking == m_asking.end())
        return;
    Answer answer;
    answer.who = name;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const QDBusError error(reply);
        if (error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
            answer.refusal = QStringLiteral("the caller has left");
        else if (isTimeout(error))
            answer.refusal = QStringLiteral("the bus did not say who the caller is within %1 ms").arg(questionTimeoutMs);
        else
            answer.refusal = QStringLiteral("the bus did not say who the caller is: ") + describe(error);
        finish(name, answer, false);
        return;
    }
    const QVariantMap credentials = reply.arguments().isEmpty()
        ? QVariantMap() : qdbus_cast<QVariantMap>(reply.arguments().constFirst());
    bool hasUid = false;
    const uint uid = credentials.value(QStringLiteral("UnixUserID")).toUInt(&hasUid);
    bool hasPid = false;
    const uint pid = credentials.value(QStringLiteral("ProcessID")).toUInt(&hasPid);
    QStringList who;
    if (hasUid) {
        asking->fields.append("CALLER_UID=" + QByteArray::number(uid));
        who.append(QStringLiteral("uid %1").arg(uid));
    }
    if (hasPid) {
        asking->fields.append("CALLER_PID=" + QByteArray::number(pid));
        who.append(QStringLiteral("pid %1").arg(pid));
    }
    if (!who.isEmpty())
        asking->who = name + QStringLiteral(" (") + who.join(QStringLiteral(", ")) + QLatin1Char(')');
    answer.who = asking->who;
    if (!hasUid) {
        answer.refusal = QStringLiteral("the bus did not say who the caller is");
        finish(name, answer, false);
    } else if (uid == 0) {
        answer.allowed = true;
        finish(name, answer, true);
    } else if (asking->gone) {
        answer.refusal = QStringLiteral("the caller has left");
        finish(name, answer, false);
    } else {
        // (sa{sv}sa{ss}us): the caller's bus name as subject, no details, no interaction.
        QDBusArgument subject;
        subject.beginStructure();
        subject << QStringLiteral("system-bus-name") << QVariantMap{{QStringLiteral("name"), name}};
        subject.endStructure();
        QDBusArgument details;
        details.beginMap(qMetaTypeId<QString>(), qMetaTypeId<QString>());
        details.endMap();
        QDBusMessage question = QDBusMessage::createMethodCall(kvo::polkitService(), kvo::polkitAuthorityPath(),
                                                               kvo::polkitAuthorityInterface(),
                                                               QStringLiteral("CheckAuthorization"));
        question << QVariant::fromValue(subject) << kvo::storeFilesAction() << QVariant::fromValue(details)
                 << uint(0) << QString();
        ask(name, question, &CallerAuthority::polkitAnswered);
    }
}

void CallerAuthority::polkitAnswered(const QString &name, const QDBusMessage &reply)
{
    const auto asking = m_asking.find(name);
    if (asking == m_asking.end())
        return;
    Answer answer;
    answer.who = asking->who;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const QDBusError error(reply);
        if (isTimeout(error))
            answer.refusal = QStringLiteral("polkit did not answer within %1 ms").arg(questionTimeoutMs);
        else
            answer.refusal = QStringLiteral("polkit did not answer: ") + describe(error);
        finish(name, answer, false);
        return;
    }
    if (reply.signature() != QLatin1String("(bba{ss})")) {
        answer.refusal = QStringLiteral("polkit answered with %1 instead of (bba{ss})").arg(reply.signature());
        finish(name, answer, false);
        return;
    }
    bool authorized = false;
    bool challenge = false;
    QMap<QString, QString> details;
    const QDBusArgument result = reply.arguments().constFirst().value<QDBusArgument>();
    result.beginStructure();
    result >> authorized >> challenge >> details;
    result.endStructure();
    answer.allowed = authorized;
    if (!authorized) {
        answer.refusal = challenge ? QStringLiteral("polkit would ask the user to authenticate, and the agent asks without interaction")
                                   : QStringLiteral("polkit does not authorize %1").arg(kvo::storeFilesAction());
    }
    // An answer about a caller that has left is used for its calls but not kept: its name
    // would never leave the table.
    finish(name, answer, !asking->gone);
}

void CallerAuthority::finish(const QString &name, Answer answer, bool keep)
{
    Asking asking = m_asking.take(name);
    answer.fields = asking.fields;
    for (const WaitingCall &waiting : std::as_const(asking.calls)) {
        --m_waitingCalls;
        m_waitingBytes -= waiting.bytes;
        decide(answer, waiting.method, waiting.work);
        if (waiting.call.isReplyRequired())
            m_bus.send(waiting.call.createReply());
    }
    if (!keep)
        return;
    answer.keptUntil = QDeadlineTimer(answerKeptMs);
    answer.serial = ++m_serial;
    m_answers.insert(name, answer);
    if (m_answers.size() >= m_sweepAt && !m_sweeping) {
        m_sweeping = true;
        const quint64 askedAt = m_serial;
        const QDBusMessage question = QDBusMessage::createMethodCall(kvo::busDaemonService(), kvo::busDaemonPath(),
                                                                     kvo::busDaemonInterface(), QStringLiteral("ListNames"));
        auto *watcher = new QDBusPendingCallWatcher(m_questions.asyncCall(question, questionTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, askedAt](QDBusPendingCallWatcher *call) {
            call->deleteLater();
            sweepAnswered(askedAt, call->reply());
        });
    }
}

void CallerAuthority::sweepAnswered(quint64 askedAt, const QDBusMessage &reply)
{
    m_sweeping = false;
    const bool listed = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
    QSet<QString> present;
    if (listed) {
        const QStringList names = reply.arguments().constFirst().toStringList();
        present = QSet<QString>(names.begin(), names.end());
    }
    // Names kept after the question was asked may be missing from the answer without having left.
    for (auto it = m_answers.begin(); it != m_answers.end();) {
        if (it->keptUntil.hasExpired() || (listed && it->serial <= askedAt && !present.contains(it.key())))
            it = m_answers.erase(it);
        else
            ++it;
    }
    m_sweepAt = std::max(minSweepAt, 2 * int(m_answers.size()));
}

CallerAuthority::~CallerAuthority()
{
    QDBusConnection::disconnectFromBus(m_questionsName);
}

void CallerAuthority::nameOwnerChanged(const QString &name, const QString &, const QString &newOwner)
{
    if (!newOwner.isEmpty())
        return;
    m_answers.remove(name);
    const auto asking = m_asking.find(name);
    if (asking != m_asking.end())
        asking->gone = true;
}
