// The completion-port engine's lifecycle, its narrow operations and the
// connect window. The workers' completion handling is TW_IocpCompletions.cpp.
#include "TW_IocpSocketMgr.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "PfError.h"
#include "PfSystem.h"
#include "PfThread.h"
#include "PfWindow.h"
#include "TW_Assert.h"

TW_SocketMgrInstance* TW_IocpSocketMgr::Create(bool bRecord) {
    auto* lpMgr = new TW_IocpSocketMgr();
    lpMgr->SetRecordFlag(bRecord);
    return lpMgr;
}

TW_IocpSocketMgr::TW_IocpSocketMgr() : m_wndConnect(this), m_sim(*this) {
    m_mapClosingSocket.InitHashTable(4099);
    m_bRelayNeedsProxy = true;
    // Lives as long as the manager: a window thread that comes up after
    // Start gave up waiting still signals it.
    m_hWndReady = pf::EventCreate(false, false);
}

TW_IocpSocketMgr::~TW_IocpSocketMgr() {
    std::printf("~TW_IocpSocketMgr exit\n");
    Stop(2000);
    pf::EventClose(m_hWndReady);
}

// ------------------------------------------------------------------ start, stop

bool TW_IocpSocketMgr::EngineStart(uint8_t, uint32_t uiWorkers) {
    m_hPort = pf::PortCreate();
    if (!m_hPort) {
        std::printf("CreateIoCompletionPort() failed with error: %d\r\n", pf::GetLastError());
        return false;
    }
    m_nOutstanding = 0;
    const int nWorkers = int(uiWorkers ? uiWorkers : pf::ProcessorCount() + 1);
    const int nStarted = StartThreads(kThreadWorker, nWorkers, 0);
    m_bWndUp = false;
    pf::EventReset(m_hWndReady);
    if (nStarted == nWorkers && m_hWndReady && StartThread(kThreadConnect, 0))
        pf::EventWait(m_hWndReady, 3000);
    if (nStarted == nWorkers && m_bWndUp) {
        TW_SimConfig cfg;
        if (TW_NetSimulator::ReadDefaultConfig(cfg)) m_sim.Start(cfg, true);
        return true;
    }

    // Without its workers or its connect window the engine cannot work.
    std::printf("TW_IocpSocketMgr::Start failed: %d of %d workers, connect window %s\n", nStarted, nWorkers,
                m_bWndUp ? "up" : "missing");
    EngineStop();
    return false;
}

void TW_IocpSocketMgr::EngineStop() {
    // Its threads use the table and the engine's sends: they end first.
    m_sim.Stop();
    // Every socket is closed by now: their operations complete as aborted and
    // the workers drop them. Wait for that (bounded), so that what the kernel
    // may still write to is not freed under it.
    for (int i = 0; i < 2000 && m_nOutstanding.load() > 0; ++i) pf::SleepMs(1);
    if (m_nOutstanding.load() > 0)
        std::printf("TW_IocpSocketMgr::Stop: %d operations still outstanding, their contexts are left\n",
                    m_nOutstanding.load());
    if (m_hPort) {
        for (int i = GetThreadCount(kThreadWorker); i > 0; --i) pf::PortPost(m_hPort, 0, kStopKey, nullptr);
    }
    StopThreads(kThreadWorker, 2000);
    if (uint32_t dwId = m_dwWndThreadId.load()) pf::PostThreadMessage(dwId, pf::kWmQuit, 0, 0);
    StopThreads(kThreadConnect, 2000);
    if (m_hPort) pf::PortClose(m_hPort);
    m_hPort = nullptr;
    TW_LockGuard lock(&m_lckTable);
    m_mapClosingSocket.RemoveAll();
    m_dwWndThreadId = 0;
}

uint32_t TW_IocpSocketMgr::EngineThreadProc(ThreadData* lpData) {
    if (lpData->iThreadType == kThreadWorker)
        ThreadIOWork();
    else if (lpData->iThreadType == kThreadConnect)
        ThreadConnect();
    else
        TW_ASSERT(!"thread type of the completion-port engine");
    return 0;
}

// ------------------------------------------------------------------ sockets

bool TW_IocpSocketMgr::EngineAdd(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    // A TCP socket joins the port when it connects or listens.
    if ((rec.status == SS_UDP || rec.status == SS_CONNECTED) && !pf::PortAssociate(m_hPort, rec.socket, rec.socket)) {
        std::printf("CreateIoCompletionPort() failed with error: %d\r\n", pf::GetLastError());
        return false;
    }
    rec.lpEngine = new IocpSocket();
    return true;
}

