// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/watcher.h"

#include "agent/constants.h"
#include "agent/pidfile.h"

#include <simplelog/logmanager.h>

#include <QDebug>

watcher::watcher(QObject *parent)
    : QThread(parent)
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
    // The log is this thread's from here on, so that no line of a call the main thread is
    // serving comes between this line and the exit handler's, or after them.
    simplelog::LogManager::lockForExit();
    qWarning() << "kvo-service-support no running";
    emit exitAgent();
}
