// SPDX-License-Identifier: GPL-3.0-or-later
//
// The command line of the installed tools: usage errors, --help and --version, and the log key
// fingerprint that --version prints. What the tools do with good arguments is tested in
// tst_kvosysinfo, tst_logreveal and tst_https.
#include "agent/protectlogvalue.h"
#include "secretkeysplit/secretkeysplit.h"
#include "toolarguments.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QString Sysinfo = QStringLiteral(KVO_SYSINFO_PATH);
const QString Reveal = QStringLiteral(KVO_LOG_REVEAL_PATH);

enum Output { UsageError, Help, Version };

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QString &tool, const QStringList &arguments)
{
    QProcess process;
    process.start(tool, arguments);
    process.closeWriteChannel();
    Run result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray testKey(const char *name)
{
    return readAll(QStringLiteral(KVO_TEST_KEYS_DIR "/") + QLatin1String(name));
}

// SHA-256 of the DER that a "BEGIN PUBLIC KEY" block carries, worked out without OpenSSL.
QByteArray armouredDerFingerprint(const QByteArray &pem)
{
    const QByteArray begin = "-----BEGIN PUBLIC KEY-----";
    const int start = pem.indexOf(begin);
    const int end = pem.indexOf("-----END PUBLIC KEY-----");
    if (start < 0 || end < start)
        return {};
    const QByteArray der = QByteArray::fromBase64(pem.mid(start + begin.size(), end - start - begin.size()).simplified());
    return QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex();
}

// The two lines --version must print in this build.
QByteArray expectedVersion(const QString &tool)
{
    const QByteArray buildKey = readAll(QStringLiteral(KVO_LOG_PUBLIC_KEY));
    // A deployment key in PKCS#1 form: the fingerprint function is checked against the
    // independent one on the fixtures of both forms.
    const QByteArray fingerprint = buildKey.contains("BEGIN PUBLIC KEY") ? armouredDerFingerprint(buildKey)
                                                                         : publicKeyFingerprint(buildKey);
    const QByteArray development = armouredDerFingerprint(readAll(QStringLiteral(KVO_DEVELOPMENT_PUBLIC_KEY)));
    return QFileInfo(tool).fileName().toUtf8() + ' ' + KVO_PROJECT_VERSION + "\nlog public key: SHA256:" + fingerprint
        + (fingerprint == development ? " (development key)" : "") + '\n';
}

} // namespace

