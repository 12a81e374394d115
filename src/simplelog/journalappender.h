// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
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

} // namespace simplelog
