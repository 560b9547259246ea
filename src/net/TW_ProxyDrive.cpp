// The proxy handshake drive: the shared layer runs the step machine of
// TW_ProxyHandshake on a socket's record, sends its requests, reports its
// outcome, and fails a handshake that does not finish in time.
#include "PfError.h"
#include "PfSocket.h"
#include "TW_Assert.h"
#include "TW_EngineSocketMgr.h"

namespace {

sockaddr_in ToSockAddr(ProxyAddr a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = a.dwIp;
    sa.sin_port = a.wPort;
    return sa;
}

// A sink event of the handshake, made after the table lock is released.
struct ProxyEvent {
    ProxyAction eAction;
    ProxyStepResult result;
};

}  // namespace

ProxyHandshake TW_EngineSocketMgr::MakeHandshake(const SocketData& rec) {
    ProxyHandshake hs{};
    hs.lpProxy = IsProxyListed(rec.lpProxyData) ? rec.lpProxyData : nullptr;
    hs.uiStep = rec.uiProxyStep;
    hs.bLinked = rec.sLinked != INVALID_SOCKET;
    hs.dest = ProxyAddr{rec.dwProxyIp, rec.wProxyPort};
    if (hs.bLinked) {
        sockaddr_in local{};
        pf::GetSockName(rec.sLinked, &local);
        hs.udpLocal = ProxyAddr{local.sin_addr.s_addr, local.sin_port};
    }
    return hs;
}

// The connect to the proxy completed (lock held on entry, released on return).
void TW_EngineSocketMgr::StartProxyHandshake(SocketData& rec, TW_LockGuard& lock) {
    TW_ASSERT_LOCKED(m_lckTable);
    const SOCKET s = rec.socket;
    char request[kProxyRequestBufSize];
    ProxyStepResult res;
    {
        TW_LockGuard proxies(&ProxyLock());
        res = ProxyHandshakeStart(MakeHandshake(rec), request);
    }
    rec.uiProxyStep = res.uiStep;
    if (res.eAction == PROXY_SEND_REQUEST) {
        if (EngineSend(rec, request, res.uiRequestLen)) {
            rec.uiNoticeLen = 2;  // keeps the socket readable during the handshake
            EngineWatchRead(rec);
            // A proxy that takes the connection and never answers must not
            // leave the socket waiting for ever.
            m_timer.AddTimer(TimerKey(s, TIMER_PROXY_LIMIT), m_uiProxyLimitMs, m_uiProxyLimitMs, true);
            return;
        }
        TW_LockGuard proxies(&ProxyLock());
        res = ProxyHandshakeSendFailed(MakeHandshake(rec), pf::GetLastError());
    }
    const uint32_t u1 = rec.dwUser1, u2 = rec.dwUser2;
    const SOCKET sLinked = rec.sLinked;
    lock.Unlock();
    ReportProxyFailure(s, res, sLinked, u1, u2);
}

bool TW_EngineSocketMgr::ReportProxyFailure(SOCKET s, const ProxyStepResult& res, SOCKET sLinked, uint32_t u1,
                                            uint32_t u2) {
    m_timer.KillTimer(TimerKey(s, TIMER_PROXY_LIMIT));
    switch (res.eFail) {
    case PROXY_FAIL_CLOSE_CONTROL:
        CloseSocket(s);
        if (TW_SinkCall sink(this); sink) sink->OnSocketProxy(res.nError, sLinked, nullptr, u1, u2);
        return true;
    case PROXY_FAIL_TO_PROXY_SINK:
        if (TW_SinkCall sink(this); sink)
            sink->OnSocketProxy(res.nError, sLinked != INVALID_SOCKET ? sLinked : s, nullptr, u1, u2);
        return false;
    case PROXY_FAIL_TO_CLOSE_SINK:
        NotifyClose(res.nError, s, 0);
        return false;
    }
    return false;
}

void TW_EngineSocketMgr::OnProxyLimit(SOCKET s) {
    uint32_t u1, u2;
    SOCKET sLinked;
    {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpRec = FindLocked(s);
        if (!lpRec || lpRec->status != SS_CONNECTED || lpRec->uiProxyStep >= PROXY_STEP_BIND_ACCEPT ||
            !lpRec->lpProxyData)
            return;
        // Final: the socket is read no more and a late reply finds it failed.
        lpRec->status = SS_CLOSE_NOTIFIED;
        lpRec->uiNoticeLen = 0;
        EnginePauseRead(*lpRec);
        u1 = lpRec->dwUser1;
        u2 = lpRec->dwUser2;
        sLinked = lpRec->sLinked;
    }
    if (TW_SinkCall sink(this); sink)
        sink->OnSocketProxy(pf::kErrTimedOut, sLinked != INVALID_SOCKET ? sLinked : s, nullptr, u1, u2);
}

