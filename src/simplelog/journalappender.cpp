// SPDX-License-Identifier: GPL-3.0-or-later
#include "simplelog/journalappender.h"

#include "simplelog/journalfields.h"

#include <QtGlobal>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sys/uio.h>
#include <syslog.h>
#include <utility>

// Without this, sd-journal.h turns sd_journal_sendv() into a macro that adds this file's own
// CODE_FILE/CODE_LINE/CODE_FUNC next to the ones we send.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace simplelog {

namespace {

// Every value goes into an iovec of its own, so message text is never parsed as a format. The
// fields share one buffer: one allocation per line instead of one per field.
class Fields
{
public:
    explicit Fields(int expectedSize) { m_buffer.reserve(expectedSize); }
    void add(const char *field, const char *value, size_t valueSize)
    {
        const int start = m_buffer.size();
        m_buffer.append(field);
        m_buffer.append(value, int(valueSize));
        m_ends[m_count] = m_buffer.size();
        m_starts[m_count] = start;
        ++m_count;
    }
    void add(const char *field, const char *value)
    {
        add(field, value ? value : "", value ? std::strlen(value) : 0);
    }
    void add(const char *field, const QByteArray &value) { add(field, value.constData(), size_t(value.size())); }
    bool isFull() const { return m_count == Capacity; }

    int send()
    {
        // The buffer may have moved while it grew, so the pointers are taken only now.
        struct iovec iov[Capacity];
        char *base = m_buffer.data();
        for (int i = 0; i < m_count; ++i) {
            iov[i].iov_base = base + m_starts[i];
            iov[i].iov_len = size_t(m_ends[i] - m_starts[i]);
        }
        return sd_journal_sendv(iov, m_count);
    }

private:
    static constexpr int Capacity = 16;
    QByteArray m_buffer;
    int m_starts[Capacity] = {};
    int m_ends[Capacity] = {};
    int m_count = 0;
};

} // namespace

JournalAppender::JournalAppender()
    : m_identifier(program_invocation_short_name)
{
}

int JournalAppender::priority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return LOG_DEBUG;
    case QtInfoMsg:
        return LOG_INFO;
    case QtWarningMsg:
        return LOG_WARNING;
    case QtCriticalMsg:
        return LOG_CRIT;
    case QtFatalMsg:
        return LOG_ALERT;
    }
    return LOG_INFO;
}

int JournalAppender::write(QtMsgType type, const QMessageLogContext &context,
                           const QByteArray &line) const
{
    int length = line.size();
    if (length > 0 && line.at(length - 1) == '\n')
        --length;

    const char priorityText[2] = {char('0' + priority(type)), '\0'};
    char lineText[16];
    *std::to_chars(lineText, lineText + sizeof lineText - 1, context.line).ptr = '\0';

    Fields fields(length + 256);
    fields.add("MESSAGE=", line.constData(), size_t(length));
    fields.add("PRIORITY=", priorityText);
    fields.add("QT_CATEGORY=", context.category);
    fields.add("SYSLOG_IDENTIFIER=", m_identifier);
    fields.add("CODE_FILE=", context.file);
    fields.add("CODE_LINE=", lineText);
    fields.add("CODE_FUNC=", context.function);
    for (const JournalFields *extra = JournalFields::innermost(); extra; extra = extra->outer()) {
        for (const QByteArray &entry : extra->entries()) {
            if (!fields.isFull())
                fields.add("", entry);
        }
    }
    return fields.send();
}

} // namespace simplelog
