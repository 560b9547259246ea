#include "TW_SelectThread.h"

#include "PfError.h"
#include "PfSocket.h"
#include "PfThread.h"
#include "TW_Assert.h"
#include "TW_SelectSocketMgr.h"

uint32_t TW_SelectThread::Members::SeqOf(SOCKET s) const {
    for (uint32_t i = 0; i < uiCount; ++i)
        if (arrSocket[i] == s) return arrSeq[i];
    return 0;
}

void TW_SelectThread::Members::Put(SOCKET s, uint32_t uiSeq) {
    for (uint32_t i = 0; i < uiCount; ++i)
        if (arrSocket[i] == s) return void(arrSeq[i] = uiSeq);
    if (uiCount == kGroupSize) return;  // only members report: cannot happen
    arrSocket[uiCount] = s;
    arrSeq[uiCount++] = uiSeq;
}

TW_SelectThread::TW_SelectThread(TW_SelectSocketMgr* lpOwner, int nIndex)
    : m_lpOwner(lpOwner),
      m_nIndex(nIndex),
      m_hWakeEvent(pf::EventCreate(false, false)),
      m_hStopEvent(pf::EventCreate(false, false)) {
    TW_ASSERT(m_hWakeEvent && m_hStopEvent);
}

TW_SelectThread::~TW_SelectThread() {
    Stop();
    pf::EventClose(m_hWakeEvent);
    pf::EventClose(m_hStopEvent);
}

void TW_SelectThread::Stop() {
    pf::EventSet(m_hStopEvent);
    TW_Thread::Stop();
    EndPoll();  // a pass the stop cut short
}

// ------------------------------------------------------------------ membership and sets

int TW_SelectThread::AddSocket(SOCKET s, uint32_t uiSeq) {
    TW_LockGuard sets(&m_lckFdSet);
    TW_ASSERT(m_members.uiCount < kGroupSize);
    m_members.arrSocket[m_members.uiCount] = s;
    m_members.arrSeq[m_members.uiCount] = uiSeq;
    return int(++m_members.uiCount);
}

int TW_SelectThread::RemoveSocket(SocketData& rec) {
    const SOCKET s = rec.socket;
    TW_LockGuard sets(&m_lckFdSet);
    m_fdRead.Remove(s);
    m_fdWrite.Remove(s);
    m_fdExcept.Remove(s);
    if (m_bPolling) {
        m_lpOwner->PinLocked(rec);
        m_arrRemovedInPoll.Add(&rec);
    }
    for (uint32_t i = 0; i < m_members.uiCount; ++i) {
        if (m_members.arrSocket[i] != s) continue;
        --m_members.uiCount;
        m_members.arrSocket[i] = m_members.arrSocket[m_members.uiCount];
        m_members.arrSeq[i] = m_members.arrSeq[m_members.uiCount];
        break;
    }
    return int(m_members.uiCount);
}

void TW_SelectThread::EndPoll() {
    TW_Array<SocketData*> arrRemoved;
    {
        TW_LockGuard sets(&m_lckFdSet);
        m_bPolling = false;
        for (int i = 0; i < m_arrRemovedInPoll.GetSize(); ++i) arrRemoved.Add(m_arrRemovedInPoll[i]);
        m_arrRemovedInPoll.SetSize(0);
    }
    for (int i = 0; i < arrRemoved.GetSize(); ++i) m_lpOwner->Unpin(arrRemoved[i]);
}

void TW_SelectThread::Watch(pf::SocketSet* lpSet, pf::SocketSet* lpSet2, SOCKET s) {
    {
        TW_LockGuard sets(&m_lckFdSet);
        lpSet->Add(s);  // a full set or a second insert is ignored
        if (lpSet2) lpSet2->Add(s);
    }
    // The poll thread itself reads the sets again before its next select;
    // only other threads need to wake it.
    if (pf::CurrentThreadId() != GetThreadId()) pf::EventSet(m_hWakeEvent);
}

void TW_SelectThread::PauseRead(SOCKET s) { Unwatch(s, true, false); }

void TW_SelectThread::ReportSend(SOCKET s, uint32_t uiSeq) {
    {
        TW_LockGuard sets(&m_lckFdSet);
        m_sendReports.Put(s, uiSeq);
    }
    if (pf::CurrentThreadId() != GetThreadId()) pf::EventSet(m_hWakeEvent);
}

void TW_SelectThread::Unwatch(SOCKET s, bool bRead, bool bWriteExcept) {
    TW_LockGuard sets(&m_lckFdSet);
    if (bRead) m_fdRead.Remove(s);
    if (bWriteExcept) {
        m_fdWrite.Remove(s);
        m_fdExcept.Remove(s);
    }
}

