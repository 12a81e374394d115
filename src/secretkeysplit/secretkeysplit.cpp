// SPDX-License-Identifier: GPL-3.0-or-later
#include "secretkeysplit/secretkeysplit.h"

#include "secretkeysplit/base64char.h"


#include <openssl/evp.h>

#include <algorithm>
#include <array>

namespace SecretkeySplit {

namespace {

constexpr int secretSize = 443;
constexpr int payloadLength = 591;
constexpr int checkLength = 16;
constexpr int digestSize = 4;
constexpr int headerSize = 3;
static_assert(headerSize + maxKeyDerSize + digestSize == secretSize);
static_assert(4 + payloadLength + 1 + checkLength == shareLength);

constexpr char formPkcs1 = 1;
constexpr char formSpki = 2;

struct Armour
{
    char form;
    const char *label;
};
constexpr std::array<Armour, 2> armours{{{formPkcs1, "RSA PUBLIC KEY"}, {formSpki, "PUBLIC KEY"}}};

QByteArray beginLine(const char *label) { return QByteArray("-----BEGIN ") + label + "-----"; }
QByteArray endLine(const char *label) { return QByteArray("-----END ") + label + "-----"; }

// OpenSSL's digest rather than QCryptographicHash: the agent recovers the key for every
// protected log value, and Qt's SHA-256 made up half the cost of that.
QByteArray sha256(const QByteArray &data)
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    if (!EVP_Digest(data.constData(), size_t(data.size()), reinterpret_cast<unsigned char *>(digest.data()), &size,
                    EVP_sha256(), nullptr))
        return {};
    digest.truncate(int(size));
    return digest;
}

QByteArray checkOf(const QByteArray &head)
{
    return sha256(head).left(checkLength / 2).toHex();
}

// The pads are drawn from the secret itself (SHA-256 in counter mode), so that the same key
// always gives the same shares and two builds of one commit are bit-identical. One share, or
// two, still shows nothing of the key.
QByteArray padOf(const QByteArray &secret, char which, int size)
{
    QByteArray pad;
    for (quint32 counter = 0; pad.size() < size; ++counter) {
        QByteArray block("kvo-keysplit pad ");
        block += which;
        for (int shift = 24; shift >= 0; shift -= 8)
            block += char((counter >> shift) & 0xff);
        block += secret;
        pad += sha256(block);
    }
    pad.truncate(size);
    return pad;
}

void xorInto(QByteArray &target, const QByteArray &other)
{
    char *out = target.data();
    const char *in = other.constData();
    for (int i = 0, size = qMin(target.size(), other.size()); i < size; ++i)
        out[i] = char(out[i] ^ in[i]);
}

template<typename Predicate>
bool allOf(const QByteArray &text, Predicate predicate)
{
    return std::all_of(text.cbegin(), text.cend(), predicate);
}

// The payload of share number `index`, or empty when the share is not that share intact.
QByteArray sharePayload(const QString &share, int index)
{
    if (share.size() != shareLength)
        return {};
    const QByteArray text = share.toLatin1();
    const QByteArray prefix = "3-" + QByteArray::number(index) + '-';
    if (!text.startsWith(prefix) || text.at(shareLength - checkLength - 1) != '-')
        return {};
    const QByteArray payload = text.mid(prefix.size(), payloadLength);
    const QByteArray check = text.right(checkLength);
    const auto isLowerHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    if (!allOf(payload, isBase64Char) || !allOf(check, isLowerHex)
        || checkOf(text.left(shareLength - checkLength - 1)) != check)
        return {};
    const QByteArray bytes = QByteArray::fromBase64(payload);
    return bytes.size() == secretSize ? bytes : QByteArray();
}

QString shareText(int index, const QByteArray &payloadBytes)
{
    const QByteArray head = "3-" + QByteArray::number(index) + '-'
        + payloadBytes.toBase64(QByteArray::OmitTrailingEquals) + '-';
    return QString::fromLatin1(head + checkOf(head.chopped(1)));
}

QByteArray armoured(const Armour &armour, const QByteArray &der)
{
    const QByteArray body = der.toBase64();
    QByteArray pem = beginLine(armour.label) + '\n';
    for (int at = 0; at < body.size(); at += 64)
        pem += body.mid(at, 64) + '\n';
    return pem + endLine(armour.label) + '\n';
}

} // namespace

