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
