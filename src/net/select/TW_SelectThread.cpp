#include "TW_SelectThread.h"

#include <climits>
#include <cstring>

#include "PfError.h"
#include "PfSocket.h"
#include "PfThread.h"
#include "TW_Assert.h"
#include "TW_SelectSocketMgr.h"
#include "vxnet/vxmempool.h"

namespace {

// A sink event of the proxy handshake, made after the group lock is released.
struct ProxyEvent {
    ProxyAction eAction;
    ProxyStepResult result;
};

sockaddr_in ToSockAddr(ProxyAddr a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = a.dwIp;
    sa.sin_port = a.wPort;
    return sa;
}

bool Sendable(int nSent) { return nSent >= 0; }

}  // namespace

uint32_t TW_SelectThread::Snapshot::SeqOf(SOCKET s) const {
    for (uint32_t i = 0; i < uiCount; ++i)
        if (arrSocket[i] == s) return arrSeq[i];
    return 0;
}

TW_SelectThread::TW_SelectThread(TW_SelectSocketMgr* lpOwner, ISocketMgrSink* lpSink)
    : m_hWakeEvent(pf::EventCreate(false, false)),
      m_hStopEvent(pf::EventCreate(false, false)),
      m_lpOwner(lpOwner),
      m_lpSink(lpSink) {
    TW_ASSERT(m_hWakeEvent && m_hStopEvent);
}

TW_SelectThread::~TW_SelectThread() {
    Stop();
    pf::EventClose(m_hWakeEvent);
    pf::EventClose(m_hStopEvent);
}

ISocketMgrSink* TW_SelectThread::Sink() {
    // The sink as it was when the group was made; a host that set its sink
    // only later is served by the manager's current one rather than nobody.
    return m_lpSink ? m_lpSink : m_lpOwner->GetSink();
}

uint32_t TW_SelectThread::NoticeTick() { return m_lpOwner->GetCurrentTick(); }

// ------------------------------------------------------------------ table

int TW_SelectThread::AddSocket(SOCKET s, uint32_t status, uint32_t dwUser1, uint32_t dwUser2, ProxyData* lpProxy) {
    TW_LockGuard lock(&m_mapSocket2Data);
    if (Find(s)) return 0;
    SocketData& rec = m_mapSocket2Data[s];
    rec.socket = s;
    rec.status = status;
    rec.bUdp = status == SS_UDP;
    rec.dwLastRecvTime = rec.dwLastSendTime = m_lpOwner->GetCurrentTick();
    rec.uiSeq = m_uiSocketSeq;
    m_uiSocketSeq = m_uiSocketSeq + 1 == 0xFFFFFFFFu ? 1 : m_uiSocketSeq + 1;
    rec.lpProxyData = lpProxy;
    rec.dwUser1 = dwUser1;
    rec.dwUser2 = dwUser2;
    return m_mapSocket2Data.GetCount();
}

int TW_SelectThread::RemoveSocket(SOCKET s, SOCKET* lpLinked, bool* lpUdp) {
    Unwatch(s, true, true, true);
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return -1;
    if (lpLinked) *lpLinked = rec->sLinked;
    if (lpUdp) *lpUdp = rec->bUdp;
    ReleaseSendQueue(rec->listSendBuf);
    // A lent block belongs to the delivering thread, which frees it when it
    // finds the record gone; what the record holds is the record's.
    ReleaseRecvBuffer(*rec);
    m_mapSocket2Data.RemoveKey(s);
    pf::CloseSocket(s);
    return m_mapSocket2Data.GetCount();
}

void TW_SelectThread::CloseAllSockets() {
    TW_LockGuard lock(&m_mapSocket2Data);
    SOCKET s;
    for (POSITION pos = m_mapSocket2Data.GetStartPosition(); pos;) {
        SocketData* rec = &m_mapSocket2Data.GetNextAssoc(pos, s);
        pf::CloseSocket(s);
        ReleaseSendQueue(rec->listSendBuf);
        ReleaseRecvBuffer(*rec);
    }
    m_mapSocket2Data.RemoveAll();
}

