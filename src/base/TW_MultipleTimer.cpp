#include "TW_MultipleTimer.h"

#include "PfClock.h"

static uint32_t SystemClock(void*) { return pf::TickCount(); }

// Hands full batches to the queue while the walk goes on.
namespace {
class QueueBatch : public TW_ExpiryBatch {
public:
    explicit QueueBatch(TW_MsgQueue& queue) : m_queue(queue) {}

protected:
    void Deliver(const TW_Message* lpMsgs, int nCount) override { m_queue.PostMsgs(lpMsgs, nCount); }

private:
    TW_MsgQueue& m_queue;
};
}  // namespace

TW_MultipleTimer::TW_MultipleTimer() : TW_MultipleTimer(SystemClock, nullptr) {}

TW_MultipleTimer::TW_MultipleTimer(TW_TickClock fnClock, void* lpContext)
    : TW_MMTimer(1), m_msgQueue(true), m_fnClock(fnClock ? fnClock : SystemClock), m_lpClockContext(lpContext) {
    uint32_t uiNow = Now();
    m_wheel.Reset(uiNow, 17);
    m_uiCurrentTick.store(uiNow);
    m_tLastTick = time(nullptr);
}

TW_MultipleTimer::~TW_MultipleTimer() { Destroy(); }

bool TW_MultipleTimer::Create(uint32_t uiPeriod, int iMsgThreadCount, int iHashTableSize) {
    if (!TW_CHECK(uiPeriod > 0 && iMsgThreadCount > 0 && iHashTableSize > 0)) return false;
    if (!TW_CHECK(m_lpSink)) return false;
    if (IsTimerRunning()) return false;
    {
        TW_LockGuard guard(&m_lckTimer);
        uint32_t uiNow = Now();
        m_wheel.Reset(uiNow, uint32_t(iHashTableSize));
        m_uiCurrentTick.store(uiNow, std::memory_order_relaxed);
        m_tLastTick = time(nullptr);
    }
    StartThreads(0, iMsgThreadCount, 0);
    return StartTimer(uiPeriod, false);
}

bool TW_MultipleTimer::Destroy() {
    bool bStopped = StopTimer();
    // One quit per thread actually running (not per thread asked for at
    // Create): a quit left over would end a message thread of the next Create.
    for (int i = GetThreadCount(0); i > 0; --i) m_msgQueue.PostMsg(TW_MsgQueue::kMsgQuit, 0, 0);
    StopThreads(0, 2000);
    m_msgQueue.Clear();
    TW_LockGuard guard(&m_lckTimer);
    m_wheel.Clear();
    return bStopped;
}

bool TW_MultipleTimer::AddTimer(uint32_t uiId, uint32_t uiPeriod, uint32_t uiValue, bool bOneShot) {
    if (!IsTimerRunning()) return false;
    if (!TW_CHECK(uiPeriod > 0)) return false;
    TW_LockGuard guard(&m_lckTimer);
    return m_wheel.Add(uiId, uiPeriod, uiValue, bOneShot);
}

bool TW_MultipleTimer::KillTimer(uint32_t uiId) {
    if (!IsTimerRunning()) return false;
    TW_LockGuard guard(&m_lckTimer);
    return m_wheel.Kill(uiId);
}

time_t TW_MultipleTimer::GetLastTickTime() {
    TW_LockGuard guard(&m_lckTimer);
    return m_tLastTick;
}

void TW_MultipleTimer::OnTick() {
    QueueBatch batch(m_msgQueue);
    {
        TW_LockGuard guard(&m_lckTimer);
        // Read under the lock: two overlapping ticks must not move the wheel
        // back to the earlier reading.
        uint32_t uiNow = Now();
        m_wheel.Advance(uiNow, batch);
        m_uiCurrentTick.store(uiNow, std::memory_order_relaxed);
        m_tLastTick = time(nullptr);
    }
    batch.Flush();
}

uint32_t TW_MultipleTimer::ThreadProc(ThreadData* lpData) {
    TW_ASSERT(m_lpSink);
    TW_ASSERT(lpData->iThreadType == 0);
    TW_Message msg;
    while (m_msgQueue.GetMsg(&msg)) {
        TW_ASSERT(msg.message == WM_TIMER);
        m_lpSink->OnTimer(msg.wParam, uint32_t(msg.lParam));
    }
    return 1;
}
