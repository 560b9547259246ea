// A periodic (or one-shot) millisecond timer that calls OnTick on the
// platform's timer thread, with the system timer resolution raised for the
// object's lifetime.
#ifndef TW_MMTIMER_H
#define TW_MMTIMER_H

#include <atomic>
#include <cstdint>

#include "PfSync.h"

class TW_MMTimer {
public:
    explicit TW_MMTimer(uint32_t uiDesiredResolutionMs);
    // Stops the timer; a derived class must stop it first (OnTick is its).
    virtual ~TW_MMTimer();
    TW_MMTimer(const TW_MMTimer&) = delete;
    TW_MMTimer& operator=(const TW_MMTimer&) = delete;

    // False when running already or the platform refuses the delay.
    bool StartTimer(uint32_t uiDelayMs, bool bOneShot);
    // False when not running. No OnTick runs once this has returned.
    bool StopTimer();
    bool IsTimerRunning() const { return m_uiTimerId.load(std::memory_order_acquire) != 0; }
    uint32_t GetResolution() const { return m_uiResolution; }

    virtual void OnTick() = 0;

private:
    static void TimerCallback(uint32_t uiTimerId, void* lpThis);

    uint32_t m_uiResolution;
    std::atomic<uint32_t> m_uiTimerId{0};
    // Holds back an event that comes before StartTimer has stored its id.
    pf::CriticalSection m_csTimerId;
};

#endif
