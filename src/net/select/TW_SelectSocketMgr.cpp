#include "TW_SelectSocketMgr.h"

#include <cstdio>
#include <cstring>

#include "PfError.h"
#include "PfSocket.h"
#include "TW_Assert.h"
#include "TW_SelectThread.h"
#include "vxnet/vxmempool.h"

TW_SocketMgrInstance* TW_SelectSocketMgr::Create(bool bRecord) {
    // The select engine has no recording variant.
    (void)bRecord;
    return new TW_SelectSocketMgr();
}

TW_SelectSocketMgr::TW_SelectSocketMgr() {
    m_bLapseIdleOnZeroElapsed = true;
    m_mapSocket2Thread.InitHashTable(4099);
}

TW_SelectSocketMgr::~TW_SelectSocketMgr() {
    Stop(2000);
    TW_LockGuard lock(&m_mapSocket2Thread);
    m_mapSocket2Thread.RemoveAll();
    m_listFreeThread.RemoveAll();
    m_arrSelectThread.SetSize(0);
}

// ------------------------------------------------------------------ start, stop

bool TW_SelectSocketMgr::Start(uint8_t byFlags, uint32_t, uint32_t, uint32_t) {
    if (m_bStarted) return false;
    if (!(byFlags & START_NO_TIMER)) {
        // Without the timer the timer slots and connect by name simply fail.
        StartTimer();
    }
    if (!(byFlags & START_NO_DNS_THREAD)) {
        int iThreadCount = StartThreads(kThreadDns, 1, 0);
        TW_ASSERT(iThreadCount == 1);
    }
    m_bStarted = true;
    return true;
}

bool TW_SelectSocketMgr::Stop(uint32_t) {
    StopTimer();
    if (GetThreadCount(kThreadDns) > 0) {
        PostDnsQuit();
        StopThreads(kThreadDns, 2000);
    }
    // The groups leave the table first, so that a callback still running on
    // a poll thread finds its socket gone instead of waiting for the table
    // lock while that thread is being joined.
    TW_Array<TW_SelectThread*> arrGroups;
    {
        TW_LockGuard lock(&m_mapSocket2Thread);
        for (int i = 0; i < m_arrSelectThread.GetSize(); ++i) arrGroups.Add(m_arrSelectThread[i]);
        m_arrSelectThread.SetSize(0);
        // The groups take their sockets with them.
        m_mapSocket2Thread.RemoveAll();
        m_listFreeThread.RemoveAll();
    }
    for (int i = 0; i < arrGroups.GetSize(); ++i) arrGroups[i]->Stop();
    // Deleted only when every poll thread has ended: a callback on one group
    // may still be calling into another.
    for (int i = 0; i < arrGroups.GetSize(); ++i) delete arrGroups[i];
    return true;
}

uint32_t TW_SelectSocketMgr::ThreadProc(ThreadData* lpData) {
    TW_ASSERT(lpData->iThreadType == kThreadDns);
    RunDnsWorker();
    return 0;
}

// ------------------------------------------------------------------ groups

TW_SelectThread* TW_SelectSocketMgr::FindGroup(SOCKET s) {
    TW_LockGuard lock(&m_mapSocket2Thread);
    int* lpIndex = m_mapSocket2Thread.LookupPtr(s);
    if (!lpIndex || *lpIndex >= m_arrSelectThread.GetSize()) return nullptr;
    return m_arrSelectThread[*lpIndex];
}

int TW_SelectSocketMgr::GetGroupCount() {
    TW_LockGuard lock(&m_mapSocket2Thread);
    return m_arrSelectThread.GetSize();
}

