// Locks, events and semaphores with the meaning of Windows critical sections
// and kernel objects: a lock is re-entrant for its owning thread; an event is
// manual- or auto-reset; a semaphore counts up to a maximum. Events,
// semaphores and threads (PfThread.h) can be waited on alone or several at a
// time, with a time-out in milliseconds.
#ifndef VX_PF_SYNC_H
#define VX_PF_SYNC_H

#include <cstddef>
#include <cstdint>

namespace pf {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class CriticalSection {
public:
    explicit CriticalSection(uint32_t uiSpinCount = 4000);
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter();
    void Leave();
    bool TryEnter();

private:
    // Room for the OS object; each backend checks that its object fits.
    alignas(16) unsigned char m_storage[64];
};

// Kernel-style event object. Handles are owned by whoever created them.
struct EventObject;
typedef EventObject* EventHandle;

EventHandle EventCreate(bool bManualReset, bool bInitialState);
void EventClose(EventHandle h);
bool EventSet(EventHandle h);
bool EventReset(EventHandle h);

enum WaitResult : uint32_t {
    kWaitObject0 = 0,          // the object (or, for several, kWaitObject0 + index) was signalled
    kWaitTimeout = 0x102,
    kWaitFailed = 0xFFFFFFFFu
};
WaitResult EventWait(EventHandle h, uint32_t uiTimeoutMs);

struct SemaphoreObject;
typedef SemaphoreObject* SemaphoreHandle;

// Null when the counts are out of range (initial 0..maximum, maximum >= 1).
SemaphoreHandle SemaphoreCreate(int32_t lInitialCount, int32_t lMaximumCount);
void SemaphoreClose(SemaphoreHandle h);
// Adds lCount (>= 1) to the count. Fails and changes nothing when the count
// would pass the maximum.
bool SemaphoreRelease(SemaphoreHandle h, int32_t lCount);
// Takes one unit of the count.
WaitResult SemaphoreWait(SemaphoreHandle h, uint32_t uiTimeoutMs);

// Any object a thread can wait on. Waitable() of a null handle is null.
struct WaitObject;
typedef WaitObject* WaitHandle;
WaitHandle Waitable(EventHandle h);
WaitHandle Waitable(SemaphoreHandle h);

constexpr uint32_t kMaxWaitObjects = 64;

// Waits until one of 1..kMaxWaitObjects objects is signalled and takes it (an
// auto-reset event is reset, a semaphore's count drops by one; nothing else
// is touched). Returns kWaitObject0 + the index of the lowest signalled
// object, kWaitTimeout, or kWaitFailed for a bad argument.
WaitResult WaitForAny(const WaitHandle* phObjects, uint32_t nCount, uint32_t uiTimeoutMs);

}  // namespace pf

#endif
