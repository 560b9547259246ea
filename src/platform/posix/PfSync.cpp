#include "PfSync.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
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

struct EventObject {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool bManual;
    bool bSignalled;
};

// Absolute CLOCK_MONOTONIC deadline for a relative time-out.
static timespec Deadline(uint32_t uiMs) {
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

EventHandle EventCreate(bool bManualReset, bool bInitialState) {
    auto* e = new (std::nothrow) EventObject;
    if (!e) return nullptr;
    pthread_mutex_init(&e->mutex, nullptr);
    pthread_condattr_t a;
    pthread_condattr_init(&a);
    pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
    pthread_cond_init(&e->cond, &a);
    pthread_condattr_destroy(&a);
    e->bManual = bManualReset;
    e->bSignalled = bInitialState;
    return e;
}

void EventClose(EventHandle h) {
    if (!h) return;
    pthread_cond_destroy(&h->cond);
    pthread_mutex_destroy(&h->mutex);
    delete h;
}

bool EventSet(EventHandle h) {
    if (!h) return false;
    pthread_mutex_lock(&h->mutex);
    h->bSignalled = true;
    if (h->bManual)
        pthread_cond_broadcast(&h->cond);
    else
        pthread_cond_signal(&h->cond);
    pthread_mutex_unlock(&h->mutex);
    return true;
}

bool EventReset(EventHandle h) {
    if (!h) return false;
    pthread_mutex_lock(&h->mutex);
    h->bSignalled = false;
    pthread_mutex_unlock(&h->mutex);
    return true;
}

WaitResult EventWait(EventHandle h, uint32_t uiTimeoutMs) {
    if (!h) return kWaitFailed;
    timespec ts = Deadline(uiTimeoutMs == kInfinite ? 0 : uiTimeoutMs);
    pthread_mutex_lock(&h->mutex);
    int rc = 0;
    while (!h->bSignalled && rc != ETIMEDOUT) {
        if (uiTimeoutMs == kInfinite)
            pthread_cond_wait(&h->cond, &h->mutex);
        else
            rc = pthread_cond_timedwait(&h->cond, &h->mutex, &ts);
    }
    bool bGot = h->bSignalled;
    if (bGot && !h->bManual) h->bSignalled = false;
    pthread_mutex_unlock(&h->mutex);
    return bGot ? kWaitObject0 : kWaitTimeout;
}

}  // namespace pf
