// What every engine does, written once. The shared layer owns the socket
// table and every behaviour the engines have in common: the checks on host
// arguments, socket creation, connect by name, gather, the send queue and its
// report, notice framing, the proxy handshake drive (with the SOCKS UDP relay
// and its control connection), report-a-failure-once, the idle check and the
// user words. An engine adds only its I/O model:
//
//   narrow operations it implements (called with the table lock held):
//     EngineAdd / EngineRemove     take a new socket in, forget a closing one
//     EngineWatchRead / EnginePauseRead   want reads (a notice, datagrams,
//                                  connections) / not now
//     EngineWatchWrite             bytes are queued: finish them when there is room
//     EngineReportSend             a send left in full: only its report is due
//     EngineConnect / EngineListen begin a connect / start accepting
//     EngineSend                   move or queue bytes (the default is the
//                                  readiness model: send now, queue the rest)
//   handlers it calls when its I/O model says something happened (no lock):
//     OnReadable / OnWritable      readiness engines: select's pass, window messages
//     OnConnectResult, OnStreamBytes, OnDatagram, OnAccepted, NotifyClose
//                                  the same events for engines that receive
//                                  completed operations
//
// Every handler takes the socket's uiSeq as the engine saw it; work for a
// handle that has since been closed (and maybe reused) is dropped. An engine
// thread that uses a descriptor without the lock pins the record first
// (PinLocked/Unpin): a close meanwhile removes the record at once, but the
// descriptor is closed by the last pin, so no I/O reaches a reused number.
#ifndef TW_ENGINESOCKETMGR_H
#define TW_ENGINESOCKETMGR_H

#include <atomic>
#include <cstdint>

#include "SocketData.h"
#include "TW_Map.h"
#include "TW_MultiThread.h"
#include "TW_NoticeFraming.h"
#include "TW_SocketMgr.h"

class TW_EngineSocketMgr : public TW_SocketMgr, protected TW_NoticeFraming, protected TW_MultiThread {
public:
    ~TW_EngineSocketMgr() override;

    // ---- slots
    bool Start(uint8_t byFlags, uint32_t uiWorkers, uint32_t uiReserved1, uint32_t uiReserved2) override;
    bool Stop(uint32_t uiTimeout) override;
    bool Shutdown(SOCKET s, int nHow) override;
    bool CloseSocket(SOCKET s) override;
    bool SetNoticeLen(SOCKET s, uint32_t uiNoticeLen) override;
    bool SetUserData1(SOCKET s, uint32_t u1) override;
    bool SetUserData2(SOCKET s, uint32_t u2) override;
    bool GetUserData(SOCKET s, uint32_t* lpU1, uint32_t* lpU2) override;
    SOCKET CreateUdpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                           uint32_t u2) override;
    SOCKET CreateUdpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) override;
    int SendToAddr(SOCKET s, sockaddr_in* lpTo, const char* lpData, int nLen, bool bDirect) override;
    int SendTo(SOCKET s, const char* lpszIp, uint16_t wPort, const char* lpData, int nLen, bool bDirect) override;
    SOCKET CreateTcpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                           uint32_t u2) override;
    SOCKET CreateTcpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) override;
    bool Connect(SOCKET s, const char* lpszHost, uint16_t wPort) override;
    bool ConnectAddr(SOCKET s, sockaddr_in* lpAddr) override;
    bool Listen(SOCKET s, int nBacklog) override;
    bool SendV(SOCKET s, const SendVBuf* lpBufs, uint32_t uiCount, uint32_t dwSendFlag, uint32_t* lpQueued) override;
    bool Send(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwSendFlag, uint32_t* lpQueued) override;
    uint32_t Control(uint32_t uiCode, SOCKET s, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6, uint32_t a7,
                     uint32_t a8) override;
    // Only for sockets of this manager: a foreign handle (or one at or above
    // 0xFFFFFF) must not reach another socket's timers or options.
    bool SetSendBufSize(SOCKET s, int nBytes) override;
    bool SetRecvBufSize(SOCKET s, int nBytes) override;
    bool SetSendIdleTimer(SOCKET s, uint32_t uiPeriod) override;
    bool SetRecvIdleTimer(SOCKET s, uint32_t uiPeriod) override;
    bool KillSendIdleTimer(SOCKET s) override;
    bool KillRecvIdleTimer(SOCKET s) override;
    bool SetEventTimer(SOCKET s, uint32_t uiEvent, uint32_t uiDelay, uint32_t uiPeriod, bool bOneShot) override;
    bool KillEventTimer(SOCKET s, uint32_t uiEvent) override;

    // How long a proxy handshake may take after the TCP connect (tests shorten it).
    void SetProxyHandshakeLimit(uint32_t uiMs) { m_uiProxyLimitMs = uiMs; }
    // How long a listener rests after accept ran out of descriptors.
    static constexpr uint32_t kAcceptPauseMs = 100;
    // One read of a TCP socket: large enough that a stream moves in few reads
    // and most notices complete inside one (no copy).
    static constexpr int kStreamReadSize = 65536;
    // A datagram longer than this is dropped.
    static constexpr int kDatagramBufSize = 4096;

