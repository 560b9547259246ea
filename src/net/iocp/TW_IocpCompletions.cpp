// The workers of the completion-port engine: each completion is checked
// against the record it was issued for (handle and stamp: the handle may have
// been closed and reused meanwhile) and handed to the shared handlers.
#include <cstdio>

#include "PfError.h"
#include "PfThread.h"
#include "TW_Assert.h"
#include "TW_IocpSocketMgr.h"

void TW_IocpSocketMgr::ThreadIOWork() {
    pf::SetCurrentThreadName("vxnet-iocp");
    for (;;) {
        uint32_t uiBytes = 0;
        uintptr_t uKey = kStopKey;
        pf::Overlapped* lpOv = nullptr;
        int nError = 0;
        const pf::PortResult eResult = pf::PortGet(m_hPort, &uiBytes, &uKey, &lpOv, &nError, pf::kInfinite);
        if (eResult == pf::kPortClosed || (!lpOv && uKey == kStopKey)) break;
        if (!lpOv) continue;  // nobody posts other empty packets
        OnCompletion(IoContext::From(lpOv), SOCKET(uKey), uiBytes, eResult == pf::kPortOk ? 0 : nError);
        m_nOutstanding.fetch_sub(1, std::memory_order_release);
    }
    std::printf("ThreadIOWork exit\n");
}

void TW_IocpSocketMgr::OnCompletion(IoContext* lpCtx, SOCKET key, uint32_t uiBytes, int nError) {
    switch (lpCtx->IoOperation) {
    case IO_ACCEPT: OnAcceptDone(lpCtx, key, nError); return;
    case IO_RECVFROM: OnDatagramDone(lpCtx, uiBytes, nError); return;
    case IO_RECVBUF: OnRecvDone(lpCtx, 0); return;
    case IO_FAILED:
        NotifyClose(int(lpCtx->dwParam1), lpCtx->socket, lpCtx->uiSeq);
        IoContext::Free(lpCtx);
        return;
    case IO_RECV:
    case IO_SEND:
        if (nError == 0 && uiBytes > 0) {
            if (lpCtx->IoOperation == IO_RECV)
                OnRecvDone(lpCtx, uiBytes);
            else
                OnSendDone(lpCtx);
            return;
        }
        // A failure, or the peer's orderly close (0 bytes): reported once, if
        // the socket is still the one the operation was issued for.
        NotifyClose(nError, lpCtx->socket, lpCtx->uiSeq);
        IoContext::Free(lpCtx);
        return;
    default: IoContext::Free(lpCtx); return;
    }
}

// ------------------------------------------------------------------ receiving

void TW_IocpSocketMgr::OnRecvDone(IoContext* lpCtx, uint32_t uiBytes) {
    const SOCKET s = lpCtx->socket;
    const uint32_t uiSeq = lpCtx->uiSeq;
    {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpRec = FindLocked(s, uiSeq);
        if (!lpRec) {
            IoContext::Free(lpCtx);
            return;
        }
        IocpSocket& st = StateOf(*lpRec);
        // A receive that filled its buffer: this socket streams.
        if (uiBytes == lpCtx->uiSize && st.uiRecvSize < uint32_t(kStreamReadSize)) st.uiRecvSize = kStreamReadSize;
        if (lpRec->IsRelayControl()) {
            // The control connection of a UDP association carries nothing
            // for anyone; it is read only to notice its end.
            st.bRecvPending = false;
            if (!ArmRecvLocked(*lpRec, lpCtx)) {
                const int nError = pf::GetLastError();
                lock.Unlock();
                NotifyClose(nError, s, uiSeq);
            }
            return;
        }
    }
    // IO_RECVBUF carries no bytes and is no receive activity.
    const NoticeResult eResult = uiBytes ? ReceiveNotice(s, lpCtx->Data(), uiBytes, uiSeq)
                                         : ReceiveNotice(s, nullptr, 0, uiSeq, false);
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s, uiSeq);
    if (!lpRec) {
        IoContext::Free(lpCtx);
        return;
    }
    StateOf(*lpRec).bRecvPending = false;
    // Read on while a notice is asked for (asked during the delivery
    // included), never while another thread's delivery holds the buffer.
    const bool bMore = eResult != NOTICE_OVERFLOW && lpRec->status == SS_CONNECTED && !lpRec->bRbufLockFlag &&
                       (lpRec->uiNoticeLen > 0 || lpRec->IsRelayControl());
    if (!bMore) {
        IoContext::Free(lpCtx);
        lock.Unlock();
        if (eResult == NOTICE_OVERFLOW) NotifyClose(pf::kErrNoBufs, s, uiSeq);
        return;
    }
    if (ArmRecvLocked(*lpRec, lpCtx)) return;
    const int nError = pf::GetLastError();
    lock.Unlock();
    NotifyClose(nError, s, uiSeq);
}