QByteArray recoverSecretKey(const QStringList &shares)
{
    if (shares.size() != shareCount)
        return {};
    QByteArray secret;
    for (int i = 0; i < shareCount; ++i) {
        const QByteArray payload = sharePayload(shares.at(i), i + 1);
        if (payload.isEmpty())
            return {};
        if (secret.isEmpty())
            secret = payload;
        else
            xorInto(secret, payload);
    }

    const char form = secret.at(0);
    const auto armour = std::find_if(armours.cbegin(), armours.cend(),
                                     [form](const Armour &a) { return a.form == form; });
    const int derSize = (quint8(secret.at(1)) << 8) | quint8(secret.at(2));
    if (armour == armours.cend() || derSize == 0 || derSize > maxKeyDerSize)
        return {};
    const QByteArray der = secret.mid(headerSize, derSize);
    const QByteArray tail = secret.mid(headerSize + derSize + digestSize);
    // Shares from different sets pass their own checks but not these.
    if (secret.mid(headerSize + derSize, digestSize) != sha256(der).left(digestSize)
        || !allOf(tail, [](char c) { return c == 0; }))
        return {};
    return armoured(*armour, der);
}

QStringList splitSecretKey(const QByteArray &publicKeyPem, QString *errorMessage)
{
    auto fail = [errorMessage](const QString &message) {
        if (errorMessage)
            *errorMessage = message;
        return QStringList();
    };

    if (publicKeyPem.contains("PRIVATE KEY"))
        return fail(QStringLiteral("the key text holds a private key; pass the public key only"));

    const Armour *armour = nullptr;
    int begin = -1;
    for (const Armour &candidate : armours) {
        begin = publicKeyPem.indexOf(beginLine(candidate.label));
        if (begin >= 0) {
            armour = &candidate;
            break;
        }
    }
    if (!armour)
        return fail(QStringLiteral("no \"BEGIN RSA PUBLIC KEY\" or \"BEGIN PUBLIC KEY\" armour line"));
    const int bodyStart = begin + beginLine(armour->label).size();
    const int end = publicKeyPem.indexOf(endLine(armour->label), bodyStart);
    if (end < 0)
        return fail(QStringLiteral("no END line for \"%1\"").arg(QLatin1String(armour->label)));

    const QByteArray body = publicKeyPem.mid(bodyStart, end - bodyStart).simplified().replace(' ', QByteArray());
    const auto decoded = QByteArray::fromBase64Encoding(body, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return fail(QStringLiteral("the key body is not Base64 (an encrypted or damaged PEM block?)"));
    const QByteArray &der = decoded.decoded;
    if (der.size() > maxKeyDerSize)
        return fail(QStringLiteral("the key is %1 bytes in DER form; the key shares hold at most %2 "
                                   "(RSA keys up to 3072 bits)")
                        .arg(der.size())
                        .arg(maxKeyDerSize));

    QByteArray secret(secretSize, '\0');
    secret[0] = armour->form;
    secret[1] = char(der.size() >> 8);
    secret[2] = char(der.size() & 0xff);
    secret.replace(headerSize, der.size(), der);
    secret.replace(headerSize + der.size(), digestSize, sha256(der).left(digestSize));

    const QByteArray first = padOf(secret, '1', secretSize);
    const QByteArray second = padOf(secret, '2', secretSize);
    QByteArray third = secret;
    xorInto(third, first);
    xorInto(third, second);
    return {shareText(1, first), shareText(2, second), shareText(3, third)};
}

} // namespace SecretkeySplit
