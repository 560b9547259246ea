// The library's one mutual-exclusion primitive (re-entrant, like a critical
// section), the stack guard that takes it, and the event wrapper.
#ifndef TW_LOCKER_H
#define TW_LOCKER_H

#include <atomic>
#include <cstdint>

#include "PfSync.h"
#include "PfThread.h"
#include "TW_Assert.h"

class TW_Locker {
public:
    TW_Locker() : m_cs(4000) {}
    virtual ~TW_Locker() = default;
    TW_Locker(const TW_Locker&) = delete;
    TW_Locker& operator=(const TW_Locker&) = delete;

    void Lock() {
        m_cs.Enter();
        if (m_nDepth++ == 0) m_uiOwner.store(pf::CurrentThreadToken(), std::memory_order_relaxed);
    }
    void Unlock() {
        if (--m_nDepth == 0) m_uiOwner.store(0, std::memory_order_relaxed);
        m_cs.Leave();
    }
    // For assertions in functions that must run under this lock.
    bool IsHeldByCurrentThread() const {
        return m_uiOwner.load(std::memory_order_relaxed) == pf::CurrentThreadToken();
    }

private:
    pf::CriticalSection m_cs;
    int m_nDepth = 0;                     // re-entries of the owner
    std::atomic<uintptr_t> m_uiOwner{0};  // the owner's thread token, 0 when free
};

// Guards a function that requires the caller to hold lck.
#define TW_ASSERT_LOCKED(lck) TW_ASSERT((lck).IsHeldByCurrentThread())

// Locks in its constructor, unlocks in its destructor; Unlock() leaves the
// region early (before calling out) and makes the destructor do nothing.
class TW_LockGuard {
public:
    explicit TW_LockGuard(TW_Locker* lck) : m_lck(lck) {
        TW_ASSERT(lck);
        m_lck->Lock();
    }
    ~TW_LockGuard() {
        if (m_lck) m_lck->Unlock();
    }
    void Unlock() {
        if (m_lck) m_lck->Unlock();
        m_lck = nullptr;
    }
    TW_LockGuard(const TW_LockGuard&) = delete;
    TW_LockGuard& operator=(const TW_LockGuard&) = delete;

private:
    TW_Locker* m_lck;
};

class TW_WaitObject {
public:
    virtual ~TW_WaitObject() = default;
    virtual void Close() = 0;
    // True exactly when the object was signalled within the time-out.
    virtual bool Wait(uint32_t uiTimeoutMs) {
        return m_hHandle && pf::EventWait(m_hHandle, uiTimeoutMs) == pf::kWaitObject0;
    }

protected:
    pf::EventHandle m_hHandle = nullptr;
};

class TW_Event : public TW_WaitObject {
public:
    TW_Event(bool bInitialState, bool bManualReset) {
        m_hHandle = pf::EventCreate(bManualReset, bInitialState);
    }
    // Forgets the handle without closing it: the owner calls Close() first.
    ~TW_Event() override = default;

    void Set() {
        if (m_hHandle) pf::EventSet(m_hHandle);
    }
    void Close() override {
        pf::EventClose(m_hHandle);
        m_hHandle = nullptr;
    }
    pf::EventHandle GetHandle() const { return m_hHandle; }
};

#endif
