#include "TW_SocketMgr.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "PfError.h"
#include "PfSocket.h"
#include "PfSystem.h"
#include "PfThread.h"
#include "vxnet/vxmempool.h"

NameRequest* NameRequest::Create(const char* lpszName) {
    size_t nLen = std::strlen(lpszName);
    if (nLen > kMaxHostNameLen) return nullptr;
    auto* lpReq = static_cast<NameRequest*>(MemPoolAlloc(uint32_t(offsetof(NameRequest, szName) + nLen + 1)));
    std::memset(lpReq, 0, offsetof(NameRequest, szName) + nLen + 1);
    std::memcpy(lpReq->szName, lpszName, nLen);
    lpReq->lpszName = lpReq->szName;
    return lpReq;
}

TW_SocketMgr::TW_SocketMgr() {
    pf::SocketStartup();  // the result is not checked: a failure shows in the first socket call
}

TW_SocketMgr::~TW_SocketMgr() {
    // The engine's destructor has stopped its threads and the timer.
    StopTimer();
    FreeQueuedNameRequests();
    FreeProxies();
    pf::SocketCleanup();
}

void TW_SocketMgr::FreeProxies() {
    TW_LockGuard guard(&m_listProxy);
    while (!m_listProxy.IsEmpty()) MemPoolFree(m_listProxy.RemoveHead());
    CloseRecordFile();
    MemPoolCleanup();
}

// ------------------------------------------------------------------ sink

namespace {
// Read at every callback: in an ELF shared library the default model costs a
// call per access; eight bytes fit the space the loader keeps for libraries
// opened later.
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local TW_SinkCall* t_lpInnermostSinkCall = nullptr;
}  // namespace

TW_SinkCall::TW_SinkCall(TW_SocketMgr* lpMgr) : m_lpMgr(lpMgr) {
    // Counted in the generation it is seen to start in: a SetSink that
    // advanced the generation meanwhile waits for this call or sees it retry.
    for (;;) {
        uint32_t uiGen = lpMgr->m_uiSinkGen.load();
        m_uiSlot = uiGen & 1;
        lpMgr->m_nSinkCalls[m_uiSlot].fetch_add(1);
        if (lpMgr->m_uiSinkGen.load() == uiGen) break;
        lpMgr->m_nSinkCalls[m_uiSlot].fetch_sub(1);
    }
    m_lpSink = lpMgr->m_lpSink.load();
    m_lpOuter = t_lpInnermostSinkCall;
    t_lpInnermostSinkCall = this;
}

TW_SinkCall::~TW_SinkCall() {
    t_lpInnermostSinkCall = m_lpOuter;
    m_lpMgr->m_nSinkCalls[m_uiSlot].fetch_sub(1);
}

ISocketMgrSink* TW_SocketMgr::SetSink(ISocketMgrSink* lpSink) {
    m_lpSink.store(lpSink);
    const uint32_t uiSlot = m_uiSinkGen.fetch_add(1) & 1;
    // Calls this thread is making itself cannot end while it waits.
    int nOwn = 0;
    for (TW_SinkCall* c = t_lpInnermostSinkCall; c; c = c->m_lpOuter)
        if (c->m_lpMgr == this && c->m_uiSlot == uiSlot) ++nOwn;
    while (m_nSinkCalls[uiSlot].load() > nOwn) pf::SleepMs(1);
    return lpSink;
}

ISocketMgrSink* TW_SocketMgr::GetSink() { return m_lpSink.load(std::memory_order_acquire); }

bool TW_SocketMgr::IsInsideOwnCallback() const {
    for (TW_SinkCall* c = t_lpInnermostSinkCall; c; c = c->m_lpOuter)
        if (c->m_lpMgr == this) return true;
    return false;
}

bool TW_SocketMgr::RefuseDestroyHere() {
    if (!IsInsideOwnCallback()) return false;
    std::printf("vxDestroyInstance refused: called inside a callback of the same manager\n");
    return true;
}

// ------------------------------------------------------------------ proxies

