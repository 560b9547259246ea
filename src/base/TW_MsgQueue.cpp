#include "TW_MsgQueue.h"

#include "PfThread.h"

TW_MsgQueue::TW_MsgQueue(bool bEnabled) : m_listMsg(10), m_bEnabled(bEnabled) {
    m_hMsgSemaphore = pf::SemaphoreCreate(0, 0x7FFFFFFF);
    TW_ASSERT(m_hMsgSemaphore);
}

TW_MsgQueue::~TW_MsgQueue() {
    Disable();
    Clear();
    pf::SemaphoreClose(m_hMsgSemaphore);
}

bool TW_MsgQueue::PostMsg(uint32_t message, uint32_t wParam, uintptr_t lParam) {
    TW_Message msg{message, wParam, lParam};
    return PostMsgs(&msg, 1);
}

bool TW_MsgQueue::PostMsgs(const TW_Message* lpMsg, int nCount) {
    TW_LockGuard guard(&m_listMsg);
    if (!m_bEnabled) return false;
    if (nCount < 1) return true;
    if (!TW_CHECK(lpMsg)) return false;
    for (int i = 0; i < nCount; ++i) m_listMsg.AddTail(lpMsg[i]);
    // One release for the whole batch, after the list holds it: a woken
    // consumer always finds its message.
    if (pf::SemaphoreRelease(m_hMsgSemaphore, nCount)) return true;
    for (int i = 0; i < nCount; ++i) m_listMsg.RemoveTail();
    return false;
}

bool TW_MsgQueue::GetMsg(TW_Message* lpMsg) {
    if (!TW_CHECK(lpMsg)) return false;
    if (pf::SemaphoreWait(m_hMsgSemaphore, pf::kInfinite) != pf::kWaitObject0) return false;
    {
        TW_LockGuard guard(&m_listMsg);
        TW_ASSERT(m_listMsg.GetCount() > 0);
        *lpMsg = m_listMsg.RemoveHead();
    }
    return lpMsg->message != kMsgQuit;
}

void TW_MsgQueue::Disable() {
    TW_LockGuard guard(&m_listMsg);
    m_bEnabled = false;
}

void TW_MsgQueue::Enable() {
    TW_LockGuard guard(&m_listMsg);
    m_bEnabled = true;
}

void TW_MsgQueue::Clear() {
    for (int iRetry = 0;; ++iRetry) {
        while (pf::SemaphoreWait(m_hMsgSemaphore, 0) == pf::kWaitObject0) {
            TW_LockGuard guard(&m_listMsg);
            TW_ASSERT(m_listMsg.GetCount() > 0);
            m_listMsg.RemoveTail();
        }
        {
            TW_LockGuard guard(&m_listMsg);
            if (m_listMsg.IsEmpty()) return;
        }
        // A consumer has taken a unit but not yet its message: let it finish.
        TW_CHECK(iRetry < 100);
        pf::YieldThread();
    }
}

int TW_MsgQueue::GetCount() {
    TW_LockGuard guard(&m_listMsg);
    return m_listMsg.GetCount();
}
