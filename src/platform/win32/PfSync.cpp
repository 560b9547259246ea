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

}  // namespace pf