uint32_t TW_SelectThread::GetSocketSeq(SOCKET s) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    return rec ? rec->uiSeq : 0;
}

bool TW_SelectThread::LinkSocket(SOCKET s, SOCKET sOther) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return false;
    rec->sLinked = sOther;
    return true;
}

bool TW_SelectThread::SetRelayAddr(SOCKET s, uint32_t dwIp, uint16_t wPort) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return false;
    rec->dwProxyIp = dwIp;
    rec->wProxyPort = wPort;
    return true;
}

bool TW_SelectThread::SetUserData(SOCKET s, bool bFirst, uint32_t dwValue) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return false;
    (bFirst ? rec->dwUser1 : rec->dwUser2) = dwValue;
    return true;
}

bool TW_SelectThread::GetUserData(SOCKET s, uint32_t* lpU1, uint32_t* lpU2) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return false;
    if (lpU1) *lpU1 = rec->dwUser1;
    if (lpU2) *lpU2 = rec->dwUser2;
    return true;
}

bool TW_SelectThread::SetOptionFlags(SOCKET s, bool bReportPartialSend) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return false;
    rec->dwFlags = bReportPartialSend ? (rec->dwFlags | 1u) : (rec->dwFlags & ~1u);
    return true;
}

bool TW_SelectThread::CheckIdle(SOCKET s, bool bSend, uint32_t uiValue, uint32_t* lpElapsed) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec || (rec->status != SS_UDP && rec->status != SS_CONNECTED)) return false;
    uint32_t& dwStamp = bSend ? rec->dwLastSendTime : rec->dwLastRecvTime;
    uint32_t dwNow = m_lpOwner->GetCurrentTick();
    *lpElapsed = dwNow - dwStamp;
    if (*lpElapsed >= uiValue) dwStamp = dwNow;
    return true;
}

// ------------------------------------------------------------------ sets

bool TW_SelectThread::Watch(pf::SocketSet& set, SOCKET s, uint32_t status, uint32_t uiSeq, bool bCheckSeq) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return false;
    if (bCheckSeq && uiSeq != 0 && rec->uiSeq != uiSeq) return false;
    {
        TW_LockGuard sets(&m_lckFdSet);
        set.Add(s);  // a full set or a second insert is ignored
    }
    // The poll thread itself reads the sets again before its next select;
    // only other threads need to wake it.
    if (pf::CurrentThreadId() != GetThreadId()) pf::EventSet(m_hWakeEvent);
    // A reported failure is final: watching again never revives the socket.
    if (rec->status != SS_UDP && rec->status != SS_CLOSE_NOTIFIED) rec->status = status;
    return true;
}

bool TW_SelectThread::WatchRead(SOCKET s, uint32_t status, uint32_t uiSeq) {
    return Watch(m_fdRead, s, status, uiSeq, status == SS_CONNECTED);
}
bool TW_SelectThread::WatchWrite(SOCKET s, uint32_t status) { return Watch(m_fdWrite, s, status, 0, false); }
bool TW_SelectThread::WatchExcept(SOCKET s, uint32_t status) { return Watch(m_fdExcept, s, status, 0, false); }

void TW_SelectThread::Unwatch(SOCKET s, bool bRead, bool bWrite, bool bExcept) {
    TW_LockGuard sets(&m_lckFdSet);
    if (bRead) m_fdRead.Remove(s);
    if (bWrite) m_fdWrite.Remove(s);
    if (bExcept) m_fdExcept.Remove(s);
}

// ------------------------------------------------------------------ failures

