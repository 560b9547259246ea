// The handlers the engines call when their I/O model says something
// happened. Each finds the record again under the table lock, checks the
// uiSeq the engine saw, and calls the sink only after releasing the lock.
#include <climits>
#include <cstdio>
#include <cstring>

#include "PfError.h"
#include "PfSocket.h"
#include "TW_Assert.h"
#include "TW_EngineSocketMgr.h"
#include "vxnet/vxmempool.h"

// ------------------------------------------------------------------ reading

void TW_EngineSocketMgr::OnReadable(SOCKET s, uint32_t uiSeq) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s, uiSeq);
    if (!lpRec) return;
    switch (lpRec->status) {
    case SS_UDP:
        if (!ReadDatagram(*lpRec, lock)) return;
        // The record is found again for each datagram: the sink may have closed it.
        for (int i = 1; i < m_nDatagramsPerReadiness; ++i) {
            TW_LockGuard again(&m_lckTable);
            SocketData* lpNext = FindLocked(s, uiSeq);
            if (!lpNext || lpNext->status != SS_UDP || !ReadDatagram(*lpNext, again)) return;
        }
        break;
    case SS_ACCEPTING: AcceptOne(*lpRec, lock); break;
    case SS_CONNECTED: ReadStream(*lpRec, lock); break;
    default: break;
    }
}

void TW_EngineSocketMgr::ReadStream(SocketData& rec, TW_LockGuard& lock) {
    const SOCKET s = rec.socket;
    const uint32_t uiSeq = rec.uiSeq;
    // The control connection of a working UDP association carries nothing
    // for anyone; it is read only to notice that it breaks.
    const bool bControl = rec.IsRelayControl();
    EnginePauseRead(rec);
    PinLocked(rec);
    lock.Unlock();
    char buf[kStreamReadSize];
    int n = pf::Recv(s, buf, sizeof buf);
    const int nError = n < 0 ? pf::GetLastError() : 0;
    Unpin(&rec);
    if (n > 0)
        AfterNotice(s, uiSeq, bControl ? NOTICE_READ_ON : ReceiveNotice(s, buf, uint32_t(n), uiSeq));
    else if (nError == pf::kErrWouldBlock)
        AfterNotice(s, uiSeq, NOTICE_READ_ON);
    else
        NotifyClose(nError, s, uiSeq);  // 0: the peer closed in order
}

void TW_EngineSocketMgr::OnStreamBytes(SOCKET s, uint32_t uiSeq, const char* lpData, uint32_t uiLen) {
    AfterNotice(s, uiSeq, ReceiveNotice(s, lpData, uiLen, uiSeq));
}

void TW_EngineSocketMgr::AfterNotice(SOCKET s, uint32_t uiSeq, NoticeResult eResult) {
    if (eResult == NOTICE_OVERFLOW) {
        NotifyClose(pf::kErrNoBufs, s, uiSeq);
    } else if (eResult == NOTICE_READ_ON) {
        TW_LockGuard lock(&m_lckTable);
        if (SocketData* lpRec = FindLocked(s, uiSeq); lpRec && lpRec->status == SS_CONNECTED)
            EngineWatchRead(*lpRec);
    }
}

bool TW_EngineSocketMgr::ReadDatagram(SocketData& rec, TW_LockGuard& lock) {
    const SOCKET s = rec.socket;
    const uint32_t uiSeq = rec.uiSeq;
    const DatagramOwner owner = OwnerOf(rec);
    rec.dwLastRecvTime = GetCurrentTick();  // a datagram waits: receive activity
    PinLocked(rec);
    lock.Unlock();
    char buf[kDatagramBufSize];
    sockaddr_in from{};
    int n = pf::RecvFrom(s, buf, sizeof buf, &from);
    const int nError = n < 0 ? pf::GetLastError() : 0;
    Unpin(&rec);
    if (n >= 0) {
        DeliverDatagram(s, owner, buf, n, from);  // an empty datagram is a datagram too
        return true;
    }
    // A datagram larger than the buffer is dropped: a peer must not be
    // able to close the socket by sending one.
    if (nError == pf::kErrMsgSize) return true;
    if (nError != pf::kErrWouldBlock) NotifyClose(nError, s, uiSeq);
    return false;
}

bool TW_EngineSocketMgr::OnDatagram(SOCKET s, uint32_t uiSeq, const char* lpData, int nLen,
                                    const sockaddr_in& from) {
    DatagramOwner owner;
    {
        TW_LockGuard lock(&m_lckTable);
        SocketData* lpRec = FindLocked(s, uiSeq);
        if (!lpRec) return false;
        owner = OwnerOf(*lpRec);
        lpRec->dwLastRecvTime = GetCurrentTick();
    }
    return DeliverDatagram(s, owner, lpData, nLen, from);
}

TW_EngineSocketMgr::DatagramOwner TW_EngineSocketMgr::OwnerOf(const SocketData& rec) {
    return DatagramOwner{rec.dwUser1, rec.dwUser2, rec.sLinked != INVALID_SOCKET, rec.dwProxyIp, rec.wProxyPort};
}

