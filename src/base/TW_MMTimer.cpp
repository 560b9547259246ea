#include "TW_MMTimer.h"

#include "PfClock.h"

TW_MMTimer::TW_MMTimer(uint32_t uiDesiredResolutionMs)
    : m_uiResolution(pf::TimerResolutionBegin(uiDesiredResolutionMs)) {}

TW_MMTimer::~TW_MMTimer() {
    StopTimer();
    pf::TimerResolutionEnd(m_uiResolution);
}

bool TW_MMTimer::StartTimer(uint32_t uiDelayMs, bool bOneShot) {
    m_csTimerId.Enter();
    bool bStarted = false;
    if (!IsTimerRunning()) {
        uint32_t uiId = pf::TimerStart(uiDelayMs, m_uiResolution, TimerCallback, this, !bOneShot);
        m_uiTimerId.store(uiId, std::memory_order_release);
        bStarted = uiId != 0;
    }
    m_csTimerId.Leave();
    return bStarted;
}

bool TW_MMTimer::StopTimer() {
    m_csTimerId.Enter();
    uint32_t uiId = m_uiTimerId.exchange(0, std::memory_order_acq_rel);
    m_csTimerId.Leave();
    // Killed outside the lock: the kill waits for a running event, which
    // may be waiting for the lock.
    return uiId != 0 && pf::TimerKill(uiId);
}

void TW_MMTimer::TimerCallback(uint32_t uiTimerId, void* lpThis) {
    TW_MMTimer* self = static_cast<TW_MMTimer*>(lpThis);
    self->m_csTimerId.Enter();
    // Events of an earlier timer of this object are ignored.
    bool bCurrent = uiTimerId == self->m_uiTimerId.load(std::memory_order_acquire);
    self->m_csTimerId.Leave();
    if (bCurrent) self->OnTick();
}
