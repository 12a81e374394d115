// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

class QMessageLogContext;

namespace simplelog {

// Turns one Qt log message into one line of text. The format is parsed once; format() is
// safe for any format text, message and context (null strings, unknown message types).
class LineFormatter
{
public:
    explicit LineFormatter(const QString &format = QString());

    QString format(QtMsgType type, const QMessageLogContext &context, const QString &message) const;

    static QString typeName(QtMsgType type);

private:
    enum class Kind { Literal, Time, Type, File, Line, Function, Category, Message, Pid, ThreadId };
    struct Token
    {
        Kind kind = Kind::Literal;
        QString text; // literal text, or the date/time pattern
        int width = 0; // < 0 pads on the right (left-aligned), > 0 on the left
        // The pattern as fields and separators when it has only numeric fields, else empty.
        QByteArray numericPattern;
    };

    void parse(const QString &format);
    void appendLiteral(const QString &text);

    QVector<Token> m_tokens;
    bool m_asciiDigits = true;
};

} // namespace simplelog