bool TW_SelectThread::NotifyClose(int nError, SOCKET s) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec || rec->status == SS_CLOSE_NOTIFIED) return false;
    const uint32_t oldStatus = rec->status;
    const uint32_t u1 = rec->dwUser1, u2 = rec->dwUser2;
    const SOCKET sLinked = rec->sLinked;
    rec->status = SS_CLOSE_NOTIFIED;
    lock.Unlock();

    ISocketMgrSink* lpSink = Sink();
    if (oldStatus != SS_UDP && sLinked != INVALID_SOCKET) {
        // The control connection of a proxied UDP socket: the UDP socket
        // hears that its relay is gone.
        uint32_t lu1 = 0, lu2 = 0;
        if (!m_lpOwner->GetUserData(sLinked, &lu1, &lu2)) return false;
        if (lpSink) lpSink->OnSocketProxy(pf::kErrConnReset, sLinked, nullptr, lu1, lu2);
        return false;
    }
    if (lpSink) lpSink->OnSocketClose(nError, s, int(oldStatus), u1, u2);
    return true;
}

// ------------------------------------------------------------------ poll loop

uint32_t TW_SelectThread::Run() {
    pf::SetCurrentThreadName(kThreadName);
    const pf::WaitHandle waits[2] = {pf::Waitable(m_hWakeEvent), pf::Waitable(m_hStopEvent)};
    for (;;) {
        pf::WaitResult r = pf::WaitForAny(waits, 2, pf::kInfinite);
        if (r == pf::kWaitObject0 + 1 || IsStopRequested()) return 0;
        if (r != pf::kWaitObject0) continue;

        while (!IsStopRequested()) {
            pf::SocketSet rd, wr, ex;
            {
                TW_LockGuard sets(&m_lckFdSet);
                rd = m_fdRead;
                wr = m_fdWrite;
                ex = m_fdExcept;
            }
            if (rd.uiCount == 0 && wr.uiCount == 0 && ex.uiCount == 0) break;
            Snapshot snap;
            TakeSnapshot(snap);
            int n = pf::Select(rd.uiCount ? &rd : nullptr, wr.uiCount ? &wr : nullptr,
                               ex.uiCount ? &ex : nullptr, kPollTimeoutMs);
            if (n > 0) {
                if (rd.uiCount) OnReadable(rd, snap);
                if (wr.uiCount) OnWritable(wr, snap);
                if (ex.uiCount) OnExcept(ex, snap);
            } else if (n < 0) {
                // A socket was closed while it sat in the copy. Its removal
                // has cleaned the sets; poll the others again after a pause
                // (or a wake) instead of leaving them unpolled until the next
                // change, which could be never.
                r = pf::WaitForAny(waits, 2, kPollTimeoutMs);
                if (r == pf::kWaitObject0 + 1) return 0;
            }
        }
    }
}

void TW_SelectThread::Stop() {
    pf::EventSet(m_hStopEvent);
    {
        TW_LockGuard sets(&m_lckFdSet);
        m_fdRead.Clear();
        m_fdWrite.Clear();
        m_fdExcept.Clear();
    }
    TW_Thread::Stop();
    CloseAllSockets();
}

void TW_SelectThread::TakeSnapshot(Snapshot& snap) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SOCKET s;
    for (POSITION pos = m_mapSocket2Data.GetStartPosition(); pos && snap.uiCount < kGroupSize;) {
        SocketData* rec = &m_mapSocket2Data.GetNextAssoc(pos, s);
        snap.arrSocket[snap.uiCount] = s;
        snap.arrSeq[snap.uiCount++] = rec->uiSeq;
    }
}

template <class Fn>
void TW_SelectThread::ForEachReady(const pf::SocketSet& set, const Snapshot& snap, Fn fnHandle) {
    for (uint32_t i = 0; i < set.uiCount; ++i) {
        const SOCKET s = set.arrSocket[i];
        const uint32_t uiSeq = snap.SeqOf(s);
        TW_LockGuard lock(&m_mapSocket2Data);
        SocketData* rec = Find(s);
        // Only the socket that had the handle when the pass began.
        if (rec && rec->uiSeq == uiSeq) fnHandle(s, uiSeq, rec, lock);
    }
}

