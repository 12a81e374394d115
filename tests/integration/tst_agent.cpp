// SPDX-License-Identifier: GPL-3.0-or-later
//
// The real agent on a private system bus inside the sandbox: start-up and exit statuses, its bus
// interface, the support files it stores and the log rules it follows.
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QXmlStreamReader>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testhelpers;
using namespace testsupport;

namespace {

const QString service = kvo::serviceName();
const QString objectPath = kvo::agentObjectPath();
const QString interface = kvo::agentInterface();
const QString ini = QString::fromLatin1(supportDir);
const QString staging = kvo::stagingDirectory();

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator rng(size);
    for (char &c : data)
        c = char(rng.bounded(256));
    return data;
}

} // namespace

QString attribute(const QXmlStreamAttributes &attributes, const char *name)
{
    return attributes.value(QLatin1String(name)).toString();
}

// The agent's interface in an introspection document, one sorted line per member:
// "method name(in s qrCodeType,...)", "signal ...", "property ...".
QStringList interfaceOf(const QString &document, QString *error)
{
    QStringList members;
    QXmlStreamReader xml(document);
    bool inAgent = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement() && xml.name() == QLatin1String("interface"))
            inAgent = false;
        if (!xml.isStartElement())
            continue;
        const auto a = xml.attributes();
        if (xml.name() == QLatin1String("interface")) {
            inAgent = attribute(a, "name") == interface;
        } else if (!inAgent) {
            continue;
        } else if (xml.name() == QLatin1String("method") || xml.name() == QLatin1String("signal")) {
            members.append(xml.name().toString() + QLatin1Char(' ') + attribute(a, "name") + QLatin1Char('('));
        } else if (xml.name() == QLatin1String("property")) {
            members.append(QStringLiteral("property %1 %2 %3").arg(attribute(a, "name"), attribute(a, "type"),
                attribute(a, "access")));
        } else if (xml.name() == QLatin1String("arg") && !members.isEmpty()) {
            const QString direction = attribute(a, "direction");
            members.last() += (direction.isEmpty() ? QStringLiteral("in") : direction) + QLatin1Char(' ')
                + attribute(a, "type") + QLatin1Char(' ') + attribute(a, "name") + QLatin1Char(',');
        }
    }
    if (xml.hasError())
        *error = xml.errorString();
    members.sort();
    return members;
}

class tst_Agent : public QObject, protected SandboxFixture
{
    Q_OBJECT

private:
    std::unique_ptr<AgentProcess> m_agent;

