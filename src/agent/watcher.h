// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "agent/pidfile.h"

#include <QThread>

#include <functional>

// Watches the support application: every 500 ms it reads the pid file, and once the process
// named there is gone it calls gone, on this thread. The caller decides what that means; the
// check does not wait for, or depend on, any other thread's event loop.
class watcher : public QThread
{
    Q_OBJECT
public:
    explicit watcher(std::function<void()> gone, QObject *parent = nullptr);
    // Stops the watching and joins the thread.
    ~watcher() override;

protected:
    void run() override;

private:
    std::function<void()> m_gone;
};