void TW_SelectThread::OnReadable(const pf::SocketSet& set, const Snapshot& snap) {
    ForEachReady(set, snap, [this](SOCKET s, uint32_t uiSeq, SocketData* rec, TW_LockGuard& lock) {
        const uint32_t status = rec->status;
        if (status == SS_UDP) {
            const SOCKET sLinked = rec->sLinked;
            const uint32_t u1 = rec->dwUser1, u2 = rec->dwUser2;
            lock.Unlock();
            ReadDatagram(s, sLinked, u1, u2);
        } else if (status == SS_ACCEPTING) {
            lock.Unlock();
            AcceptConnection(s);
        } else if (status == SS_CONNECTED) {
            // The control connection of a working UDP association carries
            // nothing for anyone; it is read only to notice that it breaks.
            const bool bControl = rec->sLinked != INVALID_SOCKET && !rec->bUdp && !rec->InProxyHandshake();
            lock.Unlock();
            Unwatch(s, true, false, false);
            if (IsStopRequested()) return;
            char buf[kStreamReadSize];
            int n = pf::Recv(s, buf, sizeof buf);
            if (n > 0) {
                if (bControl || ReceiveNotice(s, buf, uint32_t(n), uiSeq) == NOTICE_READ_ON)
                    if (!IsStopRequested()) WatchRead(s, SS_CONNECTED, uiSeq);
            } else if (n == 0) {
                NotifyClose(0, s);
            } else {
                int nError = pf::GetLastError();
                if (nError == pf::kErrWouldBlock)
                    WatchRead(s, SS_CONNECTED, uiSeq);
                else
                    NotifyClose(nError, s);
            }
        }
    });
}

void TW_SelectThread::ReadDatagram(SOCKET s, SOCKET sLinked, uint32_t dwUser1, uint32_t dwUser2) {
    char buf[kDatagramBufSize];
    sockaddr_in from{};
    int n = pf::RecvFrom(s, buf, sizeof buf, &from);
    ISocketMgrSink* lpSink = Sink();
    if (n < 0) {
        int nError = pf::GetLastError();
        // A datagram larger than the buffer is dropped: a peer must not be
        // able to close the socket by sending one.
        if (nError == pf::kErrWouldBlock || nError == pf::kErrMsgSize) return;
        Unwatch(s, true, false, false);
        NotifyClose(nError, s);
        return;
    }
    if (!lpSink) return;
    const auto* p = reinterpret_cast<const unsigned char*>(buf);
    if (sLinked != INVALID_SOCKET && n > 10 && p[0] == 0 && p[1] == 0 && p[2] == 0) {
        // Relayed by the SOCKS server: the 10-byte header names the sender.
        sockaddr_in sender{};
        sender.sin_family = AF_INET;
        std::memcpy(&sender.sin_addr.s_addr, p + 4, 4);
        std::memcpy(&sender.sin_port, p + 8, 2);
        lpSink->OnSocketRecvFrom(0, s, buf + 10, n - 10, &sender, dwUser1, dwUser2);
    } else {
        // An empty datagram is a datagram too.
        lpSink->OnSocketRecvFrom(0, s, buf, n, &from, dwUser1, dwUser2);
    }
}

void TW_SelectThread::AcceptConnection(SOCKET sListen) {
    sockaddr_in peer{}, local{};
    SOCKET s = pf::Accept(sListen, &peer);
    if (s == INVALID_SOCKET) return;  // a failed accept is ignored
    pf::GetSockName(s, &local);
    ISocketMgrSink* lpSink = Sink();
    if (lpSink && lpSink->OnSocketPreAccept(&local, &peer) &&
        m_lpOwner->AddSocket(s, SS_CONNECTED, 0, 0, nullptr)) {
        lpSink->OnSocketAccept(0, sListen, s, &local, &peer);
    } else {
        pf::CloseSocket(s);
    }
}

