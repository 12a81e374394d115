// SPDX-License-Identifier: GPL-3.0-or-later
#include "secretkeysplit/secretkeysplit.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray fixture(const QString &name)
{
    QFile file(QStringLiteral(KVO_TEST_KEYS_DIR "/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray derOf(const QByteArray &pem)
{
    QByteArray body;
    for (const QByteArray &line : pem.split('\n'))
        if (!line.startsWith("-----"))
            body += line;
    return QByteArray::fromBase64(body);
}

// The 443 payload bytes of a share.
QByteArray payloadOf(const QString &share)
{
    return QByteArray::fromBase64(share.toLatin1().mid(4, 591));
}

QByteArray xorOf(const QByteArray &a, const QByteArray &b)
{
    QByteArray result = a;
    for (int i = 0; i < result.size(); ++i)
        result[i] = char(a.at(i) ^ b.at(i));
    return result;
}

QString withCharChanged(const QString &share, int at)
{
    QString damaged = share;
    damaged[at] = damaged.at(at) == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');
    return damaged;
}

// A share with a new payload and a check that matches it, as a careful forger would write it.
QString reforged(const QString &share)
{
    QByteArray payload = payloadOf(share);
    payload[10] = char(payload.at(10) ^ 0x01);
    const QByteArray head = share.toLatin1().left(4) + payload.toBase64(QByteArray::OmitTrailingEquals);
    const QByteArray check = QCryptographicHash::hash(head, QCryptographicHash::Sha256).left(8).toHex();
    return QString::fromLatin1(head + '-' + check);
}

QByteArray pemAround(const char *label, const QByteArray &der)
{
    QByteArray pem = QByteArray("-----BEGIN ") + label + "-----\n";
    const QByteArray body = der.toBase64();
    for (int at = 0; at < body.size(); at += 64)
        pem += body.mid(at, 64) + '\n';
    return pem + "-----END " + label + "-----\n";
}

} // namespace

class tst_SecretKeySplit : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void noShareOrPairRevealsKey();
    void damagedShares_data();
    void damagedShares();
    void refusedKeys_data();
    void refusedKeys();
    void keysplitTool_data();
    void keysplitTool();
};

void tst_SecretKeySplit::roundTrip_data()
{
    QTest::addColumn<QByteArray>("pem");

    QTest::newRow("2048 SubjectPublicKeyInfo") << fixture(QStringLiteral("rsa2048-pub.pem"));
    QTest::newRow("2048 PKCS#1")               << fixture(QStringLiteral("rsa2048-pub-pkcs1.pem"));
    QTest::newRow("1024 PKCS#1")               << fixture(QStringLiteral("rsa1024-pub-pkcs1.pem"));
    QTest::newRow("3072 SubjectPublicKeyInfo") << fixture(QStringLiteral("rsa3072-pub.pem"));
    QTest::newRow("436-byte body, the most")   << pemAround("PUBLIC KEY", QByteArray(436, '\xa5'));
    QTest::newRow("1-byte body")               << pemAround("RSA PUBLIC KEY", QByteArray(1, '\0'));
}

void tst_SecretKeySplit::roundTrip()
{
    QFETCH(QByteArray, pem);
    QVERIFY(!pem.isEmpty());

    QString error;
    const QStringList shares = SecretkeySplit::splitSecretKey(pem, &error);
    QVERIFY2(!shares.isEmpty(), qPrintable(error));
    QCOMPARE(shares.size(), 3);
    const QRegularExpression form(QStringLiteral("^3-[123]-[A-Za-z0-9+/]{591}-[0-9a-f]{16}$"));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(shares.at(i).size(), 612);
        QVERIFY2(form.match(shares.at(i)).hasMatch(), qPrintable(shares.at(i)));
        QVERIFY(shares.at(i).startsWith(QStringLiteral("3-%1-").arg(i + 1)));
    }
    QCOMPARE(SecretkeySplit::recoverSecretKey(shares), pem);

    // The same key gives the same shares: a build is reproducible.
    QCOMPARE(SecretkeySplit::splitSecretKey(pem), shares);
    const QStringList ofAnotherKey = SecretkeySplit::splitSecretKey(fixture(QStringLiteral("other2048-pub.pem")));
    QCOMPARE(ofAnotherKey.size(), 3);
    for (int i = 0; i < 3; ++i)
        QVERIFY(ofAnotherKey.at(i) != shares.at(i));
}

