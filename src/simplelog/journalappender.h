// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

class QMessageLogContext;

namespace simplelog {

// Sends entries to the system journal over its native protocol. Stateless apart from the
// identifier; callers may use it from any thread.
class JournalAppender
{
public:
    JournalAppender();

    // line is the formatted line; one trailing newline is not sent.
    // Returns libsystemd's result; a missing journal is not an error.
    int write(QtMsgType type, const QMessageLogContext &context, const QByteArray &line) const;

    static int priority(QtMsgType type);

private:
    QByteArray m_identifier;
};

// While an object of this class lives, every journal entry the thread that made it writes carries
// these fields as well, each "NAME=value" (the first MaxFields of them). Only the entry gains
// them: the formatted line, and with it the log file, stays as it is. Scopes nest; the innermost
// one holds.
class ScopedJournalFields
{
public:
    static constexpr int MaxFields = 4;

    explicit ScopedJournalFields(QVector<QByteArray> fields);
    ~ScopedJournalFields();
    ScopedJournalFields(const ScopedJournalFields &) = delete;
    ScopedJournalFields &operator=(const ScopedJournalFields &) = delete;

    // The fields of the calling thread's innermost scope; null outside any.
    static const QVector<QByteArray> *current();

private:
    QVector<QByteArray> m_fields;
    const ScopedJournalFields *m_outer;
};

} // namespace simplelog
