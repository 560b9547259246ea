#include "TW_AsyncSocketMgr.h"

#include <cstdio>

#include "PfError.h"
#include "PfSocket.h"
#include "TW_Assert.h"

namespace {

// What the engine keeps in a record's lpEngine word.
enum : uintptr_t {
    kMaskBits = 0x3F,              // the events registered now
    kEverRegistered = 1u << 8,     // a close must go through the release path
    kWantRead = 1u << 9,           // reads (datagrams, connections) are wanted now
    kWantWrite = 1u << 10,         // an FD_WRITE is awaited
    kConnectReported = 1u << 11,   // FD_CONNECT came; a close after it is no second outcome
    kPeerEnded = 1u << 12,         // an orderly FD_CLOSE came while reads were not wanted
    kSendReportDue = 1u << 13,     // everything went out: a posted FD_WRITE brings the report
    kReadMissed = 1u << 14         // an FD_READ came while reads were paused
};

uintptr_t State(const SocketData& rec) { return reinterpret_cast<uintptr_t>(rec.lpEngine); }
void SetState(SocketData& rec, uintptr_t st) { rec.lpEngine = reinterpret_cast<void*>(st); }
void AddState(SocketData& rec, uintptr_t bits) { SetState(rec, State(rec) | bits); }
void ClearState(SocketData& rec, uintptr_t bits) { SetState(rec, State(rec) & ~bits); }

// The events a record needs: FD_CLOSE always; reads, writes, the connect or
// connections as its status and wishes say.
uint32_t WantedMask(SocketData& rec) {
    const uintptr_t st = State(rec);
    const uint32_t uiRead = (st & kWantRead) ? uint32_t(pf::kFdRead) : 0u;
    switch (rec.status) {
    case SS_CONNECTING: return pf::kFdConnect | pf::kFdClose;
    case SS_ACCEPTING: return ((st & kWantRead) ? uint32_t(pf::kFdAccept) : 0u) | pf::kFdClose;
    case SS_UDP: return uiRead | pf::kFdClose;
    case SS_CONNECTED: return uiRead | ((st & kWantWrite) ? uint32_t(pf::kFdWrite) : 0u) | pf::kFdClose;
    default: return uint32_t(st & kMaskBits);  // nothing new after a failure
    }
}

}  // namespace

TW_SocketMgrInstance* TW_AsyncSocketMgr::Create(bool bRecord) {
    auto* lpMgr = new TW_AsyncSocketMgr();
    lpMgr->SetRecordFlag(bRecord);
    return lpMgr;
}

TW_AsyncSocketMgr::TW_AsyncSocketMgr() : m_hWndReady(pf::EventCreate(false, false)) {
    m_mapClosingSocket.InitHashTable(4099);
    // FD_WRITE comes back only after a send that would have blocked.
    m_bSendUntilWouldBlock = true;
}

TW_AsyncSocketMgr::~TW_AsyncSocketMgr() {
    Stop(2000);
    pf::EventClose(m_hWndReady);
}

// ------------------------------------------------------------------ threads

bool TW_AsyncSocketMgr::EngineStart(uint8_t, uint32_t) {
    if (!m_hWndReady) return false;
    pf::EventReset(m_hWndReady);
    m_bWndCreated = false;
    if (StartThreads(kThreadWindow, 1, 0) != 1) return false;
    // The thread signals whether or not its window appeared.
    if (pf::EventWait(m_hWndReady, pf::kInfinite) == pf::kWaitObject0 && m_bWndCreated) return true;
    std::printf("AsyncSocketMgr: the hidden window could not be created\n");
    EngineStop();
    return false;
}

void TW_AsyncSocketMgr::EngineStop() {
    if (uint32_t uiId = m_dwWndThreadId.load()) pf::PostThreadMessage(uiId, pf::kWmQuit, 0, 0);
    StopThreads(kThreadWindow, 2000);
    // Nothing queued for the old window can arrive any more: a restart
    // begins with no closing handles.
    TW_LockGuard lock(&m_lckTable);
    m_dwWndThreadId = 0;
    m_mapClosingSocket.RemoveAll();
    m_listUnposted.RemoveAll();
    m_bUnposted = false;
}

uint32_t TW_AsyncSocketMgr::EngineThreadProc(ThreadData* lpData) {
    TW_ASSERT(lpData->iThreadType == kThreadWindow);
    RunWindowThread();
    return 0;
}

void TW_AsyncSocketMgr::RunWindowThread() {
    pf::SetCurrentThreadName("vxnet-async");
    m_dwWndThreadId = pf::CurrentThreadId();
    // Registered once for the process: another manager's window may use it.
    TW_Wnd::RegisterWndClass(kWindowClass);
    m_bWndCreated = m_wnd.Create(kWindowClass, kWindowClass, 0x00CF0000);
    if (m_bWndCreated) {
        TW_LockGuard lock(&m_lckTable);
        m_hWnd = m_wnd.GetHandle();
    }
    pf::EventSet(m_hWndReady);
    if (!m_bWndCreated) return;
    TW_Wnd::RunMessageLoop();
    {
        TW_LockGuard lock(&m_lckTable);
        m_hWnd = nullptr;
    }
    m_wnd.Destroy();
}

