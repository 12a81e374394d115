// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/sysinfo/commandrunner.h"
#include "agent/sysinfo/sysutils.h"
#include "testhelpers.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

// Not the whole namespace: sysutils has a readFile of its own, which this program tests.
using testhelpers::collectMessage;
using testhelpers::g_messages;
using testhelpers::g_previousHandler;
using testhelpers::isLive;
using testhelpers::liveGroupMembers;
using testhelpers::writeFile;

Q_DECLARE_METATYPE(facts::Command)

namespace {


// A map as "key=value" lines, so that a failed comparison shows the difference.
QStringList entries(const QMap<QString, QString> &map)
{
    QStringList lines;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        lines.append(it.key() + QLatin1Char('=') + it.value());
    return lines;
}

// Sets a variable of this process for as long as it lives, then restores the one before.
class ScopedVariable
{
public:
    ScopedVariable(const char *name, const QByteArray &value)
        : m_name(name)
        , m_had(qEnvironmentVariableIsSet(name))
        , m_before(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedVariable()
    {
        if (m_had)
            qputenv(m_name, m_before);
        else
            qunsetenv(m_name);
    }
    ScopedVariable(const ScopedVariable &) = delete;
    ScopedVariable &operator=(const ScopedVariable &) = delete;

private:
    const char *m_name;
    bool m_had;
    QByteArray m_before;
};

// The descriptors open in a command that ran "ls -l /proc/self/fd", without the one ls opened to
// read that directory.
QList<int> openDescriptors(const QString &listing)
{
    static const QRegularExpression entry(QStringLiteral(" (\\d+) -> (.*)$"), QRegularExpression::MultilineOption);
    static const QRegularExpression ownListing(QStringLiteral("^/proc/\\d+/fd$"));
    QList<int> found;
    for (auto it = entry.globalMatch(listing); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (!ownListing.match(match.captured(2)).hasMatch())
            found.append(match.captured(1).toInt());
    }
    return found;
}

QString repeatedTo(const QString &unit, int size)
{
    QString text;
    text.reserve(size + unit.size());
    while (text.size() < size)
        text += unit;
    text.truncate(size);
    return text;
}

} // namespace

class tst_SysUtils : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void executeCmd_output_data();
    void executeCmd_output();
    void executeCmd_largeOutput();
    void executeCmd_globAndWorkingDirectory();
    void executeCmd_timeoutEndsProcessGroup();
    void commandRun_onEventLoop_data();
    void commandRun_onEventLoop();
    void commandRun_deadlineEndsProcessGroup();
    void commandRun_startsWithDefaultSignals();
    void commandRun_fixedEnvironment_data();
    void commandRun_fixedEnvironment();
    void commandRun_callerEnvironmentUnused_data();
    void commandRun_callerEnvironmentUnused();
    void commandRun_onlyStandardDescriptors_data();
    void commandRun_onlyStandardDescriptors();

    void readFile_missing();
    void readFile_directory();
    void readFile_binaryContent();

    void fileExists_data();
    void fileExists();

    void readIniGroup_data();
    void readIniGroup();
    void readIniGroup_missingFile();

private:
    QTemporaryDir m_dir;
    QString m_iniPath;
};

void tst_SysUtils::initTestCase()
{
    QVERIFY(m_dir.isValid());
    g_previousHandler = qInstallMessageHandler(collectMessage);

    m_iniPath = m_dir.filePath(QStringLiteral("settings.ini"));
    QVERIFY(writeFile(m_iniPath, QStringLiteral("top=level\n"
                                                "[main]\n"
                                                "name=\"Grüße, 日本\"\n"
                                                "city=Zürich\n"
                                                "list=a,b,c\n"
                                                "quoted=\"a,b\"\n"
                                                "plain=value with  blanks\n"
                                                "sub\\inner=x\n"
                                                "[split]\n"
                                                "a=1\n"
                                                "[split/deeper]\n"
                                                "k=y\n"
                                                "[other]\n"
                                                "name=elsewhere\n")
                                 .toUtf8()));
}

void tst_SysUtils::init()
{
    g_messages.clear();
}

