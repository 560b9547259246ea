// Windows and async-select on POSIX. Each thread that owns a window or reads
// messages has a queue: one FIFO of posted messages and socket
// notifications, an epoll instance with the sockets registered to its
// windows (edge-triggered: a readiness change wakes the owner once, and the
// rules below decide whether it becomes a message), and an eventfd that
// other threads use to wake the owner when they post.
//
// Async-select keeps, per registered descriptor, which events may be posted
// now ("armed"). Posting an event disarms it; the call Windows names as its
// re-enabling function arms it again (the hooks in PfSocket.cpp), and a
// new registration arms everything and reports what holds at that moment.
// Everything async-select keeps is guarded by one lock (G().lck); a queue's
// own lock is taken inside it, never the other way round.
#include "PfWindow.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "PfAsyncSelectHooks.h"
#include "PfConnectState.h"
#include "PfDescriptorState.h"
#include "PfError.h"
#include "PfThread.h"

namespace pf {

namespace {

struct Item {
    Message msg;
    int fd;             // a socket notification: its descriptor, else -1
    uint32_t uiSerial;  // ...and the registration it came from
};

struct ThreadQueue {
    std::mutex lck;
    std::deque<Item> items;
    bool bSleeping = false;    // the owner waits in epoll_wait
    bool bWakePending = false; // the eventfd holds a count
    bool bGone = false;        // the owner thread has ended
    int efd = -1;
    int epfd = -1;
    uint32_t uiThreadId = 0;
    unsigned uiSincePoll = 0;  // messages taken since the sockets were last asked

