// SPDX-License-Identifier: GPL-3.0-or-later
//
// kvo-sysinfo [--pretty]
// kvo-sysinfo [--pretty] --post URL [--token-file FILE | --token TOKEN] [--cacert FILE] [--timeout SECONDS]
// kvo-sysinfo --help | --version
//
// Prints the facts the agent gathers about this machine as one JSON object on standard output,
// keys in a fixed order. Log lines go to standard error in the agent's line format, with the
// protected values as the agent writes them.
//
// With --post the same JSON is posted through the agent's HTTPS client instead, and the reply is
// printed: "HTTP status: N", one "Name: value" line per response header, an empty line and the
// body, control characters escaped. Exit status 0 for a 2xx status, 1 for any other status (0
// when no HTTP response came), 2 when no reply came within the time-out, 3 when the reply body
// was larger than 16 MiB (its transfer is ended there and nothing of it printed). A URL that is
// not https, wrong usage, or a token file that cannot be read or does not hold one line ends the
// tool with 64 before anything is gathered or sent.
#include "agent/agentcore.h"
#include "agent/constants.h"
#include "agent/localeencoding.h"
#include "agent/net/https.h"
#include "agent/sysinfo/commandrunner.h"
#include "agent/sysinfo/factgathering.h"
#include "toolarguments.h"

#include <simplelog/lineformatter.h>

#include <QCommandLineOption>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The reply body was larger than https::maxReplyBytes.
constexpr int exitReplyTooLarge = 3;

simplelog::LineFormatter *g_formatter = nullptr;