void TW_IocpSocketMgr::EngineRemove(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    m_sim.Forget(rec);
    if (rec.status == SS_CONNECTING) {
        // Notifications of this connect may still be queued to the window,
        // and the handle may be reused at once: they are ignored until this
        // release message has gone through.
        if (pf::PostWindowMessage(m_wndConnect.GetHandle(), WM_IOCP_RELEASE, rec.socket, 0))
            ++m_mapClosingSocket[rec.socket];
    }
    delete static_cast<IocpSocket*>(rec.lpEngine);
    rec.lpEngine = nullptr;
}

bool TW_IocpSocketMgr::EngineWatchRead(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    switch (rec.status) {
    case SS_CONNECTED: return ArmRecvLocked(rec, nullptr);
    case SS_UDP: return ArmDatagramLocked(rec, nullptr);  // one datagram per request
    case SS_ACCEPTING: return TopUpAcceptsLocked(rec);
    default: return true;
    }
}

bool TW_IocpSocketMgr::ArmRecvLocked(SocketData& rec, IoContext* lpCtx, bool bDeliverHeld) {
    TW_ASSERT_LOCKED(m_lckTable);
    IocpSocket& st = StateOf(rec);
    if (st.bRecvPending) {
        // Its completion arms the next (and delivers what is held, if asked).
        st.bDeliverHeld = st.bDeliverHeld || bDeliverHeld;
        IoContext::Free(lpCtx);
        return true;
    }
    bDeliverHeld = bDeliverHeld || st.bDeliverHeld;
    if (lpCtx && lpCtx->uiSize < st.uiRecvSize) {
        IoContext::Free(lpCtx);
        lpCtx = nullptr;
    }
    if (!lpCtx) lpCtx = IoContext::Alloc(st.uiRecvSize);
    if (!lpCtx) {
        pf::SetLastError(pf::kErrNoBufs);
        return false;
    }
    lpCtx->socket = rec.socket;
    lpCtx->uiSeq = rec.uiSeq;
    bool bOk;
    if (bDeliverHeld) {
        // Enough is held already: a worker delivers it.
        lpCtx->IoOperation = IO_RECVBUF;
        bOk = pf::PortPost(m_hPort, 0, rec.socket, &lpCtx->overlapped);
    } else {
        lpCtx->IoOperation = IO_RECV;
        bOk = pf::StartRecv(rec.socket, &lpCtx->overlapped, lpCtx->Data(), lpCtx->uiSize);
        if (!bOk && pf::GetLastError() != pf::kErrNoBufs) {
            // The connection broke before the receive began (a reset that
            // came first): reported by a worker, as a failed receive would
            // be, so whoever armed it need not report it.
            lpCtx->IoOperation = IO_FAILED;
            lpCtx->dwParam1 = uint32_t(pf::GetLastError());
            bOk = pf::PortPost(m_hPort, 0, rec.socket, &lpCtx->overlapped);
        }
    }
    if (!bOk) {
        const int nError = pf::GetLastError();
        IoContext::Free(lpCtx);
        pf::SetLastError(nError);
        return false;
    }
    st.bRecvPending = true;
    st.bDeliverHeld = false;
    Issued();
    return true;
}

bool TW_IocpSocketMgr::EngineDeliverBuffered(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    // Delivered on a worker, as every other notice of this engine.
    return ArmRecvLocked(rec, nullptr, true);
}

bool TW_IocpSocketMgr::ArmDatagramLocked(SocketData& rec, IoContext* lpCtx) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (!lpCtx) lpCtx = IoContext::Alloc(kDatagramBufSize);
    if (!lpCtx) {
        pf::SetLastError(pf::kErrNoBufs);
        return false;
    }
    lpCtx->IoOperation = IO_RECVFROM;
    lpCtx->socket = rec.socket;
    lpCtx->uiSeq = rec.uiSeq;
    if (!pf::StartRecvFrom(rec.socket, &lpCtx->overlapped, lpCtx->Data(), lpCtx->uiSize, &lpCtx->from)) {
        const int nError = pf::GetLastError();
        IoContext::Free(lpCtx);
        pf::SetLastError(nError);
        return false;
    }
    Issued();
    return true;
}

// ------------------------------------------------------------------ sending

bool TW_IocpSocketMgr::EngineSend(SocketData& rec, const char* lpData, uint32_t uiLen) {
    TW_ASSERT_LOCKED(m_lckTable);
    // One operation carries one Send, and its byte count must fit an int.
    if (uiLen == 0 || uiLen > uint32_t(INT_MAX) - IoContext::kHeaderSize) {
        pf::SetLastError(uiLen ? pf::kErrNoBufs : pf::kErrInvalid);
        return false;
    }
    switch (m_sim.HoldSend(rec, lpData, uiLen)) {
    case TW_NetSimulator::HOLD_YES: return true;
    case TW_NetSimulator::HOLD_FAILED: pf::SetLastError(pf::kErrNoBufs); return false;
    case TW_NetSimulator::HOLD_NO: break;
    }
    return SendLocked(rec, lpData, uiLen, rec.dwSendFlag);
}

