// SPDX-License-Identifier: GPL-3.0-or-later
// Protected log values: every value comes back whole from the private key, in the number of
// blocks the rule gives (one per key size - 11 bytes of value, plus one).

#include "fuzzsupport.h"
#include "logkeytest.h"
#include "agent/protectlogvalue.h"

#include <QFile>
#include <QVector>

namespace {

// RSA decryption dominates a run; longer values only repeat the same block loop.
constexpr size_t maxValueSize = 600;

struct KeyPair
{
    QByteArray publicPem;
    QByteArray privatePem;
    int size; // bytes
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        std::abort();
    }
    return file.readAll();
}

QVector<KeyPair> keyPairs;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initialize();
    const QString dir = QStringLiteral(KVO_FUZZ_KEY_DIR "/");
    for (const int bits : {1024, 2048, 3072}) {
        const QByteArray privatePem = readFile(dir + QStringLiteral("rsa%1.pem").arg(bits));
        keyPairs.append({readFile(dir + QStringLiteral("rsa%1-pub.pem").arg(bits)), privatePem, bits / 8});
        keyPairs.append({readFile(dir + QStringLiteral("rsa%1-pub-pkcs1.pem").arg(bits)), privatePem, bits / 8});
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const KeyPair &key = keyPairs.at(data[0] % keyPairs.size());
    const QByteArray value(reinterpret_cast<const char *>(data) + 1, int(std::min(size - 1, maxValueSize)));

    const QByteArray text = protectLogValueWithKey(key.publicPem, value);
    FUZZ_CHECK(text.startsWith(logValueMarker), QString::fromLatin1(value.toHex()));
    const auto decoded = QByteArray::fromBase64Encoding(text.mid(int(sizeof logValueMarker) - 1),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    FUZZ_CHECK(decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok, QString::fromLatin1(text));
    const QByteArray &ciphertext = decoded.decoded;

    const int blockInput = key.size - 11;
    const int blocks = value.size() / blockInput + 1;
    FUZZ_CHECK(ciphertext.size() == blocks * key.size, QString::fromLatin1(value.toHex()));

    QByteArray plain;
    for (int i = 0; i < blocks; ++i) {
        const QByteArray part = logkeytest::decryptBlocks(key.privatePem, ciphertext.mid(i * key.size, key.size));
        const int expected = std::min(blockInput, value.size() - i * blockInput);
        FUZZ_CHECK(part.size() == expected, QString::fromLatin1(part));
        plain += part;
    }
    FUZZ_CHECK(plain == value, QString::fromLatin1(value.toHex()));
    return 0;
}