void toStandardError(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = g_formatter->format(type, context, message).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

// QJsonObject sorts its keys; the facts keep their own order, so the object is written by hand.
QByteArray orderedObject(const std::vector<std::pair<QString, QJsonValue>> &members, bool pretty)
{
    QByteArray out = "{";
    bool first = true;
    for (const auto &[key, value] : members) {
        const QByteArray pair = QJsonDocument(QJsonArray{key, value}).toJson(QJsonDocument::Compact);
        // [ "key", value ] -> "key": value
        const QByteArray keyText = QJsonDocument(QJsonArray{key}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
        QByteArray valueText;
        if (value.isObject())
            valueText = QJsonDocument(value.toObject()).toJson(pretty ? QJsonDocument::Indented : QJsonDocument::Compact).trimmed();
        else
            valueText = pair.mid(keyText.size() + 2).chopped(1);
        if (pretty)
            valueText.replace("\n", "\n    ");
        out += first ? "" : ",";
        out += pretty ? "\n    " : "";
        out += keyText + (pretty ? ": " : ":") + valueText;
        first = false;
    }
    out += pretty ? "\n}\n" : "}\n";
    return out;
}

// Text a server sent, made safe for a terminal: control characters, C1 controls and the
// bidirectional formatting characters are shown as \n, \r, \t, \xNN or \u{NNNN}, so no reply can
// move the cursor, drive the terminal or reorder what is shown; bytes that are no UTF-8 become
// U+FFFD. In a body, line feeds and tabs stay, as does a carriage return before a line feed, so a
// JSON body that holds none of these prints unchanged.
QByteArray terminalSafe(const QByteArray &text, bool body)
{
    const QVector<uint> codePoints = QString::fromUtf8(text.constData(), text.size()).toUcs4();
    QString out;
    out.reserve(codePoints.size());
    for (int i = 0; i < codePoints.size(); ++i) {
        const uint c = codePoints.at(i);
        const bool lineEnd = c == '\n' || (c == '\r' && i + 1 < codePoints.size() && codePoints.at(i + 1) == '\n');
        if (body && (lineEnd || c == '\t'))
            out += QChar(c);
        else if (c == '\n')
            out += QLatin1String("\\n");
        else if (c == '\r')
            out += QLatin1String("\\r");
        else if (c == '\t')
            out += QLatin1String("\\t");
        else if (c < 0x20 || c == 0x7f)
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        else if ((c >= 0x80 && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x2028 && c <= 0x202e)
                 || (c >= 0x2066 && c <= 0x2069))
            out += QStringLiteral("\\u{%1}").arg(c, 4, 16, QLatin1Char('0'));
        else {
            const char32_t point = c;
            out += QString::fromUcs4(&point, 1);
        }
    }
    return out.toUtf8();
}

bool writeOut(const QByteArray &bytes)
{
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size());
}

// The body made terminal-safe a slice at a time, so that only one slice's converted text is
// held beside the body. A slice ends before a UTF-8 lead byte and never between a CR and its LF,
// so the slices print as the whole body would.
bool writeBody(const QByteArray &body)
{
    constexpr int slice = 64 * 1024;
    int at = 0;
    while (at < body.size()) {
        int end = qMin(body.size(), at + slice);
        for (int back = 0; back < 3 && end < body.size() && end - 1 > at && (uchar(body.at(end)) & 0xc0) == 0x80; ++back)
            --end;
        if (end < body.size() && end - 1 > at && body.at(end - 1) == '\r')
            --end;
        if (!writeOut(terminalSafe(QByteArray::fromRawData(body.constData() + at, end - at), true)))
            return false;
        at = end;
    }
    return true;
}

// Posts json and prints the reply; returns the exit status.
int post(QCoreApplication &app, const QString &url, const QByteArray &json, const QString &token, int timeoutSeconds)
{
    https client(nullptr);
    int status = 2;
    auto printReply = [&](int httpCode, const QVariantMap &headers, const QByteArray &body) {
        if (client.replyTooLarge()) {
            std::fprintf(stderr, "kvo-sysinfo: the reply body is larger than %lld MiB; its transfer was ended\n",
                         static_cast<long long>(https::maxReplyBytes / (1024 * 1024)));
            status = exitReplyTooLarge;
            app.quit();
            return;
        }
        QByteArray out = "HTTP status: " + QByteArray::number(httpCode) + '\n';
        for (auto it = headers.cbegin(); it != headers.cend(); ++it)
            out += terminalSafe(it.key().toUtf8(), false) + ": " + terminalSafe(it.value().toByteArray(), false) + '\n';
        out += '\n';
        const bool written = writeOut(out) && writeBody(body) && std::fflush(stdout) == 0;
        status = written && httpCode >= 200 && httpCode < 300 ? 0 : 1;
        app.quit();
    };
    QObject::connect(&client, &https::receiveHttpsData, &app,
                     [&](int httpCode, const QVariantMap &headers, const QByteArray &body, const QString &) {
                         printReply(httpCode, headers, body);
                     });
    QObject::connect(&client, &https::receiveHealth, &app,
                     [&](const QVariantMap &headers, int httpCode) { printReply(httpCode, headers, QByteArray()); });
    // The client reports no time-out of its own, so the tool keeps an overall limit.
    QTimer::singleShot(timeoutSeconds * 1000, &app, [&] {
        std::fputs("kvo-sysinfo: no reply from the server\n", stderr);
        app.quit();
    });
    client.sendPost(url, json, token);
    app.exec();
    return status;
}

bool trustCaFile(const QString &path)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(path, QSsl::Pem);
    if (certificates.isEmpty())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    for (const QSslCertificate &certificate : certificates)
        configuration.addCaCertificate(certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

// A bearer token is a few hundred bytes; anything far larger is not a token file.
constexpr qint64 maxTokenFileBytes = 64 * 1024;

// The token of --token-file: the whole file, or standard input for "-", without the line end
// that closes it. On failure returns false and sets error. othersMayRead tells whether the mode
// of the file opened lets its group or others read it.
bool readTokenFile(const QString &path, QString *token, QString *error, bool *othersMayRead)
{
    QFile file;
    bool opened;
    *othersMayRead = false;
    if (path == QLatin1String("-")) {
        opened = file.open(stdin, QIODevice::ReadOnly);
    } else {
        file.setFileName(path);
        opened = file.open(QIODevice::ReadOnly);
        struct stat status;
        if (opened && ::fstat(file.handle(), &status) == 0)
            *othersMayRead = (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
    }
    if (!opened) {
        *error = QStringLiteral("cannot open the token file: ") + file.errorString();
        return false;
    }
    QByteArray data;
    while (data.size() <= maxTokenFileBytes) {
        const QByteArray chunk = file.read(maxTokenFileBytes + 1 - data.size());
        if (chunk.isEmpty())
            break;
        data += chunk;
    }
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read the token file: ") + file.errorString();
        return false;
    }
    if (data.size() > maxTokenFileBytes) {
        *error = QStringLiteral("the token file is larger than 64 KiB");
        return false;
    }
    if (data.endsWith('\n'))
        data.chop(1);
    if (data.endsWith('\r'))
        data.chop(1);
    if (data.isEmpty()) {
        *error = QStringLiteral("the token file is empty");
        return false;
    }
    if (data.contains('\n') || data.contains('\r')) {
        *error = QStringLiteral("the token file holds more than one line");
        return false;
    }
    *token = QString::fromUtf8(data);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    kvo::useUtf8ForLocaleText();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvo-sysinfo"));

    ToolArguments parser(
        "kvo-sysinfo",
        {QStringLiteral("kvo-sysinfo [--pretty]"),
         QStringLiteral("kvo-sysinfo [--pretty] --post URL [--token-file FILE | --token TOKEN] [--cacert FILE] [--timeout SECONDS]")},
        QStringLiteral("Prints the facts the service-and-support agent gathers about this machine as one JSON object.\n"
                       "With --post the JSON is posted to an https:// URL instead, and the server's reply is printed."),
        QStringLiteral("Exit status: 0 done (with --post: a 2xx reply), 1 any other reply or the output cannot be\n"
                       "written, 2 no reply within the time-out, 3 a reply body larger than 16 MiB, 64 wrong usage\n"
                       "or an unusable token or CA file."));
    parser.addOption({QStringLiteral("pretty"), QStringLiteral("Indent the JSON.")});
    const QCommandLineOption postOption(QStringLiteral("post"), QStringLiteral("Post the JSON to URL and print the reply."),
                                        QStringLiteral("URL"));
    const QCommandLineOption tokenFileOption(QStringLiteral("token-file"),
                                             QStringLiteral("Send the bearer token in FILE (one line; - for standard input) with --post."),
                                             QStringLiteral("FILE"));
    const QCommandLineOption tokenOption(QStringLiteral("token"),
                                         QStringLiteral("Bearer token sent with --post; every user can read it in the process list, so prefer --token-file."),
                                         QStringLiteral("TOKEN"));
    const QCommandLineOption caOption(QStringLiteral("cacert"),
                                      QStringLiteral("Also trust the CA certificates in FILE (PEM) for this run."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Give up on the reply after SECONDS (default 60)."),
                                           QStringLiteral("SECONDS"), QStringLiteral("60"));
    parser.addOptions({postOption, tokenFileOption, tokenOption, caOption, timeoutOption});
    if (const int status = parser.parse(argc, argv); status >= 0)
        return status;

    bool timeoutValid = false;
    const int timeoutSeconds = parser.value(timeoutOption).toInt(&timeoutValid);
    if (!timeoutValid || timeoutSeconds <= 0 || timeoutSeconds > 24 * 3600)
        return parser.usageError(QStringLiteral("--timeout needs a number of seconds from 1 to 86400"));
    const bool posting = parser.isSet(postOption);
    if (posting) {
        // The client itself posts to any URL; this tool sends the facts and a token, never in clear.
        const QUrl target(parser.value(postOption), QUrl::TolerantMode);
        if (target.scheme() != QLatin1String("https") || target.host().isEmpty())
            return parser.usageError(QStringLiteral("--post takes an https:// URL only"));
    }
    if (!posting && (parser.isSet(tokenOption) || parser.isSet(tokenFileOption) || parser.isSet(caOption)))
        return parser.usageError(QStringLiteral("--token, --token-file and --cacert only go with --post"));
    QString token;
    if (parser.isSet(tokenFileOption)) {
        if (parser.isSet(tokenOption))
            return parser.usageError(QStringLiteral("give either --token-file or --token, not both"));
        QString error;
        bool othersMayRead = false;
        const QString tokenFile = parser.value(tokenFileOption);
        if (!readTokenFile(tokenFile, &token, &error, &othersMayRead)) {
            std::fprintf(stderr, "kvo-sysinfo: %s\n", qUtf8Printable(error));
            return exitUsage;
        }
        if (othersMayRead) {
            const QByteArray shown = terminalSafe(tokenFile.toUtf8(), false);
            std::fprintf(stderr,
                         "kvo-sysinfo: warning: the token file %s can be read by its group or others; "
                         "chmod 600 %s\n",
                         shown.constData(), shown.constData());
        }
    } else if (parser.isSet(tokenOption)) {
        std::fputs("kvo-sysinfo: warning: --token shows the token to every user of this machine for as long as the "
                   "tool runs; use --token-file\n",
                   stderr);
        token = parser.value(tokenOption);
    }
    if (parser.isSet(caOption) && !trustCaFile(parser.value(caOption))) {
        std::fputs("kvo-sysinfo: no PEM certificate in the --cacert file\n", stderr);
        return exitUsage;
    }

    simplelog::LineFormatter formatter(kvo::logFormat());
    g_formatter = &formatter;
    qInstallMessageHandler(toStandardError);

#ifdef KVO_SYSINFO_TEST_COMMAND_PATH
    // Only in the tests' build of this tool (tests/fakes), never in the installed one: the
    // commands run on the PATH a test gives, where its fake tools lie.
    facts::setCommandPathForTests(qEnvironmentVariable("KVO_TEST_COMMAND_PATH"));
#endif

    AgentCore core;

    if (::getuid() != 0)
        std::fputs("kvo-sysinfo: not running as root: ataIdentity needs root to query the disk, so it is empty\n", stderr);

    const facts::FactList gathered = facts::gatherFacts(core);
    const QByteArray json = orderedObject(gathered, parser.isSet(QStringLiteral("pretty")));
    if (posting)
        return post(app, parser.value(postOption), json, token, timeoutSeconds);
    const bool written = std::fwrite(json.constData(), 1, size_t(json.size()), stdout) == size_t(json.size())
        && std::fflush(stdout) == 0;
    return written ? 0 : 1;
}