void TW_SelectThread::OnWritable(const pf::SocketSet& set, const Snapshot& snap) {
    ForEachReady(set, snap, [this](SOCKET s, uint32_t uiSeq, SocketData* rec, TW_LockGuard& lock) {
        const uint32_t status = rec->status;
        if (status == SS_CONNECTING) {
            rec->status = SS_CONNECTED;
            rec->dwLastRecvTime = rec->dwLastSendTime = m_lpOwner->GetCurrentTick();
            Unwatch(s, false, true, true);
            if (rec->lpProxyData) {
                StartProxyHandshake(s, lock);
                return;
            }
            const uint32_t u1 = rec->dwUser1, u2 = rec->dwUser2;
            lock.Unlock();
            if (ISocketMgrSink* lpSink = Sink()) lpSink->OnSocketConnect(0, s, u1, u2);
        } else if (status == SS_UDP || status == SS_CONNECTED) {
            lock.Unlock();
            Unwatch(s, false, true, false);
            if (!IsStopRequested() && status == SS_CONNECTED) FlushSendQueue(s, uiSeq);
        }
    });
}

void TW_SelectThread::OnExcept(const pf::SocketSet& set, const Snapshot& snap) {
    ForEachReady(set, snap, [this](SOCKET s, uint32_t, SocketData* rec, TW_LockGuard& lock) {
        if (rec->status != SS_CONNECTING) return;
        const uint32_t u1 = rec->dwUser1, u2 = rec->dwUser2;
        const SOCKET sLinked = rec->sLinked;
        lock.Unlock();
        Unwatch(s, false, true, true);
        // Whatever the socket's own error, a failed connect is a time-out here.
        if (sLinked == INVALID_SOCKET) {
            if (ISocketMgrSink* lpSink = Sink()) lpSink->OnSocketConnect(pf::kErrTimedOut, s, u1, u2);
        } else {
            m_lpOwner->NotifyClose(pf::kErrTimedOut, sLinked);
        }
    });
}

// ------------------------------------------------------------------ sending

bool TW_SelectThread::Send(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwFlag, uint32_t* lpQueued) {
    if (!TW_CHECK(lpData != nullptr || uiLen == 0)) return false;
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec || rec->status != SS_CONNECTED) return false;
    rec->dwSendFlag = dwFlag;
    if (rec->listSendBuf.IsEmpty()) {
        int nTry = uiLen > uint32_t(INT_MAX) ? INT_MAX : int(uiLen);
        int nSent = pf::Send(s, lpData, nTry);
        if (!Sendable(nSent)) {
            if (pf::GetLastError() != pf::kErrWouldBlock) return false;
            nSent = 0;
        }
        uint32_t uiRest = uiLen - uint32_t(nSent);
        if (uiRest > 0) {
            SendBlock block;
            block.lpBuffer = static_cast<char*>(MemPoolAlloc(uiRest));
            std::memcpy(block.lpBuffer, lpData + nSent, uiRest);
            block.uiLen = block.uiRemain = uiRest;
            rec->listSendBuf.AddTail(block);
        }
        // Sent or not, the poll thread reports (or finishes) the send.
        WatchWrite(s, SS_CONNECTED);
    } else {
        SendBlock block;
        block.lpBuffer = static_cast<char*>(MemPoolAlloc(uiLen));
        if (uiLen) std::memcpy(block.lpBuffer, lpData, uiLen);
        block.uiLen = block.uiRemain = uiLen;
        rec->listSendBuf.AddTail(block);
    }
    if (lpQueued) *lpQueued = uint32_t(rec->listSendBuf.GetCount());
    return true;
}