bool TW_SelectSocketMgr::AddSocket(SOCKET s, uint32_t status, uint32_t dwUser1, uint32_t dwUser2,
                                   ProxyData* lpProxy) {
    // Timer keys carry the socket in 24 bits.
    if (!TW_CHECK(s < kMaxSocketHandle)) return false;
    if (!pf::SetNonBlocking(s, true)) return false;

    TW_LockGuard lock(&m_mapSocket2Thread);
    if (m_mapSocket2Thread.LookupPtr(s)) return false;
    int nIndex;
    if (!m_listFreeThread.IsEmpty()) {
        nIndex = m_listFreeThread.GetTail();
    } else {
        auto* lpGroup = new TW_SelectThread(this, GetSink());
        if (!lpGroup->Start()) {
            delete lpGroup;
            return false;
        }
        nIndex = m_arrSelectThread.Add(lpGroup);
        m_listFreeThread.AddHead(nIndex);
    }
    TW_SelectThread* lpGroup = m_arrSelectThread[nIndex];
    int nCount = lpGroup->AddSocket(s, status, dwUser1, dwUser2, lpProxy);
    if (nCount == 0) return false;
    if (nCount >= int(TW_SelectThread::kGroupSize)) {
        if (POSITION pos = m_listFreeThread.Find(nIndex)) m_listFreeThread.RemoveAt(pos);
    }
    m_mapSocket2Thread[s] = nIndex;
    if (status == SS_UDP) lpGroup->WatchRead(s, SS_UDP, 0);  // datagrams are read at once
    return true;
}

bool TW_SelectSocketMgr::CloseOne(SOCKET s, SOCKET* lpLinked, bool* lpUdp) {
    TW_LockGuard lock(&m_mapSocket2Thread);
    int* lpIndex = m_mapSocket2Thread.LookupPtr(s);
    if (!lpIndex) return false;
    const int nIndex = *lpIndex;
    if (nIndex < m_arrSelectThread.GetSize()) {
        int nLeft = m_arrSelectThread[nIndex]->RemoveSocket(s, lpLinked, lpUdp);
        if (nLeft == int(TW_SelectThread::kGroupSize) - 1 && !m_listFreeThread.Find(nIndex))
            m_listFreeThread.AddHead(nIndex);
    }
    m_mapSocket2Thread.RemoveKey(s);
    return true;
}

bool TW_SelectSocketMgr::CloseSocket(SOCKET s) {
    if (s == INVALID_SOCKET) return false;
    KillSocketTimers(s);
    SOCKET sLinked = INVALID_SOCKET;
    bool bUdp = false;
    if (!CloseOne(s, &sLinked, &bUdp) || sLinked == INVALID_SOCKET) return true;
    if (bUdp) {
        // The control connection of a proxied UDP socket is the engine's own:
        // it goes with the UDP socket instead of lingering until Stop.
        KillSocketTimers(sLinked);
        CloseOne(sLinked, nullptr, nullptr);
    } else if (TW_SelectThread* lpGroup = FindGroup(sLinked)) {
        // The control connection went first: its UDP socket forgets the
        // link, so a later close never closes a reused handle.
        lpGroup->LinkSocket(sLinked, INVALID_SOCKET);
    }
    return true;
}

// ------------------------------------------------------------------ creation

SOCKET TW_SelectSocketMgr::CreateSocket(bool bTcp, PROXYHANDLE hProxy, const sockaddr_in* lpAddr, uint32_t u1,
                                        uint32_t u2) {
    if (!TW_CHECK(lpAddr != nullptr)) return INVALID_SOCKET;
    SOCKET s = pf::SocketOpen(bTcp ? pf::kSocketTcp : pf::kSocketUdp);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    if (!TW_CHECK(s < kMaxSocketHandle)) {
        pf::CloseSocket(s);
        return INVALID_SOCKET;
    }
    if (!bTcp && !pf::DisableUdpConnReset(s)) {
        int nError = pf::GetLastError();
        if (nError != pf::kErrWouldBlock) std::printf("WSAIoctl(SIO_UDP_CONNRESET) Error: %d\n", nError);
    }
    if (!pf::Bind(s, lpAddr) ||
        !AddSocket(s, bTcp ? SS_TCP : SS_UDP, u1, u2, static_cast<ProxyData*>(hProxy))) {
        int nError = pf::GetLastError();
        if (!CloseOne(s, nullptr, nullptr)) pf::CloseSocket(s);
        pf::SetLastError(nError);
        return INVALID_SOCKET;
    }
    return s;
}

