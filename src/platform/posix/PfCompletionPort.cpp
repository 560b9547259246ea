// The completion port as a proactor over epoll.
//
// Every socket associated with a port is registered once, edge-triggered for
// reading and writing. An operation is tried when it is started; what cannot
// finish at once waits in its socket's queue (one for receives and accepts,
// one for sends, each first-in first-out) and is performed when epoll says
// the socket is ready. A finished operation becomes a packet in the port's
// one queue, beside the posted packets.
//
// Idle threads of PortGet all wait in epoll_wait on the port's set, where
// each readiness wakes one of them; the woken thread performs what is ready,
// queues it and takes a packet. Packets nobody is on the way to take (posted,
// or more than the threads at hand) are announced through an eventfd in the
// set, one wake at a time: the thread it wakes announces the next if packets
// are still left over.
//
// Locks: a socket's lock, then the port's. An accept holds the listener's
// lock, then the lock of the socket it hands the connection to. The bookkeeping
// of an operation lives in the caller's Overlapped; a socket's state lives in
// a table by descriptor that is never freed, so a stale look-up still finds
// a lock to take and can tell that the socket changed.
#include "PfCompletionPort.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "PfConnectState.h"
#include "PfDescriptorState.h"
#include "PfError.h"
#include "PfSync.h"

namespace pf {

namespace {

typedef std::chrono::steady_clock Clock;

// An accept that finds no descriptor for the connection stays queued and is
// tried again this often: no readiness edge comes when descriptors free up.
constexpr auto kStarvedRetry = std::chrono::milliseconds(100);
constexpr int kMaxEvents = 128;
constexpr uint64_t kWakeToken = ~uint64_t(0);

// One entry of a port's queue: an operation's result, or a posted packet.
struct Packet {
    Packet* lpNext;
    Overlapped* lpOv;
    uintptr_t uKey;
    uint32_t uiBytes;
    int nError;
    bool bPosted;  // a node of the port's own, from PortPost
};

// Packets in order: the port's queue, or a batch on its way there.
struct PacketList {
    Packet* lpHead = nullptr;
    Packet* lpTail = nullptr;
    size_t nCount = 0;

    void Add(Packet* p) {
        p->lpNext = nullptr;
        (lpTail ? lpTail->lpNext : lpHead) = p;
        lpTail = p;
        ++nCount;
    }
};

enum OpKind : uint8_t { kOpRecv, kOpSend, kOpRecvFrom, kOpAccept };

// An operation's bookkeeping, kept in the caller's Overlapped.
struct Op {
    Packet packet;
    Op* lpNextOp;          // in the socket's queue
    char* lpBuf;           // accept: the address buffer
    sockaddr_in* lpFrom;   // receive-from: the sender, may be null
    uint32_t uiLen;
    uint32_t uiDone;       // send: bytes sent so far
    int fdAccept;          // accept: the caller's socket for the connection
    uint32_t uiTargetGen;  // accept: that socket's target stamp when started
    OpKind eKind;
};
static_assert(sizeof(Op) <= sizeof(Overlapped) && alignof(Op) <= alignof(Overlapped),
              "an operation's bookkeeping fits the caller's Overlapped");

struct OpQueue {
    Op* lpHead = nullptr;
    Op* lpTail = nullptr;

