// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/agentcore.h"

AgentCore::AgentCore()
{
    m_osVersion.reload();
    m_oemVersion.reload();
}
