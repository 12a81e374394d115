// SPDX-License-Identifier: GPL-3.0-or-later
// The pairs listing (KEY="value" fields, one row per line), read as SystemInfo reads the
// tool's output: Latin-1 up to the first NUL byte.

#include "fuzzsupport.h"
#include "agent/sysinfo/blockdevicecollector.h"
#include "agent/sysinfo/commandrunner.h"

#include <QStringList>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const QString text = facts::latin1UpToNul(bytes);

    const QList<QMap<QString, QString>> rows = parseKeyValueLines(text);

    int lines = 0;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (!line.isEmpty())
            ++lines;
    }
    FUZZ_CHECK(rows.size() == lines, text);

    for (const auto &row : rows) {
        for (auto it = row.cbegin(); it != row.cend(); ++it) {
            const QString &key = it.key();
            FUZZ_CHECK(!key.isEmpty(), text);
            for (const QChar c : key)
                FUZZ_CHECK(c != QLatin1Char('=') && c != QLatin1Char(' ') && c != QLatin1Char('\n'), text);
            for (const QChar c : it.value())
                FUZZ_CHECK(c != QLatin1Char('=') && c != QLatin1Char(' ') && c != QLatin1Char('\n'), text);
            // Only the quotes around the value are taken away.
            FUZZ_CHECK(text.contains(it.value()), text);
        }
    }
    return 0;
}
