// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/constants.h"
#include "agent/lifecycle.h"
#include "simplelog/logmanager.h"
#include "testhelpers.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace testhelpers;
using simplelog::LogManager;

namespace {

void configureFileOnly(const QString &path)
{
    LogManager::setLogFormat(kvo::logFormat());
    LogManager::setlogFilePath(path);
    LogManager::registerFileAppender();
}

// Child modes: each ends its process through the unit under test.
int runChild(const QByteArray &mode, const QString &path)
{
    configureFileOnly(path);
    if (mode == "end-while-another-thread-logs") {
        std::atomic<int> written{0};
        std::thread noise([&written] {
            for (;;) {
                qInfo("noise %d", written.load());
                ++written;
                ::usleep(1000);
            }
        });
        noise.detach();
        while (written < 20)
            ::usleep(1000);
        // The pause between the closing lines is where an unheld log would let noise in.
        lifecycle::end(7, [] {
            qInfo("closing 1");
            ::usleep(200000);
            qInfo("closing 2");
            std::printf("stdout without a newline");
        });
    }
    if (mode == "exit-handler") {
        qInfo("serving");
        lifecycle::exitHandler();
    }
    return 2;
}

QStringList messagesOf(const QString &path)
{
    QStringList messages;
    const QByteArray data = readFile(path);
    if (!data.endsWith('\n'))
        return {QStringLiteral("<log does not end in a newline>")};
    for (const QByteArray &line : data.split('\n'))
        if (!line.isEmpty())
            messages += QString::fromUtf8(line).section(QStringLiteral("] "), 2);
    return messages;
}

} // namespace

class tst_Lifecycle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void closingLinesAreLastAndStdoutIsFlushed();
    void exitHandlerWritesItsLineAndEndsWithZero();

};

void tst_Lifecycle::closingLinesAreLastAndStdoutIsFlushed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    const ChildRun child = runSelfAsChild("end-while-another-thread-logs", path);
    QCOMPARE(child.status, QProcess::NormalExit);
    QCOMPARE(child.code, 7);
    QCOMPARE(child.out, QByteArray("stdout without a newline"));

    const QStringList messages = messagesOf(path);
    QVERIFY2(messages.size() >= 22, qPrintable(messages.join(QLatin1Char('\n'))));
    QCOMPARE(messages.mid(messages.size() - 2),
             QStringList({QStringLiteral("closing 1"), QStringLiteral("closing 2")}));
    for (const QString &message : messages.mid(0, messages.size() - 2))
        QVERIFY2(message.startsWith(QLatin1String("noise ")), qPrintable(message));
}

void tst_Lifecycle::exitHandlerWritesItsLineAndEndsWithZero()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("agent.log"));
    const ChildRun child = runSelfAsChild("exit-handler", path);
    QCOMPARE(child.status, QProcess::NormalExit);
    QCOMPARE(child.code, 0);
    QCOMPARE(messagesOf(path), QStringList({QStringLiteral("serving"), QStringLiteral("exit agent.")}));
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argv[2], QString::fromLocal8Bit(argv[3]));
    QCoreApplication app(argc, argv);
    tst_Lifecycle test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_lifecycle.moc"
