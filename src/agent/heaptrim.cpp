// SPDX-License-Identifier: GPL-3.0-or-later
#include "agent/heaptrim.h"

#include <malloc.h>

// A payload this large leaves heap behind that the C library keeps until asked to trim.
static constexpr int largePayload = 1 << 20;
// Long enough that a burst of large calls reuses the pages instead of faulting them in anew.
static constexpr int trimDelayMs = 250;

void HeapTrim::useOneHeap()
{
    ::mallopt(M_ARENA_MAX, 1);
}

HeapTrim::HeapTrim()
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(trimDelayMs);
    QObject::connect(&m_timer, &QTimer::timeout, [] { ::malloc_trim(0); });
}

void HeapTrim::afterPayload(qint64 bytes)
{
    if (bytes >= largePayload)
        m_timer.start();
}
