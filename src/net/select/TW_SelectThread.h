// One poll group of the select engine: up to 64 sockets and a thread that
// waits in select on them and hands what it reports to the shared handlers.
// The group knows its sockets only by handle and uiSeq; their records live
// in the manager's table. Membership and the three sets change under
// m_lckFdSet, always with the manager's table lock held, so a close (which
// unwatches and leaves in one hold) can never be undone by a racing watch.
#ifndef TW_SELECTTHREAD_H
#define TW_SELECTTHREAD_H

#include <cstdint>

#include "PfSelect.h"
#include "PfSync.h"
#include "SocketData.h"
#include "TW_Array.h"
#include "TW_Locker.h"
#include "TW_Thread.h"

class TW_SelectSocketMgr;

class TW_SelectThread : public TW_Thread {
public:
    static constexpr uint32_t kGroupSize = pf::kSocketSetSize;  // 64, the Winsock set size
    static constexpr uint32_t kPollTimeoutMs = 20;
    // What a process listing calls a poll thread.
    static constexpr const char* kThreadName = "vxnet-select";

    TW_SelectThread(TW_SelectSocketMgr* lpOwner, int nIndex);
    ~TW_SelectThread() override;

    // Wakes the poll loop and ends the thread.
    void Stop() override;
    int GetIndex() const { return m_nIndex; }

    // ---- with the manager's table lock held
    // The group's socket count after the insert.
    int AddSocket(SOCKET s, uint32_t uiSeq);
    // Unwatches and forgets the socket; the count left. While a select call
    // may be polling its number, the record stays pinned until the call has
    // returned: a number closed under poll could be reused by a new socket
    // and take over what the platform keeps for the old one.
    int RemoveSocket(SocketData& rec);
    void WatchRead(SOCKET s) { Watch(&m_fdRead, nullptr, s); }
    void WatchWrite(SOCKET s) { Watch(&m_fdWrite, nullptr, s); }
    // A connect under way: it completes in the write set or fails in the except set.
    void WatchConnect(SOCKET s) { Watch(&m_fdWrite, &m_fdExcept, s); }
    void PauseRead(SOCKET s);
    // A send left in full: the poll thread reports it before its next select.
    void ReportSend(SOCKET s, uint32_t uiSeq);

protected:
    uint32_t Run() override;

private:
    // The sockets of the group and their serials: work found in a pass is
    // for the socket that had the handle when the pass began.
    struct Members {
        uint32_t uiCount = 0;
        SOCKET arrSocket[kGroupSize];
        uint32_t arrSeq[kGroupSize];
        uint32_t SeqOf(SOCKET s) const;
        // Adds the socket or gives it the new serial.
        void Put(SOCKET s, uint32_t uiSeq);
    };

    void Watch(pf::SocketSet* lpSet, pf::SocketSet* lpSet2, SOCKET s);
    void Unwatch(SOCKET s, bool bRead, bool bWriteExcept);
    // A pass reported the socket writable or failed: its write and except
    // watches end, if the handle still belongs to the socket of that pass.
    void UnwatchWriteOf(SOCKET s, uint32_t uiSeq);
    // The sends reported due since the last pass (the shared write handler
    // finds their queues empty and reports them).
    void DeliverSendReports();
    void Dispatch(const pf::SocketSet& rd, const pf::SocketSet& wr, const pf::SocketSet& ex, const Members& m);
    // After a failed select: drops from the sets every handle that is no
    // longer an open socket, so one bad entry cannot silence the group.
    void DropInvalid(const pf::SocketSet& rd, const pf::SocketSet& wr, const pf::SocketSet& ex);
    // The select call has returned: records removed meanwhile may close.
    void EndPoll();

    TW_SelectSocketMgr* m_lpOwner;
    const int m_nIndex;
    Members m_members;
    Members m_sendReports;  // sends to report as the next pass begins
    pf::SocketSet m_fdRead{};
    pf::SocketSet m_fdWrite{};
    pf::SocketSet m_fdExcept{};
    TW_Locker m_lckFdSet;
    bool m_bPolling = false;                // a select call may be using the copied numbers
    TW_Array<SocketData*> m_arrRemovedInPoll;  // pinned until it returns
    pf::EventHandle m_hWakeEvent;
    pf::EventHandle m_hStopEvent;
};

#endif