void tst_SecretKeySplit::noShareOrPairRevealsKey()
{
    const QByteArray pem = fixture(QStringLiteral("rsa2048-pub.pem"));
    const QByteArray der = derOf(pem);
    const QStringList shares = SecretkeySplit::splitSecretKey(pem);
    QCOMPARE(shares.size(), 3);

    const QByteArray p1 = payloadOf(shares.at(0));
    const QByteArray p2 = payloadOf(shares.at(1));
    const QByteArray p3 = payloadOf(shares.at(2));
    const QList<QByteArray> views{p1, p2, p3, xorOf(p1, p2), xorOf(p1, p3), xorOf(p2, p3)};
    // Any 16 consecutive key bytes in a view would give the key away; the modulus alone is 256.
    for (int at = 0; at + 16 <= der.size(); at += 8) {
        const QByteArray window = der.mid(at, 16);
        for (const QByteArray &view : views)
            QVERIFY2(!view.contains(window), qPrintable(QStringLiteral("key bytes at %1 in a share view").arg(at)));
    }
    QVERIFY(xorOf(xorOf(p1, p2), p3).contains(der));
}

void tst_SecretKeySplit::damagedShares_data()
{
    const QStringList good = SecretkeySplit::splitSecretKey(fixture(QStringLiteral("rsa2048-pub.pem")));
    const QStringList other = SecretkeySplit::splitSecretKey(fixture(QStringLiteral("other2048-pub.pem")));
    QCOMPARE(good.size(), 3);
    QCOMPARE(other.size(), 3);
    const QString &s1 = good.at(0), &s2 = good.at(1), &s3 = good.at(2);

    QTest::addColumn<QStringList>("shares");

    QTest::newRow("payload character changed") << QStringList{s1, withCharChanged(s2, 300), s3};
    QTest::newRow("check character changed")   << QStringList{s1, s2, withCharChanged(s3, 605)};
    QTest::newRow("payload reforged, check ok") << QStringList{reforged(s1), s2, s3};
    QTest::newRow("index changed")             << QStringList{s1, QString(s2).replace(2, 1, QLatin1Char('3')), s3};
    QTest::newRow("count changed")             << QStringList{QString(s1).replace(0, 1, QLatin1Char('2')), s2, s3};
    QTest::newRow("order 2 1 3")               << QStringList{s2, s1, s3};
    QTest::newRow("order 1 3 2")               << QStringList{s1, s3, s2};
    QTest::newRow("one share twice")           << QStringList{s1, s1, s3};
    QTest::newRow("share of another key")    << QStringList{s1, other.at(1), s3};
    QTest::newRow("last character cut")        << QStringList{s1, s2, s3.chopped(1)};
    QTest::newRow("one character more")        << QStringList{s1, s2 + QLatin1Char('0'), s3};
    QTest::newRow("non-Latin-1 character")     << QStringList{s1, QString(s2).replace(100, 1, QChar(0x4e2d)), s3};
    QTest::newRow("two shares")                << QStringList{s1, s2};
    QTest::newRow("four shares")               << QStringList{s1, s2, s3, s3};
    QTest::newRow("empty shares")              << QStringList{QString(), QString(), QString()};
    QTest::newRow("no shares")                 << QStringList();
}

void tst_SecretKeySplit::damagedShares()
{
    QFETCH(QStringList, shares);
    const QByteArray recovered = SecretkeySplit::recoverSecretKey(shares);
    QVERIFY2(!recovered.contains("-----BEGIN"), recovered.constData());
}

