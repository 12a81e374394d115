// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QVector>

namespace simplelog {

// Adds "NAME=value" fields to every journal entry the calling thread writes while the object
// lives, for example the error number behind one failure line or the caller of a bus call:
// "journalctl -o verbose" then shows them while the message text and the log file's line stay
// as they are. Objects nest, and every enclosing object's fields are sent too; they are
// destroyed in the reverse order of their creation, as scoped objects are.
class JournalFields
{
public:
    JournalFields(const char *name, const QByteArray &value);
    JournalFields(const char *name, int value);
    // Entries already in the form "NAME=value"; none is fine.
    explicit JournalFields(QVector<QByteArray> entries);
    ~JournalFields();
    JournalFields(const JournalFields &) = delete;
    JournalFields &operator=(const JournalFields &) = delete;

    // The calling thread's most recent object, or nullptr; outer() leads to the earlier ones.
    static const JournalFields *innermost();
    const JournalFields *outer() const { return m_outer; }
    const QVector<QByteArray> &entries() const { return m_entries; }

private:
    QVector<QByteArray> m_entries;
    const JournalFields *m_outer;
};

} // namespace simplelog
