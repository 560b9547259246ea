#include "PfWaitObject.h"

#include <cerrno>
#include <climits>

namespace pf {

// One per thread: a thread waits for one set of objects at a time.
struct Waiter {
    Waiter() {
        pthread_mutex_init(&mutex, nullptr);
        pthread_condattr_t a;
        pthread_condattr_init(&a);
        pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &a);
        pthread_condattr_destroy(&a);
    }
    ~Waiter() {
        pthread_cond_destroy(&cond);
        pthread_mutex_destroy(&mutex);
    }
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    // Index of the object that served this wait, kNone while waiting,
    // kTimedOut once the waiter gave up (nothing may serve it after that).
    int iServed = kNone;
    static constexpr int kNone = -1;
    static constexpr int kTimedOut = INT_MAX;
};

struct WaitNode {
    Waiter* lpWaiter;
    int iIndex;
    WaitNode* pPrev;
    WaitNode* pNext;
    bool bLinked;
};

static thread_local Waiter t_waiter;

timespec MonotonicDeadline(uint32_t uiMs) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += uiMs / 1000;
    ts.tv_nsec += long(uiMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

WaitObject::WaitObject(Kind kind, int32_t count, int32_t maximum)
    : eKind(kind), lCount(count), lMaximum(maximum) {
    pthread_mutex_init(&mutex, nullptr);
}

WaitObject::~WaitObject() { pthread_mutex_destroy(&mutex); }

// Both below run under the object's mutex.
static bool TryTake(WaitObject* o) {
    if (o->lCount <= 0) return false;
    if (o->eKind != WaitObject::kManualReset) --o->lCount;
    return true;
}

static void Unlink(WaitObject* o, WaitNode* n) {
    if (n->pPrev) n->pPrev->pNext = n->pNext;
    else o->pHead = n->pNext;
    if (n->pNext) n->pNext->pPrev = n->pPrev;
    else o->pTail = n->pPrev;
    n->bLinked = false;
}

// Serves waiters in arrival order while the object stays signalled.
static void ServeWaiters(WaitObject* o) {
    WaitNode* n = o->pHead;
    while (n && o->lCount > 0) {
        WaitNode* next = n->pNext;
        Waiter* w = n->lpWaiter;
        pthread_mutex_lock(&w->mutex);
        if (w->iServed == Waiter::kNone) {
            TryTake(o);
            w->iServed = n->iIndex;
            Unlink(o, n);
            pthread_cond_signal(&w->cond);
        }
        // A waiter served by another object or timed out unlinks itself.
        pthread_mutex_unlock(&w->mutex);
        n = next;
    }
}

bool WaitObject::Signal(int32_t lAdd) {
    pthread_mutex_lock(&mutex);
    bool bOk = true;
    if (eKind == kCounting) {
        if (lAdd < 1 || lCount > lMaximum - lAdd) bOk = false;
        else lCount += lAdd;
    } else {
        lCount = 1;
    }
    if (bOk) ServeWaiters(this);
    pthread_mutex_unlock(&mutex);
    return bOk;
}

void WaitObject::Reset() {
    pthread_mutex_lock(&mutex);
    lCount = 0;
    pthread_mutex_unlock(&mutex);
}

WaitResult WaitObjects(WaitObject* const* ppObjects, uint32_t nCount, uint32_t uiTimeoutMs) {
    if (!ppObjects || nCount == 0 || nCount > kMaxWaitObjects) return kWaitFailed;
    for (uint32_t i = 0; i < nCount; ++i)
        if (!ppObjects[i]) return kWaitFailed;

    // Fast path: something is signalled already.
    for (uint32_t i = 0; i < nCount; ++i) {
        WaitObject* o = ppObjects[i];
        pthread_mutex_lock(&o->mutex);
        bool bTaken = TryTake(o);
        pthread_mutex_unlock(&o->mutex);
        if (bTaken) return WaitResult(kWaitObject0 + i);
    }
    if (uiTimeoutMs == 0) return kWaitTimeout;

    Waiter* w = &t_waiter;
    pthread_mutex_lock(&w->mutex);
    w->iServed = Waiter::kNone;
    pthread_mutex_unlock(&w->mutex);

    // Register on each object, re-checking it under its lock so that a signal
    // between the fast path and here is not missed.
    WaitNode nodes[kMaxWaitObjects];
    uint32_t nRegistered = 0;
    for (uint32_t i = 0; i < nCount; ++i) {
        WaitObject* o = ppObjects[i];
        WaitNode* n = &nodes[i];
        pthread_mutex_lock(&o->mutex);
        pthread_mutex_lock(&w->mutex);
        bool bDone = w->iServed != Waiter::kNone;
        if (!bDone && TryTake(o)) {
            w->iServed = int(i);
            bDone = true;
        }
        if (!bDone) {
            *n = WaitNode{w, int(i), o->pTail, nullptr, true};
            if (o->pTail) o->pTail->pNext = n;
            else o->pHead = n;
            o->pTail = n;
            nRegistered = i + 1;
        }
        pthread_mutex_unlock(&w->mutex);
        pthread_mutex_unlock(&o->mutex);
        if (bDone) break;
    }

    timespec deadline = MonotonicDeadline(uiTimeoutMs == kInfinite ? 0 : uiTimeoutMs);
    pthread_mutex_lock(&w->mutex);
    while (w->iServed == Waiter::kNone) {
        if (uiTimeoutMs == kInfinite) {
            pthread_cond_wait(&w->cond, &w->mutex);
        } else if (pthread_cond_timedwait(&w->cond, &w->mutex, &deadline) == ETIMEDOUT &&
                   w->iServed == Waiter::kNone) {
            w->iServed = Waiter::kTimedOut;
        }
    }
    int iServed = w->iServed;
    pthread_mutex_unlock(&w->mutex);

    for (uint32_t i = 0; i < nRegistered; ++i) {
        WaitObject* o = ppObjects[i];
        pthread_mutex_lock(&o->mutex);
        if (nodes[i].bLinked) Unlink(o, &nodes[i]);
        pthread_mutex_unlock(&o->mutex);
    }
    return iServed == Waiter::kTimedOut ? kWaitTimeout : WaitResult(kWaitObject0 + uint32_t(iServed));
}

}  // namespace pf
