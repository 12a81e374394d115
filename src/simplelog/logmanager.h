// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QtGlobal>

namespace simplelog {

// Routes every Qt log message to the system journal and/or a log file. Configure once at
// start-up; the first register*() call installs the Qt message handler.
class LogManager
{
public:
    static void setLogFormat(const QString &format);
    static void setlogFilePath(const QString &path);
    static void registerCategoryJournalAppender(const QString &category);
    static void registerJournalAppender();
    static void registerCategoryFileAppender(const QString &category);
    static void registerFileAppender();

    static void setFileRotation(qint64 maxBytes, int keep);

    // Blocks every other thread's log output for good; see logmanager.cpp.
    static void lockForExit();

    LogManager() = delete;
};

} // namespace simplelog