class tst_ToolArguments : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void commandLine_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("output");
        QTest::addColumn<QByteArray>("reason");

        const QString key = QStringLiteral(KVO_TEST_KEYS_DIR "/rsa2048.pem");
        const QString log = QStringLiteral(KVO_TEST_KEYS_DIR "/README");

        QTest::newRow("sysinfo --help")              << Sysinfo << QStringList{"--help"}               << int(Help)    << QByteArray();
        QTest::newRow("sysinfo -h")                  << Sysinfo << QStringList{"-h"}                   << int(Help)    << QByteArray();
        QTest::newRow("sysinfo --version")           << Sysinfo << QStringList{"--version"}            << int(Version) << QByteArray();
        QTest::newRow("sysinfo --pretty --version")  << Sysinfo << QStringList{"--pretty", "--version"} << int(Version) << QByteArray();
        QTest::newRow("sysinfo --help first")        << Sysinfo << QStringList{"--help", "--bogus"}    << int(Help)    << QByteArray();
        QTest::newRow("sysinfo mistake first")       << Sysinfo << QStringList{"--bogus", "--help"}    << int(UsageError)
                                                     << QByteArray("unknown option '--bogus'");
        QTest::newRow("sysinfo unknown option")      << Sysinfo << QStringList{"--bogus=1"}            << int(UsageError)
                                                     << QByteArray("unknown option '--bogus'");
        QTest::newRow("sysinfo one dash, long name") << Sysinfo << QStringList{"-pretty"}              << int(UsageError)
                                                     << QByteArray("unknown option '-pretty'");
        QTest::newRow("sysinfo two dashes, short")   << Sysinfo << QStringList{"--h"}                  << int(UsageError)
                                                     << QByteArray("unknown option '--h'");
        QTest::newRow("sysinfo missing value")       << Sysinfo << QStringList{"--pretty", "--post"}   << int(UsageError)
                                                     << QByteArray("--post needs a value (URL)");
        QTest::newRow("sysinfo value to a flag")     << Sysinfo << QStringList{"--pretty=yes"}         << int(UsageError)
                                                     << QByteArray("--pretty takes no value");
        QTest::newRow("sysinfo stray argument")      << Sysinfo << QStringList{"extra"}                << int(UsageError)
                                                     << QByteArray("unexpected argument 'extra'");
        QTest::newRow("sysinfo option after --")     << Sysinfo << QStringList{"--", "--pretty"}       << int(UsageError)
                                                     << QByteArray("unexpected argument '--pretty'");
        QTest::newRow("sysinfo bad time-out")        << Sysinfo << QStringList{"--timeout", "0"}       << int(UsageError)
                                                     << QByteArray("--timeout needs a number of seconds from 1 to 86400");
        QTest::newRow("sysinfo time-out not a number") << Sysinfo << QStringList{"--timeout=60s"}      << int(UsageError)
                                                     << QByteArray("--timeout needs a number of seconds from 1 to 86400");
        QTest::newRow("sysinfo token without --post") << Sysinfo << QStringList{"--token", "t"}        << int(UsageError)
                                                     << QByteArray("--token, --token-file and --cacert only go with --post");

        QTest::newRow("reveal --help")               << Reveal << QStringList{"--help"}                << int(Help)    << QByteArray();
        QTest::newRow("reveal -h")                   << Reveal << QStringList{"--key", key, "-h"}      << int(Help)    << QByteArray();
        QTest::newRow("reveal --version")            << Reveal << QStringList{"--version"}             << int(Version) << QByteArray();
        QTest::newRow("reveal --version first")      << Reveal << QStringList{"--version", "--key"}    << int(Version) << QByteArray();
        QTest::newRow("reveal unknown option")       << Reveal << QStringList{"--key", key, "--bogus"} << int(UsageError)
                                                     << QByteArray("unknown option '--bogus'");
        QTest::newRow("reveal unknown short option") << Reveal << QStringList{"-k", key}               << int(UsageError)
                                                     << QByteArray("unknown option '-k'");
        QTest::newRow("reveal missing value")        << Reveal << QStringList{"--key"}                 << int(UsageError)
                                                     << QByteArray("--key needs a value (PRIVATE.pem)");
        QTest::newRow("reveal no --key")             << Reveal << QStringList{log}                     << int(UsageError)
                                                     << QByteArray("--key PRIVATE.pem is required");
        QTest::newRow("reveal empty --key")          << Reveal << QStringList{"--key=", log}           << int(UsageError)
                                                     << QByteArray("--key names no private key file");
        QTest::newRow("reveal two log files")        << Reveal << QStringList{"--key", key, log, "-"}  << int(UsageError)
                                                     << QByteArray("unexpected argument '-'");
    }

    void commandLine()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, arguments);
        QFETCH(int, output);
        QFETCH(QByteArray, reason);

        const Run result = run(tool, arguments);
        const Run help = run(tool, {QStringLiteral("--help")});
        const QByteArray name = QFileInfo(tool).fileName().toUtf8();
        switch (Output(output)) {
        case UsageError: {
            QCOMPARE(result.exitCode, 64);
            QCOMPARE(result.out, QByteArray());
            // The usage is the head of the help, up to the first empty line.
            QVERIFY2(help.out.startsWith("usage: " + name + ' ') && help.out.contains("\n\n"), help.out.constData());
            const QByteArray usage = help.out.left(help.out.indexOf("\n\n") + 1);
            QCOMPARE(result.err, name + ": " + reason + '\n' + usage);
            break;
        }
        case Help:
            QCOMPARE(result.exitCode, 0);
            QCOMPARE(result.err, QByteArray());
            QVERIFY2(result.out.startsWith("usage: " + name + ' '), result.out.constData());
            QCOMPARE(result.out, help.out);
            break;
        case Version:
            QCOMPARE(result.exitCode, 0);
            QCOMPARE(result.err, QByteArray());
            QCOMPARE(result.out, expectedVersion(tool));
            break;
        }
    }

    // Every option is listed by --help, each under the name that the tool takes.
    void helpListsTheOptions_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("options");

        QTest::newRow("kvo-sysinfo")    << Sysinfo << QStringList{"--pretty", "--post URL", "--token-file FILE", "--token TOKEN",
                                                                  "--cacert FILE", "--timeout SECONDS", "-h, --help", "--version"};
        QTest::newRow("kvo-log-reveal") << Reveal  << QStringList{"--key PRIVATE.pem", "-h, --help", "--version"};
    }

    void helpListsTheOptions()
    {
        QFETCH(QString, tool);
        QFETCH(QStringList, options);

        const Run help = run(tool, {QStringLiteral("--help")});
        QCOMPARE(help.exitCode, 0);
        QStringList listed;
        static const QRegularExpression optionLine(QStringLiteral("^  (-\\S.*?)  "), QRegularExpression::MultilineOption);
        for (auto it = optionLine.globalMatch(QString::fromUtf8(help.out)); it.hasNext();)
            listed.append(it.next().captured(1));
        QCOMPARE(listed, options);
    }

    // The same key in either PEM form has one fingerprint: SHA-256 over its SubjectPublicKeyInfo.
    void fingerprint_data()
    {
        QTest::addColumn<QByteArray>("pem");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray rsa2048 = armouredDerFingerprint(testKey("rsa2048-pub.pem"));
        const QByteArray rsa3072 = armouredDerFingerprint(testKey("rsa3072-pub.pem"));
        QTest::newRow("SubjectPublicKeyInfo")      << testKey("rsa2048-pub.pem")       << rsa2048;
        QTest::newRow("PKCS#1")                    << testKey("rsa2048-pub-pkcs1.pem") << rsa2048;
        QTest::newRow("3072 bits, PKCS#1")         << testKey("rsa3072-pub-pkcs1.pem") << rsa3072;
        QTest::newRow("another key")               << testKey("other2048-pub.pem")
                                                   << armouredDerFingerprint(testKey("other2048-pub.pem"));
        QTest::newRow("development key")           << readAll(QStringLiteral(KVO_DEVELOPMENT_PUBLIC_KEY))
                                                   << QByteArray(developmentLogKeyFingerprint);
        QTest::newRow("not RSA")                   << testKey("ec256-pub.pem")         << QByteArray();
        QTest::newRow("no key")                    << testKey("README")                << QByteArray();
        QTest::newRow("empty")                     << QByteArray()                     << QByteArray();
    }

    void fingerprint()
    {
        QFETCH(QByteArray, pem);
        QFETCH(QByteArray, expected);
        QCOMPARE(publicKeyFingerprint(pem), expected);
    }

    // The constant the tools compare with is the key in keys/, worked out independently.
    void developmentFingerprintIsTheKeyInKeys()
    {
        const QByteArray fingerprint = armouredDerFingerprint(readAll(QStringLiteral(KVO_DEVELOPMENT_PUBLIC_KEY)));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(QString::fromLatin1(fingerprint)).hasMatch());
        QCOMPARE(fingerprint, QByteArray(developmentLogKeyFingerprint));
    }

    // What --version prints for shares of another key, as a build with that key would: the key's
    // fingerprint and no mark; the development key marked; damaged shares said to be damaged.
    void versionOfAKey_data()
    {
        QTest::addColumn<QStringList>("shares");
        QTest::addColumn<QByteArray>("keyLine");

        const QByteArray otherPem = testKey("other2048-pub.pem");
        const QStringList other = SecretkeySplit::splitSecretKey(otherPem);
        const QStringList development = SecretkeySplit::splitSecretKey(readAll(QStringLiteral(KVO_DEVELOPMENT_PUBLIC_KEY)));
        QStringList damaged = other;
        if (!damaged.isEmpty())
            damaged[1][10] = damaged[1][10] == QLatin1Char('A') ? QLatin1Char('B') : QLatin1Char('A');

        QTest::newRow("another key")     << other       << "SHA256:" + armouredDerFingerprint(otherPem);
        QTest::newRow("PKCS#1 form")     << SecretkeySplit::splitSecretKey(testKey("rsa2048-pub-pkcs1.pem"))
                                         << "SHA256:" + armouredDerFingerprint(testKey("rsa2048-pub.pem"));
        QTest::newRow("development key") << development << "SHA256:" + QByteArray(developmentLogKeyFingerprint) + " (development key)";
        QTest::newRow("damaged shares")  << damaged     << QByteArray("none: the built-in key shares are damaged");
    }

    void versionOfAKey()
    {
        QFETCH(QStringList, shares);
        QFETCH(QByteArray, keyLine);
        QCOMPARE(shares.size(), 3);
        QCOMPARE(versionText("kvo-sysinfo", shares), "kvo-sysinfo " KVO_PROJECT_VERSION "\nlog public key: " + keyLine + '\n');
    }
};

QTEST_GUILESS_MAIN(tst_ToolArguments)
#include "tst_toolarguments.moc"
