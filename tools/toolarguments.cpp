// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolarguments.h"

#include "kvoversion.h"

#include <algorithm>
#include <cstdio>

namespace {

bool writeAllTo(FILE *stream, const QByteArray &text)
{
    return std::fwrite(text.constData(), 1, size_t(text.size()), stream) == size_t(text.size()) && std::fflush(stream) == 0;
}

QString spelled(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// "-h, --help" or "--post URL"
QString optionColumn(const QCommandLineOption &option)
{
    QStringList names;
    for (const QString &name : option.names())
        names.append(spelled(name));
    QString column = names.join(QStringLiteral(", "));
    if (!option.valueName().isEmpty())
        column += QLatin1Char(' ') + option.valueName();
    return column;
}

} // namespace

ToolArguments::ToolArguments(const char *tool, const QStringList &usage, const QString &about, const QString &details,
                             int maxPositionalArguments)
    : m_tool(tool)
    , m_usage(usage)
    , m_about(about)
    , m_details(details)
    , m_maxPositional(maxPositionalArguments)
{
    m_usage.append(QString::fromLatin1(m_tool) + QStringLiteral(" --help | --version"));
    m_options.append(QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Print this help and end.")));
    m_options.append(QCommandLineOption(QStringLiteral("version"),
                                        QStringLiteral("Print the version and the fingerprint of the built-in log public key "
                                                       "and end.")));
}

void ToolArguments::addOption(const QCommandLineOption &option)
{
    // Listed in the help before --help and --version.
    m_options.insert(m_options.size() - 2, option);
}

void ToolArguments::addOptions(const QList<QCommandLineOption> &options)
{
    for (const QCommandLineOption &option : options)
        addOption(option);
}

const QCommandLineOption *ToolArguments::find(const QString &name) const
{
    for (const QCommandLineOption &option : m_options) {
        if (option.names().contains(name))
            return &option;
    }
    return nullptr;
}

int ToolArguments::parse(int argc, const char *const argv[])
{
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (optionsEnd || argument == QLatin1String("-") || !argument.startsWith(QLatin1Char('-'))) {
            if (m_positional.size() >= m_maxPositional)
                return usageError(QStringLiteral("unexpected argument '%1'").arg(argument));
            m_positional.append(argument);
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnd = true;
            continue;
        }

        const bool isLong = argument.startsWith(QLatin1String("--"));
        const int equals = isLong ? argument.indexOf(QLatin1Char('=')) : -1;
        const QString name = argument.mid(isLong ? 2 : 1, equals < 0 ? -1 : equals - 2);
        const QCommandLineOption *option = find(name);
        // A single dash names a one-letter option, two dashes a longer one.
        if (!option || (name.size() == 1) == isLong)
            return usageError(QStringLiteral("unknown option '%1'").arg(equals < 0 ? argument : argument.left(equals)));
        // A copy: names() returns a temporary list.
        const QString primary = option->names().constFirst();

        QString value;
        if (option->valueName().isEmpty()) {
            if (equals >= 0)
                return usageError(QStringLiteral("%1 takes no value").arg(spelled(name)));
        } else if (equals >= 0) {
            value = argument.mid(equals + 1);
        } else if (i + 1 < argc) {
            value = QString::fromLocal8Bit(argv[++i]);
        } else {
            return usageError(QStringLiteral("%1 needs a value (%2)").arg(spelled(name), option->valueName()));
        }

        if (primary == QLatin1String("h"))
            return writeAllTo(stdout, helpText()) ? 0 : 1;
        if (primary == QLatin1String("version"))
            return writeAllTo(stdout, versionText(m_tool.constData())) ? 0 : 1;
        m_given.append({primary, value});
    }
    return -1;
}

bool ToolArguments::isSet(const QString &name) const
{
    const QCommandLineOption *option = find(name);
    return option
        && std::any_of(m_given.cbegin(), m_given.cend(),
                       [&](const QPair<QString, QString> &given) { return given.first == option->names().constFirst(); });
}

bool ToolArguments::isSet(const QCommandLineOption &option) const
{
    return isSet(option.names().constFirst());
}

QString ToolArguments::value(const QString &name) const
{
    const QCommandLineOption *option = find(name);
    if (!option)
        return {};
    for (auto it = m_given.crbegin(); it != m_given.crend(); ++it) {
        if (it->first == option->names().constFirst())
            return it->second;
    }
    return option->defaultValues().value(0);
}

QString ToolArguments::value(const QCommandLineOption &option) const
{
    return value(option.names().constFirst());
}

int ToolArguments::usageError(const QString &reason) const
{
    writeAllTo(stderr, m_tool + ": " + reason.toLocal8Bit() + '\n' + usageText());
    return exitUsage;
}

QByteArray ToolArguments::usageText() const
{
    QByteArray text;
    for (int i = 0; i < m_usage.size(); ++i)
        text += (i == 0 ? "usage: " : "       ") + m_usage.at(i).toUtf8() + '\n';
    return text;
}

QByteArray ToolArguments::helpText() const
{
    QByteArray text = usageText() + '\n' + m_about.toUtf8() + "\n\nOptions:\n";
    int width = 0;
    for (const QCommandLineOption &option : m_options)
        width = std::max(width, int(optionColumn(option).size()));
    for (const QCommandLineOption &option : m_options)
        text += "  " + optionColumn(option).leftJustified(width + 2).toUtf8() + option.description().toUtf8() + '\n';
    if (!m_details.isEmpty())
        text += '\n' + m_details.toUtf8() + '\n';
    return text;
}

QByteArray versionText(const char *tool, const QStringList &shares)
{
    const QByteArray fingerprint = logKeyFingerprint(shares);
    QByteArray key;
    if (fingerprint.isEmpty())
        key = "none: the built-in key shares are damaged";
    else if (fingerprint == developmentLogKeyFingerprint)
        key = "SHA256:" + fingerprint + " (development key)";
    else
        key = "SHA256:" + fingerprint;
    return QByteArray(tool) + ' ' + kvo::version + "\nlog public key: " + key + '\n';
}