    ~ThreadQueue() {
        if (efd >= 0) close(efd);
        if (epfd >= 0) close(epfd);
    }
};
typedef std::shared_ptr<ThreadQueue> QueueRef;

struct Registration {
    WindowHandle hWnd = nullptr;
    QueueRef q;                // the queue of hWnd's thread
    uint32_t uiMsg = 0;
    uint32_t uiMask = 0;
    uint32_t uiSerial = 0;     // this socket's registrations, told from a reused number's
    bool bUdp = false;
    bool bListening = false;
    bool bInEpoll = false;
    // armed: may be posted now
    bool bReadArmed = false, bWriteArmed = false, bAcceptArmed = false, bCloseArmed = false;
    bool bReadSeen = false;    // readiness came while FD_READ was disarmed
    bool bCloseHeld = false;   // the peer's FIN waits behind unread bytes
    bool bConnectFailed = false;
    int nResetError = 0;       // the connection broke with this error
};

}  // namespace

struct WindowObject {
    WindowProc fnProc;
    std::atomic<void*> lpUserData{nullptr};
    QueueRef q;
};

namespace {

// Never destroyed: threads may still post or end while the process exits.
struct Globals {
    std::mutex lck;
    std::unordered_map<std::wstring, WindowProc> mapClass;
    uint16_t uiNextAtom = 0xC000;
    std::unordered_set<WindowObject*> setWindow;
    std::unordered_map<uint32_t, QueueRef> mapQueue;  // by thread id
    std::unordered_map<int, Registration> mapReg;     // by descriptor
    uint32_t uiNextSerial = 1;
};
Globals& G() {
    static Globals* const p = new Globals();
    return *p;
}

// A registered descriptor, readable without the lock: socket calls on
// descriptors nobody registered pay one load. One byte per descriptor below
// 2^24, in pages allocated on first use.
constexpr int kPageBits = 16;
struct FlagPage {
    std::atomic<uint8_t> arr[1 << kPageBits];
};
std::atomic<FlagPage*> s_arrFlagPage[1 << (24 - kPageBits)];

bool IsRegistered(int fd) {
    if (fd < 0 || fd >= (1 << 24)) return false;
    FlagPage* p = s_arrFlagPage[fd >> kPageBits].load(std::memory_order_acquire);
    return p && p->arr[fd & ((1 << kPageBits) - 1)].load(std::memory_order_relaxed);
}

bool SetRegistered(int fd, bool bOn) {
    if (fd < 0 || fd >= (1 << 24)) return false;
    std::atomic<FlagPage*>& slot = s_arrFlagPage[fd >> kPageBits];
    FlagPage* p = slot.load(std::memory_order_acquire);
    if (!p) {
        if (!bOn) return true;
        FlagPage* lpNew = new (std::nothrow) FlagPage();
        if (!lpNew) return false;
        if (slot.compare_exchange_strong(p, lpNew, std::memory_order_acq_rel))
            p = lpNew;
        else
            delete lpNew;
    }
    p->arr[fd & ((1 << kPageBits) - 1)].store(bOn ? 1 : 0, std::memory_order_relaxed);
    return true;
}

// ------------------------------------------------------------------ queues

void Push(ThreadQueue& q, const Item& item) {
    std::lock_guard<std::mutex> g(q.lck);
    if (q.bGone) return;
    q.items.push_back(item);
    if (q.bSleeping && !q.bWakePending) {
        q.bWakePending = true;
        uint64_t one = 1;
        (void)!write(q.efd, &one, sizeof one);
    }
}

// The calling thread's queue; made on first use.
struct QueueHolder {
    QueueRef q;
    ~QueueHolder();
};
thread_local QueueHolder t_queue;

QueueRef CurrentQueue() {
    if (t_queue.q) return t_queue.q;
    auto q = std::make_shared<ThreadQueue>();
    q->efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    q->epfd = epoll_create1(EPOLL_CLOEXEC);
    if (q->efd < 0 || q->epfd < 0) return nullptr;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = -1;
    if (epoll_ctl(q->epfd, EPOLL_CTL_ADD, q->efd, &ev) != 0) return nullptr;
    q->uiThreadId = CurrentThreadId();
    std::lock_guard<std::mutex> g(G().lck);
    G().mapQueue[q->uiThreadId] = q;
    t_queue.q = q;
    return q;
}

// The thread has ended: its windows and queue go with it, as on Windows.
QueueHolder::~QueueHolder() {
    if (!q) return;
    std::lock_guard<std::mutex> g(G().lck);
    G().mapQueue.erase(q->uiThreadId);
    for (auto it = G().setWindow.begin(); it != G().setWindow.end();) {
        if ((*it)->q == q) {
            delete *it;
            it = G().setWindow.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& [fd, r] : G().mapReg) {
        if (r.q != q) continue;
        r.uiMask = 0;  // nobody left to tell
        r.hWnd = nullptr;
    }
    std::lock_guard<std::mutex> gq(q->lck);
    q->bGone = true;
    q->items.clear();
}

// ------------------------------------------------------------------ async-select rules

void Post(Registration& r, int fd, uint32_t uiEvent, int nError) {
    Item item{{r.hWnd, r.uiMsg, uintptr_t(fd), intptr_t(uiEvent | (uint32_t(nError) << 16))}, fd, r.uiSerial};
    Push(*r.q, item);
}

int SocketErrorOf(int fd) {
    int nErrno = 0;
    socklen_t len = sizeof nErrno;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &nErrno, &len);
    return nErrno ? FromErrno(nErrno) : 0;
}

bool HasUnreadBytes(int fd) {
    int n = 0;
    return ioctl(fd, SIOCINQ, &n) == 0 && n > 0;
}

// Linux reports a read side shut by this end like a peer's FIN; only the
// peer's FIN closes the connection for Windows.
bool PeerSentFin(int fd) {
    tcp_info ti{};
    socklen_t len = sizeof ti;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0) return true;
    switch (ti.tcpi_state) {
    case TCP_ESTABLISHED:
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2: return false;
    default: return true;
    }
}

short PollNow(int fd) {
    pollfd p = {fd, POLLIN | POLLOUT | POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 ? p.revents : 0;
}

// Posts what the socket's state and its armed events call for. nRevents is
// the readiness just read (poll bits; epoll's have the same values).
void Evaluate(int fd, Registration& r, short nRevents) {
    ConnectState eConn = GetConnectState(fd);
    if (eConn == kConnIdle || eConn == kConnFailed || r.bConnectFailed) return;
    if (eConn == kConnPending) {
        if (!(nRevents & (POLLOUT | POLLERR | POLLHUP))) return;
        // The connect has finished: FD_CONNECT once, with its outcome. A
        // failed one is not a connection, so no FD_CLOSE follows it.
        int nError = SocketErrorOf(fd);
        if (nError == 0 && !(nRevents & POLLOUT)) nError = kErrConnRefused;
        if (nError != 0) {
            SetConnectState(fd, kConnFailed);
            r.bConnectFailed = true;
            if (r.uiMask & kFdConnect) Post(r, fd, kFdConnect, nError);
            return;
        }
        SetConnectState(fd, kConnNone);
        if (r.uiMask & kFdConnect) Post(r, fd, kFdConnect, 0);
        r.bWriteArmed = true;  // a connected socket can send
    }

    if (r.bListening) {
        if ((nRevents & POLLIN) && r.bAcceptArmed && (r.uiMask & kFdAccept)) {
            r.bAcceptArmed = false;
            Post(r, fd, kFdAccept, 0);
        }
        return;
    }

    if (!r.bUdp && (nRevents & POLLERR) && r.nResetError == 0) {
        r.nResetError = SocketErrorOf(fd);
        if (r.nResetError == 0) r.nResetError = kErrConnReset;
    }
    if (r.nResetError != 0) {
        // A broken connection says so at once, ahead of any unread bytes.
        if (r.bCloseArmed && (r.uiMask & kFdClose)) {
            r.bCloseArmed = false;
            Post(r, fd, kFdClose, r.nResetError);
        }
        return;
    }

    const bool bPeerClosed = !r.bUdp && (nRevents & (POLLRDHUP | POLLHUP)) && PeerSentFin(fd);
    bool bData = nRevents & POLLIN;
    if (bData && bPeerClosed) bData = HasUnreadBytes(fd);
    if (bData) {
        if (r.bReadArmed && (r.uiMask & kFdRead)) {
            r.bReadArmed = false;
            r.bReadSeen = false;
            Post(r, fd, kFdRead, 0);
        } else {
            r.bReadSeen = true;
        }
    }
    if ((nRevents & POLLOUT) && r.bWriteArmed && (r.uiMask & kFdWrite)) {
        r.bWriteArmed = false;
        Post(r, fd, kFdWrite, 0);
    }
    // An orderly close is reported once the bytes before it have been read.
    r.bCloseHeld = bPeerClosed && bData;
    if (bPeerClosed && !bData && r.bCloseArmed && (r.uiMask & kFdClose)) {
        r.bCloseArmed = false;
        Post(r, fd, kFdClose, 0);
    }
}

void EpollRemove(int fd, Registration& r) {
    if (!r.bInEpoll) return;
    epoll_ctl(r.q->epfd, EPOLL_CTL_DEL, fd, nullptr);
    r.bInEpoll = false;
}

// The descriptor in its window thread's epoll, edge-triggered. (Adding it
// reports its current readiness once.)
bool EpollAdd(int fd, Registration& r) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.fd = fd;
    if (epoll_ctl(r.q->epfd, EPOLL_CTL_ADD, fd, &ev) != 0 && errno != EEXIST) return false;
    r.bInEpoll = true;
    return true;
}

// Under G().lck: the registration of an open descriptor of the thread's queue.
void OnSocketReady(ThreadQueue& q, int fd, uint32_t uiEvents) {
    auto it = G().mapReg.find(fd);
    if (it == G().mapReg.end() || it->second.q.get() != &q || it->second.uiMask == 0) return;
    Evaluate(fd, it->second, short(uiEvents));
}

// Harvests the sockets that became ready. Under no lock.
bool PollSockets(ThreadQueue& q, int nTimeout) {
    epoll_event arrEv[64];
    int n = epoll_wait(q.epfd, arrEv, 64, nTimeout);
    const int nErrno = errno;
    {
        // Awake: what the notifications below post needs no wake-up.
        std::lock_guard<std::mutex> gq(q.lck);
        q.bSleeping = false;
    }
    if (n < 0) {
        errno = nErrno;
        return nErrno == EINTR;
    }
    std::lock_guard<std::mutex> g(G().lck);
    for (int i = 0; i < n; ++i) {
        if (arrEv[i].data.fd < 0) {
            uint64_t v;
            (void)!read(q.efd, &v, sizeof v);
            std::lock_guard<std::mutex> gq(q.lck);
            q.bWakePending = false;
        } else {
            OnSocketReady(q, arrEv[i].data.fd, arrEv[i].events);
        }
    }
    return true;
}

// Under G().lck: whether a taken item still belongs to a live window and, for
// a notification, to the socket that posted it.
bool StillValid(const Item& item) {
    if (item.msg.hWnd && !G().setWindow.count(item.msg.hWnd)) return false;
    if (item.fd < 0) return true;
    auto it = G().mapReg.find(item.fd);
    return it != G().mapReg.end() && it->second.uiSerial == item.uiSerial;
}

}  // namespace

