// SPDX-License-Identifier: GPL-3.0-or-later
//
// Random calls to the running agent: known and unknown members, wrong signatures, random
// argument types, 50 KB strings, random bytes, QR-code types and names made of "..", "/",
// control characters and long paths. After each batch the agent must still answer, and at
// the end nothing outside the QR-code directory may have changed but the two support files
// and the agent's own log.
#include "reliability.h"
#include "testsupport.h"

#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusSignature>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using namespace reliability;

namespace {

const QString upperShare = QStringLiteral("/tmp/.kvo-sandbox/upper-usr-share");
const QString shareIni = QDir::cleanPath(kvo::supportDirectory());
const QString upperIni = upperShare + shareIni.mid(QStringLiteral("/usr/share").size());
const QString logDir = QDir::cleanPath(kvo::logDirectory());

// Paths whose change is the agent's work or its log (or this program's pid file), not a fault.
bool expectedToChange(const QString &path)
{
    for (const QString &ini : {upperIni, shareIni}) {
        if (path == ini + QStringLiteral("/QRCode") || path.startsWith(ini + QStringLiteral("/QRCode/"))
            || path == ini + QStringLiteral("/customer.json") || path == ini + QStringLiteral("/kvo-devicetree.json"))
            return true;
    }
    return path.startsWith(kvo::logFilePath())
        || path == QFileInfo(logDir).path() || path == logDir
        || path.startsWith(QStringLiteral("/tmp/.kvo-sandbox/work-"))
        || path == QLatin1String(pidFile);
}

// Every entry below root but the expected ones: directories by type, mode and owner (their
// times change with any child), everything else also by size, times, inode and content.
void snapshot(const QString &root, QStringList *out)
{
    const QFileInfoList entries =
        QDir(root).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString path = entry.filePath();
        if (expectedToChange(path))
            continue;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QString line = QStringLiteral("%1 %2 %3:%4").arg(path).arg(st.st_mode, 0, 8).arg(st.st_uid).arg(st.st_gid);
        if (S_ISDIR(st.st_mode)) {
            out->append(line);
            snapshot(path, out);
            continue;
        }
        line += QStringLiteral(" %1 %2 %3.%4 %5.%6").arg(st.st_size).arg(st.st_ino).arg(st.st_mtim.tv_sec)
                    .arg(st.st_mtim.tv_nsec).arg(st.st_ctim.tv_sec).arg(st.st_ctim.tv_nsec);
        if (S_ISREG(st.st_mode) && st.st_size <= (1 << 20))
            line += QLatin1Char(' ') + QString::number(qHash(readFile(path)));
        out->append(line);
    }
}

QStringList snapshotAll()
{
    QStringList all;
    for (const char *root : {"/tmp", "/var/log", "/run", "/usr/share/kvo-service-support"})
        snapshot(QString::fromLatin1(root), &all);
    all.sort();
    return all;
}

class Generator
{
public:
    explicit Generator(quint32 seed) : rng(seed) {}
    QRandomGenerator rng;

    QByteArray bytes()
    {
        const int r = int(rng.bounded(1000));
        const int size = r < 600 ? int(rng.bounded(257)) : r < 900 ? int(rng.bounded(4097))
                       : r < 999 ? int(rng.bounded(65537)) : (1 << 20);
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = char(rng.bounded(256));
        return data;
    }

    QString piece()
    {
        static const char *words[] = {"..", ".", "", "/", "//", "QRCode", "QRCodeEvil", "QRCodes", "ini", "..//..",
                                      "customer.json", "kvo-devicetree.json", "t", "a.png", ".kvo-tmp-x", "~", "*",
                                      "%s%n", "\\", "kvo-service-support", "usr", "share", "etc", "passwd", "tmp",
                                      "/usr/share/kvo-service-support/ini", "/etc/passwd", "-", " ", "./"};
        switch (rng.bounded(10)) {
        case 0: { // control characters, never NUL
            QString s;
            for (int i = int(rng.bounded(1, 8)); i > 0; --i)
                s += QChar(rng.bounded(10) == 0 ? 0x7f : int(rng.bounded(1, 32)));
            return s;
        }
        case 1: { // random code points
            QString s;
            for (int i = int(rng.bounded(1, 16)); i > 0; --i) {
                const char32_t cp = rng.bounded(20) == 0 ? 0x10000 + rng.bounded(0x100000) : rng.bounded(1, 0xd800);
                s += QString::fromUcs4(&cp, 1);
            }
            return s;
        }
        case 2:
            if (rng.bounded(20) == 0) { // 50 KB
                QString s(50 * 1024, QLatin1Char('x'));
                for (int i = 0; i < 64; ++i)
                    s[int(rng.bounded(s.size()))] = rng.bounded(2) ? QLatin1Char('/') : QLatin1Char('.');
                return s;
            }
            return QString(int(rng.bounded(300)), QLatin1Char('n'));
        case 3: // long paths
            return QStringLiteral("d/").repeated(int(rng.bounded(1, rng.bounded(50) == 0 ? 3000 : 40)));
        case 4:
            return QStringLiteral("../").repeated(int(rng.bounded(1, 12)));
        default:
            return QString::fromLatin1(words[rng.bounded(int(std::size(words)))]);
        }
    }

