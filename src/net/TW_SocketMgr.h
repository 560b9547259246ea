// The base of every manager: what does not depend on the I/O model. Proxy
// records, socket buffer options, the per-socket timers and their handler,
// name requests for the DNS worker, the sink pointer and the record file.
// The engines derive from it and add their socket tables and threads.
#ifndef TW_SOCKETMGR_H
#define TW_SOCKETMGR_H

#include <atomic>
#include <cstdint>

#include "TW_FileEx.h"
#include "TW_List.h"
#include "TW_Locker.h"
#include "TW_MsgQueue.h"
#include "TW_MultipleTimer.h"
#include "TW_NetworkEx.h"
#include "TW_ProxyHandshake.h"
#include "record/TW_RecordFormat.h"

// Timer keys: the low 24 bits are the socket, the high 8 bits the class.
enum : uint32_t {
    TIMER_SEND_IDLE = 0,
    TIMER_RECV_IDLE = 1,
    TIMER_CONNECT = 2,        // connect by host name: 20 s limit
    TIMER_EVENT_BASE = 3,     // event timers 0 to 28 are classes 3 to 31
    TIMER_ACCEPT_RESUME = 32, // a listener paused for lack of descriptors accepts again
    TIMER_PROXY_LIMIT = 33,   // a proxy handshake not finished in time fails
    kTimerClassCount = 34,
    kMaxEventTimer = 28,
    kConnectByNameLimitMs = 20000,
    kMaxHostNameLen = 260,
    kMaxSocketHandle = 0xFFFFFF  // handles must stay below: their low 24 bits key the timers
};

inline uint32_t TimerKey(SOCKET s, uint32_t uiClass) { return (uiClass << 24) + (uint32_t(s) & 0xFFFFFF); }

// Messages on the DNS worker's queue.
enum : uint32_t {
    MSG_DNS_QUIT = TW_MsgQueue::kMsgQuit,
    MSG_DNS_PARSE = 10,   // ParseDns: answer with OnDnsParse
    MSG_DNS_CONNECT = 11  // Connect by host name: resolve, then connect
};

// A name for the DNS worker, in one pool block. The first three fields are
// used by connect requests only.
struct NameRequest {
    uint32_t socket;
    uint16_t wPort;  // host order
    uint16_t wReserved;
    uint32_t uiSeq;
    const char* lpszName;  // points at szName
    char szName[1];

    // A block for lpszName (at most kMaxHostNameLen characters); null when longer.
    static NameRequest* Create(const char* lpszName);
};

// Status codes the library reports itself.
enum : int {
    kErrConnectByNameTimeout = 10065  // WSAEHOSTUNREACH: connect by name took longer than 20 s
};

class TW_SocketMgr;

// One call into the host's sink, made through this guard:
//     if (TW_SinkCall sink(this); sink) sink->OnSocketClose(...);
// While it lives the thread is inside a callback of the manager (Stop and
// destruction refuse to run there), and SetSink waits for it to end before
// it returns, so the host may delete the sink it replaced.
class TW_SinkCall {
public:
    explicit TW_SinkCall(TW_SocketMgr* lpMgr);
    ~TW_SinkCall();
    TW_SinkCall(const TW_SinkCall&) = delete;
    TW_SinkCall& operator=(const TW_SinkCall&) = delete;

    explicit operator bool() const { return m_lpSink != nullptr; }
    ISocketMgrSink* operator->() const { return m_lpSink; }

private:
    friend class TW_SocketMgr;
    TW_SocketMgr* m_lpMgr;
    ISocketMgrSink* m_lpSink;
    uint32_t m_uiSlot;
    TW_SinkCall* m_lpOuter;  // the call this one is nested in, on this thread
};

class TW_SocketMgr : public TW_SocketMgrInstance, protected TW_TimerSink {
public:
    TW_SocketMgr();
    ~TW_SocketMgr() override;

    // ---- slots implemented here
    PROXYHANDLE CreateProxy(uint32_t uiType, const char* lpszIp, uint16_t wPort, const char* lpszUser,
                            const char* lpszPassword) override;
    bool DestroyProxy(PROXYHANDLE hProxy) override;
    bool SetSendBufSize(SOCKET s, int nBytes) override;
    bool SetRecvBufSize(SOCKET s, int nBytes) override;
    bool SetSendIdleTimer(SOCKET s, uint32_t uiPeriod) override;
    bool SetRecvIdleTimer(SOCKET s, uint32_t uiPeriod) override;
    bool KillSendIdleTimer(SOCKET s) override;
    bool KillRecvIdleTimer(SOCKET s) override;
    bool SetEventTimer(SOCKET s, uint32_t uiEvent, uint32_t uiDelay, uint32_t uiPeriod, bool bOneShot) override;
    bool KillEventTimer(SOCKET s, uint32_t uiEvent) override;
    bool ParseDns(const char* lpszHost) override;
    ISocketMgrSink* SetSink(ISocketMgrSink* lpSink) override;
    ISocketMgrSink* GetSink() override;

