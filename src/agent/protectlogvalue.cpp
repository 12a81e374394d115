// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/protectlogvalue.h"

#include "secretkeysplit/secretkeysplit.h"

#include <QtGlobal>

#include <openssl/bio.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
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

QByteArray publicKeyFingerprint(const QByteArray &keyPem)
{
    EVP_PKEY *key = nullptr;
    const std::unique_ptr<OSSL_DECODER_CTX, decltype(&OSSL_DECODER_CTX_free)> decoder(
        OSSL_DECODER_CTX_new_for_pkey(&key, "PEM", nullptr, "RSA", EVP_PKEY_PUBLIC_KEY, nullptr, nullptr),
        OSSL_DECODER_CTX_free);
    if (!decoder)
        return {};
    OSSL_DECODER_CTX_set_pem_password_cb(decoder.get(), noPassphrase, nullptr);
    const auto *data = reinterpret_cast<const unsigned char *>(keyPem.constData());
    size_t size = size_t(keyPem.size());
    if (!OSSL_DECODER_from_data(decoder.get(), &data, &size) || !key)
        return {};
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> owned(key, EVP_PKEY_free);

    unsigned char *der = nullptr;
    const int derSize = i2d_PUBKEY(key, &der);
    if (derSize <= 0)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    const bool hashed = EVP_Digest(der, size_t(derSize), digest, &digestSize, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    if (!hashed)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(digestSize)).toHex();
}

QByteArray logKeyFingerprint(const QStringList &shares)
{
    const QByteArray pem = SecretkeySplit::recoverSecretKey(shares);
    return pem.isEmpty() ? QByteArray() : publicKeyFingerprint(pem);
}