// ------------------------------------------------------------------ classes and windows

uint16_t RegisterWindowClass(const wchar_t* lpszClass, WindowProc fnProc) {
    if (!lpszClass || !fnProc) {
        SetLastError(kErrInvalid);
        return 0;
    }
    std::lock_guard<std::mutex> g(G().lck);
    if (!G().mapClass.emplace(lpszClass, fnProc).second) {
        SetLastError(kErrClassExists);
        return 0;
    }
    return G().uiNextAtom == 0xFFFF ? 0xC000 : G().uiNextAtom++;
}

bool UnregisterWindowClass(const wchar_t* lpszClass) {
    if (!lpszClass) return false;
    std::lock_guard<std::mutex> g(G().lck);
    return G().mapClass.erase(lpszClass) == 1;
}

WindowHandle CreateHiddenWindow(const wchar_t* lpszClass, const wchar_t*, uint32_t, void* lpCreateParam) {
    QueueRef q = CurrentQueue();
    if (!q || !lpszClass) return nullptr;
    auto* w = new WindowObject();
    w->q = q;
    {
        std::lock_guard<std::mutex> g(G().lck);
        auto it = G().mapClass.find(lpszClass);
        if (it == G().mapClass.end()) {
            delete w;
            SetLastError(kErrInvalid);
            return nullptr;
        }
        w->fnProc = it->second;
        G().setWindow.insert(w);
    }
    // A procedure that answers -1 to its creation refuses the window.
    if (w->fnProc(w, kWmCreate, 0, intptr_t(lpCreateParam)) == -1) {
        std::lock_guard<std::mutex> g(G().lck);
        G().setWindow.erase(w);
        delete w;
        return nullptr;
    }
    return w;
}

