// SPDX-License-Identifier: GPL-3.0-or-later
// The text processing behind the board, processor, install-time and platform facts, and the
// quoting of the partition name in the install-time command line that runs as root.

#include "fuzzsupport.h"
#include "agent/sysinfo/blockdevicecollector.h"
#include "agent/sysinfo/factparsers.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {

QString fromBytes(const std::string &bytes)
{
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}

bool isUnquotedWordChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || QStringLiteral("._+:@-/,%").contains(c);
}

// Reads text as one word of the shell language: plain characters, '...' quoting and backslash
// escapes. False for anything else the shell would treat specially (blanks, line ends,
// operators, expansions), which could end the word or the command.
bool shellWord(const QString &text, QString *word)
{
    word->clear();
    if (text.isEmpty())
        return false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\'')) {
            const int close = text.indexOf(QLatin1Char('\''), i + 1);
            if (close < 0)
                return false;
            *word += text.mid(i + 1, close - i - 1);
            i = close;
        } else if (c == QLatin1Char('\\')) {
            if (i + 1 >= text.size() || text.at(i + 1) == QLatin1Char('\n'))
                return false;
            *word += text.at(++i);
        } else if (isUnquotedWordChar(c)) {
            *word += c;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const QString first = fromBytes(provider.ConsumeRandomLengthString(4096));
    const std::string rest = provider.ConsumeRemainingBytesAsString();
    const QString second = fromBytes(rest);

    const QString joined = factparsers::joinDmiValues(first);
    QString expected = first;
    expected.replace(QLatin1Char('\n'), QLatin1Char('#'));
    FUZZ_CHECK(joined == expected, first);

    const QString created = factparsers::installTimeFromDumpe2fs(first);
    FUZZ_CHECK(first.isEmpty() ? created.isEmpty() : created.startsWith(QLatin1String("1_")), first);
    FUZZ_CHECK(!created.contains(QLatin1Char('\n')), first);
    const QString listed = factparsers::installTimeFromListing(first);
    FUZZ_CHECK(listed.startsWith(QLatin1String("2_")) && !listed.contains(QLatin1Char('\n')), first);
    factparsers::isVirtual(first, second);

    // The partition name comes from the block-device listing, whose names are chosen by whoever
    // set the volume up. Names holding NUL cannot reach a command line.
    if (!first.isEmpty() && !first.contains(QChar(0))) {
        const QString command = factparsers::installTimeCommand(first);
        const QString head = QStringLiteral("dumpe2fs -h /dev/");
        const QString tail = QStringLiteral(" | grep 'Filesystem created:'");
        FUZZ_CHECK(command.startsWith(head) && command.endsWith(tail), command);
        QString word;
        FUZZ_CHECK(shellWord(command.mid(head.size(), command.size() - head.size() - tail.size()), &word), command);
        FUZZ_CHECK(word == first, command);
    }

    const QByteArray block(rest.data(), int(rest.size()));
    const QString identity = ataIdentityFromBlock(block);
    FUZZ_CHECK(block.size() >= 512 || identity.isEmpty(), QString());
    FUZZ_CHECK(identity.size() <= 60 && !identity.contains(QChar(0)), identity);
    return 0;
}
