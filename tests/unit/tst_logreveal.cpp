// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/protectlogvalue.h"
#include "testhelpers.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using testhelpers::writeFile;

namespace {

const QByteArray Mac = "52:54:00:12:34:56";

QByteArray fixture(const char *name)
{
    QFile file(QStringLiteral(KVO_TEST_KEYS_DIR "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString fixturePath(const char *name)
{
    return QStringLiteral(KVO_TEST_KEYS_DIR "/") + QLatin1String(name);
}

QByteArray protect(const QByteArray &value, const char *publicKey = "rsa2048-pub.pem")
{
    return protectLogValueWithKey(fixture(publicKey), value);
}

QByteArray revealed(const QByteArray &plain)
{
    return "\u00ab" + plain + "\u00bb";
}

QByteArray logLine(const QByteArray &message)
{
    return "2024-05-06, 10:11:12.134 [Warning] [                     0] " + message + '\n';
}

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run reveal(const QStringList &arguments, const QByteArray &standardInput = QByteArray())
{
    QProcess tool;
    tool.start(QStringLiteral(KVO_LOG_REVEAL_PATH), arguments);
    Run run;
    if (!tool.waitForStarted(30000))
        return run;
    tool.write(standardInput);
    tool.closeWriteChannel();
    // Read while it runs: a large output would otherwise fill the pipe.
    while (tool.state() != QProcess::NotRunning) {
        tool.waitForReadyRead(1000);
        run.out += tool.readAllStandardOutput();
    }
    run.out += tool.readAllStandardOutput();
    run.err = tool.readAllStandardError();
    run.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -2;
    return run;
}

QByteArray withCharChanged(QByteArray text, int at)
{
    text[at] = text.at(at) == 'A' ? 'B' : 'A';
    return text;
}

} // namespace

class tst_LogReveal : public QObject
{
    Q_OBJECT

private slots:
    void reveal_data();
    void reveal();
    void standardInput_data();
    void standardInput();
    void longLines();
    void exitStatus_data();
    void exitStatus();

private:
    QTemporaryDir m_dir;
};

void tst_LogReveal::reveal_data()
{
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray mac = protect(Mac);
    const QByteArray url = "https://example.test/api/v1/upload?id=7";
    const QByteArray token = "Bearer eyJhbGciOi.payload.sig";
    const QByteArray body(10240, 'j');
    const QByteArray plain = logLine("plain \"text\" LicenseLog no value");

    QTest::newRow("unprotected line")
        << plain << plain;
    QTest::newRow("MAC in quotes")
        << logLine("Physics address \"" + mac + '"')
        << logLine("Physics address \"" + revealed(Mac) + '"');
    QTest::newRow("two values in a line")
        << logLine("http sendPost url: \"" + protect(url) + "\" http sendPost token: \"" + protect(token) + '"')
        << logLine("http sendPost url: \"" + revealed(url) + "\" http sendPost token: \"" + revealed(token) + '"');
    QTest::newRow("10 KiB value")
        << logLine("returnByte \"" + protect(body) + '"')
        << logLine("returnByte \"" + revealed(body) + '"');
    QTest::newRow("empty value")
        << logLine("return macAddr \"" + protect(QByteArray()) + '"')
        << logLine("return macAddr \"" + revealed(QByteArray()) + '"');
    QTest::newRow("PKCS#1-key value")
        << logLine('"' + protect(Mac, "rsa2048-pub-pkcs1.pem") + '"')
        << logLine('"' + revealed(Mac) + '"');
    QTest::newRow("another key's value stays")
        << logLine('"' + protect(Mac, "other2048-pub.pem") + '"')
        << QByteArray();
    QTest::newRow("1024-bit key's value stays")
        << logLine('"' + protect(Mac, "rsa1024-pub.pem") + '"')
        << QByteArray();
    QTest::newRow("damaged ciphertext stays")
        << logLine('"' + withCharChanged(mac, 100) + '"')
        << QByteArray();
    QTest::newRow("cut ciphertext stays")
        << logLine('"' + mac.chopped(4) + '"')
        << QByteArray();
    QTest::newRow("marker alone stays")
        << logLine("virtual address \"LicenseLogEncryptSign\"")
        << QByteArray();
    QTest::newRow("no line break at the end")
        << "\"" + mac + '"'
        << "\"" + revealed(Mac) + '"';
    QTest::newRow("mixed lines")
        << plain + logLine('"' + mac + '"') + plain + logLine('"' + mac.chopped(4) + '"') + logLine('"' + mac + '"')
        << plain + logLine('"' + revealed(Mac) + '"') + plain + logLine('"' + mac.chopped(4) + '"')
               + logLine('"' + revealed(Mac) + '"');
    QTest::newRow("UTF-8 text kept")
        << logLine('"' + protect(QStringLiteral("Straße 中文").toUtf8()) + '"')
        << logLine('"' + revealed(QStringLiteral("Straße 中文").toUtf8()) + '"');
    QTest::newRow("line breaks and terminal controls escaped")
        << logLine('"' + protect("a\nb\r\tc\x1b[31md\\e\x7f") + '"')
        << logLine('"' + revealed("a\\nb\\r\\tc\\x1b[31md\\\\e\\x7f") + '"');
    QTest::newRow("invalid UTF-8 and bidi overrides escaped")
        << logLine('"' + protect("\xff" "x\xc3(\xed\xa0\x80" + QStringLiteral("\u202e\u0085").toUtf8()) + '"')
        << logLine('"' + revealed("\\xff" "x\\xc3(\\xed\\xa0\\x80\\u{202e}\\u{0085}") + '"');
}

void tst_LogReveal::reveal()
{
    QFETCH(QByteArray, log);
    QFETCH(QByteArray, expected);
    if (expected.isEmpty())
        expected = log;

    QVERIFY(m_dir.isValid());
    const QString path = m_dir.filePath(QStringLiteral("agent.log"));
    QVERIFY(writeFile(path, log));
    const Run run = ::reveal({QStringLiteral("--key"), fixturePath("rsa2048.pem"), path});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(run.out, expected);
}

void tst_LogReveal::standardInput_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no file named") << QStringList{QStringLiteral("--key"), fixturePath("rsa2048.pem")};
    QTest::newRow("\"-\"")         << QStringList{QStringLiteral("--key=") + fixturePath("rsa2048.pem"), QStringLiteral("-")};
    QTest::newRow("\"-\" after --") << QStringList{QStringLiteral("--key"), fixturePath("rsa2048.pem"), QStringLiteral("--"),
                                                 QStringLiteral("-")};
}

void tst_LogReveal::standardInput()
{
    QFETCH(QStringList, arguments);
    const QByteArray log = logLine("a") + logLine('"' + protect(Mac) + '"') + logLine("b");
    const Run run = ::reveal(arguments, log);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(run.out, logLine("a") + logLine('"' + revealed(Mac) + '"') + logLine("b"));
}

// Lines longer than the tool's piece size (4 MiB) pass in pieces: nothing is lost or changed,
// values inside a piece are revealed, a value cut by a piece boundary stays as it was.
void tst_LogReveal::longLines()
{
    constexpr int piece = 4 * 1024 * 1024 - 1;
    const QByteArray mac = protect(Mac);
    const QByteArray shown = '"' + revealed(Mac) + '"';

    const QByteArray before = '"' + mac + "\" ";
    const QByteArray filler(9 * 1024 * 1024, 'x');
    const QByteArray longLine = before + filler + " \"" + mac + "\"\n";
    QByteArray straddling = QByteArray(piece - 100, 'y') + '"' + mac + "\"\n";
    QVERIFY(straddling.size() > piece);
    const QByteArray last = logLine('"' + mac + '"');

    QVERIFY(m_dir.isValid());
    const QString path = m_dir.filePath(QStringLiteral("long.log"));
    QVERIFY(writeFile(path, longLine + straddling + last));
    const Run run = ::reveal({QStringLiteral("--key"), fixturePath("rsa2048.pem"), path});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    // The last piece of the long line ends the line, so its value is whole.
    const QByteArray expected = shown + ' ' + filler + ' ' + shown + '\n' + straddling + logLine(shown);
    QCOMPARE(run.out.size(), expected.size());
    QVERIFY(run.out == expected);
}

void tst_LogReveal::exitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");

    const QString log = QStringLiteral(KVO_TEST_KEYS_DIR "/README");
    QTest::newRow("no key option")     << QStringList{log}                                                  << 64 << QByteArray("usage");
    QTest::newRow("key file missing")  << QStringList{QStringLiteral("--key"), fixturePath("none.pem"), log} << 1 << QByteArray("none.pem");
    QTest::newRow("public key given")  << QStringList{QStringLiteral("--key"), fixturePath("rsa2048-pub.pem"), log} << 1 << QByteArray("private key");
    QTest::newRow("key not PEM")       << QStringList{QStringLiteral("--key"), log, log}                    << 1 << QByteArray("private key");
    QTest::newRow("two log files")     << QStringList{QStringLiteral("--key"), fixturePath("rsa2048.pem"), log, log} << 64 << QByteArray("usage");
    QTest::newRow("log file missing")  << QStringList{QStringLiteral("--key"), fixturePath("rsa2048.pem"), fixturePath("none.log")}
                                       << 3 << QByteArray("none.log");
    QTest::newRow("nothing to reveal") << QStringList{QStringLiteral("--key"), fixturePath("rsa2048.pem"), log} << 0 << QByteArray();
}

void tst_LogReveal::exitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);

    const Run run = ::reveal(arguments);
    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    QVERIFY2(run.err.contains(message), run.err.constData());
    if (exitCode != 0)
        QVERIFY(run.out.isEmpty());
}

QTEST_GUILESS_MAIN(tst_LogReveal)
#include "tst_logreveal.moc"
