// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

namespace simplelog {

// Adds NAME=value to every journal entry the calling thread writes while the object lives,
// for example the error number behind one failure line: "journalctl -o verbose" then shows
// the cause while the message text and the log file's line stay as they are. Objects nest
// and are destroyed in the reverse order of their creation, as scoped objects are.
class JournalField
{
public:
    JournalField(const char *name, const QByteArray &value);
    JournalField(const char *name, int value);
    ~JournalField();
    JournalField(const JournalField &) = delete;
    JournalField &operator=(const JournalField &) = delete;

    // The calling thread's most recent field, or nullptr; outer() leads to the earlier ones.
    static const JournalField *innermost();
    const JournalField *outer() const { return m_outer; }
    // "NAME=value"
    const QByteArray &entry() const { return m_entry; }

private:
    QByteArray m_entry;
    const JournalField *m_outer;
};

} // namespace simplelog
