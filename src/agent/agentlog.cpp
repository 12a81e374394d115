// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/agentlog.h"

#include "agent/constants.h"

Q_LOGGING_CATEGORY(agentLog, kvo::logCategoryName)
