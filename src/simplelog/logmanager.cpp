// SPDX-License-Identifier: GPL-3.0-or-later
#include "simplelog/logmanager.h"

#include "simplelog/fileappender.h"
#include "simplelog/journalappender.h"
#include "simplelog/lineformatter.h"

#include <QByteArray>
#include <QVector>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace simplelog {

namespace {

struct Output
{
    bool all = false;
    QVector<QByteArray> categories;

    bool accepts(const char *category) const
    {
        if (all)
            return true;
        if (!category)
            return false;
        for (const QByteArray &c : categories) {
            if (std::strcmp(c.constData(), category) == 0)
                return true;
        }
        return false;
    }
};

struct State
{
    std::mutex mutex;
    bool handlerInstalled = false;
    LineFormatter formatter{QStringLiteral("%{time} [%{type:-7}] %{category}: %{message}\n")};
    JournalAppender journalAppender;
    std::unique_ptr<FileAppender> fileAppender;
    qint64 maxBytes = FileAppender::DefaultMaxBytes;
    int keep = FileAppender::DefaultKeep;
    Output journal;
    Output file;
};

// Never destroyed: messages may still arrive while static objects are torn down at exit.
State &state()
{
    static State *s = new State;
    return *s;
}

thread_local bool t_inHandler = false;
// Set on the thread that took the lock for good in lockForExit(); it writes without taking it again.
thread_local bool t_holdsForExit = false;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // A message raised while this thread is already in here would deadlock or recurse; drop it.
    if (!t_inHandler) {
        t_inHandler = true;
        State &s = state();
        {
            std::unique_lock<std::mutex> lock(s.mutex, std::defer_lock);
            if (!t_holdsForExit)
                lock.lock();
            const bool toJournal = s.journal.accepts(context.category);
            FileAppender *file = s.file.accepts(context.category) ? s.fileAppender.get() : nullptr;
            if (toJournal || file) {
                const QByteArray line = s.formatter.format(type, context, message).toUtf8();
                if (toJournal)
                    s.journalAppender.write(type, context, line);
                if (file)
                    file->write(line);
            }
        }
        t_inHandler = false;
    }
    if (type == QtFatalMsg)
        std::abort();
}

void registerOutput(Output &output, bool all, const QString &category = QString())
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (all) {
        output.all = true;
    } else {
        const QByteArray name = category.toUtf8();
        if (!output.categories.contains(name))
            output.categories.append(name);
    }
    if (!s.handlerInstalled) {
        s.handlerInstalled = true;
        qInstallMessageHandler(messageHandler);
    }
}

} // namespace

void LogManager::setLogFormat(const QString &format)
{
    LineFormatter formatter(format);
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.formatter = std::move(formatter);
}

void LogManager::setlogFilePath(const QString &path)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.fileAppender = std::make_unique<FileAppender>(path, s.maxBytes, s.keep);
}

void LogManager::registerCategoryJournalAppender(const QString &category)
{
    registerOutput(state().journal, false, category);
}

void LogManager::registerJournalAppender()
{
    registerOutput(state().journal, true);
}

void LogManager::registerCategoryFileAppender(const QString &category)
{
    registerOutput(state().file, false, category);
}

void LogManager::registerFileAppender()
{
    registerOutput(state().file, true);
}

void LogManager::setFileRotation(qint64 maxBytes, int keep)
{
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.maxBytes = maxBytes;
    s.keep = keep;
    if (s.fileAppender)
        s.fileAppender->setRotation(maxBytes, keep);
}

// The exit path calls this before its closing lines and _exit(). Holding the dispatch lock for
// good keeps other threads from appending lines after that point (they block in the handler
// instead), so the log ends with what the exiting thread wrote. The calling thread itself still
// logs until it exits: the handler knows it holds the lock and does not take it again.
void LogManager::lockForExit()
{
    if (t_holdsForExit)
        return;
    state().mutex.lock();
    t_holdsForExit = true;
}

} // namespace simplelog
