// The shared layer's table, lifecycle and host operations. The handlers the
// engines call are in TW_EngineEvents.cpp, the proxy drive in TW_ProxyDrive.cpp.
#include "TW_EngineSocketMgr.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "PfError.h"
#include "PfSocket.h"
#include "TW_Array.h"
#include "TW_Assert.h"
#include "vxnet/vxmempool.h"

TW_EngineSocketMgr::TW_EngineSocketMgr() { m_mapSocket2Data.InitHashTable(4099); }

TW_EngineSocketMgr::~TW_EngineSocketMgr() {
    // The engine's destructor has stopped it (EngineStop is gone by now).
    TW_ASSERT(m_eRunState.load() != RUN_RUNNING);
    StopAllThreads(2000);
}

// ------------------------------------------------------------------ start, stop

bool TW_EngineSocketMgr::Start(uint8_t byFlags, uint32_t uiWorkers, uint32_t, uint32_t) {
    if (IsInsideOwnCallback()) return false;  // it runs already
    TW_LockGuard life(&m_lckLifecycle);
    if (m_eRunState.load() == RUN_RUNNING) return false;
    OpenRecordFile();
    // Without the timer the timer slots and connect by name simply fail.
    if (!(byFlags & START_NO_TIMER)) StartTimer();
    if (!EngineStart(byFlags, uiWorkers)) {
        StopTimer();
        return false;
    }
    m_msgQueue.Enable();  // a restart after Stop
    if (!(byFlags & START_NO_DNS_THREAD)) {
        int iThreadCount = StartThreads(kThreadDns, 1, 0);
        TW_ASSERT(iThreadCount == 1);
    }
    TW_LockGuard lock(&m_lckTable);
    m_eRunState = RUN_RUNNING;
    return true;
}

bool TW_EngineSocketMgr::Stop(uint32_t) {
    if (IsInsideOwnCallback()) {
        // The calling thread is one of ours: stopping would pull its state
        // from under it.
        std::printf("Stop refused: called inside a callback of the same manager\n");
        return false;
    }
    TW_LockGuard life(&m_lckLifecycle);
    {
        TW_LockGuard lock(&m_lckTable);
        if (m_eRunState.load() != RUN_RUNNING) return true;
        m_eRunState = RUN_STOPPED;
        // Every socket leaves now, without events; handlers still running
        // find nothing, and pinned descriptors close with their last pin.
        TW_Array<SocketData*> arrRecords;
        SOCKET s;
        for (POSITION pos = m_mapSocket2Data.GetStartPosition(); pos;)
            arrRecords.Add(m_mapSocket2Data.GetNextAssoc(pos, s));
        for (int i = 0; i < arrRecords.GetSize(); ++i) DetachLocked(arrRecords[i]);
    }
    StopTimer();
    if (GetThreadCount(kThreadDns) > 0) {
        PostDnsQuit();
        StopThreads(kThreadDns, 2000);
    }
    EngineStop();
    return true;
}

uint32_t TW_EngineSocketMgr::ThreadProc(ThreadData* lpData) {
    if (lpData->iThreadType != kThreadDns) return EngineThreadProc(lpData);
    RunDnsWorker();
    return 0;
}

uint32_t TW_EngineSocketMgr::EngineThreadProc(ThreadData*) {
    TW_ASSERT(!"thread type of this engine");
    return 0;
}

// ------------------------------------------------------------------ table

SocketData* TW_EngineSocketMgr::FindLocked(SOCKET s) {
    TW_ASSERT_LOCKED(m_lckTable);
    SocketData** lpp = m_mapSocket2Data.LookupPtr(s);
    return lpp ? *lpp : nullptr;
}

SocketData* TW_EngineSocketMgr::FindLocked(SOCKET s, uint32_t uiSeq) {
    SocketData* lpRec = FindLocked(s);
    return lpRec && (uiSeq == 0 || lpRec->uiSeq == uiSeq) ? lpRec : nullptr;
}

bool TW_EngineSocketMgr::Owns(SOCKET s) {
    if (s >= kMaxSocketHandle) return false;
    TW_LockGuard lock(&m_lckTable);
    return FindLocked(s) != nullptr;
}