bool TW_EngineSocketMgr::DeliverDatagram(SOCKET s, const DatagramOwner& owner, const char* lpData, int nLen,
                                         const sockaddr_in& from) {
    const auto* p = reinterpret_cast<const unsigned char*>(lpData);
    sockaddr_in sender = from;
    if (owner.bRelayed) {
        // Through a SOCKS relay only the relay speaks, and only with an IPv4
        // header (RSV 0, FRAG 0, ATYP 1) that names the sender: anything else
        // is someone else's datagram, or one this socket cannot read.
        if (from.sin_addr.s_addr != owner.dwRelayIp || from.sin_port != owner.wRelayPort || nLen < 10 ||
            p[0] != 0 || p[1] != 0 || p[2] != 0 || p[3] != 1)
            return false;
        sender = sockaddr_in{};
        sender.sin_family = AF_INET;
        std::memcpy(&sender.sin_addr.s_addr, p + 4, 4);
        std::memcpy(&sender.sin_port, p + 8, 2);
        lpData += 10;
        nLen -= 10;
    }
    TW_SinkCall sink(this);
    if (sink) sink->OnSocketRecvFrom(0, s, lpData, nLen, &sender, owner.dwUser1, owner.dwUser2);
    return true;
}

// ------------------------------------------------------------------ accepting

void TW_EngineSocketMgr::AcceptOne(SocketData& rec, TW_LockGuard& lock) {
    const SOCKET sListen = rec.socket;
    const uint32_t uiSeq = rec.uiSeq;
    PinLocked(rec);
    lock.Unlock();
    sockaddr_in peer{};
    SOCKET s = pf::Accept(sListen, &peer);
    const int nError = s == INVALID_SOCKET ? pf::GetLastError() : 0;
    Unpin(&rec);
    if (s != INVALID_SOCKET) {
        OnAccepted(sListen, s, peer);
        return;
    }
    if (nError != pf::kErrTooManyOpen && nError != pf::kErrNoBufs) return;  // others are the peer's
    // Out of descriptors: the connection stays queued and the listener stays
    // ready, so watching it now would spin.
    TW_LockGuard again(&m_lckTable);
    if (SocketData* lpRec = FindLocked(sListen, uiSeq)) RestListenerLocked(*lpRec, nError);
}

void TW_EngineSocketMgr::RestListenerLocked(SocketData& rec, int nError) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (rec.status != SS_ACCEPTING) return;
    if (!m_timer.AddTimer(TimerKey(rec.socket, TIMER_ACCEPT_RESUME), kAcceptPauseMs, kAcceptPauseMs, true)) return;
    EnginePauseRead(rec);
    std::printf("accept s=%d failed with error %d: listening paused for %u ms\n", int(rec.socket), nError,
                unsigned(kAcceptPauseMs));
}

void TW_EngineSocketMgr::OnAccepted(SOCKET sListen, SOCKET s, const sockaddr_in& peer, const sockaddr_in* lpLocal) {
    sockaddr_in local{}, remote = peer;
    if (lpLocal)
        local = *lpLocal;
    else
        pf::GetSockName(s, &local);
    bool bTaken = false;
    {
        TW_SinkCall sink(this);
        if (sink && sink->OnSocketPreAccept(&local, &remote)) {
            bool bAdded = pf::SetNonBlocking(s, true);
            if (bAdded) {
                TW_LockGuard lock(&m_lckTable);
                bAdded = AddLocked(s, SS_CONNECTED, 0, 0, nullptr);
            }
            if (bAdded) {
                // Recorded first: once the host asks for a notice, another
                // thread may record the socket's first bytes.
                RecordAccept(sListen, s, &local, &remote);
                sink->OnSocketAccept(0, sListen, s, &local, &remote);
                bTaken = true;
            }
        }
    }
    if (!bTaken) EngineDiscardAccepted(s);
}

void TW_EngineSocketMgr::EngineDiscardAccepted(SOCKET s) { pf::CloseSocket(s); }

// ------------------------------------------------------------------ writing

void TW_EngineSocketMgr::OnWritable(SOCKET s, uint32_t uiSeq) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s, uiSeq);
    if (!lpRec) return;
    if (lpRec->status == SS_CONNECTING) {
        ConnectResultLocked(*lpRec, lock, 0);
    } else if (lpRec->status == SS_CONNECTED) {
        FlushLocked(*lpRec, lock);
    }
}

