// Waits for a condition that no event announces (a count another thread
// updates, bytes left in a kernel queue), re-checking it every millisecond
// up to a time-out: a broken implementation fails the test instead of
// hanging it.
#ifndef VX_TEST_POLL_UNTIL_H
#define VX_TEST_POLL_UNTIL_H

#include <chrono>
#include <thread>

template <class Cond>
bool PollUntil(Cond cond, int nTimeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

namespace vxtest {
using ::PollUntil;
}

#endif