bool TW_EngineSocketMgr::AddLocked(SOCKET s, uint32_t status, uint32_t dwUser1, uint32_t dwUser2,
                                   ProxyData* lpProxy) {
    TW_ASSERT_LOCKED(m_lckTable);
    // Timer keys carry the socket in 24 bits.
    if (!TW_CHECK(s < kMaxSocketHandle)) return false;
    if (m_eRunState.load() != RUN_RUNNING || FindLocked(s)) return false;
    auto* lpRec = new SocketData();
    lpRec->socket = s;
    lpRec->status = status;
    lpRec->bUdp = status == SS_UDP;
    lpRec->dwLastRecvTime = lpRec->dwLastSendTime = GetCurrentTick();
    lpRec->uiSeq = m_uiSocketSeq;
    m_uiSocketSeq = m_uiSocketSeq + 1 == 0xFFFFFFFFu ? 1 : m_uiSocketSeq + 1;
    lpRec->lpProxyData = lpProxy;
    lpRec->dwUser1 = dwUser1;
    lpRec->dwUser2 = dwUser2;
    m_mapSocket2Data[s] = lpRec;
    if (EngineAdd(*lpRec)) return true;
    m_mapSocket2Data.RemoveKey(s);
    delete lpRec;
    return false;
}

void TW_EngineSocketMgr::DetachLocked(SocketData* lpRec) {
    TW_ASSERT_LOCKED(m_lckTable);
    m_mapSocket2Data.RemoveKey(lpRec->socket);
    EngineRemove(*lpRec);
    ReleaseSendQueue(lpRec->listSendBuf);
    // A lent block belongs to the delivering thread, which frees it when it
    // finds the record gone; what the record holds is the record's.
    ReleaseRecvBuffer(*lpRec);
    if (lpRec->uiPins.fetch_or(SocketData::kClosingBit) == 0) DestroyRecord(lpRec);
}

void TW_EngineSocketMgr::DestroyRecord(SocketData* lpRec) {
    pf::CloseSocket(lpRec->socket);
    delete lpRec;
}

void TW_EngineSocketMgr::Unpin(SocketData* lpRec) {
    // No lock: a record with a pin is never freed, and the last pin of a
    // closed one frees it.
    const uint32_t uiBefore = lpRec->uiPins.fetch_sub(1);
    TW_ASSERT((uiBefore & ~SocketData::kClosingBit) > 0);
    if (uiBefore == (SocketData::kClosingBit | 1)) DestroyRecord(lpRec);
}

// ------------------------------------------------------------------ creation

SOCKET TW_EngineSocketMgr::CreateSocket(bool bTcp, PROXYHANDLE hProxy, const sockaddr_in* lpAddr, uint32_t u1,
                                        uint32_t u2) {
    if (!TW_CHECK(lpAddr != nullptr)) return INVALID_SOCKET;
    if (m_eRunState.load() != RUN_RUNNING) {
        pf::SetLastError(pf::kErrInvalid);
        return INVALID_SOCKET;
    }
    SOCKET s = pf::SocketOpen(bTcp ? pf::kSocketTcp : pf::kSocketUdp);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    if (!bTcp && !pf::DisableUdpConnReset(s)) {
        int nError = pf::GetLastError();
        if (nError != pf::kErrWouldBlock) std::printf("WSAIoctl(SIO_UDP_CONNRESET) Error: %d\n", nError);
    }
    bool bOk = pf::Bind(s, lpAddr) && pf::SetNonBlocking(s, true);
    if (bOk) {
        TW_LockGuard lock(&m_lckTable);
        bOk = AddLocked(s, bTcp ? SS_TCP : SS_UDP, u1, u2, static_cast<ProxyData*>(hProxy));
    }
    if (!bOk) {
        int nError = pf::GetLastError();
        pf::CloseSocket(s);
        pf::SetLastError(nError);
        return INVALID_SOCKET;
    }
    return s;
}

