// SPDX-License-Identifier: GPL-3.0-or-later
// Rebuilding the log key from its three shares. Raw inputs exercise the share checks; built
// inputs carry a secret of the fuzzer's choosing in shares that pass those checks, so that the
// decoding of the secret is reached, and are compared with a separately written expectation.

#include "fuzzsupport.h"
#include "secretkeysplit/secretkeysplit.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QFile>
#include <QStringList>

#include <openssl/evp.h>

namespace {

constexpr int secretSize = 443;

QByteArray sha256(const QByteArray &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(data.constData(), size_t(data.size()), digest, &size, EVP_sha256(), nullptr);
    return QByteArray(reinterpret_cast<const char *>(digest), int(size));
}

QString share(int index, const QByteArray &payload)
{
    const QByteArray head = "3-" + QByteArray::number(index) + '-' + payload.toBase64(QByteArray::OmitTrailingEquals);
    return QString::fromLatin1(head + '-' + sha256(head).left(8).toHex());
}

QByteArray xored(QByteArray a, const QByteArray &b)
{
    for (int i = 0; i < a.size(); ++i)
        a[i] = char(a.at(i) ^ b.at(i));
    return a;
}

// The PEM text a secret stands for, or empty when it is no valid secret.
QByteArray expectedPem(const QByteArray &secret)
{
    const int form = quint8(secret.at(0));
    const int derSize = quint8(secret.at(1)) * 256 + quint8(secret.at(2));
    if ((form != 1 && form != 2) || derSize < 1 || derSize > 436)
        return {};
    const QByteArray der = secret.mid(3, derSize);
    if (secret.mid(3 + derSize, 4) != sha256(der).left(4))
        return {};
    for (int i = 3 + derSize + 4; i < secret.size(); ++i) {
        if (secret.at(i) != 0)
            return {};
    }
    const QByteArray label = form == 1 ? "RSA PUBLIC KEY" : "PUBLIC KEY";
    QByteArray pem = "-----BEGIN " + label + "-----\n";
    const QByteArray body = der.toBase64();
    for (int at = 0; at < body.size(); at += 64)
        pem += body.mid(at, 64) + '\n';
    return pem + "-----END " + label + "-----\n";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const int mode = provider.ConsumeIntegralInRange<int>(0, 3);

    if (mode == 0) {
        // Raw text, split into shares at line ends.
        const std::string text = provider.ConsumeRemainingBytesAsString();
        const QStringList shares = QString::fromLatin1(text.data(), int(text.size())).split(QLatin1Char('\n'));
        const QByteArray pem = SecretkeySplit::recoverSecretKey(shares);
        FUZZ_CHECK(pem.isEmpty() || shares.size() == 3, QString::fromLatin1(pem));
        return 0;
    }

    // A secret from the input; with mode 2 and 3 its digest is made to fit, so that a well-formed
    // secret is reached (mode 3 also zeroes the tail).
    const QByteArray padding1 = QByteArray::fromStdString(provider.ConsumeBytesAsString(secretSize))
                                    .leftJustified(secretSize, '\x5a', true);
    const QByteArray padding2 = QByteArray::fromStdString(provider.ConsumeBytesAsString(secretSize))
                                    .leftJustified(secretSize, '\xa5', true);
    QByteArray secret = QByteArray::fromStdString(provider.ConsumeRemainingBytesAsString())
                            .leftJustified(secretSize, '\0', true);
    const int derSize = quint8(secret.at(1)) * 256 + quint8(secret.at(2));
    if (mode >= 2 && derSize >= 1 && derSize <= 436) {
        if (mode == 3)
            secret.replace(3 + derSize, secretSize - 3 - derSize, QByteArray(secretSize - 3 - derSize, '\0'));
        secret.replace(3 + derSize, 4, sha256(secret.mid(3, derSize)).left(4));
    }

    const QStringList shares{share(1, padding1), share(2, padding2), share(3, xored(xored(secret, padding1), padding2))};
    const QByteArray pem = SecretkeySplit::recoverSecretKey(shares);
    FUZZ_CHECK(pem == expectedPem(secret), QString::fromLatin1(secret.toHex()));

    // Shares out of order are refused.
    if (!pem.isEmpty())
        FUZZ_CHECK(SecretkeySplit::recoverSecretKey({shares.at(1), shares.at(0), shares.at(2)}).isEmpty(), QString());
    return 0;
}
