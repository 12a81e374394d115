// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/protectlogvalue.h"
#include "logkeytest.h"
#include "secretkeysplit/secretkeysplit.h"
#include "testhelpers.h"

#include <QFile>
#include <QtTest>

#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>

using testhelpers::readFile;

namespace {

const QByteArray Marker = "LicenseLogEncryptSign";
const QByteArray Mac = "52:54:00:12:34:56";

QByteArray fixture(const char *name)
{
    return readFile(QStringLiteral(KVO_TEST_KEYS_DIR "/") + QLatin1String(name));
}

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// Either public form or a private key.
KeyPtr readKey(const QByteArray &pem, bool isPrivate)
{
    EVP_PKEY *key = nullptr;
    std::unique_ptr<OSSL_DECODER_CTX, decltype(&OSSL_DECODER_CTX_free)> decoder(
        OSSL_DECODER_CTX_new_for_pkey(&key, "PEM", nullptr, "RSA",
                                      isPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, nullptr, nullptr),
        OSSL_DECODER_CTX_free);
    const unsigned char *data = reinterpret_cast<const unsigned char *>(pem.constData());
    size_t size = size_t(pem.size());
    if (decoder)
        OSSL_DECODER_from_data(decoder.get(), &data, &size);
    return KeyPtr(key, EVP_PKEY_free);
}

QByteArray decrypt(const QByteArray &privatePem, const QByteArray &ciphertext)
{
    return logkeytest::decryptBlocks(privatePem, ciphertext);
}

// The ciphertext behind the marker, checking that it is standard Base64 in one line.
QByteArray ciphertextOf(const QByteArray &protectedValue)
{
    if (!protectedValue.startsWith(Marker))
        return "<no marker>";
    const QByteArray base64 = protectedValue.mid(Marker.size());
    const QByteArray cipher = QByteArray::fromBase64(base64);
    return cipher.toBase64() == base64 ? cipher : QByteArray("<not canonical Base64>");
}

QByteArray bytes(int size)
{
    QByteArray value(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        value[i] = char('a' + i % 26);
    return value;
}

} // namespace

class tst_ProtectLogValue : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void markerAlone_data();
    void markerAlone();
    void randomPadding();
    void builtInKey();
    void damagedBuiltInShare_data();
    void damagedBuiltInShare();
};

void tst_ProtectLogValue::roundTrip_data()
{
    QTest::addColumn<QByteArray>("publicKey");
    QTest::addColumn<QByteArray>("privateKey");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("base64Length");

    const QByteArray spki = fixture("rsa2048-pub.pem");
    const QByteArray pkcs1 = fixture("rsa2048-pub-pkcs1.pem");
    const QByteArray priv = fixture("rsa2048.pem");
    const QByteArray utf8 = QStringLiteral("Straße 中文 ✓ ").toUtf8().repeated(20);

    // 2048 bits: k = 256, b = 245; Base64 of n blocks is 4 * ceil(256 n / 3) characters.
    QTest::newRow("empty")               << spki  << priv << QByteArray()        << 1  << 344;
    QTest::newRow("17-character MAC")    << spki  << priv << Mac                 << 1  << 344;
    QTest::newRow("MAC, PKCS#1 key")     << pkcs1 << priv << Mac                 << 1  << 344;
    QTest::newRow("244 bytes")           << spki  << priv << bytes(244)          << 1  << 344;
    QTest::newRow("exactly 245 bytes")   << spki  << priv << bytes(245)          << 2  << 684;
    QTest::newRow("246 bytes")           << spki  << priv << bytes(246)          << 2  << 684;
    QTest::newRow("490 bytes")           << pkcs1 << priv << bytes(490)          << 3  << 1024;
    QTest::newRow("10 KiB")              << spki  << priv << bytes(10240)        << 42 << 14336;
    QTest::newRow("non-ASCII UTF-8")     << spki  << priv << utf8                << 2  << 684;
    QTest::newRow("zero bytes inside")   << pkcs1 << priv << QByteArray("a\0b\0", 4) << 1 << 344;
    // 1024 bits: k = 128, b = 117.
    QTest::newRow("1024: 117 bytes")     << fixture("rsa1024-pub-pkcs1.pem") << fixture("rsa1024.pem") << bytes(117) << 2 << 344;
    // 3072 bits: k = 384, b = 373.
    QTest::newRow("3072: 374 bytes")     << fixture("rsa3072-pub.pem") << fixture("rsa3072.pem") << bytes(374) << 2 << 1024;
}

void tst_ProtectLogValue::roundTrip()
{
    QFETCH(QByteArray, publicKey);
    QFETCH(QByteArray, privateKey);
    QFETCH(QByteArray, value);
    QFETCH(int, blocks);
    QFETCH(int, base64Length);

    QVERIFY(!publicKey.isEmpty() && !privateKey.isEmpty());
    const QByteArray result = protectLogValueWithKey(publicKey, value);
    QCOMPARE(result.size() - Marker.size(), base64Length);
    const QByteArray cipher = ciphertextOf(result);
    const int k = EVP_PKEY_get_size(readKey(privateKey, true).get());
    QCOMPARE(cipher.size(), blocks * k);
    QCOMPARE(decrypt(privateKey, cipher), value);
}

