// SPDX-License-Identifier: GPL-3.0-or-later
#include "simplelog/lineformatter.h"

#include <QDateTime>
#include <QLatin1String>
#include <QLocale>

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace simplelog {

namespace {

// Widths come from the format text; a bound keeps a hostile format from allocating gigabytes.
constexpr int MaxWidth = 1024;

const QString DefaultTimePattern = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");

bool parseWidth(QStringView text, int *width)
{
    if (text.isEmpty())
        return false;
    const bool left = text.startsWith(QLatin1Char('-'));
    const QStringView digits = left ? text.mid(1) : text;
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

// The date/time pattern as one letter per numeric field (Y year, M month, d day, H hour, m minute,
// s second, z milliseconds) and the separators between them, for patterns made of "yyyy", "MM",
// "dd", "HH", "mm", "ss", "zzz" and characters that are no letters or quotes; empty otherwise.
QByteArray compileNumericPattern(const QString &pattern)
{
    static const struct
    {
        QLatin1String field;
        char code;
    } fields[] = {
        {QLatin1String("yyyy"), 'Y'}, {QLatin1String("zzz"), 'z'}, {QLatin1String("MM"), 'M'},
        {QLatin1String("dd"), 'd'},   {QLatin1String("HH"), 'H'},  {QLatin1String("mm"), 'm'},
        {QLatin1String("ss"), 's'},
    };
    QByteArray compiled;
    int pos = 0;
    while (pos < pattern.size()) {
        bool matched = false;
        for (const auto &f : fields) {
            if (QStringView(pattern).mid(pos).startsWith(f.field)) {
                const int end = pos + f.field.size();
                // A longer run of the same letter ("yyyyy", "MMM") means something else.
                if (end < pattern.size() && pattern.at(end) == pattern.at(pos))
                    return {};
                compiled += f.code;
                pos = end;
                matched = true;
                break;
            }
        }
        if (matched)
            continue;
        const QChar c = pattern.at(pos);
        if (c.unicode() > 0x7e || c.isLetter() || c == QLatin1Char('\''))
            return {};
        compiled += '\\';
        compiled += char(c.unicode());
        ++pos;
    }
    return compiled;
}

void appendDigits(char *&out, int value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = char('0' + value % 10);
        value /= 10;
    }
    out += digits;
}

// The local time of a clock reading, its milliseconds truncated as the numeric path writes them
// (Qt 6.8's currentDateTime() rounds them), so that every pattern tells the same time.
QDateTime localTime(const struct timespec &now)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
}

QDateTime currentLocalTime()
{
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return localTime(now);
}

// The current local time in a numeric pattern, as QDateTime::currentDateTime().toString() writes
// it; that path costs some ten times more, and every log line pays for it. The broken-down time
// is taken again when the second or TZ changes (the C library reads the zone again only then).
QString formatNumericNow(const QByteArray &compiled, const QString &pattern)
{
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    thread_local time_t cachedSecond = -1;
    thread_local QByteArray cachedZone;
    thread_local struct tm cached = {};
    const char *zone = ::getenv("TZ");
    const bool zoneChanged = zone ? (cachedZone.isNull() || cachedZone != zone) : !cachedZone.isNull();
    if (now.tv_sec != cachedSecond || zoneChanged) {
        ::tzset();
        if (!::localtime_r(&now.tv_sec, &cached))
            return localTime(now).toString(pattern);
        cachedSecond = now.tv_sec;
        cachedZone = zone ? QByteArray(zone) : QByteArray();
    }
    // Years outside four digits are written differently; leave them to Qt.
    if (cached.tm_year + 1900 < 1000 || cached.tm_year + 1900 > 9999)
        return localTime(now).toString(pattern);

    char buffer[128];
    char *out = buffer;
    for (int i = 0; i < compiled.size() && out < buffer + sizeof buffer - 8; ++i) {
        switch (compiled.at(i)) {
        case 'Y': appendDigits(out, cached.tm_year + 1900, 4); break;
        case 'M': appendDigits(out, cached.tm_mon + 1, 2); break;
        case 'd': appendDigits(out, cached.tm_mday, 2); break;
        case 'H': appendDigits(out, cached.tm_hour, 2); break;
        case 'm': appendDigits(out, cached.tm_min, 2); break;
        case 's': appendDigits(out, cached.tm_sec, 2); break;
        case 'z': appendDigits(out, int(now.tv_nsec / 1000000), 3); break;
        default: *out++ = compiled.at(++i); break;
        }
    }
    return QString::fromLatin1(buffer, int(out - buffer));
}

// QString::number goes through the locale machinery; a line number is written on every line.
QString decimal(long long value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return QString::fromLatin1(digits, int(end - digits));
}

// Appends text padded with blanks to |width| (never cut), without a padded copy of it.
void appendPadded(QString &line, const QString &text, int width)
{
    const int fill = qAbs(width) - text.size();
    if (fill > 0 && width > 0)
        line.resize(line.size() + fill, QLatin1Char(' '));
    line += text;
    if (fill > 0 && width < 0)
        line.resize(line.size() + fill, QLatin1Char(' '));
}

} // namespace

LineFormatter::LineFormatter(const QString &format)
    // Qt writes the fields in the digits of the system locale.
    : m_asciiDigits(QLocale::system().zeroDigit() == QLatin1Char('0'))
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
        m_tokens.append(Token{Kind::Literal, text, 0, {}});
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
        const QStringView body = QStringView(format).mid(start + 2, close - start - 2);
        const int colon = body.indexOf(QLatin1Char(':'));
        const QStringView name = colon < 0 ? body : body.left(colon);

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
            token.numericPattern = compileNumericPattern(token.text);
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
            value = m_asciiDigits && !token.numericPattern.isEmpty()
                ? formatNumericNow(token.numericPattern, token.text)
                : currentLocalTime().toString(token.text);
            break;
        case Kind::Type:
            value = typeName(type);
            break;
        case Kind::File:
            value = fromContext(context.file);
            break;
        case Kind::Line:
            value = decimal(context.line);
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
            value = decimal(::getpid());
            break;
        case Kind::ThreadId:
            value = decimal(::gettid());
            break;
        }
        appendPadded(line, value, token.width);
    }
    return line;
}

} // namespace simplelog