protected:
    TW_EngineSocketMgr();

    // ---- narrow operations of the engine
    virtual bool EngineStart(uint8_t byFlags, uint32_t uiWorkers) = 0;
    // Ends the engine's threads (no lock held). Every socket has been removed
    // (EngineRemove) before; handlers still running finish first.
    virtual void EngineStop() = 0;
    virtual bool EngineAdd(SocketData& rec) = 0;
    virtual void EngineRemove(SocketData& rec) = 0;
    // false (with the platform's last error) when reading cannot start.
    virtual bool EngineWatchRead(SocketData& rec) = 0;
    virtual void EnginePauseRead(SocketData& rec) = 0;
    virtual void EngineWatchWrite(SocketData& rec) = 0;
    // Reports the send later, on the engine's thread, without waiting for room.
    virtual void EngineReportSend(SocketData& rec) = 0;
    // Begins a connect to lpTo (already the proxy's address for a proxied
    // socket); false with the platform's last error when it cannot start.
    virtual bool EngineConnect(SocketData& rec, const sockaddr_in& to) = 0;
    // The socket is SS_ACCEPTING already; false when it cannot listen.
    virtual bool EngineListen(SocketData& rec, int nBacklog) = 0;
    // Moves or queues a Send's bytes; false (nothing queued) on a hard error.
    virtual bool EngineSend(SocketData& rec, const char* lpData, uint32_t uiLen);
    // A notice that the bytes already held complete: true when the engine
    // delivers it on one of its own threads (ReceiveNotice with no bytes);
    // false lets SetNoticeLen deliver it on the caller's thread.
    virtual bool EngineDeliverBuffered(SocketData& rec) { return false; }
    // Bytes Send accepted are still on their way out (Shutdown(send) waits).
    virtual bool EngineSendPending(const SocketData& rec) { return !rec.listSendBuf.IsEmpty(); }
    // Sends accepted and waiting behind the one in progress (Send's queued count).
    virtual uint32_t EngineQueuedCount(const SocketData& rec) { return uint32_t(rec.listSendBuf.GetCount()); }
    // A datagram that would be sent is dropped instead (a simulated loss).
    virtual bool EngineLoseDatagram(const SocketData& rec) { return false; }
    // Closes an accepted socket that never got a record (refused by the
    // host, or no room): an engine whose sockets start registered with it
    // lets go of that first.
    virtual void EngineDiscardAccepted(SOCKET s);
    // Threads of the engine's own types (TW_MultiThread); the DNS worker is shared.
    virtual uint32_t EngineThreadProc(ThreadData* lpData);

    // A send that moves only part of its bytes is tried again until the
    // socket says it would block: an engine whose write readiness is re-armed
    // only by a blocked send (async-select) would otherwise wait for ever.
    bool m_bSendUntilWouldBlock = false;
    // SendToAddr through a relay on a socket without a proxy fails instead
    // of sending directly (completion port).
    bool m_bRelayNeedsProxy = false;
    // Datagrams one read readiness takes at most: an engine that must go
    // back to the kernel to learn readiness again (select) reads a batch;
    // one that is told of each datagram (async-select) reads one.
    int m_nDatagramsPerReadiness = 1;
    // Sends what the socket takes now: the count, or kSocketError (the last
    // error kErrWouldBlock when it took nothing).
    int SendNow(SOCKET s, const char* lpData, uint32_t uiLen);

    // ---- handlers (no lock held on entry)
    void OnReadable(SOCKET s, uint32_t uiSeq);
    void OnWritable(SOCKET s, uint32_t uiSeq);
    // nError 0: connected (or, proxied, on to the handshake).
    void OnConnectResult(SOCKET s, uint32_t uiSeq, int nError);
    void OnStreamBytes(SOCKET s, uint32_t uiSeq, const char* lpData, uint32_t uiLen);
    // false when the datagram was not the host's (the socket is gone, or it
    // did not come from its SOCKS relay).
    bool OnDatagram(SOCKET s, uint32_t uiSeq, const char* lpData, int nLen, const sockaddr_in& from);
    // lpLocal: the connection's own address if the engine has it already.
    void OnAccepted(SOCKET sListen, SOCKET sNew, const sockaddr_in& peer, const sockaddr_in* lpLocal = nullptr);
    // Reports a failure once: OnSocketClose, or OnSocketProxy (10054) for the
    // control connection of a proxied UDP socket. uiSeq 0: whatever record s has.
    bool NotifyClose(int nError, SOCKET s, uint32_t uiSeq);
    // Out of descriptors: the listener rests (EnginePauseRead) and is watched
    // again (EngineWatchRead) after kAcceptPauseMs; the rest is served meanwhile.
    void RestListenerLocked(SocketData& rec, int nError);

    // ---- the table (guarded by m_lckTable)
    SocketData* FindLocked(SOCKET s);
    SocketData* FindLocked(SOCKET s, uint32_t uiSeq);
    void PinLocked(SocketData& rec) { rec.uiPins.fetch_add(1); }
    void Unpin(SocketData* lpRec);
    TW_Locker m_lckTable;

    // ---- the shared parts of TW_SocketMgr and TW_NoticeFraming
    uint32_t ThreadProc(ThreadData* lpData) override;
    void OnNameResolved(const NameRequest& req, uint32_t dwIp, int nError) override;
    bool CheckIdle(SOCKET s, bool bSend, uint32_t uiValue, uint32_t* lpElapsed) override;
    void OnInternalTimer(SOCKET s, uint32_t uiClass) override;
    TW_Locker& NoticeLock() override { return m_lckTable; }
    bool FindNoticeRecord(SOCKET s, NoticeRecord& rec) override;
    ISocketMgrSink* NoticeSink() override { return GetSink(); }
    void NoticeOffer(SOCKET s, const char* lpData, uint32_t* lpConsumed, uint32_t dwUser1,
                     uint32_t dwUser2) override;
    uint32_t NoticeTick() override { return GetCurrentTick(); }
    bool NoticeStopRequested() override { return m_eRunState.load() != RUN_RUNNING; }
    NoticeResult OnProxyBytes(SOCKET s, const NoticeRecord& rec, const char* lpData, uint32_t uiLen,
                              TW_LockGuard& lock) override;
    void OnNoticeConsumed(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwUser1,
                          uint32_t dwUser2) override;

