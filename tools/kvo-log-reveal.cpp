// SPDX-License-Identifier: GPL-3.0-or-later
// Rewrites an agent log with every protected value replaced by its plain text, «like this».
// Values that do not decrypt with the given private key are left as they are.

#include "agent/protectlogvalue.h"
#include "secretkeysplit/base64char.h"
#include "toolarguments.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QFile>
#include <QString>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Longer lines are passed on in pieces of this size; a value cut by a piece boundary stays
// protected. Protected values are about 1.4 times as long as the plain ones.
constexpr qint64 maxPiece = 4 * 1024 * 1024;

constexpr int markerLength = int(sizeof(logValueMarker) - 1);

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using ContextPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

KeyPtr readPrivateKey(const QString &path, QString *error)
{
    KeyPtr key(nullptr, EVP_PKEY_free);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return key;
    }
    const QByteArray pem = file.read(1024 * 1024);
    std::unique_ptr<BIO, decltype(&BIO_free_all)> bio(BIO_new_mem_buf(pem.constData(), pem.size()), BIO_free_all);
    // An encrypted key asks for its passphrase on the terminal.
    if (bio)
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key)
        *error = QStringLiteral("not a readable private key");
    else if (!EVP_PKEY_is_a(key.get(), "RSA")) {
        *error = QStringLiteral("not an RSA key");
        key.reset();
    }
    return key;
}

void appendEscaped(QByteArray &out, uint codePoint, bool byte)
{
    char text[16];
    if (byte)
        std::snprintf(text, sizeof text, "\\x%02x", codePoint);
    else
        std::snprintf(text, sizeof text, "\\u{%04x}", codePoint);
    out += text;
}

// Plain text as it may go to a terminal: valid UTF-8 stays, control and bidirectional
// formatting characters, backslashes and invalid bytes are escaped, so a value can neither
// break the line structure nor drive the terminal.
QByteArray printable(const QByteArray &plain)
{
    QByteArray out;
    out.reserve(plain.size());
    const int size = plain.size();
    for (int i = 0; i < size;) {
        const uchar c = uchar(plain.at(i));
        auto continuation = [&](int at, uchar low, uchar high) {
            return at < size && uchar(plain.at(at)) >= low && uchar(plain.at(at)) <= high;
        };
        int length = 0;
        uint codePoint = 0;
        if (c < 0x80) {
            length = 1;
            codePoint = c;
        } else if (c >= 0xc2 && c <= 0xdf && continuation(i + 1, 0x80, 0xbf)) {
            length = 2;
            codePoint = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef
                   && continuation(i + 1, c == 0xe0 ? 0xa0 : 0x80, c == 0xed ? 0x9f : 0xbf)
                   && continuation(i + 2, 0x80, 0xbf)) {
            length = 3;
            codePoint = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4
                   && continuation(i + 1, c == 0xf0 ? 0x90 : 0x80, c == 0xf4 ? 0x8f : 0xbf)
                   && continuation(i + 2, 0x80, 0xbf) && continuation(i + 3, 0x80, 0xbf)) {
            length = 4;
            codePoint = c & 0x07;
        } else {
            appendEscaped(out, c, true);
            ++i;
            continue;
        }
        for (int k = 1; k < length; ++k)
            codePoint = (codePoint << 6) | (uchar(plain.at(i + k)) & 0x3f);

        if (codePoint == '\n')
            out += "\\n";
        else if (codePoint == '\r')
            out += "\\r";
        else if (codePoint == '\t')
            out += "\\t";
        else if (codePoint == '\\')
            out += "\\\\";
        else if (codePoint < 0x20 || codePoint == 0x7f)
            appendEscaped(out, codePoint, true);
        else if ((codePoint >= 0x80 && codePoint <= 0x9f) || codePoint == 0x061c || codePoint == 0x200e
                 || codePoint == 0x200f || (codePoint >= 0x2028 && codePoint <= 0x202e)
                 || (codePoint >= 0x2066 && codePoint <= 0x2069))
            appendEscaped(out, codePoint, false);
        else
            out.append(plain.constData() + i, length);
        i += length;
    }
    return out;
}

class Revealer
{
public:
    explicit Revealer(EVP_PKEY *key)
        : m_context(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free)
        , m_blockSize(EVP_PKEY_get_size(key))
    {
        if (!m_context || EVP_PKEY_decrypt_init(m_context.get()) <= 0
            || EVP_PKEY_CTX_set_rsa_padding(m_context.get(), RSA_PKCS1_PADDING) <= 0) {
            m_context.reset();
            return;
        }
        // From OpenSSL 3.2 on, a padding failure would otherwise yield random bytes instead of an
        // error, and a value protected under another key would be "revealed" as garbage. OpenSSL
        // 3.0 has no such option and always reports the failure.
        EVP_PKEY_CTX_ctrl_str(m_context.get(), "rsa_pkcs1_implicit_rejection", "0");
    }

