// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

namespace simplelog {

// Writes all of data to fd, resuming after short writes and signals. On false, errno says why.
bool writeAll(int fd, const char *data, qint64 size);

} // namespace simplelog
