// SPDX-License-Identifier: GPL-3.0-or-later
// Merging the log rules from the configuration service into the rules in force, and applying
// the result to Qt's category filter.

#include "fuzzsupport.h"
#include "agent/logdebughelper.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QLoggingCategory>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string firstBytes = provider.ConsumeRandomLengthString(2048);
    const std::string secondBytes = provider.ConsumeRemainingBytesAsString();
    const QString first = QString::fromUtf8(firstBytes.data(), int(firstBytes.size()));
    const QString second = QString::fromUtf8(secondBytes.data(), int(secondBytes.size()));

    static LogDebugHelper *helper = new LogDebugHelper;
    helper->rules.clear();
    helper->appendRules(first);
    const QString before = helper->rules;
    helper->appendRules(second);
    const QString &after = helper->rules;

    // Rules in force are kept; every item of the new text is then among the rules.
    FUZZ_CHECK(after.startsWith(before), after);
    QString normalized = second;
    normalized.replace(QLatin1Char(';'), QLatin1Char('\n'));
    for (const QString &item : normalized.split(QLatin1Char('\n')))
        FUZZ_CHECK(after.contains(item), item);

    helper->setRules(after);
    FUZZ_CHECK(!helper->rules.contains(QLatin1Char(';')), helper->rules);
    QLoggingCategory::setFilterRules(QString());
    return 0;
}