bool DestroyHiddenWindow(WindowHandle hWnd) {
    {
        std::lock_guard<std::mutex> g(G().lck);
        if (!hWnd || !G().setWindow.count(hWnd) || hWnd->q != t_queue.q) return false;
    }
    hWnd->fnProc(hWnd, kWmDestroy, 0, 0);
    std::lock_guard<std::mutex> g(G().lck);
    G().setWindow.erase(hWnd);
    // Sockets still registered to it post nothing any more.
    for (auto& [fd, r] : G().mapReg) {
        if (r.hWnd != hWnd) continue;
        EpollRemove(fd, r);
        r.uiMask = 0;
        r.hWnd = nullptr;
    }
    {
        std::lock_guard<std::mutex> gq(hWnd->q->lck);
        std::erase_if(hWnd->q->items, [hWnd](const Item& i) { return i.msg.hWnd == hWnd; });
    }
    delete hWnd;
    return true;
}

intptr_t DefWindowProc(WindowHandle, uint32_t, uintptr_t, intptr_t) { return 0; }

void SetWindowUserData(WindowHandle hWnd, void* lpData) {
    if (hWnd) hWnd->lpUserData.store(lpData, std::memory_order_release);
}

void* GetWindowUserData(WindowHandle hWnd) {
    return hWnd ? hWnd->lpUserData.load(std::memory_order_acquire) : nullptr;
}

