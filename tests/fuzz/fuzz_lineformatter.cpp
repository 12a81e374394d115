// SPDX-License-Identifier: GPL-3.0-or-later
// The log line formatter: any format text, message and context.

#include "fuzzsupport.h"
#include "simplelog/lineformatter.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

namespace {

QString fromBytes(const std::string &bytes)
{
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The formatter itself is the target; nothing here logs.
    fuzzsupport::initialize(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const int type = provider.ConsumeIntegralInRange<int>(0, 7);
    const int line = provider.ConsumeIntegral<int>();
    const bool haveFile = provider.ConsumeBool();
    const bool haveFunction = provider.ConsumeBool();
    const bool haveCategory = provider.ConsumeBool();
    const std::string file = provider.ConsumeRandomLengthString(256);
    const std::string function = provider.ConsumeRandomLengthString(256);
    const std::string category = provider.ConsumeRandomLengthString(256);
    const QString message = fromBytes(provider.ConsumeRandomLengthString(4096));
    const QString format = fromBytes(provider.ConsumeRemainingBytesAsString());

    const QMessageLogContext context(haveFile ? file.c_str() : nullptr, line,
                                     haveFunction ? function.c_str() : nullptr,
                                     haveCategory ? category.c_str() : nullptr);
    const simplelog::LineFormatter formatter(format);
    const QString formatted = formatter.format(QtMsgType(type), context, message);

    // A leading message field never changes how the rest of the format is read. Time fields
    // may differ between two calls, so only lines without them are compared.
    const simplelog::LineFormatter withMessage(QStringLiteral("%{message}") + format);
    const QString line2 = withMessage.format(QtMsgType(type), context, message);
    FUZZ_CHECK(line2.startsWith(message), format);
    if (!format.contains(QLatin1String("%{time")))
        FUZZ_CHECK(line2 == message + formatted, format);

    // Text without a field opening is copied as it stands.
    if (!format.contains(QLatin1String("%{")))
        FUZZ_CHECK(formatted == format, format);
    return 0;
}
