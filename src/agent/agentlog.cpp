// SPDX-License-Identifier: GPL-3.0-or-later
#include "agentlog.h"

Q_LOGGING_CATEGORY(agentLog, "org.corvid.kvo-service-support.agent")