void tst_SysUtils::executeCmd_output_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("expectNull");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("result");

    QTest::newRow("final newline kept") << "echo hi" << false << "hi\n" << true;
    QTest::newRow("stderr only") << "echo oops >&2" << true << QString() << false;
    QTest::newRow("stderr not mixed in") << "echo out; echo err >&2; echo more" << false << "out\nmore\n" << true;
    QTest::newRow("silent failure") << "exit 3" << true << QString() << false;
    QTest::newRow("output then failure") << "echo text; exit 1" << false << "text\n" << true;
    QTest::newRow("bytes decoded as Latin-1") << "printf '\\xc3\\xa9'" << false
                                              << QString(QChar(0xC3)) + QChar(0xA9) << true;
    QTest::newRow("cut at zero byte") << "printf 'ab\\0cd'" << false << "ab" << true;
    QTest::newRow("zero byte first") << "printf '\\0cd'" << false << "" << false;
    QTest::newRow("blanks and newlines kept") << "printf '  x  \\n\\n'" << false << "  x  \n\n" << true;
    QTest::newRow("pipe") << "printf 'b\\na\\nc\\n' | sort | tr a-z A-Z" << false << "A\nB\nC\n" << true;
    QTest::newRow("quoting") << "echo \"a  b\" 'c$HOME' \"$((2+3))\"" << false << "a  b c$HOME 5\n" << true;
    QTest::newRow("bash syntax") << "a=(x y z); echo ${#a[@]} ${a[1]}" << false << "3 y\n" << true;
}

void tst_SysUtils::executeCmd_output()
{
    QFETCH(QString, command);
    QFETCH(bool, expectNull);
    QFETCH(QString, expected);
    QFETCH(bool, result);

    QString output = QStringLiteral("stale content");
    QCOMPARE(executeCmd(command, output), result);
    QCOMPARE(output.isNull(), expectNull);
    if (!expectNull)
        QCOMPARE(output, expected);
}

void tst_SysUtils::executeCmd_largeOutput()
{
    const int size = 1024 * 1024;
    QString output;
    QVERIFY(executeCmd(QStringLiteral("yes 0123456789abcdef | head -c %1").arg(size), output));
    QCOMPARE(output.size(), size);
    QCOMPARE(output, repeatedTo(QStringLiteral("0123456789abcdef\n"), size));
}

void tst_SysUtils::executeCmd_globAndWorkingDirectory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("b.txt")), "b"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("a.txt")), "a"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("c.log")), "c"));

    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    QString cwd;
    QString listing;
    const bool cwdResult = executeCmd(QStringLiteral("pwd -P"), cwd);
    const bool listingResult = executeCmd(QStringLiteral("echo *.txt"), listing);
    QVERIFY(QDir::setCurrent(previous));

    QVERIFY(cwdResult);
    QCOMPARE(cwd, QFileInfo(dir.path()).canonicalFilePath() + QLatin1Char('\n'));
    QVERIFY(listingResult);
    QCOMPARE(listing, QStringLiteral("a.txt b.txt\n"));
}

void tst_SysUtils::executeCmd_timeoutEndsProcessGroup()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pgidFile = dir.filePath(QStringLiteral("pgid"));
    const QString bgFile = dir.filePath(QStringLiteral("bg"));

    QString output = QStringLiteral("stale");
    const bool result = executeCmd(
        QStringLiteral("echo line; echo $$ > %1; sleep 600 & echo $! > %2; sleep 600").arg(pgidFile, bgFile),
        output, 1500);

    QFile pgidIn(pgidFile);
    QVERIFY(pgidIn.open(QIODevice::ReadOnly));
    const qint64 pgid = pgidIn.readAll().trimmed().toLongLong();
    QFile bgIn(bgFile);
    QVERIFY(bgIn.open(QIODevice::ReadOnly));
    const qint64 bg = bgIn.readAll().trimmed().toLongLong();
    QVERIFY(pgid > 1 && pgid != ::getpgrp());
    QVERIFY(bg > 1);
    // Whatever the outcome, leave none of this test's sleepers behind.
    auto cleanup = qScopeGuard([pgid, bg] {
        ::kill(-pid_t(pgid), SIGKILL);
        ::kill(pid_t(bg), SIGKILL);
    });

    QVERIFY(result);
    QCOMPARE(output, QStringLiteral("line\n"));
    QTRY_VERIFY_WITH_TIMEOUT(liveGroupMembers(pgid).isEmpty(), 10000);
    // Catches a sleeper that escaped the scan by never joining the shell's group.
    QVERIFY(!isLive(bg));
}

