// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/watcher.h"

#include "agent/constants.h"

#include <utility>

watcher::watcher(std::function<void()> gone, QObject *parent)
    : QThread(parent)
    , m_gone(std::move(gone))
{
}

watcher::~watcher()
{
    requestInterruption();
    wait();
}

void watcher::run()
{
    const QString path = kvo::pidFilePath();
    for (;;) {
        QThread::msleep(500);
        if (isInterruptionRequested())
            return;
        if (!pidfile::namesRunningProcess(pidfile::read(path)))
            break;
    }
    m_gone();
}
