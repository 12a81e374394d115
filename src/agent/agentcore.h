// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The agent's core object: created by start-up before the bus object and handed to it.
// It owns the machine's release records once they are loaded at construction.
class AgentCore
{
public:
    AgentCore();
    AgentCore(const AgentCore &) = delete;
    AgentCore &operator=(const AgentCore &) = delete;
};