// A local address from the host's text: null means any; text that is no
// address fails instead of binding to 255.255.255.255.
static bool LocalAddr(const char* lpszIp, uint16_t wPort, sockaddr_in* lpAddr) {
    uint32_t dwIp = lpszIp ? pf::InetAddr(lpszIp) : pf::kAddrAny;
    if (dwIp == pf::kAddrNone) {
        pf::SetLastError(pf::kErrInvalid);
        return false;
    }
    *lpAddr = pf::MakeSockAddr(dwIp, wPort);
    return true;
}

SOCKET TW_EngineSocketMgr::CreateTcpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                                           uint32_t u2) {
    sockaddr_in addr;
    return LocalAddr(lpszIp, wPort, &addr) ? CreateTcpSocketAddr(hProxy, &addr, u1, u2) : INVALID_SOCKET;
}

SOCKET TW_EngineSocketMgr::CreateTcpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) {
    return CreateSocket(true, hProxy, lpAddr, u1, u2);
}

SOCKET TW_EngineSocketMgr::CreateUdpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                                           uint32_t u2) {
    sockaddr_in addr;
    return LocalAddr(lpszIp, wPort, &addr) ? CreateUdpSocketAddr(hProxy, &addr, u1, u2) : INVALID_SOCKET;
}

SOCKET TW_EngineSocketMgr::CreateUdpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) {
    SOCKET s = CreateSocket(false, hProxy, lpAddr, u1, u2);
    if (s == INVALID_SOCKET || !hProxy) return s;

    // Through a SOCKS5 relay: a TCP control connection to the proxy asks for
    // the association and keeps it alive.
    SOCKET sControl = CreateTcpSocket(hProxy, nullptr, 0, u1, u2);
    bool bLinked = false;
    if (sControl != INVALID_SOCKET) {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpUdp = FindLocked(s);
        SocketData* lpTcp = FindLocked(sControl);
        if (lpUdp && lpTcp) {
            lpUdp->sLinked = sControl;
            lpTcp->sLinked = s;
            bLinked = true;
        }
    }
    if (!bLinked || !Connect(sControl, "127.0.0.1", 0)) {
        CloseSocket(s);
        if (sControl != INVALID_SOCKET) CloseSocket(sControl);
        return INVALID_SOCKET;
    }
    return s;
}

// ------------------------------------------------------------------ closing

bool TW_EngineSocketMgr::CloseSocket(SOCKET s) {
    if (s == INVALID_SOCKET) return false;
    SOCKET sControl = INVALID_SOCKET;
    {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpRec = FindLocked(s);
        // Nothing of ours to close (and a foreign handle's low 24 bits must
        // not reach the timers of the socket they alias).
        if (!lpRec) return true;
        const SOCKET sLinked = lpRec->sLinked;
        const bool bUdp = lpRec->bUdp;
        DetachLocked(lpRec);
        if (SocketData* lpLinked = sLinked != INVALID_SOCKET ? FindLocked(sLinked) : nullptr) {
            if (bUdp) {
                // The control connection of a proxied UDP socket is the
                // engine's own: it goes with the UDP socket.
                sControl = sLinked;
                DetachLocked(lpLinked);
            } else {
                // The control connection went first: its UDP socket forgets
                // the link, so a later close never closes a reused handle.
                lpLinked->sLinked = INVALID_SOCKET;
            }
        }
    }
    // Timers fire on other threads and find the records gone meanwhile.
    KillSocketTimers(s);
    if (sControl != INVALID_SOCKET) KillSocketTimers(sControl);
    return true;
}

bool TW_EngineSocketMgr::Shutdown(SOCKET s, int nHow) {
    if (nHow != pf::kShutRecv && nHow != pf::kShutSend && nHow != pf::kShutBoth) return false;
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    if (!lpRec || (lpRec->status != SS_CONNECTED && lpRec->status != SS_UDP)) return false;
    if (nHow != pf::kShutRecv && EngineSendPending(*lpRec)) {
        // Bytes Send accepted go out first; the queue's last flush shuts down.
        if (nHow == pf::kShutBoth) pf::Shutdown(s, pf::kShutRecv);
        lpRec->bShutdownSendPending = true;
        return true;
    }
    pf::Shutdown(s, nHow);
    return true;
}

