#include "PfThread.h"

#include <cstdio>

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "PfWaitObject.h"

namespace pf {

// Shared by every handle and by the running thread; the last one frees it.
// The pthread is detached: "ended" is what waiters see.
struct ThreadObject {
    ThreadObject(ThreadEntry fn, void* arg)
        : ended(WaitObject::kManualReset, 0, 1),
          started(WaitObject::kManualReset, 0, 1),
          resumed(WaitObject::kManualReset, 0, 1),
          fnEntry(fn),
          lpArg(arg) {}

    WaitObject ended;
    WaitObject started;   // the id is known
    WaitObject resumed;   // the entry may run
    std::atomic<int> nRefs{2};
    std::atomic<uint32_t> uiExitCode{0};
    uint32_t uiId = 0;
    ThreadEntry fnEntry;
    void* lpArg;
};

static void Release(ThreadObject* t) {
    if (t->nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete t;
}

static thread_local uint32_t t_uiThreadId = 0;

uint32_t CurrentThreadId() {
    if (!t_uiThreadId) t_uiThreadId = uint32_t(syscall(SYS_gettid));
    return t_uiThreadId;
}

uintptr_t CurrentThreadToken() { return uintptr_t(pthread_self()); }

static void Wait1(WaitObject* o) {
    WaitObjects(&o, 1, kInfinite);
}

static void* Trampoline(void* p) {
    ThreadObject* t = static_cast<ThreadObject*>(p);
    t->uiId = CurrentThreadId();
    t->started.Signal(1);
    Wait1(&t->resumed);
    t->uiExitCode.store(t->fnEntry(t->lpArg), std::memory_order_relaxed);
    t->ended.Signal(1);
    Release(t);
    return nullptr;
}

ThreadHandle ThreadCreateSuspended(ThreadEntry fnEntry, void* lpArg, uint32_t* puiThreadId) {
    if (!fnEntry) return nullptr;
    ThreadObject* t = new (std::nothrow) ThreadObject(fnEntry, lpArg);
    if (!t) return nullptr;
    pthread_attr_t a;
    pthread_attr_init(&a);
    pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
    pthread_t th;
    int rc = pthread_create(&th, &a, Trampoline, t);
    pthread_attr_destroy(&a);
    if (rc != 0) {
        delete t;
        return nullptr;
    }
    // The kernel assigns the id once the thread runs: wait for it, so the id
    // is known before the thread is resumed, as on Windows.
    Wait1(&t->started);
    if (puiThreadId) *puiThreadId = t->uiId;
    return t;
}

bool ThreadResume(ThreadHandle h) { return h && h->resumed.Signal(1); }

ThreadHandle ThreadDuplicate(ThreadHandle h) {
    if (!h) return nullptr;
    h->nRefs.fetch_add(1, std::memory_order_relaxed);
    return h;
}

void ThreadClose(ThreadHandle h) {
    if (h) Release(h);
}

WaitResult ThreadWait(ThreadHandle h, uint32_t uiTimeoutMs) {
    if (!h) return kWaitFailed;
    WaitObject* o = &h->ended;
    return WaitObjects(&o, 1, uiTimeoutMs);
}

WaitHandle Waitable(ThreadHandle h) { return h ? &h->ended : nullptr; }

bool ThreadExitCode(ThreadHandle h, uint32_t* puiExitCode) {
    if (!h || !puiExitCode || ThreadWait(h, 0) != kWaitObject0) return false;
    *puiExitCode = h->uiExitCode.load(std::memory_order_relaxed);
    return true;
}

uint32_t ThreadGetId(ThreadHandle h) { return h ? h->uiId : 0; }

bool ThreadCanTerminate() { return false; }
bool ThreadTerminate(ThreadHandle, uint32_t) { return false; }

void ThreadInitRuntime() {}
void ThreadExitRuntime() {}

void SleepMs(uint32_t uiMs) {
    timespec ts{time_t(uiMs / 1000), long(uiMs % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void YieldThread() { sched_yield(); }

void SetCurrentThreadName(const char* lpszName) {
    char szName[16];
    std::snprintf(szName, sizeof szName, "%s", lpszName ? lpszName : "");
    pthread_setname_np(pthread_self(), szName);
}

}  // namespace pf