// ------------------------------------------------------------------ messages

bool PostWindowMessage(WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> g(G().lck);
    if (!hWnd || !G().setWindow.count(hWnd)) {
        SetLastError(kErrInvalid);
        return false;
    }
    Push(*hWnd->q, Item{{hWnd, uiMsg, wParam, lParam}, -1, 0});
    return true;
}

bool PostThreadMessage(uint32_t uiThreadId, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> g(G().lck);
    auto it = G().mapQueue.find(uiThreadId);
    if (it == G().mapQueue.end()) {
        SetLastError(kErrInvalid);
        return false;
    }
    Push(*it->second, Item{{nullptr, uiMsg, wParam, lParam}, -1, 0});
    return true;
}

int GetMessage(Message* lpMsg) {
    QueueRef q = CurrentQueue();
    if (!q || !lpMsg) {
        SetLastError(kErrInvalid);
        return -1;
    }
    for (;;) {
        bool bAskSockets = false, bWait = false;
        {
            std::lock_guard<std::mutex> gq(q->lck);
            // Sockets are asked now and then even while messages keep
            // coming, so a busy queue cannot starve their notifications.
            if (q->items.empty()) {
                bAskSockets = bWait = q->bSleeping = true;
            } else if (++q->uiSincePoll >= 64) {
                bAskSockets = true;
            }
            if (bAskSockets) q->uiSincePoll = 0;
        }
        if (bAskSockets) {
            if (!PollSockets(*q, bWait ? -1 : 0)) {
                SetLastError(FromErrno(errno));
                return -1;
            }
        }
        Item item;
        {
            std::lock_guard<std::mutex> gq(q->lck);
            if (q->items.empty()) continue;
            item = q->items.front();
            q->items.pop_front();
        }
        {
            std::lock_guard<std::mutex> g(G().lck);
            if (!StillValid(item)) continue;
        }
        *lpMsg = item.msg;
        return item.msg.uiMsg == kWmQuit && !item.msg.hWnd ? 0 : 1;
    }
}

intptr_t DispatchMessage(const Message* lpMsg) {
    if (!lpMsg || !lpMsg->hWnd) return 0;
    WindowProc fn;
    {
        std::lock_guard<std::mutex> g(G().lck);
        if (!G().setWindow.count(lpMsg->hWnd)) return 0;
        fn = lpMsg->hWnd->fnProc;
    }
    return fn(lpMsg->hWnd, lpMsg->uiMsg, lpMsg->wParam, lpMsg->lParam);
}

// ------------------------------------------------------------------ async-select

int AsyncSelect(SOCKET s, WindowHandle hWnd, uint32_t uiMsg, uint32_t uiEvents) {
    const int fd = static_cast<int>(s);
    int nType = 0;
    socklen_t len = sizeof nType;
    if (fd < 0 || fd >= (1 << 24) || getsockopt(fd, SOL_SOCKET, SO_TYPE, &nType, &len) != 0) {
        SetLastError(kErrNotSocket);
        return kSocketError;
    }
    std::lock_guard<std::mutex> g(G().lck);
    if (uiEvents != 0 && (!hWnd || !G().setWindow.count(hWnd))) {
        SetLastError(kErrInvalid);
        return kSocketError;
    }
    int on = 1;
    if (ioctl(fd, FIONBIO, &on) != 0) {
        SetLastError(FromErrno(errno));
        return kSocketError;
    }
    auto it = G().mapReg.find(fd);
    if (it == G().mapReg.end()) {
        if (uiEvents == 0) return 0;
        if (!SetRegistered(fd, true)) {
            SetLastError(kErrNoBufs);
            return kSocketError;
        }
        it = G().mapReg.emplace(fd, Registration()).first;
        it->second.uiSerial = G().uiNextSerial++;
        it->second.bUdp = nType == SOCK_DGRAM;
    }
    Registration& r = it->second;
    if (uiEvents == 0) {
        EpollRemove(fd, r);
        r.uiMask = 0;
        return 0;
    }
    if (r.q != hWnd->q) EpollRemove(fd, r);
    r.hWnd = hWnd;
    r.q = hWnd->q;
    r.uiMsg = uiMsg;
    r.uiMask = uiEvents;
    if (!r.bUdp && !r.bListening && (uiEvents & kFdAccept)) {
        int nListening = 0;
        len = sizeof nListening;
        r.bListening = getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &nListening, &len) == 0 && nListening;
    }
    // A new registration reports what holds now.
    r.bReadArmed = r.bWriteArmed = r.bAcceptArmed = r.bCloseArmed = true;
    if (!r.bInEpoll && !EpollAdd(fd, r)) {
        SetLastError(FromErrno(errno));
        r.uiMask = 0;
        return kSocketError;
    }
    Evaluate(fd, r, PollNow(fd));
    return 0;
}

