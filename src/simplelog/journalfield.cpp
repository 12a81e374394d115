// SPDX-License-Identifier: GPL-3.0-or-later
#include "journalfield.h"

namespace simplelog {

namespace {
thread_local const JournalField *t_innermost = nullptr;
}

JournalField::JournalField(const char *name, const QByteArray &value)
    : m_entry(QByteArray(name) + '=' + value)
    , m_outer(t_innermost)
{
    t_innermost = this;
}

JournalField::JournalField(const char *name, int value)
    : JournalField(name, QByteArray::number(value))
{
}

JournalField::~JournalField()
{
    t_innermost = m_outer;
}

const JournalField *JournalField::innermost()
{
    return t_innermost;
}

} // namespace simplelog