void tst_SysUtils::commandRun_onEventLoop_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("expectNull");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("endedInTime");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("normalExit");

    QTest::newRow("shell line, status kept")  << "bash" << QStringList{"-c", "printf 'a\\0b'; exit 3"} << false << "a" << true << 3 << true;
    QTest::newRow("arguments reach no shell") << "printf" << QStringList{"%s", "$HOME *"}              << false << "$HOME *" << true << 0 << true;
    QTest::newRow("Latin-1")                  << "printf" << QStringList{"\\303\\251"}               << false << QString(QChar(0xC3)) + QChar(0xA9) << true << 0 << true;
    QTest::newRow("prints nothing")           << "true" << QStringList()                               << true << QString() << true << 0 << true;
    QTest::newRow("program missing")          << "/nonexistent/kvo-tool" << QStringList()              << true << QString() << false << -1 << false;
    QTest::newRow("program missing on PATH")  << "kvo-no-such-tool" << QStringList()                   << true << QString() << false << -1 << false;
    QTest::newRow("standard input is empty")  << "bash" << QStringList{"-c", "cat; echo done"}         << false << "done\n" << true << 0 << true;
    QTest::newRow("standard error not kept")  << "bash" << QStringList{"-c", "echo out; echo err >&2"} << false << "out\n" << true << 0 << true;
    QTest::newRow("ended by a signal")        << "bash" << QStringList{"-c", "echo a; kill -TERM $$"}  << false << "a\n" << true << int(SIGTERM) << false;
}

// The same runner waited for on the event loop, as kvo-sysinfo runs its commands side by side.
void tst_SysUtils::commandRun_onEventLoop()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(bool, expectNull);
    QFETCH(QString, text);
    QFETCH(bool, endedInTime);
    QFETCH(int, exitCode);
    QFETCH(bool, normalExit);

    facts::CommandRun run({program, arguments});
    QSignalSpy finished(&run, &facts::CommandRun::finished);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
    QVERIFY(run.isFinished());
    QCOMPARE(run.result().text().isNull(), expectNull);
    QCOMPARE(run.result().text(), text);
    QCOMPARE(run.result().endedInTime, endedInTime);
    if (endedInTime)
        QCOMPARE(run.result().exitCode, exitCode);
    QCOMPARE(run.result().normalExit, normalExit);
    QCOMPARE(run.result().succeeded(), endedInTime && normalExit && exitCode == 0);
    QCOMPARE(facts::runCommand({program, arguments}).text(), text);
}

void tst_SysUtils::commandRun_deadlineEndsProcessGroup()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pgidFile = dir.filePath(QStringLiteral("pgid"));
    const QString bgFile = dir.filePath(QStringLiteral("bg"));

    facts::CommandRun run(facts::shellCommand(
                              QStringLiteral("echo line; echo $$ > %1; sleep 600 & echo $! > %2; sleep 600").arg(pgidFile, bgFile)),
                          1500);
    QSignalSpy finished(&run, &facts::CommandRun::finished);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);

    const qint64 pgid = testhelpers::readFile(pgidFile).trimmed().toLongLong();
    const qint64 bg = testhelpers::readFile(bgFile).trimmed().toLongLong();
    QVERIFY(pgid > 1 && pgid != ::getpgrp());
    QVERIFY(bg > 1);
    auto cleanup = qScopeGuard([pgid, bg] {
        ::kill(-pid_t(pgid), SIGKILL);
        ::kill(pid_t(bg), SIGKILL);
    });

    QVERIFY(!run.result().endedInTime);
    QCOMPARE(run.result().text(), QStringLiteral("line\n"));
    QTRY_VERIFY_WITH_TIMEOUT(liveGroupMembers(pgid).isEmpty(), 10000);
    QVERIFY(!isLive(bg));
}

// A signal the tool ignores is not ignored by its commands: a pipeline's writer still ends on
// SIGPIPE when its reader is done.
void tst_SysUtils::commandRun_startsWithDefaultSignals()
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous = {};
    QCOMPARE(::sigaction(SIGPIPE, &ignore, &previous), 0);
    const facts::CommandResult result =
        facts::runCommand(facts::shellCommand(QStringLiteral("yes | head -c 1 >/dev/null; echo ${PIPESTATUS[0]}")));
    ::sigaction(SIGPIPE, &previous, nullptr);
    QCOMPARE(result.text(), QStringLiteral("%1\n").arg(128 + SIGPIPE));
}

void tst_SysUtils::commandRun_fixedEnvironment_data()
{
    QTest::addColumn<facts::Command>("command");
    QTest::addColumn<QString>("expected");

    const QString path = QLatin1String(facts::commandPath);
    QTest::newRow("program") << facts::Command{QStringLiteral("env"), {}}
                             << QStringLiteral("PATH=%1\nLC_ALL=C\n").arg(path);
    // PWD and SHLVL are the shell's own.
    QTest::newRow("shell line") << facts::shellCommand(QStringLiteral("printf '%s\\n' \"$PATH\" \"$LC_ALL\"; compgen -e"))
                                << QStringLiteral("%1\nC\nLC_ALL\nPATH\nPWD\nSHLVL\n").arg(path);
}