bool TW_IocpSocketMgr::SendLocked(SocketData& rec, const char* lpData, uint32_t uiLen, uint32_t dwFlag) {
    TW_ASSERT_LOCKED(m_lckTable);
    IoContext* lpCtx = IoContext::Alloc(uiLen);
    if (!lpCtx) {
        pf::SetLastError(pf::kErrNoBufs);
        return false;
    }
    std::memcpy(lpCtx->Data(), lpData, uiLen);
    lpCtx->IoOperation = IO_SEND;
    lpCtx->socket = rec.socket;
    lpCtx->uiSeq = rec.uiSeq;
    lpCtx->dwParam1 = dwFlag;
    if (StateOf(rec).bSending) {
        // Only the head is in flight, so the bytes leave in call order. The
        // queue holds the contexts themselves (freed as pool blocks).
        SendBlock block;
        block.lpBuffer = reinterpret_cast<char*>(lpCtx);
        block.uiLen = block.uiRemain = uiLen;
        rec.listSendBuf.AddTail(block);
        return true;
    }
    if (StartSendLocked(rec, lpCtx)) return true;
    const int nError = pf::GetLastError();
    IoContext::Free(lpCtx);
    pf::SetLastError(nError);
    return false;
}

bool TW_IocpSocketMgr::StartSendLocked(SocketData& rec, IoContext* lpCtx) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (!pf::StartSend(rec.socket, &lpCtx->overlapped, lpCtx->Data(), lpCtx->uiSize)) return false;
    StateOf(rec).bSending = true;
    Issued();
    return true;
}

bool TW_IocpSocketMgr::EngineSendPending(const SocketData& rec) {
    // Bytes the simulator holds back are on their way out too.
    return StateOf(rec).bSending || !rec.listSendBuf.IsEmpty() ||
           m_sim.HeldCountLocked(rec) > 0;
}

uint32_t TW_IocpSocketMgr::EngineQueuedCount(const SocketData& rec) {
    return uint32_t(rec.listSendBuf.GetCount()) + m_sim.HeldCountLocked(rec);
}

bool TW_IocpSocketMgr::EngineLoseDatagram(const SocketData& rec) {
    // Asked only for a datagram that would be sent: a call that fails still fails.
    return rec.status == SS_UDP && m_sim.LoseDatagram();
}

// ------------------------------------------------------------------ listening

bool TW_IocpSocketMgr::EngineListen(SocketData& rec, int nBacklog) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (!pf::Listen(rec.socket, nBacklog)) return false;
    if (!pf::PortAssociate(m_hPort, rec.socket, rec.socket)) {
        std::printf("CreateIoCompletionPort(ListenSocket) failed with error: %d\r\n", pf::GetLastError());
        return false;
    }
    IocpSocket& st = StateOf(rec);
    st.uiAcceptsWanted = nBacklog < 1 ? 1 : nBacklog > int(kMaxPostedAccepts) ? kMaxPostedAccepts : uint32_t(nBacklog);
    return TopUpAcceptsLocked(rec);
}

bool TW_IocpSocketMgr::TopUpAcceptsLocked(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    IocpSocket& st = StateOf(rec);
    while (st.uiAcceptsPosted < st.uiAcceptsWanted) {
        SOCKET sNew = pf::SocketOpen(pf::kSocketTcp);
        IoContext* lpCtx = sNew != INVALID_SOCKET ? IoContext::Alloc(pf::kAcceptAddressBytes) : nullptr;
        int nError = sNew == INVALID_SOCKET ? pf::GetLastError() : pf::kErrNoBufs;
        if (lpCtx) {
            lpCtx->IoOperation = IO_ACCEPT;
            lpCtx->socket = sNew;
            lpCtx->uiSeq = rec.uiSeq;
            if (pf::StartAccept(rec.socket, sNew, &lpCtx->overlapped, lpCtx->Data())) {
                ++st.uiAcceptsPosted;
                Issued();
                continue;
            }
            nError = pf::GetLastError();
            std::printf("AcceptEx() failed with error %d\r\n", nError);
        } else if (sNew == INVALID_SOCKET) {
            std::printf("WSASocket() failed with error %d\r\n", nError);
        }
        IoContext::Free(lpCtx);
        if (sNew != INVALID_SOCKET) pf::CloseSocket(sNew);
        // Out of descriptors or memory: try again a little later.
        if (nError == pf::kErrTooManyOpen || nError == pf::kErrNoBufs) RestListenerLocked(rec, nError);
        pf::SetLastError(nError);
        return st.uiAcceptsPosted > 0;
    }
    return true;
}

