// SPDX-License-Identifier: GPL-3.0-or-later
// The QR-code path tests: random type/name pairs through the agent's one-pass decision, against
// a separately written model of it that resolves the path component by component.

#include "agent/constants.h"
#include "agent/localeencoding.h"
#include "fuzzsupport.h"
#include "agent/supportfiles.h"


#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Components = std::vector<std::u16string>;

std::vector<std::u16string> split(const std::u16string &path)
{
    std::vector<std::u16string> parts(1);
    for (const char16_t c : path) {
        if (c == u'/')
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}

// What the kernel would reach from "/" lexically: "." stays, ".." goes up (never above "/").
Components resolve(const std::u16string &path)
{
    Components stack;
    for (const std::u16string &part : split(path)) {
        if (part == u"..") {
            if (!stack.empty())
                stack.pop_back();
        } else if (!part.empty() && part != u".") {
            stack.push_back(part);
        }
    }
    return stack;
}

// The directory the path names a file in: the resolved path without its last component,
// unless the path ends with "/" and so names a directory itself.
Components directoryOf(const std::u16string &path)
{
    Components components = resolve(path);
    if (!components.empty() && (path.empty() || path.back() != u'/'))
        components.pop_back();
    return components;
}

bool startsWith(const Components &path, const Components &prefix)
{
    if (path.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (path[i] != prefix[i])
            return false;
    }
    return true;
}

std::u16string utf16(const QString &text)
{
    return std::u16string(reinterpret_cast<const char16_t *>(text.utf16()), size_t(text.size()));
}

const QString &qrDir()
{
    static const QString dir = kvo::qrCodeDirectory();
    return dir;
}

// The rule as stated: the directory part of the resolved path is the QR-code directory or lies
// below it; a NUL anywhere refuses the path.
bool model(const std::u16string &path)
{
    static const Components qrComponents = resolve(utf16(qrDir()));
    return path.find(u'\0') == std::u16string::npos && startsWith(directoryOf(path), qrComponents);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initialize();
    // As the agent sets it at start-up: file names are UTF-8.
    kvo::useUtf8ForLocaleText();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string typeBytes = provider.ConsumeRandomLengthString(8192);
    const std::string nameBytes = provider.ConsumeRemainingBytesAsString();
    const QString type = QString::fromUtf8(typeBytes.data(), int(typeBytes.size()));
    const QString name = QString::fromUtf8(nameBytes.data(), int(nameBytes.size()));

    const QString base = qrDir().chopped(1);
    const QString typePath = qrDir() + type;
    const QString filePath = typePath + QLatin1Char('/') + name;
    const bool typeOk = supportfiles::pathStaysBelow(typePath, base);
    const bool nameOk = supportfiles::pathStaysBelow(filePath, base);
    const QString detail = QStringLiteral("type \"%1\" name \"%2\" decisions %3 %4")
                               .arg(type.left(300), name.left(300)).arg(typeOk).arg(nameOk);
    FUZZ_CHECK(typeOk == model(utf16(typePath)), detail);
    FUZZ_CHECK(nameOk == model(utf16(filePath)), detail);
    // And against the same rule on the cleaned text.
    const auto byCleanText = [&base](const QString &path) {
        const QString cleaned = supportfiles::cleanPath(path);
        const QString directory = cleaned.left(std::max(0, int(cleaned.lastIndexOf(QLatin1Char('/')))));
        return !path.contains(QChar(0))
            && (directory == base || directory.startsWith(base + QLatin1Char('/')));
    };
    FUZZ_CHECK(typeOk == byCleanText(typePath), detail);
    FUZZ_CHECK(nameOk == byCleanText(filePath), detail);

    // Whatever the model says: an accepted type is created and may be cleared, so it must be
    // the directory or below it; an accepted name is opened for writing, so it must not lead
    // out of it. (A name that leads back to the directory itself is accepted; opening it then
    // fails and says so.)
    static const Components qrComponents = resolve(utf16(qrDir()));
    if (typeOk)
        FUZZ_CHECK(startsWith(resolve(utf16(typePath)), qrComponents), detail);
    if (nameOk)
        FUZZ_CHECK(startsWith(resolve(utf16(filePath)), qrComponents), detail);
    return 0;
}
