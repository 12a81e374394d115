// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QThread>

// Watches the support application: every 500 ms it reads the pid file, and once the process
// named there is gone it says so and emits exitAgent, on this thread. The check does not wait
// for, or depend on, any other thread's event loop.
class watcher : public QThread
{
    Q_OBJECT
public:
    explicit watcher(QObject *parent);
    // Stops the watching and joins the thread.
    ~watcher() override;

Q_SIGNALS:
    void exitAgent();

protected:
    void run() override;
};
