// Any number of logical timers, named by 32-bit ids, driven by one periodic
// millisecond timer through a timing wheel (TW_TimerWheel). Expiries are not
// delivered on the timer thread: each becomes a WM_TIMER message in a queue,
// and a pool of message threads (thread type 0) calls the sink, without any
// lock of the timer held, so a sink may add and kill timers. With several
// message threads, expiries may run concurrently and out of order.
#ifndef TW_MULTIPLETIMER_H
#define TW_MULTIPLETIMER_H

#include <atomic>
#include <cstdint>
#include <ctime>

#include "TW_Locker.h"
#include "TW_MMTimer.h"
#include "TW_MsgQueue.h"
#include "TW_MultiThread.h"
#include "TW_TimerWheel.h"

class TW_TimerSink {
public:
    virtual void OnTimer(uint32_t uiTimerId, uint32_t uiValue) = 0;

protected:
    ~TW_TimerSink() = default;
};

// A millisecond clock that wraps at 2^32.
typedef uint32_t (*TW_TickClock)(void* lpContext);

class TW_MultipleTimer : public TW_MMTimer, public TW_MultiThread {
public:
    TW_MultipleTimer();
    // Reads the time through fnClock instead of the system's millisecond
    // clock (tests drive the wheel with it).
    TW_MultipleTimer(TW_TickClock fnClock, void* lpContext);
    ~TW_MultipleTimer() override;

    // Set before Create.
    void SetSink(TW_TimerSink* lpSink) { m_lpSink = lpSink; }
    TW_TimerSink* GetSink() const { return m_lpSink; }

    // Starts the message threads and the periodic timer. False for bad
    // arguments, without a sink, when running already, or when the periodic
    // timer cannot start (the threads then stay until Destroy).
    bool Create(uint32_t uiPeriod, int iMsgThreadCount, int iHashTableSize);
    // Stops the timer and the message threads and frees every timer. Returns
    // whether the periodic timer was running and stopped.
    bool Destroy();

    // False when not running, for a period of 0 or when the id is in use.
    bool AddTimer(uint32_t uiId, uint32_t uiPeriod, uint32_t uiValue, bool bOneShot);
    // False when not running or the id is not in use.
    bool KillTimer(uint32_t uiId);

    // The last tick walked: a cheap millisecond clock for activity stamps
    // that advances only while the timer runs.
    uint32_t GetCurrentTick() const { return m_uiCurrentTick.load(std::memory_order_relaxed); }
    time_t GetLastTickTime();

    // One walk of the wheel up to the clock's time; called on every tick of
    // the periodic timer.
    void OnTick() override;

protected:
    uint32_t ThreadProc(ThreadData* lpData) override;

private:
    uint32_t Now() { return m_fnClock(m_lpClockContext); }

    TW_TimerSink* m_lpSink = nullptr;
    TW_MsgQueue m_msgQueue;
    std::atomic<uint32_t> m_uiCurrentTick{0};
    time_t m_tLastTick;
    TW_TickClock m_fnClock;
    void* m_lpClockContext;
    // Guards the wheel and the last tick's time.
    TW_Locker m_lckTimer;
    TW_TimerWheel m_wheel;
};

#endif