void TW_SelectThread::FlushSendQueue(SOCKET s, uint32_t uiSeq) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec || rec->uiSeq != uiSeq || rec->status == SS_UDP) return;
    rec->dwLastSendTime = m_lpOwner->GetCurrentTick();
    const uint32_t u1 = rec->dwUser1, u2 = rec->dwUser2, dwFlag = rec->dwSendFlag;
    // The engine's own proxy requests are no business of the host's.
    const bool bReport = !rec->InProxyHandshake();
    ISocketMgrSink* lpSink = Sink();

    while (!rec->listSendBuf.IsEmpty()) {
        SendBlock& block = rec->listSendBuf.GetHead();
        int nTry = block.uiRemain > uint32_t(INT_MAX) ? INT_MAX : int(block.uiRemain);
        int nSent = pf::Send(s, block.Unsent(), nTry);
        if (!Sendable(nSent)) {
            int nError = pf::GetLastError();
            if (nError != pf::kErrWouldBlock) {
                lock.Unlock();
                NotifyClose(nError, s);
                return;
            }
            nSent = 0;
        }
        if (uint32_t(nSent) == block.uiRemain) {
            MemPoolFree(rec->listSendBuf.RemoveHead().lpBuffer);
            continue;
        }
        // Partly sent: wait for room again.
        block.uiRemain -= uint32_t(nSent);
        const uint32_t uiQueued = uint32_t(rec->listSendBuf.GetCount());
        const bool bReportPartial = (rec->dwFlags & 1u) != 0 && bReport;
        WatchWrite(s, SS_CONNECTED);
        lock.Unlock();
        if (bReportPartial && lpSink) lpSink->OnSocketSend(pf::GetLastError(), s, u1, u2, dwFlag, uiQueued);
        return;
    }
    lock.Unlock();
    if (bReport && lpSink) lpSink->OnSocketSend(0, s, u1, u2, dwFlag, 0);
}

int TW_SelectThread::SendToAddr(SOCKET s, const sockaddr_in* lpTo, const char* lpData, int nLen) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return pf::kSocketError;
    if (!rec->lpProxyData) return pf::SendTo(s, lpData, nLen, lpTo);
    if (!TW_CHECK(nLen <= INT_MAX - 10)) return pf::kSocketError;
    // Through the SOCKS relay: a 10-byte header names the real destination.
    char* lpDatagram = static_cast<char*>(MemPoolAlloc(uint32_t(nLen) + 10));
    const unsigned char header[4] = {0, 0, 0, 1};
    std::memcpy(lpDatagram, header, 4);
    std::memcpy(lpDatagram + 4, &lpTo->sin_addr.s_addr, 4);
    std::memcpy(lpDatagram + 8, &lpTo->sin_port, 2);
    std::memcpy(lpDatagram + 10, lpData, size_t(nLen));
    sockaddr_in relay = *lpTo;
    relay.sin_addr.s_addr = rec->dwProxyIp;
    relay.sin_port = rec->wProxyPort;
    int n = pf::SendTo(s, lpDatagram, nLen + 10, &relay);
    MemPoolFree(lpDatagram);
    return n;
}

// ------------------------------------------------------------------ connecting

bool TW_SelectThread::ConnectAddr(SOCKET s, const sockaddr_in* lpAddr) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return false;
    sockaddr_in to = *lpAddr;
    if (rec->lpProxyData) {
        // The proxy is dialled; the real destination waits in the record.
        rec->dwProxyIp = lpAddr->sin_addr.s_addr;
        rec->wProxyPort = lpAddr->sin_port;
        uint32_t dwIp;
        uint16_t wPort;
        if (!m_lpOwner->GetProxyAddr(rec->lpProxyData, &dwIp, &wPort)) return false;
        to.sin_addr.s_addr = dwIp;
        to.sin_port = wPort;
    }
    if (!pf::Connect(s, &to) && pf::GetLastError() != pf::kErrWouldBlock) return false;
    WatchWrite(s, SS_CONNECTING);
    WatchExcept(s, SS_CONNECTING);
    return true;
}

bool TW_SelectThread::Listen(SOCKET s, int nBacklog) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return false;
    if (rec->lpProxyData) {
        // Listening through the proxy is a SOCKS5 BIND on a connection to it.
        lock.Unlock();
        sockaddr_in any = pf::MakeSockAddr(pf::kAddrAny, 0);
        return ConnectAddr(s, &any);
    }
    if (!pf::Listen(s, nBacklog)) return false;
    return WatchRead(s, SS_ACCEPTING, 0);
}

