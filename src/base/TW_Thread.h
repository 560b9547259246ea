// One thread whose body polls a stop flag, with start and stop hooks.
//
// Stop() asks the body to stop and waits for it. It never returns while the
// thread still runs: the body uses this object, so returning (and letting the
// owner free it) early would leave the thread on freed memory. A thread that
// is still running after 2000 ms is reported and waited for. A body that
// calls Stop() on its own object is not waited for (it cannot wait for
// itself); it must not touch the object once Stop() has returned.
#ifndef TW_THREAD_H
#define TW_THREAD_H

#include <atomic>
#include <cstdint>

#include "PfThread.h"

class TW_Thread {
public:
    TW_Thread() = default;
    // Derived classes stop their thread in their own destructor (the body is
    // theirs); this one only makes sure no thread outlives the object.
    virtual ~TW_Thread();
    TW_Thread(const TW_Thread&) = delete;
    TW_Thread& operator=(const TW_Thread&) = delete;

    // False when a thread runs already, OnStart refuses, or the thread cannot
    // be created; the object is then stopped.
    virtual bool Start();
    // Derived classes wake their body first, then call this.
    virtual void Stop();
    // 1 when the thread has ended, 0 on time-out, -1 without a thread.
    virtual int Wait(uint32_t uiTimeoutMs);
    virtual void RequestStop();

    uint32_t GetThreadId() const { return m_uiThreadId; }
    bool IsStopRequested() const { return m_bStop.load(std::memory_order_relaxed); }

protected:
    // The body: returns when IsStopRequested() becomes true.
    virtual uint32_t Run() = 0;
    virtual bool OnStart() { return true; }
    // After the thread has ended.
    virtual void OnStop() {}

private:
    static uint32_t ThreadEntry(void* lpThis);
    void StopThread();

    uint32_t m_uiThreadId = 0;
    pf::ThreadHandle m_hThread = nullptr;
    std::atomic<bool> m_bStop{true};
};

#endif