// ------------------------------------------------------------------ connecting

bool TW_EngineSocketMgr::ConnectLocked(SocketData& rec, const sockaddr_in& remote) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (rec.status != SS_TCP) {
        pf::SetLastError(rec.status == SS_CONNECTING ? pf::kErrAlready : pf::kErrInvalid);
        return false;
    }
    sockaddr_in to = remote;
    if (rec.lpProxyData) {
        // The proxy is dialled; the real destination waits in the record.
        rec.dwProxyIp = remote.sin_addr.s_addr;
        rec.wProxyPort = remote.sin_port;
        uint32_t dwIp;
        uint16_t wPort;
        if (!GetProxyAddr(rec.lpProxyData, &dwIp, &wPort)) {
            pf::SetLastError(kProxyErrGone);
            return false;
        }
        to.sin_addr.s_addr = dwIp;
        to.sin_port = wPort;
    }
    if (!EngineConnect(rec, to)) return false;
    rec.status = SS_CONNECTING;
    return true;
}

bool TW_EngineSocketMgr::ConnectAddr(SOCKET s, sockaddr_in* lpAddr) {
    if (!TW_CHECK(lpAddr != nullptr)) return false;
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    return lpRec && ConnectLocked(*lpRec, *lpAddr);
}

bool TW_EngineSocketMgr::Connect(SOCKET s, const char* lpszHost, uint16_t wPort) {
    if (!TW_CHECK(lpszHost != nullptr)) return false;
    uint32_t dwIp = pf::InetAddr(lpszHost);
    if (dwIp != pf::kAddrNone) {
        sockaddr_in addr = pf::MakeSockAddr(dwIp, wPort);
        return ConnectAddr(s, &addr);
    }
    NameRequest* lpReq = NameRequest::Create(lpszHost);
    if (!lpReq) return false;  // longer than a host name may be
    {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpRec = FindLocked(s);
        // One connect by name at a time (the timer key exists meanwhile).
        if (!lpRec || !SetConnectTimer(s)) {
            MemPoolFree(lpReq);
            return false;
        }
        lpRec->bNameConnectPending = true;
        lpReq->socket = uint32_t(s);
        lpReq->wPort = wPort;
        lpReq->uiSeq = lpRec->uiSeq;
    }
    if (PostDnsRequest(MSG_DNS_CONNECT, lpReq)) return true;
    TW_LockGuard lock(&m_lckTable);
    if (SocketData* lpRec = FindLocked(s)) lpRec->bNameConnectPending = false;
    KillConnectTimer(s);
    return false;
}

void TW_EngineSocketMgr::OnNameResolved(const NameRequest& req, uint32_t dwIp, int nError) {
    SOCKET s = SOCKET(req.socket);
    uint32_t u1, u2;
    {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpRec = FindLocked(s, req.uiSeq);
        // Closed (maybe reused) meanwhile, or failed already by the 20 s
        // limit: a reported failure is final.
        if (!lpRec || !lpRec->bNameConnectPending) return;
        lpRec->bNameConnectPending = false;
        KillConnectTimer(s);
        u1 = lpRec->dwUser1;
        u2 = lpRec->dwUser2;
        if (dwIp != pf::kAddrNone) {
            sockaddr_in addr = pf::MakeSockAddr(dwIp, req.wPort);
            if (ConnectLocked(*lpRec, addr)) return;
            nError = pf::GetLastError();
        } else if (nError == 0) {
            nError = pf::kErrHostNotFound;
        }
    }
    if (TW_SinkCall sink(this); sink) sink->OnSocketConnect(nError, s, u1, u2);
}

