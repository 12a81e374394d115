// SPDX-License-Identifier: GPL-3.0-or-later
//
// protectLogValue against its floor: what any implementation has to do for one value, namely
// read the same public key from PEM text and encrypt one PKCS#1 v1.5 block, through the
// RSA-specific OpenSSL calls (the cheapest path OpenSSL 3 has for it).
#include "agent/protectlogvalue.h"
#include "secretkeysplit/secretkeysplit.h"

#include <benchmark/benchmark.h>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace {

const QByteArray value17 = QByteArrayLiteral("00:1a:2b:3c:4d:5e");

void protectLogValue17(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(protectLogValue(value17));
}

void floorParseAndEncrypt(benchmark::State &state)
{
    const QByteArray pem = SecretkeySplit::recoverSecretKey(logKeyShares());
    const bool pkcs1 = pem.contains("BEGIN RSA PUBLIC KEY");
    unsigned char out[1024];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    for (auto _ : state) {
        BIO *bio = BIO_new_mem_buf(pem.constData(), pem.size());
        RSA *rsa = pkcs1 ? PEM_read_bio_RSAPublicKey(bio, nullptr, nullptr, nullptr)
                         : PEM_read_bio_RSA_PUBKEY(bio, nullptr, nullptr, nullptr);
        if (!rsa || RSA_size(rsa) > int(sizeof out)) {
            state.SkipWithError("the log key cannot be read");
            break;
        }
        benchmark::DoNotOptimize(RSA_public_encrypt(value17.size(), reinterpret_cast<const unsigned char *>(value17.constData()),
                                                    out, rsa, RSA_PKCS1_PADDING));
        RSA_free(rsa);
        BIO_free(bio);
    }
#pragma GCC diagnostic pop
}

} // namespace

BENCHMARK(protectLogValue17)->Name("protectLogValue/17")->Unit(benchmark::kMicrosecond);
BENCHMARK(floorParseAndEncrypt)->Name("floor/17")->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
