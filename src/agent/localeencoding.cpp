// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/localeencoding.h"

#include "agent/constants.h"

#include <QtGlobal>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif

namespace kvo {

void useUtf8ForLocaleText()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(QTextCodec::codecForName(localeCodec));
#endif
}

const void *localeEncodingKey()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    return QTextCodec::codecForLocale();
#else
    return nullptr;
#endif
}

} // namespace kvo
