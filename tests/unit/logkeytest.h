// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Reading protected log values back in tests, with the private half of a log key.

#include <QByteArray>

#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>

namespace logkeytest {

// The plain text of a ciphertext of whole PKCS#1 v1.5 blocks; "<no key>" when privatePem holds
// no RSA private key, "<undecryptable>" when the ciphertext is not whole blocks or a block fails.
inline QByteArray decryptBlocks(const QByteArray &privatePem, const QByteArray &ciphertext)
{
    EVP_PKEY *raw = nullptr;
    std::unique_ptr<OSSL_DECODER_CTX, decltype(&OSSL_DECODER_CTX_free)> decoder(
        OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", nullptr, "RSA", EVP_PKEY_KEYPAIR, nullptr, nullptr),
        OSSL_DECODER_CTX_free);
    const unsigned char *data = reinterpret_cast<const unsigned char *>(privatePem.constData());
    size_t size = size_t(privatePem.size());
    if (!decoder || !OSSL_DECODER_from_data(decoder.get(), &data, &size) || !raw)
        return "<no key>";
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(raw, EVP_PKEY_free);
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                         EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
        return "<no context>";
    const int k = EVP_PKEY_get_size(key.get());
    if (k <= 0 || ciphertext.size() % k != 0)
        return "<undecryptable>";
    QByteArray plain;
    QByteArray block(k, '\0');
    for (int at = 0; at < ciphertext.size(); at += k) {
        size_t length = size_t(k);
        if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char *>(block.data()), &length,
                             reinterpret_cast<const unsigned char *>(ciphertext.constData()) + at, size_t(k)) <= 0)
            return "<undecryptable>";
        plain += block.left(int(length));
    }
    return plain;
}

} // namespace logkeytest