bool TW_SelectThread::Shutdown(SOCKET s, int nHow) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec || (rec->status != SS_CONNECTED && rec->status != SS_UDP)) return false;
    pf::Shutdown(s, nHow);
    return true;
}

// ------------------------------------------------------------------ notices

bool TW_SelectThread::FindNoticeRecord(SOCKET s, NoticeRecord& rec) {
    SocketData* r = Find(s);
    if (!r) return false;
    rec = MakeNoticeRecord(*r);
    return true;
}

bool TW_SelectThread::SetNoticeLen(SOCKET s, uint32_t uiLen) {
    TW_LockGuard lock(&m_mapSocket2Data);
    SocketData* rec = Find(s);
    if (!rec) return false;
    switch (RequestNotice(rec->status, *rec, uiLen)) {
    case NOTICE_REFUSED: return false;
    case NOTICE_ACCEPTED: return true;
    case NOTICE_WATCH_READ: WatchRead(s, SS_CONNECTED, rec->uiSeq); return true;
    case NOTICE_DELIVER_BUFFERED: {
        // Enough is held already: deliver now, on the caller's thread.
        const uint32_t uiSeq = rec->uiSeq;
        lock.Unlock();
        if (ReceiveNotice(s, nullptr, 0, uiSeq, false) == NOTICE_READ_ON) WatchRead(s, SS_CONNECTED, uiSeq);
        return true;
    }
    }
    return false;
}

// ------------------------------------------------------------------ proxy handshake

