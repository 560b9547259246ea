// Locks and events with the meaning of Windows critical sections and event
// objects: a lock is re-entrant for its owning thread; an event is manual- or
// auto-reset and can be waited on with a time-out in milliseconds.
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

}  // namespace pf

#endif
