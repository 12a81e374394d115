// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/lifecycle.h"

#include "agent/agentlog.h"

#include <simplelog/logmanager.h>

#include <QDebug>

#include <cstdio>
#include <unistd.h>

namespace lifecycle {

void end(int status, const std::function<void()> &lastLines)
{
    simplelog::LogManager::lockForExit();
    lastLines();
    std::fflush(nullptr);
    ::_exit(status);
}

void supportApplicationGone()
{
    end(0, [] {
        qWarning() << "kvo-service-support no running";
        qCWarning(agentLog) << "exit agent.";
    });
}

} // namespace lifecycle
