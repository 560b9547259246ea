#include "PfSync.h"

#include <windows.h>

namespace pf {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "critical section must fit the lock's storage");

static CRITICAL_SECTION* Cs(unsigned char* p) { return reinterpret_cast<CRITICAL_SECTION*>(p); }

CriticalSection::CriticalSection(uint32_t uiSpinCount) {
    InitializeCriticalSectionAndSpinCount(Cs(m_storage), uiSpinCount);
}
CriticalSection::~CriticalSection() { DeleteCriticalSection(Cs(m_storage)); }
void CriticalSection::Enter() { EnterCriticalSection(Cs(m_storage)); }
void CriticalSection::Leave() { LeaveCriticalSection(Cs(m_storage)); }
bool CriticalSection::TryEnter() { return TryEnterCriticalSection(Cs(m_storage)) != 0; }

// An EventHandle is the kernel HANDLE itself.
EventHandle EventCreate(bool bManualReset, bool bInitialState) {
    return reinterpret_cast<EventHandle>(CreateEventW(nullptr, bManualReset, bInitialState, nullptr));
}
void EventClose(EventHandle h) {
    if (h) CloseHandle(reinterpret_cast<HANDLE>(h));
}
bool EventSet(EventHandle h) { return h && SetEvent(reinterpret_cast<HANDLE>(h)); }
bool EventReset(EventHandle h) { return h && ResetEvent(reinterpret_cast<HANDLE>(h)); }

WaitResult EventWait(EventHandle h, uint32_t uiTimeoutMs) {
    if (!h) return kWaitFailed;
    DWORD r = WaitForSingleObject(reinterpret_cast<HANDLE>(h), uiTimeoutMs);
    if (r == WAIT_OBJECT_0) return kWaitObject0;
    if (r == WAIT_TIMEOUT) return kWaitTimeout;
    return kWaitFailed;
}

SemaphoreHandle SemaphoreCreate(int32_t lInitialCount, int32_t lMaximumCount) {
    return reinterpret_cast<SemaphoreHandle>(CreateSemaphoreW(nullptr, lInitialCount, lMaximumCount, nullptr));
}
void SemaphoreClose(SemaphoreHandle h) {
    if (h) CloseHandle(reinterpret_cast<HANDLE>(h));
}
bool SemaphoreRelease(SemaphoreHandle h, int32_t lCount) {
    return h && ReleaseSemaphore(reinterpret_cast<HANDLE>(h), lCount, nullptr);
}
WaitResult SemaphoreWait(SemaphoreHandle h, uint32_t uiTimeoutMs) {
    WaitHandle w = Waitable(h);
    return WaitForAny(&w, 1, uiTimeoutMs);
}

WaitHandle Waitable(EventHandle h) { return reinterpret_cast<WaitHandle>(h); }
WaitHandle Waitable(SemaphoreHandle h) { return reinterpret_cast<WaitHandle>(h); }

WaitResult WaitForAny(const WaitHandle* phObjects, uint32_t nCount, uint32_t uiTimeoutMs) {
    if (!phObjects || nCount == 0 || nCount > kMaxWaitObjects) return kWaitFailed;
    HANDLE handles[kMaxWaitObjects];
    for (uint32_t i = 0; i < nCount; ++i) {
        if (!phObjects[i]) return kWaitFailed;
        handles[i] = reinterpret_cast<HANDLE>(phObjects[i]);
    }
    DWORD r = WaitForMultipleObjects(nCount, handles, FALSE, uiTimeoutMs);
    if (r < WAIT_OBJECT_0 + nCount) return WaitResult(kWaitObject0 + (r - WAIT_OBJECT_0));
    if (r == WAIT_TIMEOUT) return kWaitTimeout;
    return kWaitFailed;
}

}  // namespace pf
