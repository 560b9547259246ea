#include "PfSync.h"

#include "PfWaitObject.h"

#include <pthread.h>
#include <new>

namespace pf {

static_assert(sizeof(pthread_mutex_t) <= 64, "mutex must fit the lock's storage");

static pthread_mutex_t* Mutex(unsigned char* p) { return reinterpret_cast<pthread_mutex_t*>(p); }

CriticalSection::CriticalSection(uint32_t) {
    // Recursive, like a critical section; the spin count has no POSIX meaning.
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(Mutex(m_storage), &a);
    pthread_mutexattr_destroy(&a);
}

CriticalSection::~CriticalSection() { pthread_mutex_destroy(Mutex(m_storage)); }
void CriticalSection::Enter() { pthread_mutex_lock(Mutex(m_storage)); }
void CriticalSection::Leave() { pthread_mutex_unlock(Mutex(m_storage)); }
bool CriticalSection::TryEnter() { return pthread_mutex_trylock(Mutex(m_storage)) == 0; }

// Events and semaphores are the shared waitable object (PfWaitObject.h).
struct EventObject : WaitObject {
    using WaitObject::WaitObject;
};
struct SemaphoreObject : WaitObject {
    using WaitObject::WaitObject;
};

EventHandle EventCreate(bool bManualReset, bool bInitialState) {
    return new (std::nothrow) EventObject(bManualReset ? WaitObject::kManualReset : WaitObject::kAutoReset,
                                          bInitialState ? 1 : 0, 1);
}

void EventClose(EventHandle h) { delete h; }

bool EventSet(EventHandle h) { return h && h->Signal(1); }

bool EventReset(EventHandle h) {
    if (!h) return false;
    h->Reset();
    return true;
}

WaitResult EventWait(EventHandle h, uint32_t uiTimeoutMs) {
    WaitObject* o = h;
    return WaitObjects(&o, 1, uiTimeoutMs);
}

SemaphoreHandle SemaphoreCreate(int32_t lInitialCount, int32_t lMaximumCount) {
    if (lMaximumCount < 1 || lInitialCount < 0 || lInitialCount > lMaximumCount) return nullptr;
    return new (std::nothrow) SemaphoreObject(WaitObject::kCounting, lInitialCount, lMaximumCount);
}

void SemaphoreClose(SemaphoreHandle h) { delete h; }

bool SemaphoreRelease(SemaphoreHandle h, int32_t lCount) { return h && h->Signal(lCount); }

WaitResult SemaphoreWait(SemaphoreHandle h, uint32_t uiTimeoutMs) {
    WaitObject* o = h;
    return WaitObjects(&o, 1, uiTimeoutMs);
}

WaitHandle Waitable(EventHandle h) { return h; }
WaitHandle Waitable(SemaphoreHandle h) { return h; }

WaitResult WaitForAny(const WaitHandle* phObjects, uint32_t nCount, uint32_t uiTimeoutMs) {
    return WaitObjects(phObjects, nCount, uiTimeoutMs);
}

}  // namespace pf