SOCKET TW_SelectSocketMgr::CreateTcpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                                           uint32_t u2) {
    sockaddr_in addr = pf::MakeSockAddr(lpszIp ? pf::InetAddr(lpszIp) : pf::kAddrAny, wPort);
    return CreateTcpSocketAddr(hProxy, &addr, u1, u2);
}

SOCKET TW_SelectSocketMgr::CreateTcpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) {
    return CreateSocket(true, hProxy, lpAddr, u1, u2);
}

SOCKET TW_SelectSocketMgr::CreateUdpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                                           uint32_t u2) {
    sockaddr_in addr = pf::MakeSockAddr(lpszIp ? pf::InetAddr(lpszIp) : pf::kAddrAny, wPort);
    return CreateUdpSocketAddr(hProxy, &addr, u1, u2);
}

SOCKET TW_SelectSocketMgr::CreateUdpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) {
    SOCKET s = CreateSocket(false, hProxy, lpAddr, u1, u2);
    if (s == INVALID_SOCKET || !hProxy) return s;

    // Through a SOCKS5 relay: a TCP control connection to the proxy asks for
    // the association and keeps it alive.
    SOCKET sControl = CreateTcpSocket(hProxy, nullptr, 0, u1, u2);
    if (sControl == INVALID_SOCKET) {
        CloseSocket(s);
        return INVALID_SOCKET;
    }
    bool bLinked;
    {
        TW_LockGuard lock(&m_mapSocket2Thread);
        TW_SelectThread* lpUdp = FindGroup(s);
        TW_SelectThread* lpTcp = FindGroup(sControl);
        bLinked = lpUdp && lpTcp && lpUdp->LinkSocket(s, sControl) && lpTcp->LinkSocket(sControl, s);
    }
    if (!bLinked || !Connect(sControl, "127.0.0.1", 0)) {
        CloseSocket(s);
        CloseSocket(sControl);
        return INVALID_SOCKET;
    }
    return s;
}

// ------------------------------------------------------------------ connecting

bool TW_SelectSocketMgr::Connect(SOCKET s, const char* lpszHost, uint16_t wPort) {
    if (!TW_CHECK(lpszHost != nullptr)) return false;
    uint32_t dwIp = pf::InetAddr(lpszHost);
    if (dwIp != pf::kAddrNone) {
        sockaddr_in addr = pf::MakeSockAddr(dwIp, wPort);
        return ConnectAddr(s, &addr);
    }
    if (std::strlen(lpszHost) > kMaxHostNameLen) return false;
    uint32_t uiSeq = GetSocketSeq(s);
    if (uiSeq == 0) return false;
    if (!SetConnectTimer(s)) return false;  // one connect by name at a time
    NameRequest* lpReq = NameRequest::Create(lpszHost);
    lpReq->socket = uint32_t(s);
    lpReq->wPort = wPort;
    lpReq->uiSeq = uiSeq;
    if (!PostDnsRequest(MSG_DNS_CONNECT, lpReq)) {
        KillConnectTimer(s);
        return false;
    }
    return true;
}

void TW_SelectSocketMgr::OnNameResolved(const NameRequest& req, uint32_t dwIp, int nError) {
    SOCKET s = SOCKET(req.socket);
    KillConnectTimer(s);
    // A socket closed (and maybe reused) meanwhile hears nothing more.
    if (GetSocketSeq(s) != req.uiSeq) return;
    uint32_t u1 = 0, u2 = 0;
    GetUserData(s, &u1, &u2);
    ISocketMgrSink* lpSink = GetSink();
    if (dwIp == pf::kAddrNone) {
        if (lpSink) lpSink->OnSocketConnect(nError ? nError : pf::kErrHostNotFound, s, u1, u2);
        return;
    }
    sockaddr_in addr = pf::MakeSockAddr(dwIp, req.wPort);
    if (!ConnectAddr(s, &addr) && lpSink) lpSink->OnSocketConnect(pf::GetLastError(), s, u1, u2);
}