    bool isValid() const { return bool(m_context); }

    // `complete` is false for a piece of an overlong line: a value running into its end may
    // continue in the next piece and is left alone.
    QByteArray reveal(const QByteArray &piece, bool complete) const
    {
        QByteArray out;
        int from = 0;
        for (;;) {
            const int marker = piece.indexOf(logValueMarker, from);
            if (marker < 0)
                break;
            const int start = marker + markerLength;
            int end = start;
            while (end < piece.size() && isBase64Char(piece.at(end)))
                ++end;
            for (int pad = 0; pad < 2 && end < piece.size() && piece.at(end) == '='; ++pad)
                ++end;

            QByteArray plain;
            const bool cut = !complete && end == piece.size();
            if (!cut && decrypt(piece.mid(start, end - start), &plain)) {
                out += piece.mid(from, marker - from);
                out += "\u00ab" + printable(plain) + "\u00bb";
            } else {
                out += piece.mid(from, end - from);
            }
            from = end;
        }
        if (from == 0)
            return piece;
        out += piece.mid(from);
        return out;
    }

private:
    bool decrypt(const QByteArray &base64, QByteArray *plain) const
    {
        const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
        const QByteArray &cipher = decoded.decoded;
        if (!decoded || cipher.isEmpty() || m_blockSize <= 0 || cipher.size() % m_blockSize != 0)
            return false;
        QByteArray block(m_blockSize, Qt::Uninitialized);
        for (int at = 0; at < cipher.size(); at += m_blockSize) {
            size_t length = size_t(block.size());
            if (EVP_PKEY_decrypt(m_context.get(), reinterpret_cast<unsigned char *>(block.data()), &length,
                                 reinterpret_cast<const unsigned char *>(cipher.constData()) + at, size_t(m_blockSize))
                <= 0)
                return false;
            plain->append(block.constData(), int(length));
        }
        return true;
    }

    ContextPtr m_context;
    int m_blockSize;
};

} // namespace

int main(int argc, char *argv[])
{
    ToolArguments arguments("kvo-log-reveal", {QStringLiteral("kvo-log-reveal --key PRIVATE.pem [LOGFILE]")},
                            QStringLiteral("Writes LOGFILE (standard input when none is named or for \"-\") to standard output with\n"
                                           "every protected value that PRIVATE.pem decrypts shown as \u00abplain text\u00bb. Values\n"
                                           "that do not decrypt with it are left as they are."),
                            QStringLiteral("Exit status: 0 done, 1 the key cannot be used, 3 the log cannot be read or the\n"
                                           "output cannot be written, 64 wrong usage."),
                            1);
    const QCommandLineOption keyOption(QStringLiteral("key"),
                                       QStringLiteral("The RSA private key (PEM) of the log key; an encrypted one asks for its "
                                                      "passphrase."),
                                       QStringLiteral("PRIVATE.pem"));
    arguments.addOption(keyOption);
    if (const int status = arguments.parse(argc, argv); status >= 0)
        return status;
    const QString keyPath = arguments.value(keyOption);
    const QString logPath = arguments.positionalArguments().value(0);
    if (!arguments.isSet(keyOption))
        return arguments.usageError(QStringLiteral("--key PRIVATE.pem is required"));
    if (keyPath.isEmpty())
        return arguments.usageError(QStringLiteral("--key names no private key file"));

    QString error;
    const KeyPtr key = readPrivateKey(keyPath, &error);
    const Revealer revealer(key.get());
    if (!key || !revealer.isValid()) {
        std::fprintf(stderr, "kvo-log-reveal: %s: %s\n", qPrintable(keyPath), qPrintable(error));
        return 1;
    }

    QFile input;
    const bool opened = logPath.isEmpty() || logPath == QLatin1String("-")
        ? input.open(stdin, QIODevice::ReadOnly)
        : (input.setFileName(logPath), input.open(QIODevice::ReadOnly));
    if (!opened) {
        std::fprintf(stderr, "kvo-log-reveal: %s: %s\n", qPrintable(logPath), qPrintable(input.errorString()));
        return 3;
    }

    QFile output;
    if (!output.open(stdout, QIODevice::WriteOnly))
        return 3;
    for (;;) {
        const QByteArray piece = input.readLine(maxPiece);
        if (piece.isEmpty())
            break;
        const bool complete = piece.endsWith('\n') || piece.size() < maxPiece - 1 || input.atEnd();
        if (output.write(revealer.reveal(piece, complete)) < 0)
            return 3;
    }
    if (input.error() != QFileDevice::NoError) {
        std::fprintf(stderr, "kvo-log-reveal: %s: %s\n", qPrintable(logPath), qPrintable(input.errorString()));
        return 3;
    }
    return output.flush() ? 0 : 3;
}