// A command's environment is PATH and LC_ALL=C, whatever this process has.
void tst_SysUtils::commandRun_fixedEnvironment()
{
    QFETCH(facts::Command, command);
    QFETCH(QString, expected);

    const ScopedVariable secret("KVO_CALLER_SECRET", "from the caller");
    const ScopedVariable locale("LC_ALL", "de_DE.UTF-8");
    const ScopedVariable path("PATH", "/nonexistent/kvo:" + qgetenv("PATH"));
    QCOMPARE(facts::runCommand(command).text(), expected);

    facts::CommandRun run(command);
    QSignalSpy finished(&run, &facts::CommandRun::finished);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
    QCOMPARE(run.result().text(), expected);
}

void tst_SysUtils::commandRun_callerEnvironmentUnused_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("value"); // DIR: a directory of this test
    QTest::addColumn<facts::Command>("command");
    QTest::addColumn<QString>("real");
    QTest::addColumn<QString>("caller"); // what a shell of this process gets

    const facts::Command unameLine = facts::shellCommand(QStringLiteral("uname -s; cat DIR/ran 2>/dev/null"));
    QTest::newRow("BASH_ENV") << QByteArray("BASH_ENV") << QByteArray("DIR/bash-env") << unameLine
                              << "Linux\n" << "Linux\nbash-env\n";
    QTest::newRow("exported function") << QByteArray("BASH_FUNC_uname%%") << QByteArray("() { echo shadowed; }") << unameLine
                                       << "Linux\n" << "shadowed\n";
    QTest::newRow("PATH, shell line") << QByteArray("PATH") << QByteArray("DIR:/usr/bin:/bin") << unameLine
                                      << "Linux\n" << "fake\n";
    QTest::newRow("PATH, program") << QByteArray("PATH") << QByteArray("DIR:/usr/bin:/bin")
                                   << facts::Command{QStringLiteral("uname"), {QStringLiteral("-s")}} << "Linux\n" << "fake\n";
}

// BASH_ENV, an exported function and fake tools on PATH would each run code of the caller's in
// the commands; the same line in a shell of this process shows that each would.
void tst_SysUtils::commandRun_callerEnvironmentUnused()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    QFETCH(facts::Command, command);
    QFETCH(QString, real);
    QFETCH(QString, caller);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("bash-env")), "echo bash-env > '" + QFile::encodeName(dir.path()) + "/ran'\n"));
    const QString fake = dir.filePath(QStringLiteral("uname"));
    QVERIFY(writeFile(fake, "#!/bin/sh\necho fake\n"));
    QVERIFY(QFile::setPermissions(fake, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    for (QString &argument : command.arguments)
        argument.replace(QLatin1String("DIR"), dir.path());
    const ScopedVariable set(variable.constData(), value.replace("DIR", QFile::encodeName(dir.path())));

    QCOMPARE(facts::runCommand(command).text(), real);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("ran"))));

    QProcess shell;
    shell.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), command.program == facts::shellProgram()
                                                                         ? command.arguments.last()
                                                                         : command.program + QLatin1Char(' ') + command.arguments.join(QLatin1Char(' '))});
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(QString::fromLatin1(shell.readAllStandardOutput()), caller);
}

void tst_SysUtils::commandRun_onlyStandardDescriptors_data()
{
    QTest::addColumn<facts::Command>("command");

    QTest::newRow("program") << facts::Command{QStringLiteral("ls"), {QStringLiteral("-l"), QStringLiteral("/proc/self/fd")}};
    QTest::newRow("shell line") << facts::shellCommand(QStringLiteral("ls -l /proc/self/fd"));
}