void tst_ProtectLogValue::markerAlone_data()
{
    QTest::addColumn<QByteArray>("keyText");

    const QByteArray spki = fixture("rsa2048-pub.pem");
    const QByteArray pkcs1 = fixture("rsa2048-pub-pkcs1.pem");
    QByteArray body = spki;
    body.replace("-----BEGIN PUBLIC KEY-----\n", "").replace("-----END PUBLIC KEY-----\n", "");

    QTest::newRow("empty")                       << QByteArray();
    QTest::newRow("body without armour")         << body;
    QTest::newRow("private key")                 << fixture("rsa2048.pem");
    QTest::newRow("certificate armour")          << QByteArray(spki).replace("PUBLIC KEY", "CERTIFICATE");
    QTest::newRow("PKCS#1 armour, SPKI body")    << QByteArray(spki).replace("PUBLIC KEY", "RSA PUBLIC KEY");
    QTest::newRow("SPKI armour, PKCS#1 body")    << QByteArray(pkcs1).replace("RSA PUBLIC KEY", "PUBLIC KEY");
    QTest::newRow("body cut short")              << spki.left(200) + "\n-----END PUBLIC KEY-----\n";
    QTest::newRow("not an RSA key")              << fixture("ec256-pub.pem");
    // Must neither prompt for a passphrase nor wait for one.
    QTest::newRow("encryption header")           << QByteArray(pkcs1).replace(
                                                      "KEY-----\n", "KEY-----\nProc-Type: 4,ENCRYPTED\n"
                                                                    "DEK-Info: AES-128-CBC,00112233445566778899AABBCCDDEEFF\n\n");
    QTest::newRow("zero byte in armour")         << QByteArray(spki).replace(5, 1, QByteArray(1, '\0'));
}

void tst_ProtectLogValue::markerAlone()
{
    QFETCH(QByteArray, keyText);
    QCOMPARE(protectLogValueWithKey(keyText, Mac), Marker);
}

void tst_ProtectLogValue::randomPadding()
{
    const QByteArray key = fixture("rsa2048-pub.pem");
    const QByteArray first = protectLogValueWithKey(key, Mac);
    const QByteArray second = protectLogValueWithKey(key, Mac);
    QCOMPARE(first.size(), second.size());
    QVERIFY(first != second);
    QCOMPARE(decrypt(fixture("rsa2048.pem"), ciphertextOf(first)), Mac);
    QCOMPARE(decrypt(fixture("rsa2048.pem"), ciphertextOf(second)), Mac);
}

// The shares built into the program give back the key the build was configured with, and
// protectLogValue encrypts under it.
void tst_ProtectLogValue::builtInKey()
{
    const KeyPtr configured = readKey(readFile(QStringLiteral(KVO_LOG_PUBLIC_KEY)), false);
    QVERIFY(configured);
    const KeyPtr recovered = readKey(SecretkeySplit::recoverSecretKey(logKeyShares()), false);
    QVERIFY2(recovered, "the built-in shares do not give a key back");
    QCOMPARE(EVP_PKEY_eq(recovered.get(), configured.get()), 1);

    const QByteArray result = protectLogValue(Mac);
    QCOMPARE(ciphertextOf(result).size(), EVP_PKEY_get_size(configured.get()));
#ifdef KVO_LOG_PRIVATE_KEY
    QCOMPARE(decrypt(readFile(QStringLiteral(KVO_LOG_PRIVATE_KEY)), ciphertextOf(result)), Mac);
    QCOMPARE(decrypt(readFile(QStringLiteral(KVO_LOG_PRIVATE_KEY)), ciphertextOf(protectLogValue(QByteArray()))),
             QByteArray());
#endif
}

void tst_ProtectLogValue::damagedBuiltInShare_data()
{
    QTest::addColumn<int>("share");
    QTest::addColumn<int>("position");

    QTest::newRow("share 1, payload") << 0 << 10;
    QTest::newRow("share 2, payload") << 1 << 594;
    QTest::newRow("share 3, check")   << 2 << 611;
}

void tst_ProtectLogValue::damagedBuiltInShare()
{
    QFETCH(int, share);
    QFETCH(int, position);

    QStringList shares = logKeyShares();
    QCOMPARE(shares.size(), 3);
    QString &damaged = shares[share];
    damaged[position] = damaged.at(position) == QLatin1Char('0') ? QLatin1Char('1') : QLatin1Char('0');
    QCOMPARE(protectLogValueWithKey(SecretkeySplit::recoverSecretKey(shares), Mac), Marker);
}

QTEST_GUILESS_MAIN(tst_ProtectLogValue)
#include "tst_protectlogvalue.moc"