intptr_t TW_AsyncSocketMgr::Window::WindowProc(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    if (m_lpOwner->m_bUnposted.load(std::memory_order_relaxed)) {
        TW_LockGuard lock(&m_lpOwner->m_lckTable);
        m_lpOwner->RetryReleasesLocked();
    }
    switch (uiMsg) {
    case WM_ASYNC_SOCKET:
        m_lpOwner->OnSocketEvent(SOCKET(wParam), uint32_t(lParam) & 0xFFFF, int(uint32_t(lParam) >> 16));
        return 1;
    case WM_ASYNC_RELEASE: m_lpOwner->OnRelease(SOCKET(wParam)); return 1;
    default: return TW_Wnd::WindowProc(uiMsg, wParam, lParam);
    }
}

// ------------------------------------------------------------------ notifications

void TW_AsyncSocketMgr::OnSocketEvent(SOCKET s, uint32_t uiEvent, int nError) {
    uint32_t uiSeq;
    {
        TW_LockGuard lock(&m_lckTable);
        // A closing handle first: its notifications belong to a closed socket.
        if (m_mapClosingSocket.LookupPtr(s)) return;
        SocketData* lpRec = FindLocked(s);
        if (!lpRec) return;
        uiSeq = lpRec->uiSeq;
        const uintptr_t st = State(*lpRec);
        switch (uiEvent) {
        case pf::kFdRead:
        case pf::kFdAccept:
            if (nError != 0) return;
            // Queued before the reads were paused: the bytes wait for a notice,
            // and no FD_READ comes for them until they are asked for again.
            if (!(st & kWantRead)) return AddState(*lpRec, kReadMissed);
            break;
        case pf::kFdWrite:
            // One flush (and report) per wish: a repeated FD_WRITE has nothing to do.
            if (lpRec->status != SS_CONNECTED || !(st & (kWantWrite | kSendReportDue))) return;
            ClearState(*lpRec, kWantWrite | kSendReportDue);
            if (nError != 0) uiEvent = pf::kFdClose;
            break;
        case pf::kFdConnect:
            if (lpRec->status != SS_CONNECTING || (st & kConnectReported)) return;
            AddState(*lpRec, kConnectReported);
            break;
        case pf::kFdClose:
            if (lpRec->status == SS_CONNECTED && nError == 0) {
                // The peer's orderly end is read as the end of the stream, when
                // the host reads: reported now, it would fail the socket with
                // bytes still queued to send, or before the host asked for them.
                if (!(st & kWantRead)) {
                    AddState(*lpRec, kPeerEnded);
                    return;
                }
                uiEvent = pf::kFdRead;
                break;
            }
            if (lpRec->status == SS_CONNECTING) {
                // A connect that ends in a close has failed; once only.
                if (st & kConnectReported) return;
                AddState(*lpRec, kConnectReported);
                uiEvent = pf::kFdConnect;
                if (nError == 0) nError = pf::kErrConnRefused;
            }
            break;
        default: return;
        }
    }
    switch (uiEvent) {
    case pf::kFdRead:
    case pf::kFdAccept: OnReadable(s, uiSeq); break;
    case pf::kFdWrite: OnWritable(s, uiSeq); break;
    case pf::kFdConnect: OnConnectResult(s, uiSeq, nError); break;
    case pf::kFdClose: NotifyClose(nError, s, uiSeq); break;
    }
}

void TW_AsyncSocketMgr::OnRelease(SOCKET s) {
    TW_LockGuard lock(&m_lckTable);
    int* lpCount = m_mapClosingSocket.LookupPtr(s);
    if (!lpCount) return;  // a release of before a restart
    if (--*lpCount <= 0) m_mapClosingSocket.RemoveKey(s);
}

// ------------------------------------------------------------------ registration and release

bool TW_AsyncSocketMgr::RegisterLocked(SocketData& rec, bool bRenew) {
    TW_ASSERT_LOCKED(m_lckTable);
    const uintptr_t st = State(rec);
    const uint32_t uiMask = WantedMask(rec);
    if (!bRenew && uiMask == (st & kMaskBits)) return true;
    pf::WindowHandle hWnd = m_hWnd.load();
    if (!hWnd) {
        pf::SetLastError(pf::kErrNetDown);
        return false;
    }
    if (uiMask == 0 && !(st & kEverRegistered)) return true;
    if (pf::AsyncSelect(rec.socket, hWnd, WM_ASYNC_SOCKET, uiMask) != 0) return false;
    SetState(rec, (st & ~kMaskBits) | uiMask | kEverRegistered);
    return true;
}

void TW_AsyncSocketMgr::WatchLocked(SocketData& rec, bool bRenew) {
    if (RegisterLocked(rec, bRenew) || !m_hWnd.load()) return;
    // Nothing more would be heard of the socket: its failure is reported
    // as a close, on the window thread.
    const uint32_t uiError = uint32_t(pf::GetLastError());
    pf::PostWindowMessage(m_hWnd.load(), WM_ASYNC_SOCKET, rec.socket, intptr_t(pf::kFdClose | (uiError << 16)));
}