private:
    enum RunState { RUN_NEW, RUN_RUNNING, RUN_STOPPED };
    enum { kThreadDns = 2 };

    bool Owns(SOCKET s);
    SOCKET CreateSocket(bool bTcp, PROXYHANDLE hProxy, const sockaddr_in* lpAddr, uint32_t u1, uint32_t u2);
    // A new record for s in the table, registered with the engine; false
    // when the manager is not running or the engine refuses it.
    bool AddLocked(SOCKET s, uint32_t status, uint32_t dwUser1, uint32_t dwUser2, ProxyData* lpProxy);
    // Takes the record out of the table and the engine; its descriptor is
    // closed now or by the last engine thread still using it.
    void DetachLocked(SocketData* lpRec);
    void DestroyRecord(SocketData* lpRec);
    bool ConnectLocked(SocketData& rec, const sockaddr_in& to);
    void AfterNotice(SOCKET s, uint32_t uiSeq, NoticeResult eResult);
    // The connect of a socket in SS_CONNECTING finished (lock held, released on return).
    void ConnectResultLocked(SocketData& rec, TW_LockGuard& lock, int nError);
    void ReadStream(SocketData& rec, TW_LockGuard& lock);
    // One datagram; false when there was none or the socket is done with.
    bool ReadDatagram(SocketData& rec, TW_LockGuard& lock);
    // What a datagram's delivery needs of its socket's record.
    struct DatagramOwner {
        uint32_t dwUser1 = 0, dwUser2 = 0;
        bool bRelayed = false;  // datagrams come through a SOCKS relay, header first
        uint32_t dwRelayIp = 0; // the relay's address (network order)
        uint16_t wRelayPort = 0;
    };
    static DatagramOwner OwnerOf(const SocketData& rec);
    bool DeliverDatagram(SOCKET s, const DatagramOwner& owner, const char* lpData, int nLen,
                         const sockaddr_in& from);
    void AcceptOne(SocketData& rec, TW_LockGuard& lock);
    // After a partial flush, or the last block: the report, the pending shutdown.
    void FlushLocked(SocketData& rec, TW_LockGuard& lock);

    // ---- proxy drive (TW_ProxyDrive.cpp)
    ProxyHandshake MakeHandshake(const SocketData& rec);
    void StartProxyHandshake(SocketData& rec, TW_LockGuard& lock);
    // true when the socket was closed on the way (the control connection of
    // a proxied UDP socket).
    bool ReportProxyFailure(SOCKET s, const ProxyStepResult& res, SOCKET sLinked, uint32_t u1,
                            uint32_t u2);
    void OnProxyLimit(SOCKET s);

    TW_Map<SOCKET, SocketData*> m_mapSocket2Data;
    uint32_t m_uiSocketSeq = 1;
    std::atomic<int> m_eRunState{RUN_NEW};
    TW_Locker m_lckLifecycle;  // one Start or Stop at a time
    uint32_t m_uiProxyLimitMs = 20000;
};

#endif