void TW_EngineSocketMgr::OnInternalTimer(SOCKET s, uint32_t uiClass) {
    if (uiClass == TIMER_PROXY_LIMIT) {
        OnProxyLimit(s);
        return;
    }
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    if (!lpRec) return;
    if (uiClass == TIMER_ACCEPT_RESUME) {
        if (lpRec->status == SS_ACCEPTING) EngineWatchRead(*lpRec);
        return;
    }
    if (uiClass != TIMER_CONNECT || !lpRec->bNameConnectPending) return;
    // The name result, should it still come, finds the request answered.
    lpRec->bNameConnectPending = false;
    const uint32_t u1 = lpRec->dwUser1, u2 = lpRec->dwUser2;
    lock.Unlock();
    if (TW_SinkCall sink(this); sink) sink->OnSocketConnect(kErrConnectByNameTimeout, s, u1, u2);
}

bool TW_EngineSocketMgr::Listen(SOCKET s, int nBacklog) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    if (!lpRec || lpRec->status != SS_TCP) return false;
    if (lpRec->lpProxyData) {
        // Listening through the proxy is a SOCKS5 BIND on a connection to it.
        return ConnectLocked(*lpRec, pf::MakeSockAddr(pf::kAddrAny, 0));
    }
    lpRec->status = SS_ACCEPTING;
    if (EngineListen(*lpRec, nBacklog)) return true;
    lpRec->status = SS_TCP;
    return false;
}

// ------------------------------------------------------------------ data

bool TW_EngineSocketMgr::SetNoticeLen(SOCKET s, uint32_t uiLen) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    if (!lpRec) return false;
    // Datagrams are not framed: the request arms reception (engines that
    // read datagrams all the time ignore it).
    if (lpRec->status == SS_UDP) return EngineWatchRead(*lpRec);
    switch (RequestNotice(lpRec->status, *lpRec, uiLen)) {
    case NOTICE_REFUSED: return false;
    case NOTICE_ACCEPTED: return true;
    case NOTICE_WATCH_READ:
        if (EngineWatchRead(*lpRec)) return true;
        lpRec->uiNoticeLen = 0;  // nothing armed: the host may ask again
        return false;
    case NOTICE_DELIVER_BUFFERED: {
        if (EngineDeliverBuffered(*lpRec)) return true;
        // Enough is held already: deliver now, on the caller's thread.
        const uint32_t uiSeq = lpRec->uiSeq;
        lock.Unlock();
        AfterNotice(s, uiSeq, ReceiveNotice(s, nullptr, 0, uiSeq));
        return true;
    }
    }
    return false;
}

int TW_EngineSocketMgr::SendNow(SOCKET s, const char* lpData, uint32_t uiLen) {
    uint32_t uiSent = 0;
    do {
        const uint32_t uiPart = uiLen - uiSent > uint32_t(INT_MAX) ? uint32_t(INT_MAX) : uiLen - uiSent;
        int n = pf::Send(s, lpData + uiSent, int(uiPart));
        if (n < 0) return uiSent > 0 && pf::GetLastError() == pf::kErrWouldBlock ? int(uiSent) : n;
        uiSent += uint32_t(n);
        if (uint32_t(n) < uiPart && !m_bSendUntilWouldBlock) break;
    } while (uiSent < uiLen && uiSent < uint32_t(INT_MAX));
    return int(uiSent);
}

bool TW_EngineSocketMgr::EngineSend(SocketData& rec, const char* lpData, uint32_t uiLen) {
    const char* lpRest = lpData;
    uint32_t uiRest = uiLen;
    // A queue that was not empty is being flushed already.
    const bool bWasEmpty = rec.listSendBuf.IsEmpty();
    if (bWasEmpty) {
        int nSent = SendNow(rec.socket, lpData, uiLen);
        if (nSent < 0) {
            if (pf::GetLastError() != pf::kErrWouldBlock) return false;
            nSent = 0;
        }
        lpRest += nSent;
        uiRest -= uint32_t(nSent);
    }
    if (!bWasEmpty || uiRest > 0) {
        SendBlock block;
        block.lpBuffer = static_cast<char*>(MemPoolAlloc(uiRest));
        if (uiRest) std::memcpy(block.lpBuffer, lpRest, uiRest);
        block.uiLen = block.uiRemain = uiRest;
        rec.listSendBuf.AddTail(block);
    }
    // Sent or not, the engine reports (or finishes) the send later.
    if (!bWasEmpty) return true;
    if (uiRest == 0) EngineReportSend(rec);
    else EngineWatchWrite(rec);
    return true;
}