void TW_AsyncSocketMgr::ReleaseLocked(SOCKET s) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (pf::WindowHandle hWnd = m_hWnd.load()) pf::AsyncSelect(s, hWnd, 0, 0);
    int* lpCount = m_mapClosingSocket.LookupPtr(s);
    if (lpCount)
        ++*lpCount;
    else
        m_mapClosingSocket[s] = 1;
    PostReleaseLocked(s);
}

void TW_AsyncSocketMgr::PostReleaseLocked(SOCKET s) {
    pf::WindowHandle hWnd = m_hWnd.load();
    if (hWnd && pf::PostWindowMessage(hWnd, WM_ASYNC_RELEASE, s, 0)) return;
    if (!hWnd) return;  // stopping: the table is emptied after the thread ends
    // A full queue (Windows caps it): posted again from the window thread.
    m_listUnposted.AddTail(s);
    m_bUnposted = true;
}

void TW_AsyncSocketMgr::RetryReleasesLocked() {
    TW_ASSERT_LOCKED(m_lckTable);
    TW_List<SOCKET> list;
    while (!m_listUnposted.IsEmpty()) list.AddTail(m_listUnposted.RemoveHead());
    m_bUnposted = false;
    while (!list.IsEmpty()) PostReleaseLocked(list.RemoveHead());
}

// ------------------------------------------------------------------ narrow operations

bool TW_AsyncSocketMgr::EngineAdd(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    rec.lpEngine = nullptr;
    if (rec.status == SS_UDP) {
        AddState(rec, kWantRead);  // datagrams are read at once
        return RegisterLocked(rec, true);
    } else if (rec.status == SS_CONNECTED) {
        // Accepted: it came with the listener's registration, which is
        // replaced by this socket's own.
        AddState(rec, kEverRegistered);
        return RegisterLocked(rec, true);
    }
    return true;
}

void TW_AsyncSocketMgr::EngineRemove(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (State(rec) & kEverRegistered) ReleaseLocked(rec.socket);
    rec.lpEngine = nullptr;
}

void TW_AsyncSocketMgr::EngineDiscardAccepted(SOCKET s) {
    {
        TW_LockGuard lock(&m_lckTable);
        ReleaseLocked(s);  // it has the listener's registration
    }
    pf::CloseSocket(s);
}

bool TW_AsyncSocketMgr::EngineWatchRead(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    const bool bRenew = State(rec) & kReadMissed;
    ClearState(rec, kReadMissed);
    AddState(rec, kWantRead);
    if (State(rec) & kPeerEnded) {
        // The end is there already: read it on the window thread.
        ClearState(rec, kPeerEnded);
        if (pf::WindowHandle hWnd = m_hWnd.load()) pf::PostWindowMessage(hWnd, WM_ASYNC_SOCKET, rec.socket, pf::kFdClose);
    }
    // Renewed only after an FD_READ was ignored: it is not posted again
    // until a registration reports the bytes that wait. Otherwise the next
    // FD_READ is still to come (the last receive re-enabled it).
    WatchLocked(rec, bRenew);
    return true;
}

void TW_AsyncSocketMgr::EnginePauseRead(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    ClearState(rec, kWantRead);
    // A stream keeps FD_READ registered: one notification comes per receive
    // at most, and one that finds reads paused is ignored. A listener must
    // drop FD_ACCEPT, which every failed accept would post again.
    if (rec.status == SS_ACCEPTING) WatchLocked(rec, false);
}

void TW_AsyncSocketMgr::EngineReportSend(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    // Posted, not registered: a registration on a full buffer reports no FD_WRITE.
    pf::WindowHandle hWnd = m_hWnd.load();
    if (!(State(rec) & kSendReportDue) && hWnd && pf::PostWindowMessage(hWnd, WM_ASYNC_SOCKET, rec.socket, pf::kFdWrite))
        AddState(rec, kSendReportDue);
}

void TW_AsyncSocketMgr::EngineWatchWrite(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    AddState(rec, kWantWrite);
    // Every registration with FD_WRITE answers with one as soon as the socket can send.
    WatchLocked(rec, true);
}

bool TW_AsyncSocketMgr::EngineConnect(SocketData& rec, const sockaddr_in& to) {
    TW_ASSERT_LOCKED(m_lckTable);
    const uint32_t oldStatus = rec.status;
    rec.status = SS_CONNECTING;  // for the mask
    const bool bRegistered = RegisterLocked(rec, true);
    rec.status = oldStatus;
    if (!bRegistered) return false;
    if (!pf::Connect(rec.socket, &to) && pf::GetLastError() != pf::kErrWouldBlock) {
        const int nError = pf::GetLastError();
        std::printf("WSAConnect s=%d,Error=%d\n", int(rec.socket), nError);
        pf::SetLastError(nError);
        return false;
    }
    return true;
}

bool TW_AsyncSocketMgr::EngineListen(SocketData& rec, int nBacklog) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (!pf::Listen(rec.socket, nBacklog)) return false;
    AddState(rec, kWantRead);
    return RegisterLocked(rec, true);
}