    QString text()
    {
        QString s;
        for (int i = int(rng.bounded(1, 7)); i > 0; --i)
            s += piece() + (rng.bounded(3) ? QStringLiteral("/") : QString());
        return rng.bounded(4) ? s : s.left(int(rng.bounded(s.size() + 1)));
    }

    QVariant value(int depth = 0)
    {
        switch (rng.bounded(depth > 1 ? 14 : 16)) {
        case 0: return bytes();
        case 1: case 2: return text();
        case 3: return bool(rng.bounded(2));
        case 4: return int(rng.generate());
        case 5: return uint(rng.generate());
        case 6: return qlonglong(rng.generate64());
        case 7: return rng.generateDouble() * 1e300;
        case 8: return QVariant::fromValue(uchar(rng.bounded(256)));
        case 9: return QVariant::fromValue(short(rng.bounded(65536)));
        case 10: return QVariant::fromValue(QDBusObjectPath(QStringLiteral("/com/corvid/x%1").arg(rng.generate())));
        case 11: return QVariant::fromValue(QDBusSignature(QStringLiteral("a{sv}")));
        case 12: return QStringList{text(), text()};
        case 13: {
            static const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            return QVariant::fromValue(QDBusUnixFileDescriptor(fd));
        }
        case 14: return QVariant::fromValue(QDBusVariant(value(depth + 1)));
        default: {
            QVariantMap map;
            for (int i = int(rng.bounded(4)); i > 0; --i)
                map.insert(text().left(200), QVariant::fromValue(QDBusVariant(value(depth + 1))));
            return map;
        }
        }
    }

    QVariantList randomArguments()
    {
        QVariantList args;
        for (int i = int(rng.bounded(6)); i > 0; --i)
            args.append(value());
        return args;
    }

    QDBusMessage message()
    {
        const QString svc = QLatin1String(service);
        const QString path = QLatin1String(objectPath);
        const QString iface = QLatin1String(interface);
        static const QString methods[] = {QStringLiteral("updateDeviceTreeFile"), QStringLiteral("updateCustomFile"),
                                          QStringLiteral("downloadQRCode")};
        const int r = int(rng.bounded(100));
        if (r < 70) {
            const QString &method = methods[rng.bounded(3)];
            QDBusMessage call = QDBusMessage::createMethodCall(svc, path, iface, method);
            if (rng.bounded(10) < 6) {
                if (method != QLatin1String("downloadQRCode"))
                    call.setArguments({bytes()});
                else if (rng.bounded(2))
                    call.setArguments({text(), text(), bytes(), bool(rng.bounded(2))});
                else
                    call.setArguments({text(), text(), bytes()});
            } else {
                call.setArguments(randomArguments());
            }
            return call;
        }
        if (r < 78) {
            static const QString names[] = {QStringLiteral("deleteLater"), QStringLiteral("destroyed"),
                                            QStringLiteral("removeEverything"), QStringLiteral("exitAgent"),
                                            QStringLiteral("objectNameChanged"), QStringLiteral("updateCustomFilE")};
            QDBusMessage call = QDBusMessage::createMethodCall(svc, path, rng.bounded(2) ? iface : QString(),
                                                               names[rng.bounded(int(std::size(names)))]);
            call.setArguments(randomArguments());
            return call;
        }
        if (r < 86) {
            static const QString members[] = {QStringLiteral("Get"), QStringLiteral("GetAll"), QStringLiteral("Set")};
            QDBusMessage call = QDBusMessage::createMethodCall(svc, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                               members[rng.bounded(3)]);
            QVariantList args{rng.bounded(2) ? iface : text().left(100),
                              rng.bounded(2) ? QStringLiteral("objectName") : text().left(100)};
            if (rng.bounded(2))
                args.append(QVariant::fromValue(QDBusVariant(value())));
            call.setArguments(rng.bounded(4) ? args : randomArguments());
            return call;
        }
        if (r < 93) {
            static const QString paths[] = {QStringLiteral("/"), QStringLiteral("/com"), QStringLiteral("/com/corvid"),
                                            QStringLiteral("/com/corvid/serviceandsupport/agent/x"), path};
            return QDBusMessage::createMethodCall(svc, paths[rng.bounded(5)],
                                                  QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                  QStringLiteral("Introspect"));
        }
        QDBusMessage signal = QDBusMessage::createTargetedSignal(svc, path, iface, methods[rng.bounded(3)]);
        signal.setArguments(randomArguments());
        return signal;
    }
};

} // namespace