    void Push(Op* op) {
        op->lpNextOp = nullptr;
        (lpTail ? lpTail->lpNextOp : lpHead) = op;
        lpTail = op;
    }
    Op* Pop() {
        Op* op = lpHead;
        lpHead = op->lpNextOp;
        if (!lpHead) lpTail = nullptr;
        return op;
    }
    void Remove(Op* op) {
        Op* lpPrev = nullptr;
        for (Op* p = lpHead; p; lpPrev = p, p = p->lpNextOp) {
            if (p != op) continue;
            (lpPrev ? lpPrev->lpNextOp : lpHead) = p->lpNextOp;
            if (lpTail == p) lpTail = lpPrev;
            return;
        }
    }
};

// What a descriptor number knows about the socket that holds it.
struct Slot {
    std::mutex lock;
    std::atomic<CompletionPortObject*> lpPort{nullptr};  // written under the lock; null: not associated
    uintptr_t uKey = 0;
    uint32_t uiGen = 0;  // changes at each association and detach: older epoll events are stale
    bool bDgram = false;
    bool bStarved = false;     // an accept waits for a descriptor, on the port's retry list
    bool bLocalAsked = false;  // listener: its own address was looked at
    bool bLocalKnown = false;  // and it is every accepted connection's local address
    // Stream: a read found nothing left and no later readiness came; a new
    // receive then waits for readiness instead of trying (request/response
    // traffic would otherwise pay a failed recv per message).
    bool bDrained = false;
    bool bEnded = false;  // a readiness said end, reset or error: never trust a short read again
    OpQueue reads, writes;
    sockaddr_in addrLocal{};
    // This socket is where an outstanding accept will put its connection.
    Op* lpAcceptOp = nullptr;
    int fdAcceptListen = -1;
    uint32_t uiTargetGen = 0;  // changes when that mark is dropped by a close
};

constexpr int kPageBits = 10;
constexpr int kPageSize = 1 << kPageBits;
constexpr int kMaxFd = 1 << 24;
struct Page {
    Slot arrSlot[kPageSize];
};
std::atomic<Page*> s_arrPage[kMaxFd >> kPageBits];

Slot* FindSlot(int fd) {
    if (fd < 0 || fd >= kMaxFd) return nullptr;
    Page* p = s_arrPage[fd >> kPageBits].load(std::memory_order_acquire);
    return p ? &p->arrSlot[fd & (kPageSize - 1)] : nullptr;
}

Slot* MakeSlot(int fd) {
    if (fd < 0 || fd >= kMaxFd) return nullptr;
    std::atomic<Page*>& rPage = s_arrPage[fd >> kPageBits];
    Page* p = rPage.load(std::memory_order_acquire);
    if (!p) {
        Page* lpNew = new (std::nothrow) Page;
        if (!lpNew) return nullptr;
        if (rPage.compare_exchange_strong(p, lpNew, std::memory_order_acq_rel)) p = lpNew;
        else delete lpNew;
    }
    return &p->arrSlot[fd & (kPageSize - 1)];
}

// Who queues packets, for the decision whether a waiting thread must be woken.
enum Queuer {
    kByWorker,   // a thread of PortGet, which looks at the queue before it waits again
    kByStarter,  // a thread that started an operation; if it took its last packet from this port, it comes back for this one
    kByOther
};

thread_local CompletionPortObject* t_lpActivePort = nullptr;  // the port this thread took its last packet from

int ErrnoError() { return errno == EBADF ? kErrNotSocket : FromErrno(errno); }

// An operation's failure as the port reports it, in Windows numbers.
int CompletionError(int nErrno) {
    switch (nErrno) {
    case ECONNRESET: case EPIPE: return kErrNetnameDeleted;
    case ECONNABORTED: return kErrConnectionAborted;
    default: return FromErrno(nErrno);
    }
}

bool Fail(int nError) {
    SetLastError(nError);
    return false;
}

}  // namespace

struct CompletionPortObject {
    int fdEpoll = -1;
    int fdWake = -1;  // an eventfd in the epoll set: wakes one waiting thread per write
    std::mutex lock;
    PacketList queue;
    Packet* lpFree = nullptr;  // posted-packet nodes for reuse
    uint32_t nInside = 0;      // threads in PortGet
    // Of those, the ones committed to epoll_wait: counted under the lock, let
    // go without it as soon as epoll_wait returns. Every other thread inside
    // looks at the queue before it waits again.
    std::atomic<uint32_t> nIdle{0};
    bool bWakePending = false;   // fdWake written, and the thread it woke not yet back under the lock
    bool bRetryWatched = false;  // a waiting thread's time-out ends at the starved-accept retry
    bool bClosed = false;
    std::condition_variable cvLeft;  // PortClose waits here for nInside == 0
    std::vector<uint64_t> vecStarved;
    Clock::time_point tRetry{};
    CompletionPortObject* lpNextClosed = nullptr;

    // With the lock held: whether the packets are more than the nTakers
    // threads on their way to the queue, so that a waiting thread must be
    // woken. A wake already on its way is enough: the thread it wakes looks
    // again when it takes its packet. true: the caller writes fdWake.
    bool NeedWake(uint32_t nTakers) {
        if (queue.nCount <= nTakers || bWakePending || !nIdle.load(std::memory_order_relaxed)) return false;
        bWakePending = true;
        return true;
    }

    // With the lock held: a retry is pending and nobody waits for its time.
    bool RetryUnwatched() {
        if (vecStarved.empty() || bRetryWatched || bWakePending || !nIdle.load(std::memory_order_relaxed)) return false;
        bWakePending = true;
        return true;
    }

