// SPDX-License-Identifier: GPL-3.0-or-later
#include "protectlogvalue.h"

#include "secretkeysplit/secretkeysplit.h"

#include <QtGlobal>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <limits>
#include <memory>

// Written at build time by kvo-keysplit from the configured log public key.
namespace kvo::logkey {
extern const char share1[];
extern const char share2[];
extern const char share3[];
} // namespace kvo::logkey

namespace {

struct BioFree
{
    void operator()(BIO *bio) const { BIO_free_all(bio); }
};

// A PEM block with an encryption header would otherwise make OpenSSL ask for a passphrase
// on the terminal.
int noPassphrase(char *, int, int, void *)
{
    return 0;
}

// The Base64 text must still fit a QByteArray behind the marker.
bool ciphertextFits(qsizetype valueSize, int blockInput, int keySize)
{
    const qint64 blocks = qint64(valueSize) / blockInput + 1;
    const qint64 base64Size = (blocks * keySize + 2) / 3 * 4;
    return base64Size < std::numeric_limits<int>::max() - 1024;
}

QByteArray encryptWithKey(const QByteArray &keyPem, const QByteArray &value)
{
    const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(keyPem.constData(), keyPem.size()));
    if (!bio)
        return {};

    QByteArray ciphertext;
    // The RSA-specific reader and RSA_public_encrypt are deprecated in OpenSSL 3, but the generic
    // PEM_read_bio_PUBKEY decoder costs ~280 us per call against ~3.5 us here, and going through
    // an EVP_PKEY around the RSA adds ~5 us to the ~28 us of a one-block value. The key is read
    // on every call, so that is the whole cost of a protected log value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    RSA *rsa = nullptr;
    if (keyPem.contains("BEGIN RSA PUBLIC KEY"))
        rsa = PEM_read_bio_RSAPublicKey(bio.get(), nullptr, noPassphrase, nullptr);
    else if (keyPem.contains("BEGIN PUBLIC KEY"))
        rsa = PEM_read_bio_RSA_PUBKEY(bio.get(), nullptr, noPassphrase, nullptr);
    if (!rsa)
        return {};

    const int keySize = RSA_size(rsa);
    const int blockInput = keySize - 11;
    if (blockInput > 0 && ciphertextFits(value.size(), blockInput, keySize)) {
        const int steps = value.size() / blockInput + 1;
        ciphertext.reserve(steps * keySize);
        QByteArray block(keySize, Qt::Uninitialized);
        int offset = 0;
        for (int step = 0; step < steps; ++step) {
            const int length = qMin(blockInput, value.size() - offset);
            const int written = RSA_public_encrypt(length, reinterpret_cast<const unsigned char *>(value.constData()) + offset,
                                                   reinterpret_cast<unsigned char *>(block.data()), rsa, RSA_PKCS1_PADDING);
            if (written == keySize)
                ciphertext += block;
            offset += length;
        }
    }
    RSA_free(rsa);
#pragma GCC diagnostic pop
    return ciphertext;
}

} // namespace

QByteArray protectLogValueWithKey(const QByteArray &keyPem, const QByteArray &value)
{
    return logValueMarker + encryptWithKey(keyPem, value).toBase64();
}

QStringList logKeyShares()
{
    return {QString::fromLatin1(kvo::logkey::share1), QString::fromLatin1(kvo::logkey::share2),
            QString::fromLatin1(kvo::logkey::share3)};
}

QByteArray protectLogValue(const QByteArray &value)
{
    return protectLogValueWithKey(SecretkeySplit::recoverSecretKey(logKeyShares()), value);
}
