// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/logdebughelper.h"

#include <QLoggingCategory>
#include <QtTest>

namespace {
Q_LOGGING_CATEGORY(lcProbe, "kvo.test.probe")
}

class tst_LogDebugHelper : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();

    void constructorDropsEnvironmentRules();
    void appendRules_data();
    void appendRules();
    void setRules_data();
    void setRules();
};

void tst_LogDebugHelper::cleanup()
{
    QLoggingCategory::setFilterRules(QString());
}

void tst_LogDebugHelper::constructorDropsEnvironmentRules()
{
    qputenv("QT_LOGGING_RULES", "kvo.test.probe.debug=false");
    LogDebugHelper helper;
    QVERIFY(!qEnvironmentVariableIsSet("QT_LOGGING_RULES"));
}

void tst_LogDebugHelper::appendRules_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("after");

    QTest::newRow("empty rules, two items") << "" << "a.debug=true;b.debug=false"
                                            << "a.debug=true\nb.debug=false";
    QTest::newRow("empty rules, newline separated") << "" << "a.debug=true\nb.debug=false"
                                                    << "a.debug=true\nb.debug=false";
    QTest::newRow("empty rules, empty text") << "" << "" << "";
    QTest::newRow("empty rules, only separators") << "" << ";\n;" << "";
    QTest::newRow("empty items dropped") << "" << ";;a.debug=true;;\n" << "a.debug=true";
    QTest::newRow("appended after newline") << "a.debug=true" << "b.debug=true"
                                            << "a.debug=true\nb.debug=true";
    QTest::newRow("already present") << "a.debug=true\nb.debug=true" << "b.debug=true"
                                     << "a.debug=true\nb.debug=true";
    QTest::newRow("present as substring") << "x.a.debug=true" << "a.debug=true;debug"
                                          << "x.a.debug=true";
    QTest::newRow("only present and empty items") << "a.debug=true" << ";a.debug=true;;"
                                                  << "a.debug=true";
    QTest::newRow("mixed present and new") << "a.debug=true" << "a.debug=true;;c.debug=false"
                                           << "a.debug=true\nc.debug=false";
    QTest::newRow("new rule twice kept twice") << "a.debug=true" << "b.debug=true;b.debug=true"
                                               << "a.debug=true\nb.debug=true\nb.debug=true";
    QTest::newRow("twice into empty rules") << "" << "b.debug=true;b.debug=true"
                                            << "b.debug=true\nb.debug=true";
    QTest::newRow("opposite value is new") << "a.debug=false" << "a.debug=true"
                                           << "a.debug=false\na.debug=true";
    QTest::newRow("case differs") << "a.debug=true" << "A.debug=true" << "a.debug=true\nA.debug=true";
}

void tst_LogDebugHelper::appendRules()
{
    QFETCH(QString, before);
    QFETCH(QString, text);
    QFETCH(QString, after);

    LogDebugHelper helper;
    helper.rules = before;
    helper.appendRules(text);
    QCOMPARE(helper.rules, after);
}

void tst_LogDebugHelper::setRules_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("rules");
    QTest::addColumn<bool>("debugEnabled");

    QTest::newRow("disable") << "" << "kvo.test.probe.debug=false" << "kvo.test.probe.debug=false"
                             << false;
    QTest::newRow("enable after wildcard disable")
        << "" << "*.debug=false;kvo.test.probe.debug=true"
        << "*.debug=false\nkvo.test.probe.debug=true" << true;
    // Without splitting at ";" the second rule would be part of the first one's value and Qt
    // would drop the whole line, leaving debug on.
    QTest::newRow("semicolon splits rules") << "" << "kvo.test.probe.debug=true;kvo.test.probe.debug=false"
                                            << "kvo.test.probe.debug=true\nkvo.test.probe.debug=false"
                                            << false;
    QTest::newRow("replaces earlier rules") << "kvo.test.probe.debug=false" << "other.debug=false"
                                            << "other.debug=false" << true;
    QTest::newRow("empty clears") << "kvo.test.probe.debug=false" << "" << "" << true;
}

void tst_LogDebugHelper::setRules()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, rules);
    QFETCH(bool, debugEnabled);

    LogDebugHelper helper;
    helper.rules = QStringLiteral("stale.debug=true");
    if (!first.isEmpty()) {
        helper.setRules(first);
        QVERIFY(!lcProbe().isDebugEnabled());
    }
    helper.setRules(second);
    QCOMPARE(helper.rules, rules);
    QCOMPARE(lcProbe().isDebugEnabled(), debugEnabled);
}

QTEST_GUILESS_MAIN(tst_LogDebugHelper)
#include "tst_logdebughelper.moc"
