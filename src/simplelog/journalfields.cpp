// SPDX-License-Identifier: GPL-3.0-or-later
#include "simplelog/journalfields.h"

#include <utility>

namespace simplelog {

namespace {
thread_local const JournalFields *t_innermost = nullptr;
}

JournalFields::JournalFields(QVector<QByteArray> entries)
    : m_entries(std::move(entries))
    , m_outer(t_innermost)
{
    t_innermost = this;
}

JournalFields::JournalFields(const char *name, const QByteArray &value)
    : JournalFields(QVector<QByteArray>{QByteArray(name) + '=' + value})
{
}

JournalFields::JournalFields(const char *name, int value)
    : JournalFields(name, QByteArray::number(value))
{
}

JournalFields::~JournalFields()
{
    t_innermost = m_outer;
}

const JournalFields *JournalFields::innermost()
{
    return t_innermost;
}

} // namespace simplelog
