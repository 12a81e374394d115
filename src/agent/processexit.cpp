// SPDX-License-Identifier: GPL-3.0-or-later
#include "processexit.h"

#include <simplelog/logmanager.h>

#include <cstdio>
#include <unistd.h>

void endProcess(int status)
{
    simplelog::LogManager::lockForExit();
    std::fflush(nullptr);
    ::_exit(status);
}
