// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

// Who is behind a connection to the bus, as the bus daemon tells: the journal fields
// CALLER_UID= and CALLER_PID= of a unique name. An answer is kept while its name stays on the
// bus, so a caller costs one round trip to the bus for its first call and none for later ones,
// and is dropped when the name leaves, so the table holds no more than the callers connected.
class CallerCredentials : public QObject
{
    Q_OBJECT
public:
    // bus is the connection the calls arrive on.
    explicit CallerCredentials(const QDBusConnection &bus);
    ~CallerCredentials() override;

    // Empty when the bus cannot tell, for instance because the caller has already left.
    QVector<QByteArray> journalFields(const QString &uniqueName);
    bool knows(const QString &uniqueName) const { return m_known.contains(uniqueName); }
    int size() const { return m_known.size(); }

private Q_SLOTS:
    void nameOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    QString m_questionsConnection;
    bool m_questionsConnected = false;
    QHash<QString, QVector<QByteArray>> m_known;
};
