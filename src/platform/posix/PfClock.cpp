#include "PfClock.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <mutex>
#include <new>
#include <unordered_map>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "PfWaitObject.h"

namespace pf {

// The same limits as the Windows multimedia timer's device caps.
static constexpr uint32_t kMinPeriod = 1;
static constexpr uint32_t kMaxPeriod = 1000000;

uint32_t TickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

uint64_t CpuTimestamp() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
#endif
}

uint32_t TimerResolutionBegin(uint32_t uiDesiredMs) {
    // The kernel's timers are already fine-grained: nothing to raise.
    return uiDesiredMs < kMinPeriod ? kMinPeriod : (uiDesiredMs > kMaxPeriod ? kMaxPeriod : uiDesiredMs);
}

void TimerResolutionEnd(uint32_t) {}

namespace {

struct PeriodicTimer {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    pthread_t thread;
    uint32_t uiId;
    uint32_t uiDelay;
    TimerCallback fnCallback;
    void* lpUser;
    bool bPeriodic;
    bool bKilled = false;
    bool bKilledByCallback = false;  // the timer thread frees the record
};

std::mutex g_mtxTimers;
std::unordered_map<uint32_t, PeriodicTimer*> g_mapTimers;
uint32_t g_uiNextTimerId = 1;

thread_local PeriodicTimer* t_lpRunningTimer = nullptr;

void FreeTimer(PeriodicTimer* t) {
    pthread_cond_destroy(&t->cond);
    pthread_mutex_destroy(&t->mutex);
    delete t;
}

void AddMs(timespec& ts, uint32_t uiMs) {
    ts.tv_sec += uiMs / 1000;
    ts.tv_nsec += long(uiMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
}

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Sleeps to absolute deadlines, so the period does not drift with the time
// the callback takes.
void* TimerThread(void* p) {
    PeriodicTimer* t = static_cast<PeriodicTimer*>(p);
    t_lpRunningTimer = t;
    timespec deadline = MonotonicDeadline(t->uiDelay);
    pthread_mutex_lock(&t->mutex);
    while (!t->bKilled) {
        int rc = pthread_cond_timedwait(&t->cond, &t->mutex, &deadline);
        if (t->bKilled) break;
        if (rc != ETIMEDOUT) continue;
        pthread_mutex_unlock(&t->mutex);
        t->fnCallback(t->uiId, t->lpUser);
        pthread_mutex_lock(&t->mutex);
        if (!t->bPeriodic) break;
        AddMs(deadline, t->uiDelay);
        timespec now = MonotonicDeadline(0);
        if (Before(deadline, now)) deadline = now;  // fell behind: no burst
    }
    bool bFree = t->bKilledByCallback;
    pthread_mutex_unlock(&t->mutex);
    if (bFree) FreeTimer(t);
    return nullptr;
}

}  // namespace

uint32_t TimerStart(uint32_t uiDelayMs, uint32_t, TimerCallback fnCallback, void* lpUser, bool bPeriodic) {
    if (!fnCallback || uiDelayMs < kMinPeriod || uiDelayMs > kMaxPeriod) return 0;
    PeriodicTimer* t = new (std::nothrow) PeriodicTimer;
    if (!t) return 0;
    pthread_mutex_init(&t->mutex, nullptr);
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    pthread_cond_init(&t->cond, &a);
    pthread_condattr_destroy(&a);
    t->uiDelay = uiDelayMs;
    t->fnCallback = fnCallback;
    t->lpUser = lpUser;
    t->bPeriodic = bPeriodic;

    std::lock_guard<std::mutex> g(g_mtxTimers);
    while (g_uiNextTimerId == 0 || g_mapTimers.count(g_uiNextTimerId)) ++g_uiNextTimerId;
    t->uiId = g_uiNextTimerId++;
    // Created under the registry lock: TimerKill of this id waits for it.
    if (pthread_create(&t->thread, nullptr, TimerThread, t) != 0) {
        FreeTimer(t);
        return 0;
    }
    g_mapTimers[t->uiId] = t;
    return t->uiId;
}

bool TimerKill(uint32_t uiTimerId) {
    PeriodicTimer* t = nullptr;
    {
        std::lock_guard<std::mutex> g(g_mtxTimers);
        auto it = g_mapTimers.find(uiTimerId);
        if (it == g_mapTimers.end()) return false;
        t = it->second;
        g_mapTimers.erase(it);
    }
    bool bSelf = t == t_lpRunningTimer;
    pthread_mutex_lock(&t->mutex);
    t->bKilled = true;
    t->bKilledByCallback = bSelf;
    pthread_cond_signal(&t->cond);
    pthread_mutex_unlock(&t->mutex);
    if (bSelf) {
        // Called from the callback: the thread ends when the callback returns.
        pthread_detach(t->thread);
    } else {
        pthread_join(t->thread, nullptr);
        FreeTimer(t);
    }
    return true;
}

}  // namespace pf