class tst_BusFuzz : public QObject, protected SandboxFixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(OwnPid | ReleaseFiles, &error), qPrintable(error));
    }

    void randomCalls()
    {
        const int calls = sizeFromEnv("KVO_STRESS_CALLS", 4000);
        // The bus lets one connection wait for at most 128 replies at a time.
        const int batchSize = 100;
        const quint32 seed = quint32(sizeFromEnv("KVO_STRESS_SEED", 3));
        FakeConfigService config{QString()};
        QVERIFY(config.waitForName());

        // Something to lose outside the QR-code directory, and links inside it that lead out.
        const QString ini = QString::fromLatin1(supportDir);
        QVERIFY(QDir().mkpath(ini + QStringLiteral("QRCode/t")));
        QVERIFY(QDir().mkpath(QStringLiteral("/usr/share/kvo-service-support/QRCodeEvil")));
        for (const char *name : {"/usr/share/kvo-service-support/victim", "/usr/share/kvo-service-support/QRCodeEvil/a.png",
                                 "/usr/share/kvo-service-support/ini/customer.json", "/tmp/victim"}) {
            QFile file(QString::fromLatin1(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("precious");
        }
        QVERIFY(QFile::link(QStringLiteral("/usr/share/kvo-service-support/QRCodeEvil"), ini + QStringLiteral("QRCode/link")));
        QVERIFY(QFile::link(QStringLiteral("/tmp/victim"), ini + QStringLiteral("QRCode/t/a.png")));

        LogCursor log;
        AgentProcess agent;
        QVERIFY(agent.waitForName());
        // The agent's staging directory, as the first store leaves it: made, private, empty.
        QVERIFY(QDir().mkpath(kvo::stagingDirectory()));
        QVERIFY(::chmod(QFile::encodeName(kvo::stagingDirectory()).constData(), 0700) == 0);
        const QStringList before = snapshotAll();

        QDBusConnection bus = QDBusConnection::systemBus();
        Generator gen(seed);
        QMap<QString, int> outcomes;
        int sent = 0, batches = 0, answeredChecks = 0, noReply = 0;
        QElapsedTimer timer;
        timer.start();
        while (sent < calls) {
            QList<QDBusPendingCall> pending;
            for (int i = 0; i < batchSize && sent < calls; ++i, ++sent) {
                const QDBusMessage message = gen.message();
                if (message.type() == QDBusMessage::SignalMessage) {
                    bus.send(message);
                    ++outcomes[QStringLiteral("signal sent")];
                } else {
                    pending.append(bus.asyncCall(message, 120000));
                }
            }
            for (QDBusPendingCall &call : pending) {
                call.waitForFinished();
                const QString kind = call.isError() ? call.error().name() : QStringLiteral("reply");
                // Qt's own error names say little without their text.
                ++outcomes[kind.startsWith(QLatin1String("org.qtproject."))
                               ? kind + QStringLiteral(" (") + call.error().message() + QLatin1Char(')') : kind];
                if (kind == QLatin1String("org.freedesktop.DBus.Error.NoReply")
                    || kind == QLatin1String("org.freedesktop.DBus.Error.Timeout")
                    || kind == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
                    ++noReply;
            }
            ++batches;
            QVERIFY2(agentAnswers(bus), qPrintable(QStringLiteral("no answer after %1 calls").arg(sent)));
            ++answeredChecks;
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;

        // The watcher still ends it cleanly, and a new agent starts over what the calls left.
        QFile::remove(QString::fromLatin1(pidFile));
        int status = -2;
        QVERIFY2(agent.waitForExit(15000, &status), "the agent did not end");
        QCOMPARE(status, 0);
        QCOMPARE(messages(log).constLast(), QStringLiteral("exit agent."));
        writeOwnPid();
        {
            AgentProcess next;
            QVERIFY(next.waitForName(60000));
            QVERIFY(agentAnswers(bus));
        }
        const QStringList after = snapshotAll();

        QStringList changed;
        for (const QString &line : before)
            if (!after.contains(line))
                changed.append(QStringLiteral("before: ") + line);
        for (const QString &line : after)
            if (!before.contains(line))
                changed.append(QStringLiteral("after:  ") + line);

        QStringList kinds;
        for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
            kinds.append(QStringLiteral("%1 %2").arg(it.value()).arg(it.key()));
        figure(QStringLiteral("bus fuzz"),
               QStringLiteral("%1 random messages (seed %2) in %3 s (%4/s), %5 batches each followed by an answered "
                              "Ping and Introspect, %6 unanswered, %7 entries changed outside the QR-code directory")
                   .arg(sent).arg(seed).arg(seconds, 0, 'f', 1).arg(sent / seconds, 0, 'f', 0).arg(batches)
                   .arg(noReply).arg(changed.size()));
        figure(QStringLiteral("bus fuzz outcomes"), kinds.join(QStringLiteral(", ")));
        QCOMPARE(answeredChecks, batches);
        QCOMPARE(noReply, 0);
        QVERIFY2(changed.isEmpty(), qPrintable(changed.mid(0, 20).join(QLatin1Char('\n'))));
    }
};

QTEST_GUILESS_MAIN(tst_BusFuzz)
#include "tst_busfuzz.moc"