NoticeResult TW_EngineSocketMgr::OnProxyBytes(SOCKET s, const NoticeRecord& nrec, const char* lpData,
                                              uint32_t uiLen, TW_LockGuard& lock) {
    SocketData& rec = *FindLocked(s);
    if (rec.status != SS_CONNECTED) return NOTICE_IDLE;  // failed already (too late, or refused)
    // Replies are a byte stream: they collect in the receive buffer until a
    // whole one is there, and what follows the last one stays for the host.
    if (!AppendRecvBytes(rec, lpData, uiLen)) return NOTICE_OVERFLOW;

    ProxyEvent events[4];
    int nEvents = 0;
    NoticeResult eResult = NOTICE_READ_ON;
    char request[kProxyRequestBufSize];
    for (bool bMore = true; bMore && nEvents < 4;) {
        ProxyStepResult res;
        {
            TW_LockGuard proxies(&ProxyLock());
            res = ProxyHandshakeOnReply(MakeHandshake(rec), rec.sbRbuf.lpBuffer, rec.sbRbuf.uiDataLen, request);
        }
        if (res.eAction == PROXY_NEED_MORE) break;
        if (res.eAction == PROXY_NO_HANDSHAKE) {
            eResult = NOTICE_IDLE;
            break;
        }
        DropRecvBytes(rec, res.uiUsed);
        rec.uiProxyStep = res.uiStep;
        bMore = rec.sbRbuf.uiDataLen > 0;
        if (res.eAction == PROXY_SEND_REQUEST) {
            if (!EngineSend(rec, request, res.uiRequestLen)) {
                TW_LockGuard proxies(&ProxyLock());
                res = ProxyHandshakeSendFailed(MakeHandshake(rec), pf::GetLastError());
                events[nEvents++] = ProxyEvent{PROXY_FAIL, res};
                rec.uiNoticeLen = 0;
                eResult = NOTICE_IDLE;
                bMore = false;
            }
            continue;
        }
        if (res.eAction != PROXY_FAIL) {
            rec.dwProxyIp = res.addr.dwIp;
            rec.wProxyPort = res.addr.wPort;
        }
        events[nEvents++] = ProxyEvent{res.eAction, res};
        if (res.eAction == PROXY_FAIL && res.eFail == PROXY_FAIL_TO_PROXY_SINK) {
            // Reported now, as final: the connection's end, which an engine
            // watching for closes sees, is no second failure.
            rec.status = SS_CLOSE_NOTIFIED;
            EnginePauseRead(rec);
        }
        if (res.eAction == PROXY_REPORT_BOUND) continue;  // the peer's reply may follow at once
        // The handshake is over. Application data waits for the host's first
        // request; a relay's control connection stays watched, since the
        // association lives as long as it does and its end must reach the
        // UDP socket.
        rec.uiNoticeLen = 0;
        bMore = false;
        if (res.eAction != PROXY_REPORT_RELAY) eResult = NOTICE_IDLE;
        if (res.eAction == PROXY_REPORT_RELAY) {
            if (SocketData* lpUdp = FindLocked(rec.sLinked)) {
                lpUdp->dwProxyIp = res.addr.dwIp;
                lpUdp->wProxyPort = res.addr.wPort;
            }
        }
    }
    // Once the proxy has answered a BIND, waiting for the peer is the host's business.
    if (rec.uiProxyStep >= PROXY_STEP_BIND_ACCEPT || eResult == NOTICE_IDLE)
        m_timer.KillTimer(TimerKey(s, TIMER_PROXY_LIMIT));
    const uint32_t u1 = nrec.dwUser1, u2 = nrec.dwUser2;
    const SOCKET sLinked = rec.sLinked;
    lock.Unlock();

    for (int i = 0; i < nEvents; ++i) {
        const ProxyStepResult& res = events[i].result;
        sockaddr_in addr = ToSockAddr(res.addr);
        if (events[i].eAction == PROXY_FAIL) {
            if (ReportProxyFailure(s, res, sLinked, u1, u2)) return NOTICE_GONE;
            continue;
        }
        TW_SinkCall sink(this);
        if (!sink) continue;
        switch (events[i].eAction) {
        case PROXY_REPORT_BOUND: sink->OnSocketProxy(0, s, &addr, u1, u2); break;
        case PROXY_REPORT_RELAY: sink->OnSocketProxy(0, sLinked, &addr, u1, u2); break;
        case PROXY_REPORT_ACCEPT: {
            sockaddr_in local{};
            pf::GetSockName(s, &local);
            sink->OnSocketAccept(0, s, s, &local, &addr);
            break;
        }
        case PROXY_REPORT_CONNECT: sink->OnSocketConnect(0, s, u1, u2); break;
        default: break;
        }
    }
    return eResult;
}
