// SPDX-License-Identifier: GPL-3.0-or-later
// The QR-code path check: random type/name pairs through the agent's own decision, against a
// separately written resolution of the path, component by component.

#include "constants.h"
#include "fuzzsupport.h"
#include "supportfiles.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

namespace {

using Components = std::vector<std::u16string>;

// What the kernel would reach from "/" lexically: "." stays, ".." goes up (never above "/").
Components resolve(const std::u16string &path)
{
    Components stack;
    std::u16string part;
    auto flush = [&] {
        if (part == u"..") {
            if (!stack.empty())
                stack.pop_back();
        } else if (!part.empty() && part != u".") {
            stack.push_back(part);
        }
        part.clear();
    };
    for (const char16_t c : path) {
        if (c == u'/')
            flush();
        else
            part.push_back(c);
    }
    flush();
    return stack;
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

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string typeBytes = provider.ConsumeRandomLengthString(512);
    const std::string nameBytes = provider.ConsumeRemainingBytesAsString();
    const QString type = QString::fromUtf8(typeBytes.data(), int(typeBytes.size()));
    const QString name = QString::fromUtf8(nameBytes.data(), int(nameBytes.size()));

    const supportfiles::QrCodePathCheck check = supportfiles::checkQrCodePath(qrDir(), type, name);
    if (check == supportfiles::QrCodePathCheck::InvalidPath)
        return 0;

    static const Components qrComponents = resolve(utf16(qrDir()));
    const std::u16string typePath = utf16(qrDir() + type);
    const QString detail = QStringLiteral("type \"%1\" name \"%2\"").arg(type, name);

    // An accepted type is created and may be cleared, so it must be the directory or below it.
    FUZZ_CHECK(!type.contains(QChar(0)), detail);
    FUZZ_CHECK(startsWith(resolve(typePath), qrComponents), detail);
    if (check != supportfiles::QrCodePathCheck::Accepted)
        return 0;

    // An accepted pair is opened for writing, so it must not lead out of the directory. (A name
    // that leads back to the directory itself is accepted; opening it then fails and says so.)
    FUZZ_CHECK(!name.contains(QChar(0)), detail);
    // Nor may its last component be "." or "..", which would name another stored file, or
    // begin like a temporary file, which the next start would remove.
    const QString last = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    FUZZ_CHECK(last != QLatin1String(".") && last != QLatin1String(".."), detail);
    FUZZ_CHECK(!last.startsWith(QLatin1String(".kvo-tmp-")), detail);
    const Components file = resolve(typePath + u'/' + utf16(name));
    FUZZ_CHECK(startsWith(file, qrComponents), detail);
    return 0;
}
