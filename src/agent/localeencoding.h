// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace kvo {

// File names and local 8-bit text are UTF-8 whatever the locale of the process says (a daemon
// often starts in the C locale). Qt 6 does so on its own; Qt 5 is told here.
void useUtf8ForLocaleText();

// Changes whenever the encoding of QFile::encodeName changes, for caches of encoded names.
const void *localeEncodingKey();

} // namespace kvo