bool TW_EngineSocketMgr::Send(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwFlag, uint32_t* lpQueued) {
    if (!TW_CHECK(lpData != nullptr || uiLen == 0)) return false;
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    // After Shutdown(send) nothing more may join the queue.
    if (!lpRec || lpRec->status != SS_CONNECTED || lpRec->bShutdownSendPending) return false;
    lpRec->dwSendFlag = dwFlag;
    if (!EngineSend(*lpRec, lpData, uiLen)) return false;
    if (lpQueued) *lpQueued = EngineQueuedCount(*lpRec);
    return true;
}

bool TW_EngineSocketMgr::SendV(SOCKET s, const SendVBuf* lpBufs, uint32_t uiCount, uint32_t dwSendFlag,
                               uint32_t* lpQueued) {
    if (uiCount == 0 || !TW_CHECK(lpBufs != nullptr)) return false;
    uint64_t uiTotal = 0;
    for (uint32_t i = 0; i < uiCount; ++i) {
        if (!TW_CHECK(lpBufs[i].pData != nullptr || lpBufs[i].uiLen == 0)) return false;
        uiTotal += lpBufs[i].uiLen;
    }
    if (uiTotal == 0 || !TW_CHECK(uiTotal <= 0xFFFFFFFFu)) return false;
    char* lpBlock = static_cast<char*>(MemPoolAlloc(uint32_t(uiTotal)));
    char* p = lpBlock;
    for (uint32_t i = 0; i < uiCount; ++i) {
        if (lpBufs[i].uiLen) std::memcpy(p, lpBufs[i].pData, lpBufs[i].uiLen);
        p += lpBufs[i].uiLen;
    }
    bool bOk = Send(s, lpBlock, uint32_t(uiTotal), dwSendFlag, lpQueued);
    MemPoolFree(lpBlock);
    return bOk;
}

int TW_EngineSocketMgr::SendToAddr(SOCKET s, sockaddr_in* lpTo, const char* lpData, int nLen, bool bDirect) {
    if (!TW_CHECK(lpData != nullptr) || !TW_CHECK(nLen > 0) || !TW_CHECK(lpTo != nullptr))
        return pf::kSocketError;
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    if (!lpRec) {
        pf::SetLastError(pf::kErrNotSocket);
        return pf::kSocketError;
    }
    if (!bDirect && !lpRec->lpProxyData && m_bRelayNeedsProxy) {
        pf::SetLastError(pf::kErrInvalid);
        return pf::kSocketError;
    }
    // A datagram sent is send activity for the idle check, as a flush is for TCP.
    lpRec->dwLastSendTime = GetCurrentTick();
    if (EngineLoseDatagram(*lpRec)) return 0;  // looks sent to the caller
    if (bDirect || !lpRec->lpProxyData) return pf::SendTo(s, lpData, nLen, lpTo);
    if (!TW_CHECK(nLen <= INT_MAX - 10)) return pf::kSocketError;
    // Through the SOCKS relay: a 10-byte header names the real destination.
    char* lpDatagram = static_cast<char*>(MemPoolAlloc(uint32_t(nLen) + 10));
    const unsigned char header[4] = {0, 0, 0, 1};
    std::memcpy(lpDatagram, header, 4);
    std::memcpy(lpDatagram + 4, &lpTo->sin_addr.s_addr, 4);
    std::memcpy(lpDatagram + 8, &lpTo->sin_port, 2);
    std::memcpy(lpDatagram + 10, lpData, size_t(nLen));
    sockaddr_in relay = *lpTo;
    relay.sin_addr.s_addr = lpRec->dwProxyIp;
    relay.sin_port = lpRec->wProxyPort;
    int n = pf::SendTo(s, lpDatagram, nLen + 10, &relay);
    MemPoolFree(lpDatagram);
    return n;
}