    // The bus reads its service directory anew.
    static bool reloadBusConfig()
    {
        const QDBusMessage reply = QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
            kvo::busDaemonService(), kvo::busDaemonPath(), kvo::busDaemonInterface(), QStringLiteral("ReloadConfig")));
        return reply.type() == QDBusMessage::ReplyMessage;
    }

    // Used as QVERIFY(startAgent(...)), so that a test stops when start-up fails.
    bool startAgent(const QString &logRules, const QStringList &environment = {})
    {
        m_config = std::make_unique<FakeConfigService>(logRules);
        if (!m_config->waitForName()) {
            qWarning("the fake configuration service did not come up");
            return false;
        }
        m_agent = std::make_unique<AgentProcess>(environment);
        if (!m_agent->waitForName()) {
            qWarning("the agent did not come up: %s", m_agent->output().constData());
            return false;
        }
        return true;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(setUpSandbox(OwnPid | ReleaseFiles, &error), qPrintable(error));
    }

    void init()
    {
        QDir(QStringLiteral("/usr/share/kvo-service-support")).removeRecursively();
        QVERIFY(!QFileInfo::exists(QStringLiteral("/usr/share/kvo-service-support")));
    }

    void cleanup()
    {
        m_agent.reset();
        m_config.reset();
    }

    void noSystemBusEndsWithStatus1()
    {
        LogCursor log;
        AgentProcess agent({QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/kvo-no-such-bus")});
        int status = -1;
        QVERIFY(agent.waitForExit(15000, &status));
        QCOMPARE(status, 1);
        const QStringList lines = messages(log);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(!lines.at(0).isEmpty(), "the bus error message comes first");
        QCOMPARE(lines.at(1), QStringLiteral("codestack:  get path failed."));
        QCOMPARE(lines.at(2), QStringLiteral("QDBusConnection::systemBus().isConnected() failed"));
    }

    void secondInstance_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<bool>("warningWritten");
        QTest::newRow("default rules") << QString() << true;
        QTest::newRow("warnings off") << logRule("warning=false") << false;
    }

    void secondInstance()
    {
        QFETCH(QString, rules);
        QFETCH(bool, warningWritten);
        QVERIFY(startAgent(rules));
        const qint64 firstPid = m_agent->pid();

        LogCursor log;
        AgentProcess second;
        int status = -1;
        QVERIFY(second.waitForExit(15000, &status));
        QCOMPARE(status, 2);
        int errors = 0;
        for (const QString &line : messages(log))
            errors += line.startsWith(QLatin1String("registerService Error QDBusError(")) ? 1 : 0;
        QCOMPARE(errors, warningWritten ? 1 : 0);

        // The first instance keeps its name and goes on serving.
        QCOMPARE(QDBusConnection::systemBus().interface()->serviceOwner(service).isValid(), true);
        QCOMPARE(qint64(QDBusConnection::systemBus().interface()->servicePid(service).value()), firstPid);
        QCOMPARE(callAgent(QStringLiteral("updateCustomFile"), {QByteArray("still here")}).type(),
                 QDBusMessage::ReplyMessage);
        QCOMPARE(readFileOrMark(ini + QStringLiteral("customer.json")), QByteArray("still here"));
    }

    void introspection()
    {
        QVERIFY(startAgent(QString()));
        QDBusMessage call = QDBusMessage::createMethodCall(service, objectPath,
            QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
        const QDBusMessage reply = QDBusConnection::systemBus().call(call);
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);

        QFile file(QStringLiteral(KVO_INTERFACE_XML));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        QString error;
        const QStringList published = interfaceOf(QString::fromUtf8(file.readAll()), &error);
        QVERIFY2(error.isEmpty(), qPrintable(file.fileName() + QStringLiteral(": ") + error));
        const QStringList served = interfaceOf(reply.arguments().value(0).toString(), &error);
        QVERIFY2(error.isEmpty(), qPrintable(QStringLiteral("Introspect: ") + error));
        QVERIFY(!published.isEmpty());
        QCOMPARE(served.join(QLatin1Char('\n')), published.join(QLatin1Char('\n')));
    }

    void wrongSignatureIsRefused_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("args");
        QTest::newRow("string for bytes") << QStringLiteral("updateCustomFile") << QVariantList{QStringLiteral("x")};
        QTest::newRow("no argument") << QStringLiteral("updateDeviceTreeFile") << QVariantList{};
        QTest::newRow("two of four") << QStringLiteral("downloadQRCode") << QVariantList{QStringLiteral("t"), QStringLiteral("n")};
        QTest::newRow("int for bool") << QStringLiteral("downloadQRCode")
                                      << QVariantList{QStringLiteral("t"), QStringLiteral("n"), QByteArray("x"), 1};
        QTest::newRow("unknown method") << QStringLiteral("removeEverything") << QVariantList{};
    }

    void wrongSignatureIsRefused()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, args);
        QVERIFY(startAgent(QString()));
        const QDBusMessage reply = callAgent(method, args);
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
        QVERIFY(!QFileInfo::exists(ini));
        QCOMPARE(callAgent(QStringLiteral("updateCustomFile"), {QByteArray("ok")}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(readFileOrMark(ini + QStringLiteral("customer.json")), QByteArray("ok"));
    }

    void supportFileStoredExactly_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("success");
        QTest::addColumn<QByteArray>("data");
        const struct { const char *method, *file, *success; } targets[] = {
            {"updateDeviceTreeFile", "kvo-devicetree.json", "Device Tree File open success!"},
            {"updateCustomFile", "customer.json", "Custom File open success!"},
        };
        const struct { const char *name; QByteArray data; } payloads[] = {
            {"empty", QByteArray()},
            {"json", QByteArray("{\"serial\": \"A1\"}\n")},
            {"NUL bytes", QByteArray("a\0b\0\0c", 6)},
            {"CR LF", QByteArray("line1\r\nline2\r\n")},
            {"0xFF", QByteArray(3, '\xff')},
            {"1 MiB random", randomBytes(1 << 20)},
            {"just under the bus message limit", randomBytes((32 << 20) - 4096)},
        };
        for (const auto &t : targets) {
            for (const auto &p : payloads) {
                QTest::addRow("%s %s", t.method, p.name) << QString::fromLatin1(t.method) << QString::fromLatin1(t.file)
                                                          << QString::fromLatin1(t.success) << p.data;
            }
        }
    }

    void supportFileStoredExactly()
    {
        QFETCH(QString, method);
        QFETCH(QString, fileName);
        QFETCH(QString, success);
        QFETCH(QByteArray, data);
        QVERIFY(startAgent(QString()));
        LogCursor log;

        // Over an older, longer file: nothing of it may survive.
        QCOMPARE(callAgent(method, {QByteArray(4096, 'o')}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(callAgent(method, {data}).type(), QDBusMessage::ReplyMessage);
        QVERIFY(readFileOrMark(ini + fileName) == data);
        QCOMPARE(messages(log), QStringList({success, success}));
        QCOMPARE(leftoverTemporaries(staging), QStringList());
        QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/cwd").arg(m_agent->pid())).symLinkTarget() + QLatin1Char('/'), ini);
    }

    void supportFileKeepsModeAndOwner()
    {
        QVERIFY(startAgent(QString()));
        const QString path = ini + QStringLiteral("customer.json");
        QVERIFY(writeFile(path, "old"));
        QCOMPARE(::chown(QFile::encodeName(path).constData(), 4321, 4322), 0);
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0640), 0);
        QCOMPARE(callAgent(QStringLiteral("updateCustomFile"), {QByteArray("new")}).type(), QDBusMessage::ReplyMessage);
        struct stat st;
        QCOMPARE(::lstat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0640u);
        QCOMPARE(st.st_uid, 4321u);
        QCOMPARE(st.st_gid, 4322u);
        QCOMPARE(readFileOrMark(path), QByteArray("new"));

        // A new file gets the default mode under the agent's file-creation mask.
        const QString tree = ini + QStringLiteral("kvo-devicetree.json");
        QCOMPARE(callAgent(QStringLiteral("updateDeviceTreeFile"), {QByteArray("t")}).type(), QDBusMessage::ReplyMessage);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(::lstat(QFile::encodeName(tree).constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, 0666u & ~mask);
    }

    void supportFileSymlinkIsReplacedNotFollowed()
    {
        QVERIFY(startAgent(QString()));
        const QString victim = QStringLiteral("/usr/share/kvo-service-support/victim");
        QVERIFY(writeFile(victim, "precious"));
        QVERIFY(QDir().mkpath(ini));
        QVERIFY(QFile::link(victim, ini + QStringLiteral("customer.json")));
        QCOMPARE(callAgent(QStringLiteral("updateCustomFile"), {QByteArray("new")}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(readFileOrMark(victim), QByteArray("precious"));
        QVERIFY(!QFileInfo(ini + QStringLiteral("customer.json")).isSymLink());
        QCOMPARE(readFileOrMark(ini + QStringLiteral("customer.json")), QByteArray("new"));
    }

    void supportFileFailures()
    {
        QVERIFY(startAgent(QString()));
        LogCursor log;

        // The directory cannot be made: a file stands where a parent should be.
        QVERIFY(writeFile(QStringLiteral("/usr/share/kvo-service-support"), "not a directory"));
        callAgent(QStringLiteral("updateCustomFile"), {QByteArray("x")});
        callAgent(QStringLiteral("updateDeviceTreeFile"), {QByteArray("x")});
        callAgent(QStringLiteral("downloadQRCode"), {QStringLiteral("t1"), QStringLiteral("a.png"), QByteArray("x"), false});
        QCOMPARE(messages(log), QStringList({QStringLiteral("make filepath fail!"), QStringLiteral("make filepath fail!"), QStringLiteral("make filepath fail!")}));
        QVERIFY(QFile::remove(QStringLiteral("/usr/share/kvo-service-support")));

        // The file's name is taken by a directory.
        LogCursor log2;
        QVERIFY(QDir().mkpath(ini + QStringLiteral("customer.json")));
        QVERIFY(QDir().mkpath(ini + QStringLiteral("kvo-devicetree.json")));
        callAgent(QStringLiteral("updateCustomFile"), {QByteArray("x")});
        callAgent(QStringLiteral("updateDeviceTreeFile"), {QByteArray("x")});
        QCOMPARE(messages(log2), QStringList({QStringLiteral("Custom File open error!"),
                                              QStringLiteral("Device Tree File open error!")}));
    }

    void fullDiskKeepsOldContent_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("success");
        QTest::newRow("updateCustomFile") << "updateCustomFile" << QString() << "customer.json" << "Custom File open success!";
        QTest::newRow("updateDeviceTreeFile") << "updateDeviceTreeFile" << QString() << "kvo-devicetree.json"
                                              << "Device Tree File open success!";
        QTest::newRow("downloadQRCode") << "downloadQRCode" << "t1" << "QRCode/t1/a.png" << "QRCode File open success!";
    }

    // On a 256 KiB file system a 64 KiB file fits and a 1 MiB one is refused before it is
    // written; the old file stays and the log gives the figures. The file system holds the
    // support directory and the staging directory beside it, as the real one does.
    void fullDiskKeepsOldContent()
    {
        QFETCH(QString, method);
        QFETCH(QString, type);
        QFETCH(QString, file);
        QFETCH(QString, success);
        QVERIFY(startAgent(QString()));
        const QByteArray root = QFile::encodeName(QDir::cleanPath(ini + QStringLiteral("/..")));
        QVERIFY(QDir().mkpath(QString::fromLocal8Bit(root)));
        QCOMPARE(::mount("kvo-small", root.constData(), "tmpfs", 0, "size=256k"), 0);
        const auto unmount = qScopeGuard([this, root] {
            m_agent.reset();
            ::umount2(root.constData(), MNT_DETACH);
        });
        const auto store = [&](const QString &storeType, const QByteArray &data) {
            const QVariantList args = method == QLatin1String("downloadQRCode")
                ? QVariantList{storeType, QStringLiteral("a.png"), data, false}
                : QVariantList{data};
            return callAgent(method, args).type() == QDBusMessage::ReplyMessage;
        };
        const QByteArray old = randomBytes(64 << 10);
        QVERIFY(store(QStringLiteral("t1"), old));
        if (!success.isEmpty())
            QCOMPARE(readFileOrMark(ini + file), old);

        LogCursor log;
        QVERIFY(store(type, randomBytes(1 << 20)));
        QStringList lines = messages(log);
        QCOMPARE(lines.size(), 3);
        const QString figures = lines.takeLast();
        const QRegularExpression figuresPattern(
            QStringLiteral(R"(^No space for users: 1048576 bytes and 0 inodes to write, \d+ bytes and \d+ inodes available$)"));
        QVERIFY2(figuresPattern.match(figures).hasMatch(), qPrintable(figures));
        QCOMPARE(lines, QStringList({success, QStringLiteral("write data error!")}));
        QCOMPARE(readFileOrMark(ini + file), old);
        QCOMPARE(leftoverTemporaries(staging), QStringList());
    }

    // The start-up tidy-up looks in the staging directory only: what an interrupted write left
    // there goes, every file a caller stored stays, whatever its name.
    void leftoverTemporariesRemovedAtStart()
    {
        QVERIFY(writeFile(staging + QStringLiteral(".kvo-tmp-1234"), "torn"));
        QVERIFY(writeFile(staging + QStringLiteral(".kvo-tmp-abcd"), "torn"));
        QVERIFY(writeFile(ini + QStringLiteral("QRCode/t1/a.png"), "kept"));
        QVERIFY(writeFile(ini + QStringLiteral("QRCode/t1/.kvo-tmp-abcd"), "kept"));
        LogCursor log;
        QVERIFY(startAgent(QString()));
        QCOMPARE(leftoverTemporaries(staging), QStringList());
        QCOMPARE(readFileOrMark(ini + QStringLiteral("QRCode/t1/a.png")), QByteArray("kept"));
        QCOMPARE(readFileOrMark(ini + QStringLiteral("QRCode/t1/.kvo-tmp-abcd")), QByteArray("kept"));
        QCOMPARE(log.count(QStringLiteral("Removed unfinished temporary file \"%1.kvo-tmp-1234\"").arg(staging)), 1);
    }

    // No name is refused or removed for looking like a temporary file.
    void storedImagesSurviveARestart()
    {
        const QStringList names{"a.png", ".hidden.png", ".kvo-tmpx", "x.kvo-tmp-1", ".kvo-tmp-1a2b3c",
                                ".kvo-tmp-", "sub/.kvo-tmp-ffff", ".kvo-tmp-d/a.png"};
        QVERIFY(QDir().mkpath(ini + QStringLiteral("QRCode/t1/sub")));
        QVERIFY(QDir().mkpath(ini + QStringLiteral("QRCode/t1/.kvo-tmp-d")));
        QVERIFY(startAgent(QString()));
        for (const QString &name : names) {
            LogCursor log;
            QCOMPARE(callAgent(QStringLiteral("downloadQRCode"), {QStringLiteral("t1"), name, name.toUtf8(), false}).type(),
                     QDBusMessage::ReplyMessage);
            QCOMPARE(messages(log), QStringList{QStringLiteral("QRCode File open success!")});
        }

        m_agent.reset();
        QVERIFY(startAgent(QString()));
        for (const QString &name : names)
            QVERIFY2(readFileOrMark(ini + QStringLiteral("QRCode/t1/") + name) == name.toUtf8(), qPrintable(name));
    }

    void qrCode_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("clear");
        QTest::addColumn<QStringList>("setup");     // below ini/: "dir/", "file", "link->target"
        QTest::addColumn<QStringList>("expected");  // log messages in order
        QTest::addColumn<QStringList>("present");   // below ini/, after the call
        QTest::addColumn<QStringList>("absent");

        const QString ok = QStringLiteral("QRCode File open success!");
        const QString badPath = QStringLiteral("Save path is invalid");
        const QString badName = QStringLiteral("Save name is invalid");
        const QString noDir = QStringLiteral("FilePath is not exists!");
        const QString delErr = QStringLiteral("Delete file error!");
        const QString openErr = QStringLiteral("QRCode File open error!");
        using L = QStringList;

        QTest::newRow("type and name") << "t1" << "a.png" << false << L{}
            << L{ok} << L{"QRCode/t1/a.png"} << L{};
        QTest::newRow("empty type") << "" << "a.png" << false << L{}
            << L{ok} << L{"QRCode/a.png"} << L{};
        QTest::newRow("type one level up") << "../x" << "a.png" << false << L{}
            << L{badPath} << L{} << L{"x", "QRCode"};
        QTest::newRow("type back out") << "t1/../../x" << "a.png" << true << L{}
            << L{badPath} << L{} << L{"x", "QRCode"};
        QTest::newRow("type dot") << "." << "a.png" << false << L{}
            << L{badPath} << L{} << L{"QRCode"};
        // Long input fails where a plain make or open of it would: the type when it is made, the
        // name when it is opened (after the type is cleared and made).
        QTest::newRow("100 KB type of a/a/a") << QStringLiteral("a/").repeated(51200) << "a.png" << false << L{}
            << L{QStringLiteral("make filepath fail!")} << L{} << L{"QRCode"};
        QTest::newRow("name component of 256 bytes") << "t1" << QString(256, QLatin1Char('n')) << true << L{"QRCode/t1/old.png"}
            << L{delErr, delErr, openErr} << L{"QRCode/t1/"} << L{"QRCode/t1/old.png"};
        QTest::newRow("sibling type") << "../QRCodeEvil/x" << "a.png" << false << L{}
            << L{badPath} << L{} << L{"QRCodeEvil"};
        QTest::newRow("sibling type cleared") << "../QRCodeEvil/" << "a.png" << true << L{"QRCodeEvil/keep.png"}
            << L{badPath} << L{"QRCodeEvil/keep.png"} << L{"QRCodeEvil/a.png"};
        // The type is cleared and made before the name is tested.
        QTest::newRow("name up two, type made") << "t1" << "../../y.png" << false << L{}
            << L{badName} << L{"QRCode/t1/"} << L{"y.png"};
        QTest::newRow("name up two with del, type cleared") << "t1" << "../../y.png" << true << L{"QRCode/t1/old.png"}
            << L{delErr, delErr, badName} << L{"QRCode/t1/"} << L{"y.png", "QRCode/t1/old.png"};
        QTest::newRow("sibling name") << "t1" << "../../QRCodeEvil/e.png" << false << L{"QRCodeEvil/"}
            << L{badName} << L{} << L{"QRCodeEvil/e.png"};
        QTest::newRow("name dot with the type an image") << "t1" << "." << false << L{"QRCode/t1"}
            << L{openErr} << L{"QRCode/t1"} << L{};
        QTest::newRow("name through a missing directory") << "t1" << "nosuch/../n.png" << false << L{}
            << L{openErr} << L{"QRCode/t1/"} << L{"QRCode/t1/n.png"};
        QTest::newRow("name through a file") << "t1" << "z.png/../w.png" << false << L{"QRCode/t1/z.png"}
            << L{openErr} << L{"QRCode/t1/z.png"} << L{"QRCode/t1/w.png"};
        QTest::newRow("name with the temporary prefix") << "t1" << ".kvo-tmp-abc" << false << L{}
            << L{ok} << L{"QRCode/t1/.kvo-tmp-abc"} << L{};
        QTest::newRow("name in missing sub-directory") << "t1" << "sub/b.png" << false << L{}
            << L{openErr} << L{"QRCode/t1/"} << L{"QRCode/t1/sub"};
        QTest::newRow("name in sub-directory") << "t1" << "sub/b.png" << false << L{"QRCode/t1/sub/"}
            << L{ok} << L{"QRCode/t1/sub/b.png"} << L{};
        QTest::newRow("empty name") << "t1" << "" << false << L{}
            << L{openErr} << L{"QRCode/t1/"} << L{};
        QTest::newRow("clearing") << "t1" << "new.png" << true
            << L{"QRCode/t1/A.png", "QRCode/t1/b.png", "QRCode/t1/dir/", "QRCode/t1/.hidden"}
            << L{delErr, delErr, delErr, ok}
            << L{"QRCode/t1/new.png", "QRCode/t1/dir/", "QRCode/t1/.hidden"} << L{"QRCode/t1/A.png", "QRCode/t1/b.png"};
        QTest::newRow("clearing, image cannot be stored") << "t1" << "dir" << true
            << L{"QRCode/t1/A.png", "QRCode/t1/dir/"}
            << L{delErr, delErr, delErr, openErr} << L{"QRCode/t1/dir/"} << L{"QRCode/t1/A.png"};
        QTest::newRow("empty type, clearing") << "" << "a.png" << true << L{"QRCode/old.png", "QRCode/t1/"}
            << L{delErr, delErr, delErr, ok} << L{"QRCode/a.png", "QRCode/t1/"} << L{"QRCode/old.png"};
        QTest::newRow("empty type, clearing, no QR-code directory") << "" << "a.png" << true << L{}
            << L{noDir, ok} << L{"QRCode/a.png"} << L{};
        QTest::newRow("clearing missing directory") << "t2" << "a.png" << true << L{}
            << L{noDir, ok} << L{"QRCode/t2/a.png"} << L{};
        QTest::newRow("symlinked type") << "link" << "a.png" << true << L{"outside/keep.png", "QRCode/link->../outside"}
            << L{noDir, openErr} << L{"outside/keep.png"} << L{"outside/a.png"};
        QTest::newRow("symlinked file") << "t1" << "a.png" << false << L{"outside/keep.png", "QRCode/t1/a.png->../../outside/keep.png"}
            << L{ok} << L{"outside/keep.png", "QRCode/t1/a.png"} << L{};
    }

    void qrCode()
    {
        QFETCH(QString, type);
        QFETCH(QString, name);
        QFETCH(bool, clear);
        QFETCH(QStringList, setup);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);

        for (const QString &entry : setup) {
            const int arrow = entry.indexOf(QLatin1String("->"));
            if (arrow > 0) {
                QDir().mkpath(QFileInfo(ini + entry.left(arrow)).path());
                QVERIFY(QFile::link(entry.mid(arrow + 2), ini + entry.left(arrow)));
            } else if (entry.endsWith(QLatin1Char('/'))) {
                QVERIFY(QDir().mkpath(ini + entry));
            } else {
                QVERIFY(writeFile(ini + entry, "setup"));
            }
        }
        QVERIFY(startAgent(QString()));
        LogCursor log;
        const QByteArray image("\x89PNG\r\n\x1a\n\0image", 14);
        QCOMPARE(callAgent(QStringLiteral("downloadQRCode"), {type, name, image, clear}).type(),
                 QDBusMessage::ReplyMessage);
        QCOMPARE(messages(log), expected);
        for (const QString &path : present)
            QVERIFY2(QFileInfo::exists(ini + path), qPrintable(path));
        for (const QString &path : absent)
            QVERIFY2(!QFileInfo::exists(ini + path) && !QFileInfo(ini + path).isSymLink(), qPrintable(path));
        if (expected.endsWith(QStringLiteral("QRCode File open success!"))) {
            const QString stored = QStringLiteral("QRCode/") + type + QLatin1Char('/') + name;
            QVERIFY(!QFileInfo(ini + stored).isSymLink());
            QCOMPARE(readFileOrMark(ini + stored), image);
        }
        // Every file the call did not store keeps what the set-up wrote.
        const QString stored = QStringLiteral("QRCode/") + type + QLatin1Char('/') + name;
        for (const QString &entry : setup) {
            if (!entry.contains(QLatin1String("->")) && !entry.endsWith(QLatin1Char('/')) && entry != stored
                && QFileInfo::exists(ini + entry))
                QVERIFY2(readFileOrMark(ini + entry) == "setup", qPrintable(entry));
        }
        QCOMPARE(leftoverTemporaries(staging), QStringList());
    }

    void longTextCostsLittleMemory_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("refusal");
        const QString noDir = QStringLiteral("FilePath is not exists!");
        QTest::newRow("8 MiB name") << "t1" << QString(8 << 20, QLatin1Char('n'))
                                    << QStringList{noDir, QStringLiteral("QRCode File open error!")};
        QTest::newRow("8 MiB name of a/a/a") << "t1" << QStringLiteral("a/").repeated(4 << 20)
                                             << QStringList{noDir, QStringLiteral("QRCode File open error!")};
        QTest::newRow("8 MiB type of a/a/a") << QStringLiteral("a/").repeated(4 << 20) << "a.png"
                                             << QStringList{noDir, QStringLiteral("make filepath fail!")};
    }

    // A text far beyond the length limits is tested in one pass and refused by its length
    // before it is split: the agent's peak memory grows by little more than the message and its
    // decoded copies (8 MiB of UTF-8, 16 MiB of UTF-16), not by lists of its pieces. Several
    // such calls in a row leave no more resident than before once they stop.
    void longTextCostsLittleMemory()
    {
        QFETCH(QString, type);
        QFETCH(QString, name);
        QFETCH(QStringList, refusal);
        // AddressSanitizer keeps freed blocks in a quarantine that would count as peak memory.
        QVERIFY(startAgent(QString(), {QStringLiteral("ASAN_OPTIONS=") + qEnvironmentVariable("ASAN_OPTIONS")
                                       + QStringLiteral(":quarantine_size_mb=16:thread_local_quarantine_size_kb=256")}));
        QCOMPARE(callAgent(QStringLiteral("updateCustomFile"), {QByteArray("warm")}).type(), QDBusMessage::ReplyMessage);
        const qint64 before = statusKiB(m_agent->pid(), "VmHWM");
        const qint64 residentBefore = statusKiB(m_agent->pid(), "VmRSS");
        QVERIFY(before > 0 && residentBefore > 0);

        LogCursor log;
        QCOMPARE(callAgent(QStringLiteral("downloadQRCode"), {type, name, QByteArray("image"), true}).type(),
                 QDBusMessage::ReplyMessage);
        const qint64 after = statusKiB(m_agent->pid(), "VmHWM");
        qInfo("agent peak memory (VmHWM): %lld KiB before the call, %lld KiB after", before, after);
        QCOMPARE(messages(log), refusal);
        // Only the type's directory is made, when it is short enough.
        QCOMPARE(QFileInfo::exists(ini + QStringLiteral("QRCode/t1")), type == QLatin1String("t1"));
        QVERIFY(!QFileInfo::exists(ini + QStringLiteral("QRCode/a")));
        QVERIFY2(after - before <= 64 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(after - before)));

        for (int i = 0; i < 3; ++i)
            QCOMPARE(callAgent(QStringLiteral("downloadQRCode"), {type, name, QByteArray("image"), true}).type(),
                     QDBusMessage::ReplyMessage);
        QDeadlineTimer deadline(10000);
        qint64 resident = statusKiB(m_agent->pid(), "VmRSS");
        while (resident > residentBefore + 4096 && !deadline.hasExpired()) {
            QTest::qWait(50);
            resident = statusKiB(m_agent->pid(), "VmRSS");
        }
        qInfo("agent VmRSS: %lld KiB before, %lld KiB after four calls", residentBefore, resident);
        // What stays resident is up to the C library's allocator, which an agent built with
        // AddressSanitizer (as this test then is) does not use: its own keeps freed blocks for a while.
        if (!testhelpers::builtWithAddressSanitizer)
            QVERIFY2(resident <= residentBefore + 4096, qPrintable(QStringLiteral("%1 KiB resident").arg(resident)));
    }

    // Clearing streams the directory: 100,000 images with names of 255 bytes go without a list of
    // them in memory, and the log holds the lines for "." and ".." only.
    void clearingAHugeDirectoryCostsLittleMemory()
    {
        const QString type = ini + QStringLiteral("QRCode/t1/");
        QVERIFY(QDir().mkpath(type));
        const int count = 100000;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("%1").arg(i, 255, 10, QLatin1Char('0'));
            const int fd = ::open(QFile::encodeName(type + name).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
        QVERIFY(startAgent(QString(), {QStringLiteral("ASAN_OPTIONS=") + qEnvironmentVariable("ASAN_OPTIONS")
                                       + QStringLiteral(":quarantine_size_mb=16:thread_local_quarantine_size_kb=256")}));
        QCOMPARE(callAgent(QStringLiteral("updateCustomFile"), {QByteArray("warm")}).type(), QDBusMessage::ReplyMessage);
        const qint64 before = statusKiB(m_agent->pid(), "VmHWM");
        QVERIFY(before > 0);

        LogCursor log;
        QCOMPARE(callAgent(QStringLiteral("downloadQRCode"), {QStringLiteral("t1"), QStringLiteral("a.png"), QByteArray("image"), true}).type(),
                 QDBusMessage::ReplyMessage);
        const qint64 after = statusKiB(m_agent->pid(), "VmHWM");
        qInfo("agent peak memory (VmHWM) clearing %d entries of 255 bytes: %lld KiB before, %lld KiB after", count,
              before, after);
        const QString delErr = QStringLiteral("Delete file error!");
        QCOMPARE(messages(log), (QStringList{delErr, delErr, QStringLiteral("QRCode File open success!")}));
        QCOMPARE(QDir(type).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("a.png")});
        QVERIFY2(after - before <= 32 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(after - before)));
    }

    void qrCodeThreeArgumentsNeverClears()
    {
        QVERIFY(writeFile(ini + QStringLiteral("QRCode/t1/old.png"), "old"));
        QVERIFY(startAgent(QString()));
        LogCursor log;
        QCOMPARE(callAgent(QStringLiteral("downloadQRCode"), {QStringLiteral("t1"), QStringLiteral("new.png"), QByteArray("n")}).type(),
                 QDBusMessage::ReplyMessage);
        QCOMPARE(messages(log), QStringList{QStringLiteral("QRCode File open success!")});
        QCOMPARE(readFileOrMark(ini + QStringLiteral("QRCode/t1/old.png")), QByteArray("old"));
        QCOMPARE(readFileOrMark(ini + QStringLiteral("QRCode/t1/new.png")), QByteArray("n"));
    }

    void logRulesFollowTheConfiguration()
    {
        const QString success = QStringLiteral("Custom File open success!");
        QVERIFY(startAgent(logRule("debug=false;;")));
        LogCursor log;
        callAgent(QStringLiteral("updateCustomFile"), {QByteArray("1")});
        QCOMPARE(log.count(success), 0);

        QVERIFY(m_config->setValue(QStringLiteral("log_rules"), logRule("debug=true")));
        QVERIFY(log.waitFor(QStringLiteral("value changed: \"log_rules\"")));
        callAgent(QStringLiteral("updateCustomFile"), {QByteArray("2")});
        QCOMPARE(log.count(success), 1);

        // Another key changes nothing and writes nothing.
        QVERIFY(m_config->setValue(QStringLiteral("other"), logRule("debug=false")));
        callAgent(QStringLiteral("updateCustomFile"), {QByteArray("3")});
        QCOMPARE(log.count(success), 2);
        QCOMPARE(log.count(QStringLiteral("value changed: \"other\"")), 0);

        LogCursor later;
        QVERIFY(m_config->setValue(QStringLiteral("log_rules"), QStringLiteral("*.debug=false")));
        QVERIFY(later.waitFor(QStringLiteral("value changed: \"log_rules\"")));
        callAgent(QStringLiteral("updateCustomFile"), {QByteArray("4")});
        QCOMPARE(later.count(success), 0);
        QCOMPARE(messages(later), QStringList{QStringLiteral("value changed: \"log_rules\"")});
    }

    // Every way the configuration service can be missing when the agent starts: the bus cannot
    // reach it (only the error's message, then no path) or starts it (no line of its own).
    void configurationServiceMissing_data()
    {
        QTest::addColumn<QString>("exec");
        QTest::addColumn<QStringList>("expected");
        const QString noPath = QStringLiteral("codestack:  get path failed.");
        const QString stored = QStringLiteral("Custom File open success!");
        QTest::newRow("no owner, not activatable")
            << QString()
            << QStringList{QStringLiteral("\"The name org.desktopspec.ConfigManager was not provided by any .service files\""),
                           noPath, stored};
        QTest::newRow("activatable, fails to start")
            << QStringLiteral("/bin/false")
            << QStringList{QStringLiteral("\"Process org.desktopspec.ConfigManager exited with status 1\""), noPath, stored};
        QTest::newRow("activatable, starts") << QStringLiteral(KVO_FAKE_CONFIG_BINARY) << QStringList{stored};
    }

    void configurationServiceMissing()
    {
        QFETCH(QString, exec);
        QFETCH(QStringList, expected);
        const QString serviceFile = QLatin1String(busServiceDir) + QStringLiteral("/org.desktopspec.ConfigManager.service");
        QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
        const QString name = QStringLiteral("org.desktopspec.ConfigManager");
        const auto tidyUp = qScopeGuard([&] {
            QFile::remove(serviceFile);
            reloadBusConfig();
            const QDBusReply<uint> started = bus->servicePid(name);
            if (started.isValid())
                ::kill(pid_t(started.value()), SIGKILL);
        });
        QVERIFY(!bus->isServiceRegistered(name));
        if (!exec.isEmpty())
            QVERIFY(testhelpers::writeFile(serviceFile,
                QStringLiteral("[D-BUS Service]\nName=%1\nExec=%2\n").arg(name, exec).toUtf8()));
        QVERIFY(reloadBusConfig());

        LogCursor log;
        m_agent = std::make_unique<AgentProcess>();
        QVERIFY(m_agent->waitForName());
        QCOMPARE(callAgent(QStringLiteral("updateCustomFile"), {QByteArray("x")}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(messages(log), expected);
    }

    void releaseFilesReadAtStart_data()
    {
        QTest::addColumn<bool>("osPresent");
        QTest::addColumn<bool>("oemPresent");
        QTest::addColumn<QStringList>("expected");
        const QString os = QStringLiteral("\"/etc/os-version\"  non-existent.");
        const QString oem = QStringLiteral("\"/etc/oem-version\"  non-existent.");
        QTest::newRow("both present") << true << true << QStringList();
        QTest::newRow("oem missing") << true << false << QStringList{oem};
        QTest::newRow("os missing") << false << true << QStringList{os};
        QTest::newRow("both missing, os first") << false << false << QStringList{os, oem};
    }

    void releaseFilesReadAtStart()
    {
        QFETCH(bool, osPresent);
        QFETCH(bool, oemPresent);
        QFETCH(QStringList, expected);
        writeReleaseFiles();
        if (!osPresent)
            QVERIFY(QFile::remove(QStringLiteral("/etc/os-version")));
        if (!oemPresent)
            QVERIFY(QFile::remove(QStringLiteral("/etc/oem-version")));
        m_config = std::make_unique<FakeConfigService>(QString());
        QVERIFY(m_config->waitForName());
        LogCursor log;
        m_agent = std::make_unique<AgentProcess>();
        QVERIFY(m_agent->waitForName());
        QCOMPARE(messages(log), expected);
        writeReleaseFiles();
    }

    void environmentRulesHaveNoEffect()
    {
        QVERIFY(startAgent(QString(), {QStringLiteral("QT_LOGGING_RULES=*.debug=false;*.info=false")}));
        LogCursor log;
        callAgent(QStringLiteral("downloadQRCode"), {QStringLiteral("t"), QStringLiteral("a.png"), QByteArray("x"), false});
        callAgent(QStringLiteral("updateCustomFile"), {QByteArray("x")});
        QCOMPARE(messages(log), QStringList({QStringLiteral("QRCode File open success!"),
                                             QStringLiteral("Custom File open success!")}));
    }
};

QTEST_GUILESS_MAIN(tst_Agent)
#include "tst_agent.moc"