// ------------------------------------------------------------------ hooks of the socket calls

namespace {

// Under G().lck: an accepted socket starts with its listener's registration.
void Inherit(int fdNew, const Registration& r) {
    if (!SetRegistered(fdNew, true)) return;
    Registration n;
    n.hWnd = r.hWnd;
    n.q = r.q;
    n.uiMsg = r.uiMsg;
    n.uiMask = r.uiMask;
    n.uiSerial = G().uiNextSerial++;
    n.bReadArmed = n.bWriteArmed = n.bAcceptArmed = n.bCloseArmed = true;
    Registration& rn = G().mapReg[fdNew] = n;
    if (!EpollAdd(fdNew, rn)) {
        rn.uiMask = 0;
        return;
    }
    Evaluate(fdNew, rn, PollNow(fdNew));
}

// Runs f on the descriptor's registration, under the lock, if it has one.
template <class F>
void WithRegistration(int fd, F f) {
    if (!IsRegistered(fd)) return;
    std::lock_guard<std::mutex> g(G().lck);
    auto it = G().mapReg.find(fd);
    if (it != G().mapReg.end()) f(it->second);
}

}  // namespace

void DetachFromAsyncSelect(int fd) {
    if (!IsRegistered(fd)) return;
    std::lock_guard<std::mutex> g(G().lck);
    auto it = G().mapReg.find(fd);
    if (it != G().mapReg.end()) {
        EpollRemove(fd, it->second);
        // Queued notifications carry the serial that goes now: they are dropped.
        G().mapReg.erase(it);
    }
    SetRegistered(fd, false);
}

void AsyncSelectOnRead(int fd, bool bMaybeMore) {
    WithRegistration(fd, [&](Registration& r) {
        r.bReadArmed = true;
        // A read that emptied the buffer needs no look: bytes that come later
        // wake the window thread, which finds FD_READ armed. A full one may
        // have left bytes, and an end of stream may owe the FD_CLOSE.
        if ((bMaybeMore || r.bReadSeen || r.bCloseHeld || r.bUdp) && r.uiMask) Evaluate(fd, r, PollNow(fd));
    });
}

void AsyncSelectOnAccept(int fdListen, int fdNew) {
    WithRegistration(fdListen, [&](Registration& r) {
        r.bAcceptArmed = true;
        if (r.uiMask) Evaluate(fdListen, r, PollNow(fdListen));
        if (fdNew >= 0 && r.uiMask) Inherit(fdNew, r);
    });
}

void AsyncSelectOnSendBlocked(int fd) {
    WithRegistration(fd, [&](Registration& r) {
        r.bWriteArmed = true;
        // Room may have come back before this: look once.
        if (r.uiMask) Evaluate(fd, r, PollNow(fd));
    });
}

void AsyncSelectOnConnect(int fd) {
    WithRegistration(fd, [&](Registration& r) {
        // A loopback connect may finish before the state said it was under way.
        r.bConnectFailed = false;
        if (r.uiMask) Evaluate(fd, r, PollNow(fd));
    });
}

int AsyncSelectResetError(int fd) {
    int nError = 0;
    WithRegistration(fd, [&](Registration& r) { nError = r.nResetError; });
    return nError;
}

}  // namespace pf