void tst_SecretKeySplit::refusedKeys_data()
{
    QTest::addColumn<QByteArray>("pem");
    QTest::addColumn<QString>("reason");

    const QByteArray spki = fixture(QStringLiteral("rsa2048-pub.pem"));
    QTest::newRow("4096-bit key")         << fixture(QStringLiteral("rsa4096-pub.pem")) << QStringLiteral("at most 436");
    QTest::newRow("437-byte body")        << pemAround("PUBLIC KEY", QByteArray(437, '\xa5')) << QStringLiteral("at most 436");
    QTest::newRow("private key")          << fixture(QStringLiteral("rsa2048.pem")) << QStringLiteral("private key");
    QTest::newRow("public and private")   << spki + fixture(QStringLiteral("rsa1024.pem")) << QStringLiteral("private key");
    QTest::newRow("no armour")            << derOf(spki).toBase64() << QStringLiteral("armour");
    QTest::newRow("certificate armour")   << QByteArray(spki).replace("PUBLIC KEY", "CERTIFICATE") << QStringLiteral("armour");
    QTest::newRow("no END line")          << spki.left(spki.indexOf("-----END")) << QStringLiteral("END");
    QTest::newRow("body not Base64")      << QByteArray(spki).replace(40, 1, "*") << QStringLiteral("Base64");
    QTest::newRow("encryption header")    << QByteArray(spki).replace("KEY-----\n", "KEY-----\nProc-Type: 4,ENCRYPTED\n\n")
                                          << QStringLiteral("Base64");
    QTest::newRow("empty body")           << pemAround("PUBLIC KEY", QByteArray()) << QStringLiteral("Base64");
    QTest::newRow("empty")                << QByteArray() << QStringLiteral("armour");
}

void tst_SecretKeySplit::refusedKeys()
{
    QFETCH(QByteArray, pem);
    QFETCH(QString, reason);

    QString error;
    QCOMPARE(SecretkeySplit::splitSecretKey(pem, &error), QStringList());
    QVERIFY2(error.contains(reason), qPrintable(error));
}

void tst_SecretKeySplit::keysplitTool_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("2048 SubjectPublicKeyInfo") << QStringLiteral("rsa2048-pub.pem")       << 0 << QString();
    QTest::newRow("2048 PKCS#1")               << QStringLiteral("rsa2048-pub-pkcs1.pem") << 0 << QString();
    QTest::newRow("3072 SubjectPublicKeyInfo") << QStringLiteral("rsa3072-pub.pem")       << 0 << QString();
    QTest::newRow("4096 too large")            << QStringLiteral("rsa4096-pub.pem")       << 1 << QStringLiteral("at most 436");
    QTest::newRow("private key")               << QStringLiteral("rsa2048.pem")           << 1 << QStringLiteral("private key");
    QTest::newRow("not RSA")                   << QStringLiteral("ec256-pub.pem")         << 1 << QStringLiteral("not a readable RSA public key");
    QTest::newRow("missing file")              << QStringLiteral("missing.pem")           << 1 << QStringLiteral("cannot read");
}

// The tool that writes the shares into the agent at build time: a key that does not fit or is
// no RSA public key must stop the build, never leave a source behind.
void tst_SecretKeySplit::keysplitTool()
{
    QFETCH(QString, key);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString keyPath = QStringLiteral(KVO_TEST_KEYS_DIR "/") + key;
    const QString output = dir.filePath(QStringLiteral("shares.cpp"));
    QProcess tool;
    tool.start(QStringLiteral(KVO_KEYSPLIT_PATH), {keyPath, output});
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    const QString diagnostics = QString::fromLocal8Bit(tool.readAllStandardError());
    QVERIFY2(tool.exitCode() == exitCode, qPrintable(diagnostics));

    if (exitCode != 0) {
        QVERIFY2(diagnostics.contains(message), qPrintable(diagnostics));
        QVERIFY(!QFile::exists(output));
        return;
    }
    QFile source(output);
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(source.readAll());
    QStringList shares;
    auto matches = QRegularExpression(QStringLiteral("const char share([123])\\[\\] = \"([^\"]*)\";")).globalMatch(text);
    while (matches.hasNext()) {
        const auto match = matches.next();
        QCOMPARE(match.captured(1).toInt(), shares.size() + 1);
        shares << match.captured(2);
    }
    QCOMPARE(shares.size(), 3);
    QCOMPARE(derOf(SecretkeySplit::recoverSecretKey(shares)), derOf(fixture(key)));
}

QTEST_GUILESS_MAIN(tst_SecretKeySplit)
#include "tst_secretkeysplit.moc"
