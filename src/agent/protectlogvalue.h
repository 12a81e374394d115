// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QStringList>

inline constexpr char logValueMarker[] = "LicenseLogEncryptSign";

// The marker followed by the Base64 text of the value's RSA ciphertext (PKCS#1 v1.5 blocks of
// key size - 11 bytes, one more block than whole blocks fit), under the log key built into the
// program. The marker alone when the key cannot be recovered or read; never the value itself.
QByteArray protectLogValue(const QByteArray &value);

// The same under the RSA public key given as PEM text (PKCS#1 or SubjectPublicKeyInfo).
QByteArray protectLogValueWithKey(const QByteArray &keyPem, const QByteArray &value);

// The built-in shares of the log key, in the order 1, 2, 3.
QStringList logKeyShares();

// SHA-256 over the DER SubjectPublicKeyInfo of the RSA public key given as PEM text (PKCS#1 or
// SubjectPublicKeyInfo), as 64 lower-case hex digits; empty when the text holds no such key.
QByteArray publicKeyFingerprint(const QByteArray &keyPem);

// The fingerprint of the log key that the shares rebuild, the built-in ones by default; empty when
// they rebuild none.
QByteArray logKeyFingerprint(const QStringList &shares = logKeyShares());

// The development key in keys/. Its private half is published with the sources, so values
// protected under it are hidden from nobody.
inline constexpr char developmentLogKeyFingerprint[] = "d4b25c9980517cea5fe5b78533bc4df1761dddd1c9b944b9cf8a42417b171cdd";
