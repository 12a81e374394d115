// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class QDBusPendingCallWatcher;

// Who may change the support files, and who the journal entries of a call name.
//
// The bus tells who is behind a caller's connection (CALLER_UID=, CALLER_PID=); root is allowed,
// anyone else only when polkit grants the store-files action to the caller's bus name, asked
// without interaction. Every question goes over a connection of the agent's that owns a name the
// bus policy shields from other senders, without blocking and with a bound: the calls of a
// caller wait for its answers in order while other callers are served. An answer is kept for the
// caller's connection, for a while at most, so that a caller that stays pays for the questions
// once; the table is dropped from as names leave and swept against the bus's list of names,
// so it cannot outgrow the callers connected even when the news of a leaving is lost.
class CallerAuthority : public QObject
{
    Q_OBJECT
public:
    // What a call does once decided: allowed tells whether it may change anything. It runs
    // inside the caller's journal fields.
    using Work = std::function<void(bool allowed)>;

    static constexpr int questionTimeoutMs = 5000;
    static constexpr int answerKeptMs = 60000;
    static constexpr int maxWaitingCalls = 64;
    static constexpr qint64 maxWaitingBytes = qint64(128) << 20;

    // bus is the connection the calls arrive on.
    explicit CallerAuthority(const QDBusConnection &bus);
    ~CallerAuthority() override;

    // Decides call now when its caller's answer is known (true), or keeps it until the answers
    // come, then runs work and sends the empty reply (false: the caller must delay its reply).
    // bytes is what the call holds, counted against the bound on waiting calls.
    bool admit(const QDBusMessage &call, const char *method, qint64 bytes, Work work);

    // Callers whose answer is kept.
    int size() const { return m_answers.size(); }
    bool knows(const QString &uniqueName) const { return m_answers.contains(uniqueName); }

private Q_SLOTS:
    void nameOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    struct Answer
    {
        QVector<QByteArray> fields;
        QString who;          // ":1.42 (uid 1000, pid 321)"
        bool allowed = false;
        QString refusal;      // why not, when not allowed
        QDeadlineTimer keptUntil;
        quint64 serial = 0;   // when it was kept, against the sweeps
    };
    struct WaitingCall
    {
        QDBusMessage call;
        const char *method;
        qint64 bytes;
        Work work;
    };
    struct Asking
    {
        QVector<WaitingCall> calls;
        QVector<QByteArray> fields;
        QString who;
        bool gone = false;
    };

    void decide(const Answer &answer, const char *method, const Work &work);
    void ask(const QString &name, const QDBusMessage &question,
             void (CallerAuthority::*answered)(const QString &, const QDBusMessage &));
    void credentialsAnswered(const QString &name, const QDBusMessage &reply);
    void polkitAnswered(const QString &name, const QDBusMessage &reply);
    // Serves or refuses the calls waiting for name; keeps the answer when keep.
    void finish(const QString &name, Answer answer, bool keep);
    void sweepAnswered(quint64 askedAt, const QDBusMessage &reply);

    QDBusConnection m_bus;
    QString m_questionsName;
    QDBusConnection m_questions;
    QHash<QString, Answer> m_answers;
    QHash<QString, Asking> m_asking;
    int m_waitingCalls = 0;
    qint64 m_waitingBytes = 0;
    quint64 m_serial = 0;
    int m_sweepAt;
    bool m_sweeping = false;
};
