// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonValue>
#include <QString>

#include <utility>
#include <vector>

class AgentCore;

namespace facts {

// Facts as name and value, in the order they are printed.
using FactList = std::vector<std::pair<QString, QJsonValue>>;

// Every fact kvo-sysinfo prints: the release records of core, then the facts SystemInfo and its
// BlockDeviceCollector give, with the same values and log lines. The commands run side by side as
// processes on this thread's event loop; one that needs another's output starts when that ends.
FactList gatherFacts(const AgentCore &core);

} // namespace facts