void TW_SelectThread::UnwatchWriteOf(SOCKET s, uint32_t uiSeq) {
    TW_LockGuard sets(&m_lckFdSet);
    // The socket of the pass may have closed since, and a new socket of this
    // group may already be connecting under its number: leave that one's watch.
    if (m_members.SeqOf(s) != uiSeq) return;
    m_fdWrite.Remove(s);
    m_fdExcept.Remove(s);
}

// ------------------------------------------------------------------ poll loop

uint32_t TW_SelectThread::Run() {
    pf::SetCurrentThreadName(kThreadName);
    const pf::WaitHandle waits[2] = {pf::Waitable(m_hWakeEvent), pf::Waitable(m_hStopEvent)};
    for (;;) {
        pf::WaitResult r = pf::WaitForAny(waits, 2, pf::kInfinite);
        if (r == pf::kWaitObject0 + 1 || IsStopRequested()) return 0;
        if (r != pf::kWaitObject0) continue;

        while (!IsStopRequested()) {
            DeliverSendReports();
            pf::SocketSet rd, wr, ex;
            Members members;
            bool bAny, bReportsDue;
            {
                TW_LockGuard sets(&m_lckFdSet);
                rd = m_fdRead;
                wr = m_fdWrite;
                ex = m_fdExcept;
                members = m_members;
                bAny = m_bPolling = rd.uiCount || wr.uiCount || ex.uiCount;
                bReportsDue = m_sendReports.uiCount > 0;  // a report's sink sent again
            }
            if (!bAny) {
                if (bReportsDue) continue;
                break;
            }
            pf::SocketSet rdAll = rd, wrAll = wr, exAll = ex;
            int n = pf::Select(rd.uiCount ? &rd : nullptr, wr.uiCount ? &wr : nullptr,
                               ex.uiCount ? &ex : nullptr, bReportsDue ? 0 : kPollTimeoutMs);
            if (n < 0) DropInvalid(rdAll, wrAll, exAll);
            EndPoll();
            if (n > 0) {
                Dispatch(rd, wr, ex, members);
            } else if (n < 0) {
                // Poll the others again after a pause (or a wake).
                if (pf::WaitForAny(waits, 2, kPollTimeoutMs) == pf::kWaitObject0 + 1) return 0;
            }
        }
    }
}

void TW_SelectThread::DeliverSendReports() {
    Members reports;
    {
        TW_LockGuard sets(&m_lckFdSet);
        if (m_sendReports.uiCount == 0) return;
        reports = m_sendReports;
        m_sendReports.uiCount = 0;
    }
    for (uint32_t i = 0; i < reports.uiCount && !IsStopRequested(); ++i)
        m_lpOwner->OnWritable(reports.arrSocket[i], reports.arrSeq[i]);
}

void TW_SelectThread::Dispatch(const pf::SocketSet& rd, const pf::SocketSet& wr, const pf::SocketSet& ex,
                               const Members& m) {
    for (uint32_t i = 0; i < rd.uiCount && !IsStopRequested(); ++i)
        m_lpOwner->OnReadable(rd.arrSocket[i], m.SeqOf(rd.arrSocket[i]));
    for (uint32_t i = 0; i < wr.uiCount && !IsStopRequested(); ++i) {
        const uint32_t uiSeq = m.SeqOf(wr.arrSocket[i]);
        UnwatchWriteOf(wr.arrSocket[i], uiSeq);
        m_lpOwner->OnWritable(wr.arrSocket[i], uiSeq);
    }
    for (uint32_t i = 0; i < ex.uiCount && !IsStopRequested(); ++i) {
        const uint32_t uiSeq = m.SeqOf(ex.arrSocket[i]);
        UnwatchWriteOf(ex.arrSocket[i], uiSeq);
        // Whatever the socket's own error, a failed connect is a time-out here.
        m_lpOwner->OnConnectResult(ex.arrSocket[i], uiSeq, pf::kErrTimedOut);
    }
}

void TW_SelectThread::DropInvalid(const pf::SocketSet& rd, const pf::SocketSet& wr, const pf::SocketSet& ex) {
    for (const pf::SocketSet* lpSet : {&rd, &wr, &ex}) {
        for (uint32_t i = 0; i < lpSet->uiCount; ++i) {
            sockaddr_in addr;
            const SOCKET s = lpSet->arrSocket[i];
            if (pf::GetSockName(s, &addr) || pf::GetLastError() != pf::kErrNotSocket) continue;
            Unwatch(s, true, true);
        }
    }
}