ProxyHandshake TW_SelectThread::MakeHandshake(const SocketData& rec) {
    ProxyHandshake hs{};
    hs.lpProxy = m_lpOwner->IsProxyListed(rec.lpProxyData) ? rec.lpProxyData : nullptr;
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
void TW_SelectThread::StartProxyHandshake(SOCKET s, TW_LockGuard& lock) {
    SocketData* rec = Find(s);
    char request[kProxyRequestBufSize];
    ProxyStepResult res;
    {
        TW_LockGuard proxies(&m_lpOwner->ProxyLock());
        res = ProxyHandshakeStart(MakeHandshake(*rec), request);
    }
    rec->uiProxyStep = res.uiStep;
    const uint32_t uiSeq = rec->uiSeq;
    if (res.eAction == PROXY_SEND_REQUEST) {
        if (Send(s, request, res.uiRequestLen, 0, nullptr)) {
            rec->uiNoticeLen = 2;  // keeps the socket readable during the handshake
            WatchRead(s, SS_CONNECTED, uiSeq);
            return;
        }
        TW_LockGuard proxies(&m_lpOwner->ProxyLock());
        res = ProxyHandshakeSendFailed(MakeHandshake(*rec), pf::GetLastError());
    }
    const uint32_t u1 = rec->dwUser1, u2 = rec->dwUser2;
    const SOCKET sLinked = rec->sLinked;
    lock.Unlock();
    ReportProxyFailure(s, res, sLinked, u1, u2);
}

bool TW_SelectThread::ReportProxyFailure(SOCKET s, const ProxyStepResult& res, SOCKET sLinked, uint32_t u1,
                                         uint32_t u2) {
    ISocketMgrSink* lpSink = Sink();
    switch (res.eFail) {
    case PROXY_FAIL_CLOSE_CONTROL:
        m_lpOwner->CloseSocket(s);
        if (lpSink) lpSink->OnSocketProxy(res.nError, sLinked, nullptr, u1, u2);
        return true;
    case PROXY_FAIL_TO_PROXY_SINK:
        if (lpSink) lpSink->OnSocketProxy(res.nError, sLinked != INVALID_SOCKET ? sLinked : s, nullptr, u1, u2);
        return false;
    case PROXY_FAIL_TO_CLOSE_SINK:
        NotifyClose(res.nError, s);
        return false;
    }
    return false;
}

NoticeResult TW_SelectThread::OnProxyBytes(SOCKET s, const NoticeRecord& nrec, const char* lpData, uint32_t uiLen,
                                           TW_LockGuard& lock) {
    SocketData* rec = Find(s);
    // Replies are a byte stream: they collect in the receive buffer until a
    // whole one is there, and what follows the last one stays for the host.
    AppendRecvBytes(*rec, lpData, uiLen);

    ProxyEvent events[4];
    int nEvents = 0;
    NoticeResult eResult = NOTICE_READ_ON;
    char request[kProxyRequestBufSize];
    for (bool bMore = true; bMore && nEvents < 4;) {
        ProxyStepResult res;
        {
            TW_LockGuard proxies(&m_lpOwner->ProxyLock());
            res = ProxyHandshakeOnReply(MakeHandshake(*rec), rec->sbRbuf.lpBuffer, rec->sbRbuf.uiDataLen, request);
        }
        if (res.eAction == PROXY_NEED_MORE) break;
        if (res.eAction == PROXY_NO_HANDSHAKE) {
            eResult = NOTICE_IDLE;
            break;
        }
        DropRecvBytes(*rec, res.uiUsed);
        rec->uiProxyStep = res.uiStep;
        bMore = rec->sbRbuf.uiDataLen > 0;
        if (res.eAction == PROXY_SEND_REQUEST) {
            if (!Send(s, request, res.uiRequestLen, 0, nullptr)) {
                TW_LockGuard proxies(&m_lpOwner->ProxyLock());
                res = ProxyHandshakeSendFailed(MakeHandshake(*rec), pf::GetLastError());
                events[nEvents++] = ProxyEvent{PROXY_FAIL, res};
                rec->uiNoticeLen = 0;
                eResult = NOTICE_IDLE;
                bMore = false;
            }
            continue;
        }
        if (res.eAction != PROXY_FAIL) {
            rec->dwProxyIp = res.addr.dwIp;
            rec->wProxyPort = res.addr.wPort;
        }
        events[nEvents++] = ProxyEvent{res.eAction, res};
        if (res.eAction == PROXY_REPORT_BOUND) continue;  // the peer's reply may follow at once
        // The handshake is over. Application data waits for the host's first
        // request; a relay's control connection stays watched, since the
        // association lives as long as it does and its end must reach the
        // UDP socket.
        rec->uiNoticeLen = 0;
        bMore = false;
        if (res.eAction != PROXY_REPORT_RELAY) eResult = NOTICE_IDLE;
    }
    const uint32_t u1 = nrec.dwUser1, u2 = nrec.dwUser2;
    const SOCKET sLinked = rec->sLinked;
    lock.Unlock();

    ISocketMgrSink* lpSink = Sink();
    for (int i = 0; i < nEvents; ++i) {
        const ProxyStepResult& res = events[i].result;
        sockaddr_in addr = ToSockAddr(res.addr);
        switch (events[i].eAction) {
        case PROXY_REPORT_BOUND:
            if (lpSink) lpSink->OnSocketProxy(0, s, &addr, u1, u2);
            break;
        case PROXY_REPORT_RELAY:
            m_lpOwner->SetRelayAddr(sLinked, res.addr.dwIp, res.addr.wPort);
            if (lpSink) lpSink->OnSocketProxy(0, sLinked, &addr, u1, u2);
            break;
        case PROXY_REPORT_ACCEPT: {
            sockaddr_in local{};
            pf::GetSockName(s, &local);
            if (lpSink) lpSink->OnSocketAccept(0, s, s, &local, &addr);
            break;
        }
        case PROXY_REPORT_CONNECT:
            if (lpSink) lpSink->OnSocketConnect(0, s, u1, u2);
            break;
        case PROXY_FAIL:
            if (ReportProxyFailure(s, res, sLinked, u1, u2)) return NOTICE_GONE;
            break;
        default:
            break;
        }
    }
    return eResult;
}