PROXYHANDLE TW_SocketMgr::CreateProxy(uint32_t uiType, const char* lpszIp, uint16_t wPort, const char* lpszUser,
                                      const char* lpszPassword) {
    if (!ProxyArgsAcceptable(uiType, lpszIp, lpszUser, lpszPassword)) return nullptr;
    uint32_t dwIp = pf::InetAddr(lpszIp);
    if (dwIp == pf::kAddrNone) return nullptr;

    TW_LockGuard guard(&m_listProxy);
    for (POSITION pos = m_listProxy.GetHeadPosition(); pos;) {
        ProxyData* p = m_listProxy.GetNext(pos);
        if (ProxyDataEquals(*p, uiType, dwIp, wPort, lpszUser, lpszPassword)) return p;
    }
    ProxyData* p = ProxyDataAlloc(uiType, dwIp, wPort, lpszUser, lpszPassword);
    if (p) m_listProxy.AddTail(p);
    return p;
}

bool TW_SocketMgr::DestroyProxy(PROXYHANDLE hProxy) {
    if (!TW_CHECK(hProxy != nullptr)) return false;
    TW_LockGuard guard(&m_listProxy);
    POSITION pos = m_listProxy.Find(static_cast<ProxyData*>(hProxy));
    if (!pos) return false;  // not ours, or destroyed already
    MemPoolFree(hProxy);
    m_listProxy.RemoveAt(pos);
    return true;
}

bool TW_SocketMgr::IsProxyListed(const ProxyData* lpProxy) {
    TW_LockGuard guard(&m_listProxy);
    return lpProxy && m_listProxy.Find(const_cast<ProxyData*>(lpProxy)) != nullptr;
}

bool TW_SocketMgr::GetProxyAddr(PROXYHANDLE hProxy, uint32_t* lpIp, uint16_t* lpPort) {
    TW_LockGuard guard(&m_listProxy);
    auto* p = static_cast<ProxyData*>(hProxy);
    if (!p || !m_listProxy.Find(p)) return false;
    *lpIp = p->dwIp;
    *lpPort = htons(p->wPort);
    return true;
}

// ------------------------------------------------------------------ socket options

bool TW_SocketMgr::SetSendBufSize(SOCKET s, int nBytes) { return pf::SetSendBufSize(s, nBytes); }
bool TW_SocketMgr::SetRecvBufSize(SOCKET s, int nBytes) { return pf::SetRecvBufSize(s, nBytes); }

// ------------------------------------------------------------------ timers

bool TW_SocketMgr::SetSendIdleTimer(SOCKET s, uint32_t uiPeriod) {
    return m_timer.AddTimer(TimerKey(s, TIMER_SEND_IDLE), uiPeriod, uiPeriod, true);
}

bool TW_SocketMgr::SetRecvIdleTimer(SOCKET s, uint32_t uiPeriod) {
    return m_timer.AddTimer(TimerKey(s, TIMER_RECV_IDLE), uiPeriod, uiPeriod, true);
}

bool TW_SocketMgr::KillSendIdleTimer(SOCKET s) { return m_timer.KillTimer(TimerKey(s, TIMER_SEND_IDLE)); }
bool TW_SocketMgr::KillRecvIdleTimer(SOCKET s) { return m_timer.KillTimer(TimerKey(s, TIMER_RECV_IDLE)); }

bool TW_SocketMgr::SetEventTimer(SOCKET s, uint32_t uiEvent, uint32_t uiDelay, uint32_t uiPeriod, bool bOneShot) {
    // The first firing comes after uiDelay and a repeating timer keeps that
    // pace; uiPeriod only travels back to the host in OnSocketTimer.
    if (uiEvent > kMaxEventTimer) return false;
    return m_timer.AddTimer(TimerKey(s, TIMER_EVENT_BASE + uiEvent), uiDelay, uiPeriod, bOneShot);
}

bool TW_SocketMgr::KillEventTimer(SOCKET s, uint32_t uiEvent) {
    if (uiEvent > kMaxEventTimer) return false;
    return m_timer.KillTimer(TimerKey(s, TIMER_EVENT_BASE + uiEvent));
}

void TW_SocketMgr::KillSocketTimers(SOCKET s) {
    if (s == INVALID_SOCKET) return;
    for (uint32_t uiClass = 0; uiClass < kTimerClassCount; ++uiClass) m_timer.KillTimer(TimerKey(s, uiClass));
}

bool TW_SocketMgr::SetConnectTimer(SOCKET s) {
    return m_timer.AddTimer(TimerKey(s, TIMER_CONNECT), m_uiConnectLimitMs, m_uiConnectLimitMs, true);
}

