// SPDX-License-Identifier: GPL-3.0-or-later
#include "lineformatter.h"

#include <QDateTime>
#include <QLatin1String>

#include <unistd.h>

namespace simplelog {

namespace {

// Widths come from the format text; a bound keeps a hostile format from allocating gigabytes.
constexpr int MaxWidth = 1024;

const QString DefaultTimePattern = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");

bool parseWidth(const QStringRef &text, int *width)
{
    if (text.isEmpty())
        return false;
    const bool left = text.startsWith(QLatin1Char('-'));
    const QStringRef digits = left ? text.mid(1) : text;
    if (digits.isEmpty())
        return false;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    int value = digits.toInt(&ok);
    if (!ok || value > MaxWidth)
        value = MaxWidth;
    *width = left ? -value : value;
    return true;
}

QString fromContext(const char *text)
{
    return text ? QString::fromUtf8(text) : QString();
}

QString pad(const QString &text, int width)
{
    if (width < 0)
        return text.leftJustified(-width, QLatin1Char(' '), false);
    if (width > 0)
        return text.rightJustified(width, QLatin1Char(' '), false);
    return text;
}

} // namespace

LineFormatter::LineFormatter(const QString &format)
{
    parse(format);
}

void LineFormatter::appendLiteral(const QString &text)
{
    if (text.isEmpty())
        return;
    if (!m_tokens.isEmpty() && m_tokens.last().kind == Kind::Literal)
        m_tokens.last().text += text;
    else
        m_tokens.append(Token{Kind::Literal, text, 0});
}

void LineFormatter::parse(const QString &format)
{
    static const struct
    {
        QLatin1String name;
        Kind kind;
    } names[] = {
        {QLatin1String("time"), Kind::Time},         {QLatin1String("type"), Kind::Type},
        {QLatin1String("file"), Kind::File},         {QLatin1String("line"), Kind::Line},
        {QLatin1String("function"), Kind::Function}, {QLatin1String("category"), Kind::Category},
        {QLatin1String("message"), Kind::Message},   {QLatin1String("pid"), Kind::Pid},
        {QLatin1String("threadid"), Kind::ThreadId},
    };

    const int size = format.size();
    int pos = 0;
    while (pos < size) {
        const int start = format.indexOf(QLatin1String("%{"), pos);
        if (start < 0) {
            appendLiteral(format.mid(pos));
            break;
        }
        appendLiteral(format.mid(pos, start - pos));
        const int close = format.indexOf(QLatin1Char('}'), start + 2);
        if (close < 0) {
            appendLiteral(format.mid(start));
            break;
        }
        const QStringRef body = format.midRef(start + 2, close - start - 2);
        const int colon = body.indexOf(QLatin1Char(':'));
        const QStringRef name = colon < 0 ? body : body.left(colon);

        Token token;
        bool known = false;
        for (const auto &entry : names) {
            if (name == entry.name) {
                token.kind = entry.kind;
                known = true;
                break;
            }
        }
        if (known && colon >= 0)
            known = parseWidth(body.mid(colon + 1), &token.width);
        if (!known) {
            appendLiteral(format.mid(start, close - start + 1));
            pos = close + 1;
            continue;
        }

        pos = close + 1;
        if (token.kind == Kind::Time) {
            token.text = DefaultTimePattern;
            if (pos < size && format.at(pos) == QLatin1Char('{')) {
                const int patternEnd = format.indexOf(QLatin1Char('}'), pos + 1);
                if (patternEnd >= 0) {
                    token.text = format.mid(pos + 1, patternEnd - pos - 1);
                    pos = patternEnd + 1;
                }
            }
        }
        m_tokens.append(token);
    }
}

QString LineFormatter::typeName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("debug");
    case QtInfoMsg:
        return QStringLiteral("info");
    case QtWarningMsg:
        return QStringLiteral("warning");
    case QtCriticalMsg:
        return QStringLiteral("critical");
    case QtFatalMsg:
        return QStringLiteral("fatal");
    }
    return QStringLiteral("unknown");
}

QString LineFormatter::format(QtMsgType type, const QMessageLogContext &context,
                              const QString &message) const
{
    QString line;
    line.reserve(message.size() + 96);
    for (const Token &token : m_tokens) {
        QString value;
        switch (token.kind) {
        case Kind::Literal:
            line += token.text;
            continue;
        case Kind::Time:
            value = QDateTime::currentDateTime().toString(token.text);
            break;
        case Kind::Type:
            value = typeName(type);
            break;
        case Kind::File:
            value = fromContext(context.file);
            break;
        case Kind::Line:
            value = QString::number(context.line);
            break;
        case Kind::Function:
            value = fromContext(context.function);
            break;
        case Kind::Category:
            value = fromContext(context.category);
            break;
        case Kind::Message:
            value = message;
            break;
        case Kind::Pid:
            value = QString::number(::getpid());
            break;
        case Kind::ThreadId:
            value = QString::number(::gettid());
            break;
        }
        line += pad(value, token.width);
    }
    return line;
}

} // namespace simplelog