// ------------------------------------------------------------------ connecting

bool TW_IocpSocketMgr::EngineConnect(SocketData& rec, const sockaddr_in& to) {
    TW_ASSERT_LOCKED(m_lckTable);
    sockaddr_in dest = to;
    // A spoiled connect is aimed where no connection can go, and fails as such.
    if (m_sim.IsEnabled() && m_sim.FailConnect()) dest.sin_addr.s_addr = pf::kAddrNone;
    pf::WindowHandle hWnd = m_wndConnect.GetHandle();
    if (pf::AsyncSelect(rec.socket, hWnd, WM_IOCP_CONNECT, pf::kFdConnect | pf::kFdClose) != 0) return false;
    if (pf::Connect(rec.socket, &dest) || pf::GetLastError() == pf::kErrWouldBlock) return true;
    const int nError = pf::GetLastError();
    pf::AsyncSelect(rec.socket, hWnd, 0, 0);
    pf::SetLastError(nError);
    return false;
}

void TW_IocpSocketMgr::ThreadConnect() {
    static const wchar_t kClass[] = L"IocpConnectWnd";
    pf::SetCurrentThreadName("vxnet-iocpwnd");
    m_dwWndThreadId = pf::CurrentThreadId();
    TW_Wnd::RegisterWndClass(kClass);
    const bool bUp = m_wndConnect.Create(kClass, kClass, 0x00CF0000);  // WS_OVERLAPPEDWINDOW, never shown
    m_bWndUp = bUp;
    pf::EventSet(m_hWndReady);
    if (bUp) TW_Wnd::RunMessageLoop();
    std::printf("ThreadConnect exit\n");
    m_wndConnect.Destroy();
    TW_Wnd::UnregisterWndClass(kClass);
}

intptr_t TW_IocpSocketMgr::ConnectWnd::WindowProc(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    switch (uiMsg) {
    case WM_IOCP_CONNECT:
        m_lpOwner->OnConnectMessage(SOCKET(wParam), uint32_t(lParam) & 0xFFFF, int((uint32_t(lParam) >> 16) & 0xFFFF));
        return 0;
    case WM_IOCP_RELEASE: m_lpOwner->OnReleaseMessage(SOCKET(wParam)); return 0;
    default: return TW_Wnd::WindowProc(uiMsg, wParam, lParam);
    }
}

void TW_IocpSocketMgr::OnReleaseMessage(SOCKET s) {
    TW_LockGuard lock(&m_lckTable);
    int* lpCount = m_mapClosingSocket.LookupPtr(s);
    if (!lpCount) return;  // cleared by a Stop meanwhile
    if (--*lpCount <= 0) m_mapClosingSocket.RemoveKey(s);
}

void TW_IocpSocketMgr::OnConnectMessage(SOCKET s, uint32_t uiEvent, int nError) {
    uint32_t uiSeq;
    {
        TW_LockGuard lock(&m_lckTable);
        if (m_mapClosingSocket.LookupPtr(s)) return;  // the old socket's notification
        SocketData* lpRec = FindLocked(s);
        // Only a socket that is connecting waits for this (a late or repeated
        // notification is ignored).
        if (!lpRec || lpRec->status != SS_CONNECTING) return;
        uiSeq = lpRec->uiSeq;
        if (uiEvent == pf::kFdConnect && nError == 0) {
            // Connected: from now on the port carries everything.
            pf::AsyncSelect(s, m_wndConnect.GetHandle(), 0, 0);
            if (!pf::PortAssociate(m_hPort, s, s)) {
                nError = pf::GetLastError();
                if (nError == 0) nError = pf::kErrInvalid;
                std::printf("Connect remote host success, but CreateIoCompletionPort failed s=%d\r\n", int(s));
            }
        } else if (uiEvent != pf::kFdConnect && nError == 0) {
            nError = pf::kErrConnReset;  // closed before the connect was reported
        }
    }
    if (uiEvent == pf::kFdClose)
        NotifyClose(nError, s, uiSeq);
    else
        OnConnectResult(s, uiSeq, nError);
}

// ------------------------------------------------------------------ simulated faults

void TW_IocpSocketMgr::SimBreak(SOCKET s, uint32_t uiSeq) {
    {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpRec = FindLocked(s, uiSeq);
        if (!lpRec || lpRec->status != SS_CONNECTED) return;
    }
    // Reported as a reset by the peer, once; the handle stays open until the
    // host closes the socket, so it cannot be reused under the record.
    NotifyClose(pf::kErrConnReset, s, uiSeq);
    TW_LockGuard lock(&m_lckTable);
    // The far end sees the connection go; outstanding operations end and are
    // dropped, the failure having been reported.
    if (FindLocked(s, uiSeq)) pf::Shutdown(s, pf::kShutBoth);
}
