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
    if (m_bRecord) {
        m_fileRecord.Close();
        m_bRecord = false;
    }
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

bool TW_SocketMgr::StartTimer() {
    if (m_bTimerStarted) return true;
    m_timer.SetSink(this);
    m_bTimerStarted = m_timer.Create(1, int(pf::ProcessorCount()), 4099);
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
    if (m_bRecord)
        m_bRecord = m_fileRecord.Open("vxnet.rec", TW_FileEx::kWrite | TW_FileEx::kCreateAlways);
    return m_bRecord;
}

// The record file is little-endian on every platform.
static void PutLE32(unsigned char* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

bool TW_SocketMgr::WriteRecord(uint32_t uiType, SOCKET s, uint32_t dwA, uint32_t dwB, const void* lpPayload1,
                               uint32_t uiLen1, const void* lpPayload2, uint32_t uiLen2) {
    unsigned char header[20];
    PutLE32(header, uiType);
    PutLE32(header + 4, uiLen1 + uiLen2);
    PutLE32(header + 8, uint32_t(s));
    PutLE32(header + 12, dwA);
    PutLE32(header + 16, dwB);
    // One record at a time, header and payload together.
    TW_LockGuard guard(&m_lckRecord);
    if (m_fileRecord.Write(header, sizeof header) != int32_t(sizeof header)) return true;
    if (uiLen1) m_fileRecord.Write(lpPayload1, int32_t(uiLen1));
    if (uiLen2) m_fileRecord.Write(lpPayload2, int32_t(uiLen2));
    return true;
}

bool TW_SocketMgr::RecordAccept(SOCKET sListen, SOCKET s, const sockaddr_in*, const sockaddr_in*) {
    if (!m_bRecord) return true;
    unsigned char payload[4];
    PutLE32(payload, uint32_t(s));
    return WriteRecord(RECORD_ACCEPT, sListen, 0, 0, payload, 4, nullptr, 0);
}

bool TW_SocketMgr::RecordRecv(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwUser1, uint32_t dwUser2) {
    if (!m_bRecord) return true;
    return WriteRecord(RECORD_RECV, s, dwUser1, dwUser2, lpData, uiLen, nullptr, 0);
}

bool TW_SocketMgr::RecordClose(int nError, SOCKET s, int nStatus, uint32_t dwUser1, uint32_t dwUser2) {
    if (!m_bRecord) return true;
    unsigned char e[4], st[4];
    PutLE32(e, uint32_t(nError));
    PutLE32(st, uint32_t(nStatus));
    return WriteRecord(RECORD_CLOSE, s, dwUser1, dwUser2, e, 4, st, 4);
}