void TW_IocpSocketMgr::OnDatagramDone(IoContext* lpCtx, uint32_t uiBytes, int nError) {
    const SOCKET s = lpCtx->socket;
    const uint32_t uiSeq = lpCtx->uiSeq;
    // A failed receive (the socket closed under it, mostly) ends silently.
    // One longer than the buffer, or one that is not the host's (not from
    // its relay), is dropped and the request stays armed: a peer cannot make
    // the socket deaf that way.
    bool bRearm = nError == pf::kErrMsgSize;
    if (nError == 0) bRearm = !OnDatagram(s, uiSeq, lpCtx->Data(), int(uiBytes), lpCtx->from);
    if (bRearm) {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpRec = FindLocked(s, uiSeq);
        if (lpRec && lpRec->status == SS_UDP && ArmDatagramLocked(*lpRec, lpCtx)) return;
    }
    IoContext::Free(lpCtx);
}

// ------------------------------------------------------------------ sending

void TW_IocpSocketMgr::OnSendDone(IoContext* lpCtx) {
    const SOCKET s = lpCtx->socket;
    const uint32_t uiSeq = lpCtx->uiSeq;
    const uint32_t dwFlag = lpCtx->dwParam1;
    IoContext::Free(lpCtx);

    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s, uiSeq);
    if (!lpRec || lpRec->status != SS_CONNECTED) return;
    IocpSocket& st = StateOf(*lpRec);
    st.bSending = false;
    lpRec->dwLastSendTime = GetCurrentTick();
    const uint32_t u1 = lpRec->dwUser1, u2 = lpRec->dwUser2;
    // Bytes the simulator holds back are still to go as well.
    const uint32_t uiQueued = EngineQueuedCount(*lpRec);
    // The engine's own proxy requests are no business of the host's.
    bool bReport = !lpRec->InProxyHandshake();
    if (uiQueued > 0) {
        bReport = bReport && (lpRec->dwFlags & SOCKET_FLAG_REPORT_PARTIAL_SEND);
    }
    if (!lpRec->listSendBuf.IsEmpty()) {
        IoContext* lpNext = reinterpret_cast<IoContext*>(lpRec->listSendBuf.RemoveHead().lpBuffer);
        if (!StartSendLocked(*lpRec, lpNext)) {
            const int nError = pf::GetLastError();
            IoContext::Free(lpNext);
            lock.Unlock();
            NotifyClose(nError, s, uiSeq);
            return;
        }
    } else if (uiQueued == 0 && lpRec->bShutdownSendPending) {
        lpRec->bShutdownSendPending = false;
        pf::Shutdown(s, pf::kShutSend);
    }
    lock.Unlock();
    if (!bReport) return;
    if (TW_SinkCall sink(this); sink) sink->OnSocketSend(0, s, u1, u2, dwFlag, uiQueued);
}

// ------------------------------------------------------------------ accepting

void TW_IocpSocketMgr::OnAcceptDone(IoContext* lpCtx, SOCKET sListen, int nError) {
    const SOCKET sNew = lpCtx->socket;
    sockaddr_in local{}, remote{};
    bool bTaken = false;
    {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpRec = FindLocked(sListen, lpCtx->uiSeq);
        if (lpRec && lpRec->status == SS_ACCEPTING) {
            --StateOf(*lpRec).uiAcceptsPosted;
            if (nError == 0) {
                // Under the lock: the listener cannot be closed (and its
                // handle reused) meanwhile.
                bTaken = pf::FinishAccept(sNew, sListen);
                pf::AcceptedAddresses(lpCtx->Data(), &local, &remote);
            }
            if (nError == pf::kErrTooManyOpen || nError == pf::kErrNoBufs)
                RestListenerLocked(*lpRec, nError);  // re-posting now would spin
            else
                TopUpAcceptsLocked(*lpRec);
        }
    }
    IoContext::Free(lpCtx);
    if (bTaken)
        OnAccepted(sListen, sNew, remote, &local);
    else
        pf::CloseSocket(sNew);
}
