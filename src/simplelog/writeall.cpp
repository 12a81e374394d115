// SPDX-License-Identifier: GPL-3.0-or-later
#include "simplelog/writeall.h"

#include <cerrno>
#include <unistd.h>

namespace simplelog {

bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

} // namespace simplelog
