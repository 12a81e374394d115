// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QTimer>
#include <QtGlobal>

// Calls carry up to 32 MiB, and the C library keeps the freed blocks of such calls in a thread's
// own heap for good, where no trim reaches them. One heap for all threads (useOneHeap, before
// any other thread starts) keeps them for reuse, and a HeapTrim gives them back to the system
// once large calls have stopped coming.
class HeapTrim
{
public:
    static void useOneHeap();

    HeapTrim();
    HeapTrim(const HeapTrim &) = delete;
    HeapTrim &operator=(const HeapTrim &) = delete;

    // Called after a call that carried bytes of payload. Long texts count as well: they are
    // decoded into copies twice their size.
    void afterPayload(qint64 bytes);

private:
    QTimer m_timer;
};
