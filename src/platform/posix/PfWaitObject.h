// The waitable object behind POSIX events, semaphores and threads.
//
// Each object has its own mutex and a count (events: 0 or 1). A waiting
// thread hangs one node per object on the objects' waiter lists and sleeps on
// its own condition variable; whoever makes an object signalled hands it to
// the first waiters that are not yet served, consuming the count for them.
// A waiter is served at most once, so a wait on several objects takes exactly
// one of them. Lock order: object, then waiter.
#ifndef VX_PF_WAIT_OBJECT_H
#define VX_PF_WAIT_OBJECT_H

#include <pthread.h>
#include <time.h>

#include <cstdint>

#include "PfSync.h"

namespace pf {

struct WaitNode;

struct WaitObject {
    enum Kind : uint8_t { kAutoReset, kManualReset, kCounting };

    WaitObject(Kind eKind, int32_t lCount, int32_t lMaximum);
    ~WaitObject();
    WaitObject(const WaitObject&) = delete;
    WaitObject& operator=(const WaitObject&) = delete;

    // Events: the state becomes signalled (lAdd ignored). Counting objects:
    // adds lAdd unless that passes the maximum (then false, nothing changes).
    bool Signal(int32_t lAdd);
    void Reset();

    pthread_mutex_t mutex;
    Kind eKind;
    int32_t lCount;
    int32_t lMaximum;
    WaitNode* pHead = nullptr;
    WaitNode* pTail = nullptr;
};

WaitResult WaitObjects(WaitObject* const* ppObjects, uint32_t nCount, uint32_t uiTimeoutMs);

// Absolute CLOCK_MONOTONIC time uiMs from now.
timespec MonotonicDeadline(uint32_t uiMs);

}  // namespace pf

#endif