bool TW_SocketMgr::KillConnectTimer(SOCKET s) { return m_timer.KillTimer(TimerKey(s, TIMER_CONNECT)); }

bool TW_SocketMgr::StartTimer(int nMessageThreads) {
    if (m_bTimerStarted) return true;
    m_timer.SetSink(this);
    if (nMessageThreads <= 0) nMessageThreads = int(pf::ProcessorCount());
    m_bTimerStarted = m_timer.Create(1, nMessageThreads, 4099);
    if (!m_bTimerStarted) m_timer.Destroy();  // the message threads may have started
    return m_bTimerStarted;
}

bool TW_SocketMgr::StopTimer() {
    if (!m_bTimerStarted) return false;
    m_timer.Destroy();
    m_bTimerStarted = false;
    return true;
}

void TW_SocketMgr::OnTimer(uint32_t uiKey, uint32_t uiValue) {
    SOCKET s = SOCKET(uiKey & 0xFFFFFF);
    uint32_t uiClass = uiKey >> 24;
    if (uiClass == TIMER_CONNECT || uiClass >= TIMER_ACCEPT_RESUME) {
        OnInternalTimer(s, uiClass);
        return;
    }
    uint32_t u1 = 0, u2 = 0;
    if (!GetUserData(s, &u1, &u2)) return;  // the socket is gone
    if (uiClass >= TIMER_EVENT_BASE) {
        if (TW_SinkCall sink(this); sink) sink->OnSocketTimer(s, uiClass - TIMER_EVENT_BASE, uiValue, u1, u2);
        return;
    }

    // Idle checks are one-shot timers re-armed here, so that activity since
    // the last check pushes the next one back instead of firing early.
    bool bSend = uiClass == TIMER_SEND_IDLE;
    uint32_t uiElapsed = 0;
    if (!CheckIdle(s, bSend, uiValue, &uiElapsed)) return;  // not UDP or connected: the check stops
    if (uiElapsed >= uiValue) {
        m_timer.AddTimer(uiKey, uiValue, uiValue, true);
        TW_SinkCall sink(this);
        if (!sink) return;
        if (bSend)
            sink->OnSocketSendIdle(0, s, u1, u2);
        else
            sink->OnSocketRecvIdle(0, s, u1, u2);
    } else if (uiElapsed > 0) {
        m_timer.AddTimer(uiKey, uiValue - uiElapsed, uiValue, true);
    } else if (!m_bLapseIdleOnZeroElapsed) {
        m_timer.AddTimer(uiKey, uiValue, uiValue, true);
    }
}

// ------------------------------------------------------------------ names

bool TW_SocketMgr::ParseDns(const char* lpszHost) {
    if (!TW_CHECK(lpszHost != nullptr)) return false;
    NameRequest* lpReq = NameRequest::Create(lpszHost);
    if (!lpReq) return false;
    return PostDnsRequest(MSG_DNS_PARSE, lpReq);
}

bool TW_SocketMgr::PostDnsRequest(uint32_t uiMsg, NameRequest* lpReq) {
    if (m_msgQueue.PostMsg(uiMsg, 0, reinterpret_cast<uintptr_t>(lpReq))) return true;
    MemPoolFree(lpReq);
    return false;
}

bool TW_SocketMgr::PostDnsQuit() { return m_msgQueue.PostMsg(MSG_DNS_QUIT, 0, 0); }

void TW_SocketMgr::RunDnsWorker() {
    TW_Message msg;
    while (m_msgQueue.GetMsg(&msg)) {
        auto* lpReq = reinterpret_cast<NameRequest*>(msg.lParam);
        if (!lpReq) continue;
        if (msg.message == MSG_DNS_PARSE || msg.message == MSG_DNS_CONNECT) {
            int nError = 0;
            uint32_t dwIp = pf::InetAddr(lpReq->lpszName);
            if (dwIp == pf::kAddrNone) {
                dwIp = pf::ResolveHost(lpReq->lpszName);
                if (dwIp == pf::kAddrNone) nError = pf::GetLastError();
            }
            if (msg.message == MSG_DNS_PARSE) {
                if (TW_SinkCall sink(this); sink) sink->OnDnsParse(lpReq->lpszName, dwIp);
            } else {
                OnNameResolved(*lpReq, dwIp, nError);
            }
        }
        MemPoolFree(lpReq);
    }
    // Requests still queued behind the quit are never answered.
    FreeQueuedNameRequests();
}

