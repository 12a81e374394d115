// SPDX-License-Identifier: GPL-3.0-or-later
// The QR-code path check: random type/name pairs through the agent's own decision, against a
// separately written model of it that resolves the path component by component.

#include "agent/constants.h"
#include "fuzzsupport.h"
#include "agent/supportfiles.h"

#include <QTextCodec>

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

namespace {

using Components = std::vector<std::u16string>;
using Check = supportfiles::QrCodePathCheck;

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

// UTF-8 length of a code-unit sequence that holds no lone surrogate (QString::fromUtf8 leaves none).
size_t utf8Length(const std::u16string &text)
{
    size_t bytes = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c < 0x80)
            bytes += 1;
        else if (c < 0x800)
            bytes += 2;
        else if (c >= 0xd800 && c < 0xdc00 && i + 1 < text.size())
            bytes += 4, ++i;
        else
            bytes += 3;
    }
    return bytes;
}

bool componentsFit(const std::u16string &text)
{
    for (const std::u16string &part : split(text)) {
        if (utf8Length(part) > size_t(supportfiles::maxNameBytes))
            return false;
    }
    return true;
}

const QString &qrDir()
{
    static const QString dir = kvo::qrCodeDirectory();
    return dir;
}

// The decision as the rules state it: a type or name with a component longer than 255 bytes,
// or a path below the support directory ("QRCode/" + type + "/" + name) longer than 4096
// bytes, is refused; the type must name the QR-code directory or a directory below it; the
// name must name a file below that directory, its last component neither "." nor ".." nor
// named like a temporary file. A NUL anywhere refuses the text it is in.
Check model(const std::u16string &type, const std::u16string &name)
{
    static const Components qrComponents = resolve(utf16(qrDir()));
    const std::u16string typePath = utf16(qrDir()) + type;
    const size_t belowSupport = utf8Length(u"QRCode/") + utf8Length(type);
    if (!componentsFit(type) || belowSupport > size_t(supportfiles::maxPathBytes)
        || type.find(u'\0') != std::u16string::npos || !startsWith(directoryOf(typePath), qrComponents))
        return Check::InvalidPath;

    const std::u16string last = split(name).back();
    if (!componentsFit(name) || belowSupport + 1 + utf8Length(name) > size_t(supportfiles::maxPathBytes)
        || last == u"." || last == u".." || last.rfind(u".kvo-tmp-", 0) == 0
        || name.find(u'\0') != std::u16string::npos || !startsWith(directoryOf(typePath + u'/' + name), qrComponents))
        return Check::InvalidName;
    return Check::Accepted;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::initialize();
    // As the agent sets it at start-up: file names are UTF-8.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string typeBytes = provider.ConsumeRandomLengthString(8192);
    const std::string nameBytes = provider.ConsumeRemainingBytesAsString();
    const QString type = QString::fromUtf8(typeBytes.data(), int(typeBytes.size()));
    const QString name = QString::fromUtf8(nameBytes.data(), int(nameBytes.size()));

    const Check check = supportfiles::checkQrCodePath(qrDir(), type, name);
    const QString detail = QStringLiteral("type \"%1\" name \"%2\" decision %3")
                               .arg(type.left(300), name.left(300)).arg(int(check));
    FUZZ_CHECK(check == model(utf16(type), utf16(name)), detail);
    if (check == Check::InvalidPath)
        return 0;

    // Whatever the model says: an accepted type is created and may be cleared, so it must be
    // the directory or below it; an accepted pair is opened for writing, so it must not lead
    // out of it. (A name that leads back to the directory itself is accepted; opening it then
    // fails and says so.)
    static const Components qrComponents = resolve(utf16(qrDir()));
    const std::u16string typePath = utf16(qrDir() + type);
    FUZZ_CHECK(startsWith(resolve(typePath), qrComponents), detail);
    if (check == Check::Accepted)
        FUZZ_CHECK(startsWith(resolve(typePath + u'/' + utf16(name)), qrComponents), detail);
    return 0;
}