    // The calling thread is inside a callback of this manager.
    bool IsInsideOwnCallback() const;
    bool RefuseDestroyHere() override;

    // ---- for the engines and the factory
    // The factory's choice; Start then opens the file, and the flag stays set
    // only while the file takes records.
    void SetRecordFlag(bool bRecord) {
        m_bRecordWanted = bRecord;
        m_bRecord.store(bRecord);
    }
    bool GetRecordFlag() const { return m_bRecord.load(); }

    // The proxy's address and port, both in network order; false when the
    // handle is not in the proxy list.
    bool GetProxyAddr(PROXYHANDLE hProxy, uint32_t* lpIp, uint16_t* lpPort);
    // The proxy list's lock. Hold it while a proxy record is read, and check
    // the record is still listed (IsProxyListed) first.
    TW_Locker& ProxyLock() { return m_listProxy; }
    bool IsProxyListed(const ProxyData* lpProxy);

    void KillSocketTimers(SOCKET s);
    // How long a connect by host name may take (tests shorten it).
    void SetConnectByNameLimit(uint32_t uiMs) { m_uiConnectLimitMs = uiMs; }
    bool SetConnectTimer(SOCKET s);
    bool KillConnectTimer(SOCKET s);

    // Recording of socket events into "vxnet.rec" (when the record flag is set).
    // Each record reaches the file whole or not at all: a write that fails
    // or stops short ends the recording there (the file is closed and the
    // flag cleared), so a reader sees at most one cut-off record at the end
    // instead of an orphan header that misreads everything after it.
    bool OpenRecordFile();
    bool RecordAccept(SOCKET sListen, SOCKET s, const sockaddr_in* lpLocal, const sockaddr_in* lpPeer);
    bool RecordRecv(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwUser1, uint32_t dwUser2);
    bool RecordClose(int nError, SOCKET s, int nStatus, uint32_t dwUser1, uint32_t dwUser2);

    uint32_t GetCurrentTick() const { return m_timer.GetCurrentTick(); }

protected:
    // Starts the multiple timer as every engine does: 1 ms ticks, one message
    // thread per processor, 4099 buckets, this manager's timer handler.
    // nMessageThreads: 0 for one per processor.
    bool StartTimer(int nMessageThreads = 0);
    bool StopTimer();
    bool IsTimerStarted() const { return m_bTimerStarted; }

    // The DNS worker's loop; returns on the quit message. Name requests for
    // ParseDns are answered here; connect requests go to OnNameResolved.
    void RunDnsWorker();
    // A connect by name was resolved (dwIp all ones and nError set on failure).
    virtual void OnNameResolved(const NameRequest& req, uint32_t dwIp, int nError) = 0;
    // Posts the quit message to the DNS worker.
    bool PostDnsQuit();
    bool PostDnsRequest(uint32_t uiMsg, NameRequest* lpReq);

    // ---- the timer handler, the same shape in every engine
    void OnTimer(uint32_t uiKey, uint32_t uiValue) override;
    // The connect-by-name limit and the library's own classes (32 and up).
    virtual void OnInternalTimer(SOCKET s, uint32_t uiClass) = 0;
    // Under the engine's lock: for a UDP or connected socket, the time since
    // its last send flush (bSend) or delivery, with the stamp reset to now
    // when it reached uiValue. False for any other socket.
    virtual bool CheckIdle(SOCKET s, bool bSend, uint32_t uiValue, uint32_t* lpElapsed) = 0;
    // Engines differ when a check finds no time elapsed at all: the select
    // engine lets the timer lapse, the others re-arm it with the full period.
    bool m_bLapseIdleOnZeroElapsed = false;

    TW_MultipleTimer m_timer;
    TW_MsgQueue m_msgQueue;

private:
    void FreeProxies();
    // Disables the queue and frees the blocks of requests still in it.
    void FreeQueuedNameRequests();
    void WriteRecord(const RecordHeader& header, const void* lpPayload);
    void CloseRecordFile();

    friend class TW_SinkCall;
    std::atomic<ISocketMgrSink*> m_lpSink{nullptr};
    // Calls into the sink under way, by the parity of the sink generation
    // they started in; SetSink advances the generation and waits for the
    // previous one's calls to end.
    std::atomic<uint32_t> m_uiSinkGen{0};
    std::atomic<int> m_nSinkCalls[2] = {{0}, {0}};
    TW_LockedList<ProxyData*> m_listProxy;
    bool m_bRecordWanted = false;  // a 1.1 name: every Start records anew
    // Read without the lock by every event thread; cleared under it.
    std::atomic<bool> m_bRecord{false};
    TW_FileEx m_fileRecord;  // under m_lckRecord once the engine runs
    TW_Locker m_lckRecord;
    bool m_bTimerStarted = false;
    uint32_t m_uiConnectLimitMs = kConnectByNameLimitMs;
};

#endif