int TW_EngineSocketMgr::SendTo(SOCKET s, const char* lpszIp, uint16_t wPort, const char* lpData, int nLen,
                               bool bDirect) {
    if (!TW_CHECK(lpszIp != nullptr)) return pf::kSocketError;
    sockaddr_in to = pf::MakeSockAddr(pf::InetAddr(lpszIp), wPort);
    return SendToAddr(s, &to, lpData, nLen, bDirect);
}

// ------------------------------------------------------------------ per-socket data

bool TW_EngineSocketMgr::SetUserData1(SOCKET s, uint32_t u1) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    if (lpRec) lpRec->dwUser1 = u1;
    return lpRec != nullptr;
}

bool TW_EngineSocketMgr::SetUserData2(SOCKET s, uint32_t u2) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    if (lpRec) lpRec->dwUser2 = u2;
    return lpRec != nullptr;
}

bool TW_EngineSocketMgr::GetUserData(SOCKET s, uint32_t* lpU1, uint32_t* lpU2) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    if (!lpRec) return false;
    if (lpU1) *lpU1 = lpRec->dwUser1;
    if (lpU2) *lpU2 = lpRec->dwUser2;
    return true;
}

uint32_t TW_EngineSocketMgr::Control(uint32_t uiCode, SOCKET s, uint32_t a3, uint32_t, uint32_t, uint32_t,
                                     uint32_t, uint32_t) {
    if (s == INVALID_SOCKET || uiCode != CONTROL_REPORT_PARTIAL_SEND) return 0;
    TW_LockGuard lock(&m_lckTable);
    if (SocketData* lpRec = FindLocked(s)) {
        if (a3)
            lpRec->dwFlags |= SOCKET_FLAG_REPORT_PARTIAL_SEND;
        else
            lpRec->dwFlags &= ~SOCKET_FLAG_REPORT_PARTIAL_SEND;
    }
    return 0;
}

bool TW_EngineSocketMgr::CheckIdle(SOCKET s, bool bSend, uint32_t uiValue, uint32_t* lpElapsed) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s);
    if (!lpRec || (lpRec->status != SS_UDP && lpRec->status != SS_CONNECTED)) return false;
    uint32_t& dwStamp = bSend ? lpRec->dwLastSendTime : lpRec->dwLastRecvTime;
    uint32_t dwNow = GetCurrentTick();
    *lpElapsed = dwNow - dwStamp;
    if (*lpElapsed >= uiValue) dwStamp = dwNow;
    return true;
}

// ------------------------------------------------------------------ owned sockets only

bool TW_EngineSocketMgr::SetSendBufSize(SOCKET s, int n) { return Owns(s) && TW_SocketMgr::SetSendBufSize(s, n); }
bool TW_EngineSocketMgr::SetRecvBufSize(SOCKET s, int n) { return Owns(s) && TW_SocketMgr::SetRecvBufSize(s, n); }
bool TW_EngineSocketMgr::SetSendIdleTimer(SOCKET s, uint32_t uiPeriod) {
    return Owns(s) && TW_SocketMgr::SetSendIdleTimer(s, uiPeriod);
}
bool TW_EngineSocketMgr::SetRecvIdleTimer(SOCKET s, uint32_t uiPeriod) {
    return Owns(s) && TW_SocketMgr::SetRecvIdleTimer(s, uiPeriod);
}
bool TW_EngineSocketMgr::KillSendIdleTimer(SOCKET s) { return Owns(s) && TW_SocketMgr::KillSendIdleTimer(s); }
bool TW_EngineSocketMgr::KillRecvIdleTimer(SOCKET s) { return Owns(s) && TW_SocketMgr::KillRecvIdleTimer(s); }
bool TW_EngineSocketMgr::SetEventTimer(SOCKET s, uint32_t uiEvent, uint32_t uiDelay, uint32_t uiPeriod,
                                       bool bOneShot) {
    return Owns(s) && TW_SocketMgr::SetEventTimer(s, uiEvent, uiDelay, uiPeriod, bOneShot);
}
bool TW_EngineSocketMgr::KillEventTimer(SOCKET s, uint32_t uiEvent) {
    return Owns(s) && TW_SocketMgr::KillEventTimer(s, uiEvent);
}
