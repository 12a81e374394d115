// SPDX-License-Identifier: GPL-3.0-or-later
#include "agentlog.h"

#include "constants.h"

Q_LOGGING_CATEGORY(agentLog, kvo::logCategoryName)
