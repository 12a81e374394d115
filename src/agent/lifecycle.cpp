// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/lifecycle.h"

#include "agent/agentlog.h"

#include <simplelog/logmanager.h>

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

void exitHandler()
{
    end(0, [] { qCWarning(agentLog) << "exit agent."; });
}

} // namespace lifecycle