// Descriptors this process holds without close-on-exec, a low and a high one, are not open in a
// command; its standard descriptors are.
void tst_SysUtils::commandRun_onlyStandardDescriptors()
{
    QFETCH(facts::Command, command);

    const int file = ::open(QFile::encodeName(m_iniPath).constData(), O_RDONLY);
    QVERIFY(file > 2);
    int pipe[2];
    QCOMPARE(::pipe(pipe), 0);
    const int high = ::fcntl(file, F_DUPFD, 900);
    QVERIFY(high >= 900);
    auto cleanup = qScopeGuard([&] {
        for (const int fd : {file, pipe[0], pipe[1], high})
            ::close(fd);
    });
    for (const int fd : {file, pipe[0], pipe[1], high})
        QCOMPARE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

    const QString listing = facts::runCommand(command).text();
    QVERIFY2(listing.contains(QLatin1String(" 1 -> pipe:")), qPrintable(listing));
    QCOMPARE(openDescriptors(listing), (QList<int>{0, 1, 2}));

    facts::CommandRun run(command);
    QSignalSpy finished(&run, &facts::CommandRun::finished);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
    QCOMPARE(openDescriptors(run.result().text()), (QList<int>{0, 1, 2}));
}

void tst_SysUtils::readFile_missing()
{
    const QString path = m_dir.filePath(QStringLiteral("missing"));
    QCOMPARE(readFile(path), QByteArray());
    QCOMPARE(g_messages, QStringList{QStringLiteral("\"%1\" ---- \"No such file or directory\"").arg(path)});
}

void tst_SysUtils::readFile_directory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("inside")), "content"));
    QCOMPARE(readFile(dir.path()), QByteArray());
}

void tst_SysUtils::readFile_binaryContent()
{
    QByteArray content("\0head\0\0tail\n\0", 13);
    for (int i = 0; i < 200000; ++i)
        content.append(char(i % 256));
    const QString path = m_dir.filePath(QStringLiteral("binary"));
    QVERIFY(writeFile(path, content));

    QCOMPARE(readFile(path), content);
    QCOMPARE(g_messages, QStringList());
}

void tst_SysUtils::fileExists_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("exists");

    QTest::newRow("regular file") << "file" << true;
    QTest::newRow("empty file") << "empty" << true;
    QTest::newRow("directory") << "dir" << true;
    QTest::newRow("link to file") << "link-file" << true;
    QTest::newRow("dangling link") << "link-dangling" << true;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("missing below missing dir") << "nodir/missing" << false;
    QTest::newRow("file used as dir") << "file/child" << false;
}

void tst_SysUtils::fileExists()
{
    QFETCH(QString, entry);
    QFETCH(bool, exists);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath(QStringLiteral("file")), "x"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("empty")), QByteArray()));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dir")));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("file")), dir.filePath(QStringLiteral("link-file"))));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), dir.filePath(QStringLiteral("link-dangling"))));

    const QString path = dir.filePath(entry);
    QCOMPARE(::fileExists(path), exists);
    const QStringList expected = exists ? QStringList() : QStringList{QStringLiteral("\"%1\"  non-existent.").arg(path)};
    QCOMPARE(g_messages, expected);
}

void tst_SysUtils::readIniGroup_data()
{
    using Map = QMap<QString, QString>;
    QTest::addColumn<QString>("group");
    QTest::addColumn<Map>("expected");

    QTest::newRow("group with sub-groups")
        << "main"
        << Map{{QStringLiteral("name"), QStringLiteral("Grüße, 日本")},
               {QStringLiteral("city"), QStringLiteral("Zürich")},
               {QStringLiteral("list"), QString()},
               {QStringLiteral("quoted"), QStringLiteral("a,b")},
               {QStringLiteral("plain"), QStringLiteral("value with  blanks")},
               {QStringLiteral("sub/inner"), QStringLiteral("x")}};
    QTest::newRow("sub-group under its own header")
        << "split" << Map{{QStringLiteral("a"), QStringLiteral("1")}, {QStringLiteral("deeper/k"), QStringLiteral("y")}};
    QTest::newRow("sub-group by path") << "split/deeper" << Map{{QStringLiteral("k"), QStringLiteral("y")}};
    QTest::newRow("neighbour group") << "other" << Map{{QStringLiteral("name"), QStringLiteral("elsewhere")}};
    QTest::newRow("missing group") << "absent" << Map();
}

void tst_SysUtils::readIniGroup()
{
    using Map = QMap<QString, QString>;
    QFETCH(QString, group);
    QFETCH(Map, expected);

    QCOMPARE(entries(::readIniGroup(m_iniPath, group)), entries(expected));
    QCOMPARE(g_messages, QStringList());
}

void tst_SysUtils::readIniGroup_missingFile()
{
    QCOMPARE(::readIniGroup(m_dir.filePath(QStringLiteral("absent.ini")), QStringLiteral("main")),
             (QMap<QString, QString>()));
    QCOMPARE(g_messages, QStringList());
}

QTEST_GUILESS_MAIN(tst_SysUtils)
#include "tst_sysutils.moc"
