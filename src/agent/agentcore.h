// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "agent/sysinfo/versioninfo.h"

// The agent's core object: start-up creates it before the bus object and keeps it for the
// process's life. It loads the machine's release records once, the operating-system record first.
class AgentCore
{
public:
    AgentCore();
    AgentCore(const AgentCore &) = delete;
    AgentCore &operator=(const AgentCore &) = delete;

    const OsVersionInfo &osVersion() const { return m_osVersion; }
    const OemVersionInfo &oemVersion() const { return m_oemVersion; }

private:
    OsVersionInfo m_osVersion;
    OemVersionInfo m_oemVersion;
};