void TW_EngineSocketMgr::FlushLocked(SocketData& rec, TW_LockGuard& lock) {
    TW_ASSERT_LOCKED(m_lckTable);
    const SOCKET s = rec.socket;
    rec.dwLastSendTime = GetCurrentTick();
    const uint32_t u1 = rec.dwUser1, u2 = rec.dwUser2, dwFlag = rec.dwSendFlag;
    // The engine's own proxy requests are no business of the host's.
    const bool bReport = !rec.InProxyHandshake();

    while (!rec.listSendBuf.IsEmpty()) {
        SendBlock& block = rec.listSendBuf.GetHead();
        int nSent = SendNow(s, block.Unsent(), block.uiRemain);
        if (nSent < 0) {
            int nError = pf::GetLastError();
            if (nError != pf::kErrWouldBlock) {
                const uint32_t uiSeq = rec.uiSeq;
                lock.Unlock();
                NotifyClose(nError, s, uiSeq);
                return;
            }
            nSent = 0;
        }
        if (uint32_t(nSent) == block.uiRemain) {
            MemPoolFree(rec.listSendBuf.RemoveHead().lpBuffer);
            continue;
        }
        // Partly sent: wait for room again.
        block.uiRemain -= uint32_t(nSent);
        const int nError = pf::GetLastError();
        const uint32_t uiQueued = uint32_t(rec.listSendBuf.GetCount());
        const bool bReportPartial = (rec.dwFlags & SOCKET_FLAG_REPORT_PARTIAL_SEND) && bReport;
        EngineWatchWrite(rec);
        lock.Unlock();
        if (TW_SinkCall sink(this); bReportPartial && sink) sink->OnSocketSend(nError, s, u1, u2, dwFlag, uiQueued);
        return;
    }
    if (rec.bShutdownSendPending) {
        rec.bShutdownSendPending = false;
        pf::Shutdown(s, pf::kShutSend);
    }
    lock.Unlock();
    if (TW_SinkCall sink(this); bReport && sink) sink->OnSocketSend(0, s, u1, u2, dwFlag, 0);
}

// ------------------------------------------------------------------ connecting

void TW_EngineSocketMgr::OnConnectResult(SOCKET s, uint32_t uiSeq, int nError) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s, uiSeq);
    if (lpRec && lpRec->status == SS_CONNECTING) ConnectResultLocked(*lpRec, lock, nError);
}

void TW_EngineSocketMgr::ConnectResultLocked(SocketData& rec, TW_LockGuard& lock, int nError) {
    TW_ASSERT_LOCKED(m_lckTable);
    const SOCKET s = rec.socket;
    const uint32_t u1 = rec.dwUser1, u2 = rec.dwUser2;
    const SOCKET sLinked = rec.sLinked;
    if (nError == 0) {
        rec.status = SS_CONNECTED;
        rec.dwLastRecvTime = rec.dwLastSendTime = GetCurrentTick();
        if (rec.lpProxyData) {
            StartProxyHandshake(rec, lock);
            return;
        }
        lock.Unlock();
        if (TW_SinkCall sink(this); sink) sink->OnSocketConnect(0, s, u1, u2);
        return;
    }
    lock.Unlock();
    if (sLinked != INVALID_SOCKET)
        NotifyClose(nError, sLinked, 0);  // the UDP socket's relay cannot be reached
    else if (TW_SinkCall sink(this); sink)
        sink->OnSocketConnect(nError, s, u1, u2);
}

// ------------------------------------------------------------------ failures

bool TW_EngineSocketMgr::NotifyClose(int nError, SOCKET s, uint32_t uiSeq) {
    TW_LockGuard lock(&m_lckTable);
    SocketData* lpRec = FindLocked(s, uiSeq);
    if (!lpRec || lpRec->status == SS_CLOSE_NOTIFIED) return false;
    const uint32_t oldStatus = lpRec->status;
    const uint32_t u1 = lpRec->dwUser1, u2 = lpRec->dwUser2;
    const SOCKET sLinked = lpRec->sLinked;
    lpRec->status = SS_CLOSE_NOTIFIED;
    EnginePauseRead(*lpRec);

    if (oldStatus != SS_UDP && sLinked != INVALID_SOCKET) {
        // The control connection of a proxied UDP socket: the UDP socket
        // hears that its relay is gone.
        SocketData* lpUdp = FindLocked(sLinked);
        if (!lpUdp) return false;
        const uint32_t lu1 = lpUdp->dwUser1, lu2 = lpUdp->dwUser2;
        lock.Unlock();
        if (TW_SinkCall sink(this); sink) sink->OnSocketProxy(pf::kErrConnReset, sLinked, nullptr, lu1, lu2);
        return false;
    }
    lock.Unlock();
    if (TW_SinkCall sink(this); sink) sink->OnSocketClose(nError, s, int(oldStatus), u1, u2);
    RecordClose(nError, s, int(oldStatus), u1, u2);
    return true;
}

// ------------------------------------------------------------------ notice framing hooks

bool TW_EngineSocketMgr::FindNoticeRecord(SOCKET s, NoticeRecord& rec) {
    SocketData* lpRec = FindLocked(s);
    if (!lpRec) return false;
    rec = MakeNoticeRecord(*lpRec);
    return true;
}

void TW_EngineSocketMgr::NoticeOffer(SOCKET s, const char* lpData, uint32_t* lpConsumed, uint32_t dwUser1,
                                     uint32_t dwUser2) {
    TW_SinkCall sink(this);
    if (sink)
        sink->OnSocketRecv(0, s, lpData, lpConsumed, dwUser1, dwUser2);
    else
        *lpConsumed = 0;  // nobody to take the bytes: keep them
}

void TW_EngineSocketMgr::OnNoticeConsumed(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwUser1,
                                          uint32_t dwUser2) {
    RecordRecv(s, lpData, uiLen, dwUser1, dwUser2);
}
