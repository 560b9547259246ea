// Waits for a condition that no event announces (a count another thread
// updates), re-checking it every millisecond, up to a time-out. For tests:
// a broken implementation fails the test instead of hanging it.
#ifndef VX_TEST_POLL_UNTIL_H
#define VX_TEST_POLL_UNTIL_H

#include <cstdint>

#include "PfClock.h"
#include "PfThread.h"

template <class Cond>
bool PollUntil(Cond cond, uint32_t uiTimeoutMs = 10000) {
    uint32_t uiStart = pf::TickCount();
    while (!cond()) {
        if (pf::TickCount() - uiStart > uiTimeoutMs) return cond();
        pf::SleepMs(1);
    }
    return true;
}

#endif
