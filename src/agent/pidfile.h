// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

namespace pidfile {

// The pid file is written by an unprivileged program in a world-writable directory: it is read
// without following a symbolic link, without blocking, only as a regular file and only up to a
// few dozen bytes. A file that cannot be read logs a warning and yields empty content.
QByteArray read(const QString &path);

// True when content names a running process: decimal digits only, nothing else (no blank, no
// line break), and procRoot + content + "/stat" shows a task that is neither a zombie, nor
// dead, nor a kernel thread: the processes whose "/exe" link can be followed, told without the
// right to follow it.
bool namesRunningProcess(const QByteArray &content, const QString &procRoot = QStringLiteral("/proc/"));

} // namespace pidfile