bool TW_SelectSocketMgr::ConnectAddr(SOCKET s, sockaddr_in* lpAddr) {
    if (!TW_CHECK(lpAddr != nullptr)) return false;
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->ConnectAddr(s, lpAddr);
}

bool TW_SelectSocketMgr::Listen(SOCKET s, int nBacklog) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->Listen(s, nBacklog);
}

bool TW_SelectSocketMgr::Shutdown(SOCKET s, int nHow) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->Shutdown(s, nHow);
}

// ------------------------------------------------------------------ data

bool TW_SelectSocketMgr::SetNoticeLen(SOCKET s, uint32_t uiNoticeLen) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->SetNoticeLen(s, uiNoticeLen);
}

bool TW_SelectSocketMgr::Send(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwSendFlag,
                              uint32_t* lpQueued) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->Send(s, lpData, uiLen, dwSendFlag, lpQueued);
}

bool TW_SelectSocketMgr::SendV(SOCKET s, const SendVBuf* lpBufs, uint32_t uiCount, uint32_t dwSendFlag,
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

int TW_SelectSocketMgr::SendToAddr(SOCKET s, sockaddr_in* lpTo, const char* lpData, int nLen, bool bDirect) {
    if (!TW_CHECK(lpData != nullptr) || !TW_CHECK(nLen > 0) || !TW_CHECK(lpTo != nullptr))
        return pf::kSocketError;
    if (bDirect) return pf::SendTo(s, lpData, nLen, lpTo);
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup ? lpGroup->SendToAddr(s, lpTo, lpData, nLen) : pf::kSocketError;
}

int TW_SelectSocketMgr::SendTo(SOCKET s, const char* lpszIp, uint16_t wPort, const char* lpData, int nLen,
                               bool bDirect) {
    if (!TW_CHECK(lpszIp != nullptr)) return pf::kSocketError;
    sockaddr_in to = pf::MakeSockAddr(pf::InetAddr(lpszIp), wPort);
    return SendToAddr(s, &to, lpData, nLen, bDirect);
}

// ------------------------------------------------------------------ per-socket data

bool TW_SelectSocketMgr::SetUserData1(SOCKET s, uint32_t u1) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->SetUserData(s, true, u1);
}

bool TW_SelectSocketMgr::SetUserData2(SOCKET s, uint32_t u2) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->SetUserData(s, false, u2);
}

bool TW_SelectSocketMgr::GetUserData(SOCKET s, uint32_t* lpU1, uint32_t* lpU2) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->GetUserData(s, lpU1, lpU2);
}

uint32_t TW_SelectSocketMgr::Control(uint32_t uiCode, SOCKET s, uint32_t a3, uint32_t, uint32_t, uint32_t, uint32_t,
                                     uint32_t) {
    if (s == INVALID_SOCKET || uiCode != CONTROL_REPORT_PARTIAL_SEND) return 0;
    if (TW_SelectThread* lpGroup = FindGroup(s)) lpGroup->SetOptionFlags(s, a3 != 0);
    return 0;
}

uint32_t TW_SelectSocketMgr::GetSocketSeq(SOCKET s) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup ? lpGroup->GetSocketSeq(s) : 0;
}

bool TW_SelectSocketMgr::NotifyClose(int nError, SOCKET s) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->NotifyClose(nError, s);
}

bool TW_SelectSocketMgr::SetRelayAddr(SOCKET s, uint32_t dwIp, uint16_t wPort) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->SetRelayAddr(s, dwIp, wPort);
}

// ------------------------------------------------------------------ timers

bool TW_SelectSocketMgr::CheckIdle(SOCKET s, bool bSend, uint32_t uiValue, uint32_t* lpElapsed) {
    TW_SelectThread* lpGroup = FindGroup(s);
    return lpGroup && lpGroup->CheckIdle(s, bSend, uiValue, lpElapsed);
}