void TW_SocketMgr::FreeQueuedNameRequests() {
    m_msgQueue.Disable();
    TW_Message msg;
    while (m_msgQueue.GetCount() > 0) {
        m_msgQueue.GetMsg(&msg);  // false for the quit message, which is copied out all the same
        if (msg.message != MSG_DNS_QUIT) MemPoolFree(reinterpret_cast<void*>(msg.lParam));
    }
}

// ------------------------------------------------------------------ record file

bool TW_SocketMgr::OpenRecordFile() {
    TW_LockGuard guard(&m_lckRecord);
    // Created anew (an earlier recording is truncated); a file that cannot
    // be created means this run records nothing.
    m_bRecord.store(m_bRecordWanted &&
                    m_fileRecord.Open("vxnet.rec", TW_FileEx::kWrite | TW_FileEx::kCreateAlways));
    return m_bRecord.load();
}

void TW_SocketMgr::CloseRecordFile() {
    TW_LockGuard guard(&m_lckRecord);
    m_bRecord.store(false);
    if (m_fileRecord.IsOpen()) m_fileRecord.Close();
}

void TW_SocketMgr::WriteRecord(const RecordHeader& header, const void* lpPayload) {
    // Small records go out in one write; larger ones as header and payload.
    // Either way a short write ends the recording: what was written of the
    // record cannot be taken back, and nothing may follow it.
    constexpr uint32_t kOneWrite = 512;
    unsigned char buf[kRecordHeaderSize + kOneWrite];
    EncodeRecordHeader(buf, header);
    const bool bJoined = header.uiLen <= kOneWrite;
    if (bJoined && header.uiLen) std::memcpy(buf + kRecordHeaderSize, lpPayload, header.uiLen);
    const uint32_t uiFirst = kRecordHeaderSize + (bJoined ? header.uiLen : 0);

    TW_LockGuard guard(&m_lckRecord);
    if (!m_bRecord.load() || !m_fileRecord.IsOpen()) return;  // ended by a failed write meanwhile
    bool bWhole = m_fileRecord.Write(buf, int32_t(uiFirst)) == int32_t(uiFirst);
    // A Write takes a signed count: a payload beyond that goes in pieces.
    const char* p = static_cast<const char*>(lpPayload);
    for (uint32_t uiLeft = bJoined ? 0 : header.uiLen; bWhole && uiLeft > 0;) {
        const int32_t nPiece = int32_t(uiLeft > 0x40000000u ? 0x40000000u : uiLeft);
        bWhole = m_fileRecord.Write(p, nPiece) == nPiece;
        p += nPiece;
        uiLeft -= uint32_t(nPiece);
    }
    if (!bWhole) {
        std::printf("vxnet.rec: a write failed, recording ends here\n");
        m_bRecord.store(false);
        m_fileRecord.Close();
    }
}

bool TW_SocketMgr::RecordAccept(SOCKET sListen, SOCKET s, const sockaddr_in*, const sockaddr_in*) {
    if (!m_bRecord.load(std::memory_order_relaxed)) return true;
    unsigned char payload[kAcceptPayloadSize];
    PutRecordLE32(payload, uint32_t(s));
    WriteRecord(RecordHeader{RECORD_ACCEPT, kAcceptPayloadSize, uint32_t(sListen), 0, 0}, payload);
    return true;
}

bool TW_SocketMgr::RecordRecv(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwUser1, uint32_t dwUser2) {
    if (!m_bRecord.load(std::memory_order_relaxed) || uiLen == 0 || !lpData) return true;
    WriteRecord(RecordHeader{RECORD_RECV, uiLen, uint32_t(s), dwUser1, dwUser2}, lpData);
    return true;
}

bool TW_SocketMgr::RecordClose(int nError, SOCKET s, int nStatus, uint32_t dwUser1, uint32_t dwUser2) {
    if (!m_bRecord.load(std::memory_order_relaxed)) return true;
    unsigned char payload[kClosePayloadSize];
    PutRecordLE32(payload, uint32_t(nError));
    PutRecordLE32(payload + 4, uint32_t(nStatus));
    WriteRecord(RecordHeader{RECORD_CLOSE, kClosePayloadSize, uint32_t(s), dwUser1, dwUser2}, payload);
    return true;
}
