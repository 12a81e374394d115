// SPDX-License-Identifier: GPL-3.0-or-later
//
// The one place where the tests spell the agent's fixed names and paths: peers, the packaging and
// the support application rely on these texts. Every other test takes them from the headers.
#include "agent/atomicfile.h"
#include "agent/constants.h"
#include "agent/supportfiles.h"

#include <QtTest>

class tst_Constants : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void names_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");

        QTest::newRow("bus name") << kvo::serviceName() << "com.corvid.serviceandsupport";
        QTest::newRow("object path") << kvo::agentObjectPath() << "/com/corvid/serviceandsupport/agent";
        QTest::newRow("interface") << kvo::agentInterface() << "com.corvid.serviceandsupport.agent";
        QTest::newRow("log category") << QString::fromLatin1(kvo::logCategoryName) << "org.corvid.kvo-service-support.agent";
        QTest::newRow("log format") << kvo::logFormat()
                                    << "%{time}{yyyy-MM-dd, HH:mm:ss.zzz} [%{type:-7}] [%{file:-20} %{line}] %{message}\n";
        QTest::newRow("log file") << kvo::logFilePath() << "/var/log/kvo/kvo-service-support/kvo-service-support-agent.log";
        QTest::newRow("support directory") << kvo::supportDirectory() << "/usr/share/kvo-service-support/ini/";
        QTest::newRow("QR-code directory") << kvo::qrCodeDirectory() << "/usr/share/kvo-service-support/ini/QRCode/";
        QTest::newRow("staging directory") << kvo::stagingDirectory() << "/usr/share/kvo-service-support/staging/";
        QTest::newRow("staging beside the support directory")
            << supportfiles::stagingDirectoryFor(kvo::supportDirectory()) << "/usr/share/kvo-service-support/staging/";
        QTest::newRow("pid file") << kvo::pidFilePath() << "/tmp/kvo-service-support-pid";
        QTest::newRow("configuration service") << kvo::configService() << "org.desktopspec.ConfigManager";
        QTest::newRow("configuration manager interface") << kvo::configManagerInterface()
                                                         << "org.desktopspec.ConfigManager.Manager";
        QTest::newRow("log rules key") << kvo::logRulesKey() << "log_rules";
        QTest::newRow("temporary prefix") << QString::fromLatin1(AtomicFile::temporaryPrefix) << ".kvo-tmp-";
    }

    void names()
    {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }
};

QTEST_GUILESS_MAIN(tst_Constants)
#include "tst_constants.moc"