    void Interrupt() {
        uint64_t one = 1;
        // Edge-triggered: every write is an event, so the counter is never read.
        while (write(fdWake, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    void Enqueue(PacketList& b, Queuer eWho) {
        if (!b.nCount) return;
        bool bInterrupt;
        {
            std::lock_guard<std::mutex> g(lock);
            if (bClosed) {
                for (Packet *p = b.lpHead, *lpNext; p; p = lpNext) {
                    lpNext = p->lpNext;
                    if (p->bPosted) delete p;
                }
                return;
            }
            (queue.lpTail ? queue.lpTail->lpNext : queue.lpHead) = b.lpHead;
            queue.lpTail = b.lpTail;
            queue.nCount += b.nCount;
            // A worker queueing is one of the threads inside that are not idle.
            uint32_t nTakers = nInside - nIdle.load(std::memory_order_relaxed);
            if (eWho == kByStarter && t_lpActivePort == this) ++nTakers;
            bInterrupt = NeedWake(nTakers);
        }
        if (bInterrupt) Interrupt();
    }

    void AddStarved(Slot& slot, int fd) {
        if (slot.bStarved) return;
        slot.bStarved = true;
        bool bInterrupt;
        {
            std::lock_guard<std::mutex> g(lock);
            if (vecStarved.empty()) tRetry = Clock::now() + kStarvedRetry;
            vecStarved.push_back(uint64_t(uint32_t(fd)) | uint64_t(slot.uiGen) << 32);
            // Threads waiting without end must learn that a retry is due.
            bInterrupt = RetryUnwatched();
        }
        if (bInterrupt) Interrupt();
    }

    bool Wait(std::unique_lock<std::mutex>& lk, int nTimeoutMs);
    void PerformReady(uint64_t uId, uint32_t uiEvents, Queuer eWho);
};

namespace {

// ------------------------------------------------------------------ operations

enum TryResult { kTryDone, kTryWait, kTryStarved };

TryResult Done(Op& op, uint32_t uiBytes, int nError) {
    op.packet.uiBytes = uiBytes;
    op.packet.nError = nError;
    return kTryDone;
}

TryResult Failed(Op& op, int nErrno, uint32_t uiBytes = 0) {
    if (nErrno == EAGAIN || nErrno == EWOULDBLOCK) return kTryWait;
    return Done(op, uiBytes, CompletionError(nErrno));
}

// Drops the mark an accept left on the socket it would have used. With the
// listener's lock held.
void ReleaseTarget(Op& op) {
    Slot* t = FindSlot(op.fdAccept);
    if (!t) return;
    std::lock_guard<std::mutex> g(t->lock);
    if (t->lpAcceptOp == &op && t->uiTargetGen == op.uiTargetGen) t->lpAcceptOp = nullptr;
}

TryResult TryAccept(Slot& listen, int fdListen, Op& op) {
    Slot* t = FindSlot(op.fdAccept);  // made by StartAccept
    if (!t) return Done(op, 0, kErrNotSocket);
    std::unique_lock<std::mutex> g(t->lock);
    // Closed since (the close is about to cancel this): its number may be
    // another socket's by now, which must not be overwritten.
    if (t->lpAcceptOp != &op || t->uiTargetGen != op.uiTargetGen) return Done(op, 0, kErrOperationAborted);
    // The connection keeps the caller's socket's blocking mode.
    int nFlags = fcntl(op.fdAccept, F_GETFL);
    if (nFlags < 0) {
        t->lpAcceptOp = nullptr;
        return Done(op, 0, ErrnoError());
    }
    sockaddr_in remote{};
    socklen_t len = sizeof remote;
    int fd;
    do {
        fd = accept4(fdListen, reinterpret_cast<sockaddr*>(&remote), &len,
                     SOCK_CLOEXEC | ((nFlags & O_NONBLOCK) ? SOCK_NONBLOCK : 0));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        switch (errno) {
        case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM: return kTryStarved;
        case EAGAIN: return kTryWait;
        default: break;
        }
        t->lpAcceptOp = nullptr;
        return Failed(op, errno);
    }
    int nResult = dup3(fd, op.fdAccept, O_CLOEXEC);
    int nErrno = errno;
    close(fd);
    t->lpAcceptOp = nullptr;
    if (nResult < 0) return Done(op, 0, FromErrno(nErrno));
    SetConnectState(op.fdAccept, kConnNone);
    g.unlock();

    // A listener bound to one address gives it to every connection; one bound
    // to any address is asked per connection.
    sockaddr_in local{};
    if (listen.bLocalKnown) {
        local = listen.addrLocal;
    } else {
        len = sizeof local;
        getsockname(op.fdAccept, reinterpret_cast<sockaddr*>(&local), &len);
        if (!listen.bLocalAsked) {
            sockaddr_in bound{};
            len = sizeof bound;
            listen.bLocalAsked = true;
            listen.bLocalKnown = getsockname(fdListen, reinterpret_cast<sockaddr*>(&bound), &len) == 0 &&
                                 bound.sin_addr.s_addr != kAddrAny;
            listen.addrLocal = local;
        }
    }
    std::memcpy(op.lpBuf, &local, sizeof local);
    std::memcpy(op.lpBuf + kAcceptAddressBytes / 2, &remote, sizeof remote);
    return Done(op, 0, 0);
}

TryResult TryRead(Slot& slot, int fd, Op& op) {
    if (op.eKind == kOpAccept) return TryAccept(slot, fd, op);
    ssize_t n;
    if (op.eKind == kOpRecv && !slot.bDgram) {
        if (op.uiLen == 0) {
            // Completes when there is something to read (or the end), taking nothing.
            char c;
            do n = recv(fd, &c, 1, MSG_PEEK);
            while (n < 0 && errno == EINTR);
            return n >= 0 ? Done(op, 0, 0) : Failed(op, errno);
        }
        do n = recv(fd, op.lpBuf, op.uiLen, 0);
        while (n < 0 && errno == EINTR);
        // A short read empties the socket, unless the end came with the bytes:
        // that readiness may be spent, and the next read must find the end itself.
        if (n < 0 ? errno == EAGAIN : (n > 0 && uint32_t(n) < op.uiLen && !slot.bEnded)) slot.bDrained = true;
        return n >= 0 ? Done(op, uint32_t(n), 0) : Failed(op, errno);
    }
    iovec iov = {op.lpBuf, op.uiLen};
    msghdr msg{};
    msg.msg_name = op.lpFrom;
    msg.msg_namelen = op.lpFrom ? sizeof(sockaddr_in) : 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    do n = recvmsg(fd, &msg, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) return Failed(op, errno);
    if (msg.msg_flags & MSG_TRUNC) return Done(op, op.uiLen, kErrMsgSize);  // the head is in the buffer
    return Done(op, uint32_t(n), 0);
}

TryResult TrySend(int fd, Op& op) {
    while (op.uiDone < op.uiLen) {
        ssize_t n = send(fd, op.lpBuf + op.uiDone, op.uiLen - op.uiDone, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Failed(op, errno, op.uiDone);
        }
        op.uiDone += uint32_t(n);
    }
    return Done(op, op.uiDone, 0);
}

// Performs the waiting operations that can finish now, in order. With the
// socket's lock held.
void PerformQueue(CompletionPortObject& port, Slot& slot, int fd, OpQueue& q, PacketList& done) {
    while (q.lpHead) {
        Op& op = *q.lpHead;
        TryResult r = op.eKind == kOpSend ? TrySend(fd, op) : TryRead(slot, fd, op);
        if (r == kTryWait) return;
        if (r == kTryStarved) {
            port.AddStarved(slot, fd);
            return;
        }
        q.Pop();
        op.packet.uKey = slot.uKey;
        done.Add(&op.packet);
    }
}

// Removes every operation of a socket. With its lock held; with bComplete they
// fail with kErrOperationAborted into *lpDone, otherwise they are dropped.
void CancelAll(Slot& slot, PacketList* lpDone) {
    for (OpQueue* q : {&slot.reads, &slot.writes}) {
        while (q->lpHead) {
            Op* op = q->Pop();
            if (op->eKind == kOpAccept) ReleaseTarget(*op);
            if (!lpDone) continue;
            op->packet.uiBytes = op->eKind == kOpSend ? op->uiDone : 0;
            op->packet.nError = kErrOperationAborted;
            op->packet.uKey = slot.uKey;
            lpDone->Add(&op->packet);
        }
    }
}

// Starts an operation on an associated socket: tried at once unless earlier
// ones of its queue wait.
bool Start(SOCKET s, Overlapped* lpOv, Op init) {
    int fd = static_cast<int>(s);
    Slot* lpSlot = FindSlot(fd);
    if (!lpSlot) return Fail(kErrNotSocket);
    if (!lpOv) return Fail(kErrFault);
    Slot& slot = *lpSlot;
    std::lock_guard<std::mutex> g(slot.lock);
    CompletionPortObject* lpPort = slot.lpPort.load(std::memory_order_relaxed);
    if (!lpPort) return Fail(kErrInvalid);
    Op* op = new (lpOv->reserved) Op(init);
    op->packet.lpOv = lpOv;
    op->packet.bPosted = false;
    OpQueue& q = op->eKind == kOpSend ? slot.writes : slot.reads;
    if (q.lpHead || (slot.bDrained && op->eKind == kOpRecv && op->uiLen > 0)) {
        q.Push(op);
        return true;
    }
    TryResult r = op->eKind == kOpSend ? TrySend(fd, *op) : TryRead(slot, fd, *op);
    if (r == kTryDone) {
        int nError = op->packet.nError;
        // A failure found at once is the call's, in Winsock numbers, and no
        // packet comes; a truncated datagram still comes, as Windows queues it.
        if (nError == kErrNetnameDeleted) return Fail(kErrConnReset);
        if (nError == kErrConnectionAborted) return Fail(kErrConnAborted);
        if (nError && nError != kErrMsgSize) return Fail(nError);
        op->packet.uKey = slot.uKey;
        PacketList b;
        b.Add(&op->packet);
        lpPort->Enqueue(b, kByStarter);
        return true;
    }
    q.Push(op);
    if (r == kTryStarved) lpPort->AddStarved(slot, fd);
    return true;
}

}  // namespace

void CompletionPortObject::PerformReady(uint64_t uId, uint32_t uiEvents, Queuer eWho) {
    int fd = int(uint32_t(uId));
    Slot* lpSlot = FindSlot(fd);
    if (!lpSlot) return;
    Slot& slot = *lpSlot;
    std::lock_guard<std::mutex> g(slot.lock);
    if (slot.lpPort.load(std::memory_order_relaxed) != this || slot.uiGen != uint32_t(uId >> 32)) return;
    PacketList done;
    if (uiEvents & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        slot.bStarved = false;
        slot.bDrained = false;
        if (uiEvents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) slot.bEnded = true;
        PerformQueue(*this, slot, fd, slot.reads, done);
    }
    if (uiEvents & (EPOLLOUT | EPOLLHUP | EPOLLERR)) PerformQueue(*this, slot, fd, slot.writes, done);
    // Queued before the socket's lock is let go: once a close has taken it,
    // every packet of the socket's earlier operations is in the queue.
    Enqueue(done, eWho);
}

// Waits in epoll_wait for at most nTimeoutMs (-1: without end) and performs
// what is ready, or makes the starved-accept retries if they are due. The
// lock is let go meanwhile. false: nothing was waited for (a retry was made,
// whose packets are looked at before waiting).
bool CompletionPortObject::Wait(std::unique_lock<std::mutex>& lk, int nTimeoutMs) {
    bool bWatch = false;
    if (!vecStarved.empty()) {
        Clock::time_point now = Clock::now();
        if (now >= tRetry) {
            std::vector<uint64_t> vecRetry;
            vecRetry.swap(vecStarved);
            tRetry = now + kStarvedRetry;
            lk.unlock();
            for (uint64_t uId : vecRetry) PerformReady(uId, EPOLLIN, kByWorker);
            lk.lock();
            return false;
        }
        // One waiting thread keeps the time; the others may wait without end.
        if (!bRetryWatched) {
            bRetryWatched = bWatch = true;
            int nMs = int(std::chrono::ceil<std::chrono::milliseconds>(tRetry - now).count());
            if (nTimeoutMs < 0 || nMs < nTimeoutMs) nTimeoutMs = nMs;
        }
    }
    nIdle.fetch_add(1, std::memory_order_relaxed);
    lk.unlock();
    epoll_event arrEv[kMaxEvents];
    int n = epoll_wait(fdEpoll, arrEv, kMaxEvents, nTimeoutMs);
    // From here this thread is on its way to the queue.
    nIdle.fetch_sub(1, std::memory_order_relaxed);
    bool bWoken = false;
    for (int i = 0; i < n; ++i) {
        if (arrEv[i].data.u64 == kWakeToken) bWoken = true;
        else PerformReady(arrEv[i].data.u64, arrEv[i].events, kByWorker);
    }
    lk.lock();
    if (bWoken) bWakePending = false;
    if (bWatch) bRetryWatched = false;
    return true;
}

// ------------------------------------------------------------------ the port

CompletionPort PortCreate() {
    CompletionPortObject* p = new (std::nothrow) CompletionPortObject;
    if (!p) {
        Fail(kErrNoBufs);
        return nullptr;
    }
    p->fdEpoll = epoll_create1(EPOLL_CLOEXEC);
    p->fdWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kWakeToken;
    if (p->fdEpoll < 0 || p->fdWake < 0 || epoll_ctl(p->fdEpoll, EPOLL_CTL_ADD, p->fdWake, &ev) != 0) {
        SetLastError(FromErrno(errno));
        if (p->fdEpoll >= 0) close(p->fdEpoll);
        if (p->fdWake >= 0) close(p->fdWake);
        delete p;
        return nullptr;
    }
    return p;
}

void PortClose(CompletionPort hPort) {
    if (!hPort) return;
    CompletionPortObject& port = *hPort;
    {
        std::unique_lock<std::mutex> lk(port.lock);
        port.bClosed = true;
        // Wakes one waiting thread; each that leaves wakes the next.
        if (port.nIdle.load(std::memory_order_relaxed)) port.Interrupt();
        port.cvLeft.wait(lk, [&] { return port.nInside == 0; });
    }
    // The associations end: every socket of this port forgets it and its
    // operations. Whoever holds a socket's lock may still be queueing to the
    // port; taking the lock waits for it.
    for (std::atomic<Page*>& rPage : s_arrPage) {
        Page* p = rPage.load(std::memory_order_acquire);
        if (!p) continue;
        for (Slot& slot : p->arrSlot) {
            if (slot.lpPort.load(std::memory_order_relaxed) != hPort) continue;
            std::lock_guard<std::mutex> g(slot.lock);
            if (slot.lpPort.load(std::memory_order_relaxed) != hPort) continue;
            CancelAll(slot, nullptr);
            slot.lpPort.store(nullptr, std::memory_order_relaxed);
            ++slot.uiGen;
            slot.bStarved = false;
        }
    }
    std::lock_guard<std::mutex> g(port.lock);
    for (Packet* lpList : {port.queue.lpHead, port.lpFree}) {
        for (Packet *q = lpList, *lpNext; q; q = lpNext) {
            lpNext = q->lpNext;
            if (q->bPosted) delete q;
        }
    }
    port.queue = PacketList{};
    port.lpFree = nullptr;
    std::vector<uint64_t>().swap(port.vecStarved);
    close(port.fdEpoll);
    close(port.fdWake);
    port.fdEpoll = port.fdWake = -1;
    // The closed port stays, small and reachable: a late call with its handle
    // finds it closed instead of freed memory.
    static std::mutex s_lockClosed;
    static CompletionPortObject* s_lpClosed = nullptr;
    std::lock_guard<std::mutex> gc(s_lockClosed);
    port.lpNextClosed = s_lpClosed;
    s_lpClosed = &port;
}

bool PortAssociate(CompletionPort hPort, SOCKET s, uintptr_t uKey) {
    if (!hPort) return Fail(kErrInvalidHandle);
    int fd = static_cast<int>(s);
    if (fd < 0 || fd >= kMaxFd) return Fail(kErrNotSocket);
    {
        std::lock_guard<std::mutex> gp(hPort->lock);
        if (hPort->bClosed) return Fail(kErrInvalidHandle);
    }
    int nType = 0, on = 1;
    socklen_t len = sizeof nType;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &nType, &len) != 0 || ioctl(fd, FIONBIO, &on) != 0)
        return Fail(ErrnoError());
    Slot* lpSlot = MakeSlot(fd);
    if (!lpSlot) return Fail(kErrNoBufs);
    Slot& slot = *lpSlot;
    std::lock_guard<std::mutex> g(slot.lock);
    // Once per socket, and never the socket an accept is about to fill.
    if (slot.lpPort.load(std::memory_order_relaxed) || slot.lpAcceptOp) return Fail(kErrInvalid);
    uint32_t uiGen = slot.uiGen + 1;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = uint64_t(uint32_t(fd)) | uint64_t(uiGen) << 32;
    if (epoll_ctl(hPort->fdEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) return Fail(ErrnoError());
    {
        std::lock_guard<std::mutex> gp(hPort->lock);
        if (hPort->bClosed) {
            epoll_ctl(hPort->fdEpoll, EPOLL_CTL_DEL, fd, nullptr);
            return Fail(kErrInvalidHandle);
        }
        // Set under the port's lock, so that PortClose sees it.
        slot.lpPort.store(hPort, std::memory_order_relaxed);
    }
    slot.uiGen = uiGen;
    slot.uKey = uKey;
    slot.bDgram = nType == SOCK_DGRAM;
    slot.bStarved = false;
    slot.bLocalAsked = slot.bLocalKnown = false;
    slot.bDrained = slot.bEnded = false;
    return true;
}

bool PortPost(CompletionPort hPort, uint32_t uiBytes, uintptr_t uKey, Overlapped* lpOv) {
    if (!hPort) return Fail(kErrInvalidHandle);
    Packet* p;
    {
        std::lock_guard<std::mutex> g(hPort->lock);
        if (hPort->bClosed) return Fail(kErrInvalidHandle);
        p = hPort->lpFree;
        if (p) hPort->lpFree = p->lpNext;
    }
    if (!p && !(p = new (std::nothrow) Packet)) return Fail(kErrNoBufs);
    *p = Packet{nullptr, lpOv, uKey, uiBytes, 0, true};
    PacketList b;
    b.Add(p);
    hPort->Enqueue(b, kByOther);
    return true;
}

PortResult PortGet(CompletionPort hPort, uint32_t* lpBytes, uintptr_t* lpKey, Overlapped** lplpOv, int* lpError,
                   uint32_t uiTimeoutMs) {
    if (!hPort) return kPortClosed;
    CompletionPortObject& port = *hPort;
    const bool bForever = uiTimeoutMs == kInfinite;
    const Clock::time_point tEnd = Clock::now() + std::chrono::milliseconds(bForever ? 0 : uiTimeoutMs);
    std::unique_lock<std::mutex> lk(port.lock);
    if (port.bClosed) return kPortClosed;
    ++port.nInside;
    t_lpActivePort = nullptr;
    PortResult eResult = kPortTimeout;
    bool bWaited = false;
    for (;;) {
        if (port.bClosed) {
            eResult = kPortClosed;
            break;
        }
        if (Packet* p = port.queue.lpHead) {
            port.queue.lpHead = p->lpNext;
            if (!port.queue.lpHead) port.queue.lpTail = nullptr;
            --port.queue.nCount;
            *lpBytes = p->uiBytes;
            *lpKey = p->uKey;
            *lplpOv = p->lpOv;
            *lpError = p->nError;
            eResult = p->nError ? kPortFailed : kPortOk;
            if (p->bPosted) {
                p->lpNext = port.lpFree;
                port.lpFree = p;
            }
            t_lpActivePort = &port;
            break;
        }
        int nRemainMs = -1;
        if (!bForever) {
            auto left = tEnd - Clock::now();
            nRemainMs = left.count() <= 0 ? 0 : int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        if (nRemainMs == 0 && bWaited) break;
        bWaited |= port.Wait(lk, nRemainMs);
    }
    // What this thread leaves behind must reach another: packets beyond the
    // threads on their way, the retry's time, or, on a closed port, the next
    // waiting thread, which must leave too.
    bool bInterrupt;
    uint32_t nIdle = port.nIdle.load(std::memory_order_relaxed);
    if (port.bClosed) bInterrupt = nIdle > 0;
    else bInterrupt = port.NeedWake(port.nInside - 1 - nIdle) || port.RetryUnwatched();
    // Before this thread counts as gone: PortClose closes the eventfd once all have.
    if (bInterrupt) port.Interrupt();
    if (--port.nInside == 0 && port.bClosed) port.cvLeft.notify_all();
    return eResult;
}

// ------------------------------------------------------------------ operations

bool StartRecv(SOCKET s, Overlapped* lpOv, char* lpBuf, uint32_t uiLen) {
    Op op{};
    op.eKind = kOpRecv;
    op.lpBuf = lpBuf;
    op.uiLen = uiLen;
    return Start(s, lpOv, op);
}

bool StartSend(SOCKET s, Overlapped* lpOv, const char* lpData, uint32_t uiLen) {
    Op op{};
    op.eKind = kOpSend;
    op.lpBuf = const_cast<char*>(lpData);
    op.uiLen = uiLen;
    return Start(s, lpOv, op);
}

bool StartRecvFrom(SOCKET s, Overlapped* lpOv, char* lpBuf, uint32_t uiLen, sockaddr_in* lpFrom) {
    Op op{};
    op.eKind = kOpRecvFrom;
    op.lpBuf = lpBuf;
    op.uiLen = uiLen;
    op.lpFrom = lpFrom;
    return Start(s, lpOv, op);
}

bool StartAccept(SOCKET sListen, SOCKET sAccept, Overlapped* lpOv, char* lpAddrBuf) {
    int fdAccept = static_cast<int>(sAccept);
    if (!lpAddrBuf || !lpOv) return Fail(kErrFault);
    if (sAccept == sListen) return Fail(kErrInvalid);
    Slot* t = MakeSlot(fdAccept);
    if (!t) return Fail(fdAccept < 0 || fdAccept >= kMaxFd ? kErrNotSocket : kErrNoBufs);
    Op op{};
    op.eKind = kOpAccept;
    op.lpBuf = lpAddrBuf;
    op.fdAccept = fdAccept;
    // The socket for the connection is marked first, on its own lock: it is
    // free, and no other accept may fill it.
    {
        std::lock_guard<std::mutex> g(t->lock);
        if (t->lpPort.load(std::memory_order_relaxed) || t->lpAcceptOp) return Fail(kErrInvalid);
        t->lpAcceptOp = reinterpret_cast<Op*>(lpOv->reserved);
        t->fdAcceptListen = static_cast<int>(sListen);
        op.uiTargetGen = t->uiTargetGen;
    }
    if (Start(sListen, lpOv, op)) return true;
    int nError = GetLastError();
    std::lock_guard<std::mutex> g(t->lock);
    if (t->lpAcceptOp == reinterpret_cast<Op*>(lpOv->reserved) && t->uiTargetGen == op.uiTargetGen)
        t->lpAcceptOp = nullptr;
    return Fail(nError);
}

void AcceptedAddresses(const char* lpAddrBuf, sockaddr_in* lpLocal, sockaddr_in* lpRemote) {
    if (!lpAddrBuf) return;
    if (lpLocal) std::memcpy(lpLocal, lpAddrBuf, sizeof *lpLocal);
    if (lpRemote) std::memcpy(lpRemote, lpAddrBuf + kAcceptAddressBytes / 2, sizeof *lpRemote);
}

// The connection already is sAccept's own; nothing to carry over.
bool FinishAccept(SOCKET sAccept, SOCKET sListen) {
    if (static_cast<int>(sAccept) < 0 || static_cast<int>(sListen) < 0) return Fail(kErrNotSocket);
    return true;
}

// ------------------------------------------------------------------ close

void DetachFromPort(int fd) {
    Slot* lpSlot = FindSlot(fd);
    if (!lpSlot) return;
    Slot& slot = *lpSlot;
    Op* lpAcceptOp = nullptr;
    int fdListen = -1;
    uint32_t uiTargetGen = 0;
    {
        std::lock_guard<std::mutex> g(slot.lock);
        if (slot.lpAcceptOp) {
            lpAcceptOp = slot.lpAcceptOp;
            fdListen = slot.fdAcceptListen;
            uiTargetGen = slot.uiTargetGen++;
            slot.lpAcceptOp = nullptr;
        }
        if (CompletionPortObject* lpPort = slot.lpPort.load(std::memory_order_relaxed)) {
            epoll_ctl(lpPort->fdEpoll, EPOLL_CTL_DEL, fd, nullptr);
            PacketList done;
            CancelAll(slot, &done);
            slot.lpPort.store(nullptr, std::memory_order_relaxed);
            ++slot.uiGen;
            slot.bStarved = false;
            lpPort->Enqueue(done, kByOther);
        }
    }
    if (!lpAcceptOp) return;
    // An accept was to put its connection here: it fails now, on its listener.
    Slot* lpListen = FindSlot(fdListen);
    if (!lpListen) return;
    std::lock_guard<std::mutex> g(lpListen->lock);
    CompletionPortObject* lpPort = lpListen->lpPort.load(std::memory_order_relaxed);
    if (!lpPort) return;
    for (Op* op = lpListen->reads.lpHead; op; op = op->lpNextOp) {
        if (op != lpAcceptOp || op->eKind != kOpAccept || op->fdAccept != fd || op->uiTargetGen != uiTargetGen) continue;
        lpListen->reads.Remove(op);
        op->packet.uiBytes = 0;
        op->packet.nError = kErrOperationAborted;
        op->packet.uKey = lpListen->uKey;
        PacketList done;
        done.Add(&op->packet);
        lpPort->Enqueue(done, kByOther);
        break;
    }
}

}  // namespace pf
