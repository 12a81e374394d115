// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Keeps an RSA public key as three text shares, none of which, alone or paired with another,
// tells anything about the key.
//
// Share i (i = 1, 2, 3) is exactly 612 characters:
//   "3-" i "-" payload "-" check
// payload: 591 characters, standard Base64 without "=" padding of 443 bytes;
// check:   16 lower-case hex digits, the first 8 bytes of SHA-256 over "3-" i "-" payload.
//
// The three payloads XOR to the 443-byte secret
//   form (1 byte: 1 PKCS#1 RSAPublicKey, 2 SubjectPublicKeyInfo)
//   DER length (2 bytes, big-endian), DER (at most 436 bytes),
//   the first 4 bytes of SHA-256 over the DER, zero bytes up to 443.
// 436 bytes of DER hold RSA keys up to 3072 bits in either form (exactly: up to 3184 bits as
// SubjectPublicKeyInfo, 3376 bits as PKCS#1); 4096-bit keys do not fit.
namespace SecretkeySplit {

inline constexpr int shareCount = 3;
inline constexpr int shareLength = 612;
inline constexpr int maxKeyDerSize = 436;

// The PEM text of the key, in the armour it was split from; empty when a share is missing,
// damaged, out of order or from another set.
QByteArray recoverSecretKey(const QStringList &shares);

// Splits the PEM text of an RSA public key ("BEGIN RSA PUBLIC KEY" or "BEGIN PUBLIC KEY");
// empty with *errorMessage set when it is no such key or is too large.
QStringList splitSecretKey(const QByteArray &publicKeyPem, QString *errorMessage = nullptr);

} // namespace SecretkeySplit
