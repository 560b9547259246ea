// One poll group of the select engine: up to 64 sockets, their records and a
// thread that waits in select on them and dispatches what it reports. The
// group's map lock guards every record of the group; m_lckFdSet guards the
// three socket sets. Lock order: the manager's socket map, then a group map
// lock, then m_lckFdSet or the proxy list's lock. No lock is held while the
// sink runs.
#ifndef TW_SELECTTHREAD_H
#define TW_SELECTTHREAD_H

#include <cstdint>

#include "PfSelect.h"
#include "PfSync.h"
#include "SocketData.h"
#include "TW_Locker.h"
#include "TW_Map.h"
#include "TW_NoticeFraming.h"
#include "TW_ProxyHandshake.h"
#include "TW_Thread.h"

class TW_SelectSocketMgr;

class TW_SelectThread : public TW_Thread, public TW_NoticeFraming {
public:
    static constexpr uint32_t kGroupSize = pf::kSocketSetSize;  // 64, the Winsock set size
    static constexpr uint32_t kPollTimeoutMs = 20;
    // What a process listing calls a poll thread.
    static constexpr const char* kThreadName = "vxnet-select";
    // A datagram longer than this is dropped.
    static constexpr int kDatagramBufSize = 4096;
    // One read of a TCP socket. Larger than a page so that a stream moves in
    // few passes and most notices complete inside one read (no copy).
    static constexpr int kStreamReadSize = 65536;

    TW_SelectThread(TW_SelectSocketMgr* lpOwner, ISocketMgrSink* lpSink);
    ~TW_SelectThread() override;

    // Wakes the poll loop, ends the thread, then closes every socket of the
    // group without events.
    void Stop() override;

    // The group's socket count after the insert; 0 when already there.
    int AddSocket(SOCKET s, uint32_t status, uint32_t dwUser1, uint32_t dwUser2, ProxyData* lpProxy);
    // Closes the socket and drops its record; the count left, or -1 when the
    // socket was not in the group. *lpLinked receives the record's link and
    // *lpUdp whether it was a datagram socket.
    int RemoveSocket(SOCKET s, SOCKET* lpLinked, bool* lpUdp);

    bool WatchRead(SOCKET s, uint32_t status, uint32_t uiSeq);
    bool WatchWrite(SOCKET s, uint32_t status);
    bool WatchExcept(SOCKET s, uint32_t status);
    // Reports a failure once: OnSocketClose, or OnSocketProxy (10054) for the
    // control connection of a proxied UDP socket.
    bool NotifyClose(int nError, SOCKET s);
    void FlushSendQueue(SOCKET s, uint32_t uiSeq);

    // ---- client operations on a socket of this group
    bool SetNoticeLen(SOCKET s, uint32_t uiLen);
    bool Send(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwFlag, uint32_t* lpQueued);
    bool ConnectAddr(SOCKET s, const sockaddr_in* lpAddr);
    bool Listen(SOCKET s, int nBacklog);
    bool Shutdown(SOCKET s, int nHow);
    int SendToAddr(SOCKET s, const sockaddr_in* lpTo, const char* lpData, int nLen);
    bool SetUserData(SOCKET s, bool bFirst, uint32_t dwValue);
    bool GetUserData(SOCKET s, uint32_t* lpU1, uint32_t* lpU2);
    bool SetOptionFlags(SOCKET s, bool bReportPartialSend);
    uint32_t GetSocketSeq(SOCKET s);
    bool LinkSocket(SOCKET s, SOCKET sOther);
    // The relay address of a proxied UDP socket (network order).
    bool SetRelayAddr(SOCKET s, uint32_t dwIp, uint16_t wPort);
    bool CheckIdle(SOCKET s, bool bSend, uint32_t uiValue, uint32_t* lpElapsed);

protected:
    uint32_t Run() override;

    // ---- notice framing on this group's records
    TW_Locker& NoticeLock() override { return m_mapSocket2Data; }
    bool FindNoticeRecord(SOCKET s, NoticeRecord& rec) override;
    ISocketMgrSink* NoticeSink() override { return Sink(); }
    uint32_t NoticeTick() override;
    bool NoticeStopRequested() override { return IsStopRequested(); }
    NoticeResult OnProxyBytes(SOCKET s, const NoticeRecord& rec, const char* lpData, uint32_t uiLen,
                              TW_LockGuard& lock) override;

private:
    // The records' serials at the start of a pass: work found in a pass is
    // for the socket that had the handle then.
    struct Snapshot {
        uint32_t uiCount = 0;
        SOCKET arrSocket[kGroupSize];
        uint32_t arrSeq[kGroupSize];
        uint32_t SeqOf(SOCKET s) const;
    };

    ISocketMgrSink* Sink();
    SocketData* Find(SOCKET s) { return m_mapSocket2Data.LookupPtr(s); }
    bool Watch(pf::SocketSet& set, SOCKET s, uint32_t status, uint32_t uiSeq, bool bCheckSeq);
    void Unwatch(SOCKET s, bool bRead, bool bWrite, bool bExcept);
    void TakeSnapshot(Snapshot& snap);
    // Runs fnHandle(s, uiSeq, record, lock) under the group lock for every
    // socket of the set that still has its record of the pass.
    template <class Fn>
    void ForEachReady(const pf::SocketSet& set, const Snapshot& snap, Fn fnHandle);
    void OnReadable(const pf::SocketSet& set, const Snapshot& snap);
    void OnWritable(const pf::SocketSet& set, const Snapshot& snap);
    void OnExcept(const pf::SocketSet& set, const Snapshot& snap);
    void ReadDatagram(SOCKET s, SOCKET sLinked, uint32_t dwUser1, uint32_t dwUser2);
    void AcceptConnection(SOCKET sListen);
    void StartProxyHandshake(SOCKET s, TW_LockGuard& lock);
    // Reports a failed handshake where it belongs; true when the socket was
    // closed on the way (the control connection of a proxied UDP socket).
    bool ReportProxyFailure(SOCKET s, const ProxyStepResult& res, SOCKET sLinked, uint32_t u1, uint32_t u2);
    ProxyHandshake MakeHandshake(const SocketData& rec);
    void CloseAllSockets();

    pf::SocketSet m_fdRead{};
    pf::SocketSet m_fdWrite{};
    pf::SocketSet m_fdExcept{};
    TW_Locker m_lckFdSet;
    pf::EventHandle m_hWakeEvent;
    pf::EventHandle m_hStopEvent;
    TW_SelectSocketMgr* m_lpOwner;
    ISocketMgrSink* m_lpSink;
    uint32_t m_uiSocketSeq = 1;
    TW_LockedMap<SOCKET, SocketData> m_mapSocket2Data;
};

#endif
