// vx_soak: a standing reliability run of one engine through the public
// interface. One manager echoes; a second opens clients that send framed
// random data, half-close, close, and race closes against their own calls
// from several threads, beside raw peers that reset. Checked: every orderly
// connection echoed byte-exact, no event after a close, OnSocketClose once,
// descriptors and threads back to their baseline. Exit 0 only if all hold.
//   vx_soak [--engine NAME] [--conns N] [--seconds S] [--threads T] [--seed X]
//           [--no-same-socket-races] [--no-shutdown-after-send]
//   vx_soak --concurrent N    N connections at once: threads, memory, cleanup
#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LoopbackPeer.h"
#include "ProcessThreads.h"
#include "vxnet/vxnet.h"

namespace {

using vxtest::PollUntil;
using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;
using Rng = std::mt19937_64;
using u64 = unsigned long long;
constexpr uint32_t kMaxFrame = 32768;        // payload bytes of one client message
constexpr size_t kMaxUnechoed = 256 * 1024;  // a client sends no more while this much is out

struct Options {
    const char* lpszEngine = VXNET_ISELECT_1_0;
    int nConns = 100, nSeconds = 60, nThreads = 4, nConcurrent = 0;
    u64 seed = 0;
    bool bRaces = true, bShutAfterSend = true;
} g_opt;

uint32_t Below(Rng& r, u64 n) { return n ? uint32_t(r() % n) : 0; }
bool Chance(Rng& r, int nPerMille) { return Below(r, 1000) < uint32_t(nPerMille); }
Rng& ThreadRng() {
    thread_local Rng r(g_opt.seed ^ std::hash<std::thread::id>{}(std::this_thread::get_id()));
    return r;
}

std::atomic<u64> g_opened, g_verified, g_echoed, g_resets, g_halfCloses, g_closes, g_racingCloses, g_events, g_raced,
    g_serverOpen;
std::atomic<long long> g_pending;  // connect and accept events still to come (below 0 after a false failure)
std::atomic<int> g_faults;

void Fault(const char* lpszFormat, ...) {
    if (g_faults++ >= 25) return;  // the first ones tell the story
    char buf[256];
    va_list ap;
    va_start(ap, lpszFormat);
    std::vsnprintf(buf, sizeof buf, lpszFormat, ap);
    va_end(ap);
    std::printf("vx_soak: fault: %s\n", buf);
    std::fflush(stdout);
}

int Descriptors() {
    int n = -1;  // opendir's own
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}
long ResidentKiB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// ------------------------------------------------------------------ connections

enum Role { kClient, kServer, kRaw };

struct Conn {
    uint32_t id = 0;
    Role role = kClient;
    SOCKET s = INVALID_SOCKET;
    vxtest::RawSocket raw;
    std::mutex m;     // never held across a call that can enter the sink
    std::string out;  // client: the stream sent; echoed up to outPos
    size_t outPos = 0;
    u64 sent = 0, back = 0;
    bool connected = false, ending = false, shut = false, bad = false, closed = false;
    int closeEvents = 0, connectEvents = 0;
    std::thread::id closer, closeThread;
    std::vector<std::thread::id> late;
    std::atomic<bool> closing{false}, ended{false};
    std::atomic<int> inflight{0};
    // Server: the frame parser, and a notice waiting for the echo queue to
    // empty. Only the socket's own event thread touches these.
    uint32_t hdr = 0, hdrBytes = 0, payLeft = 0, deferred = 0;
};

std::mutex g_regMu;
std::vector<std::unique_ptr<Conn>> g_reg;  // by id - 1, to the end: late events still find theirs
Conn* NewConn(Role role) {
    Lock lk(g_regMu);
    g_reg.push_back(std::make_unique<Conn>());
    g_reg.back()->id = uint32_t(g_reg.size()), g_reg.back()->role = role;
    return g_opened += role != kServer, g_reg.back().get();
}
Conn* Get(uint32_t id) {
    Lock lk(g_regMu);
    return id && id <= g_reg.size() ? g_reg[id - 1].get() : nullptr;
}

ISocketMgr* g_srv = nullptr;
ISocketMgr* g_cli = nullptr;
uint16_t g_wPort = 0;

// A call on a connection's socket, unless its close has begun: the handle may
// be another socket's right after, so no call starts later; the closer waits
// for those that did start.
template <class F>
void Op(Conn& c, F fn) {
    ++c.inflight;
    if (!c.closing) fn();
    --c.inflight;
}

void WaitCalls(Conn& c) {
    if (!PollUntil([&] { return c.inflight == 0; }, 5000))
        Fault("conn %u: a call on its socket still runs after 5 s", c.id);
}

// Closes a connection once (a raw peer with a reset when bReset). Without
// same-socket races, the calls under way on it end first.
bool Close(Conn& c, bool bReset = false) {
    if (c.closing.exchange(true)) return false;
    if (!g_opt.bRaces) WaitCalls(c);
    if (c.role == kRaw) bReset ? c.raw.AbortiveClose() : c.raw.Close();
    if (c.role != kRaw && !(c.role == kServer ? g_srv : g_cli)->CloseSocket(c.s))
        Fault("conn %u: CloseSocket failed", c.id);
    {
        Lock lk(c.m);
        c.closed = true, c.closer = std::this_thread::get_id();
        std::string().swap(c.out);
    }
    g_serverOpen -= c.role == kServer;
    WaitCalls(c);
    return true;
}

// Every event about a connection passes here first, with c.m held. An event
// that another thread decided on just before a close may reach the sink just
// after it (no engine holds a lock across a sink call): once per thread. A
// second one, or one on the thread that closed, came after the close.
void CheckEvent(Conn& c, bool bClose) {
    ++g_events;
    const std::thread::id me = std::this_thread::get_id();
    if ((c.closed || c.closeEvents) &&
        (me == c.closer || me == c.closeThread || std::find(c.late.begin(), c.late.end(), me) != c.late.end()))
        Fault("conn %u: event after %s", c.id, c.closeEvents ? "OnSocketClose" : "CloseSocket");
    else if (c.closed || c.closeEvents)
        c.late.push_back(me), ++g_raced;
    if (bClose && c.closeEvents++) Fault("conn %u: OnSocketClose twice", c.id);
    if (bClose) c.closeThread = me;
}

// A message: a 4-byte little-endian payload length, then random bytes.
std::string Frame(Rng& r, uint32_t uiLen) {
    std::string f(4 + size_t(uiLen), '\0');
    for (size_t i = 0; i < f.size(); ++i) f[i] = char(i < 4 ? uiLen >> 8 * i : r());
    return f;
}
uint32_t FrameLen(Rng& r) {  // mostly small, some large
    const uint32_t k = Below(r, 10);
    return Below(r, k < 5 ? 64 : k < 8 ? 4096 : kMaxFrame + 1);
}

// ------------------------------------------------------------------ client side

void SendLocked(Conn& c, const std::string& f, uint32_t* lpQueued) {
    if (g_cli->Send(c.s, f.data(), uint32_t(f.size()), 0, lpQueued)) c.out += f, c.sent += f.size();
}

void ClientSend(Conn& c, Rng& r) {
    Op(c, [&] {
        Lock lk(c.m);
        uint32_t uiQueued;
        if (c.connected && !c.ending && !c.closed && c.out.size() - c.outPos <= kMaxUnechoed)
            SendLocked(c, Frame(r, FrameLen(r)), &uiQueued);
    });
}

// Half-closes once nothing sent waits in the engine: a Send that leaves
// nothing queued proves it (an empty frame keeps the stream whole). c.m held.
void ShutWhenFlushed(Conn& c) {
    uint32_t uiQueued = 1;
    SendLocked(c, std::string(4, '\0'), &uiQueued);
    if (uiQueued == 0) c.shut = g_cli->Shutdown(c.s, 1);
}

// The orderly end: no more data, half-close; the server echoes the rest and
// closes, and OnSocketClose checks the echo.
void End(Conn& c, Rng& r) {
    Op(c, [&] {
        Lock lk(c.m);
        if (!c.connected || c.ending || c.closed) return;
        c.ending = true, ++g_halfCloses;
        if (!g_opt.bShutAfterSend) return ShutWhenFlushed(c);
        // A burst the socket cannot take at once, so that the engine queues a
        // part, and the half-close right behind it.
        std::string f;
        for (uint32_t want = Below(r, 1 << 20); f.size() <= want;) f += Frame(r, FrameLen(r));
        SendLocked(c, f, nullptr);
        c.shut = g_cli->Shutdown(c.s, 1);
    });
}

// Compares the echo with what was sent (c.m held on entry) and asks for more.
void ClientRecv(Conn& c, const char* lpData, uint32_t uiLen, Lock& lk) {
    const size_t have = c.out.size() - c.outPos, n = std::min<size_t>(uiLen, have);
    const size_t same = std::mismatch(lpData, lpData + n, c.out.data() + c.outPos).first - lpData;
    if (!c.bad && same < uiLen)
        c.bad = true, Fault("conn %u: the echo differs from what was sent at byte %llu", c.id, c.back + same);
    c.outPos += n, c.back += uiLen, g_echoed += uiLen;
    if (c.outPos > 65536 && c.outPos * 2 > c.out.size()) c.out.erase(0, c.outPos), c.outPos = 0;
    // Never more than is owed: the rest of the echo must be offered.
    const uint32_t uiNext = 1 + Below(ThreadRng(), std::max<size_t>(1, c.out.size() - c.outPos));
    lk.unlock();
    Op(c, [&] { g_cli->SetNoticeLen(c.s, uiNext); });
}

Conn* OpenClient(Rng& r) {
    Conn* c = NewConn(kClient);
    c->s = g_cli->CreateTcpSocket(nullptr, nullptr, 0, c->id, 0);
    // Small kernel buffers for some: the engine's own send queue then works.
    if (Chance(r, 500)) g_cli->SetSendBufSize(c->s, 4096 + int(Below(r, 16384)));
    sockaddr_in a = vxtest::Loopback(g_wPort);
    g_pending += 2;  // its connect and its accept
    if (c->s != INVALID_SOCKET && g_cli->ConnectAddr(c->s, &a)) return c;
    Fault("conn %u: cannot create or connect a client socket", c->id);
    g_pending -= 2, c->ended = true, c->closing = c->s == INVALID_SOCKET;
    return c;
}

// A raw peer sends part of a frame, or all of it, and is reset or closed later.
Conn* OpenRaw(Rng& r) {
    Conn* c = NewConn(kRaw);
    ++g_pending;  // its accept
    c->raw = vxtest::RawSocket::TcpConnect(g_wPort);
    if (!c->raw.IsValid()) return --g_pending, Fault("conn %u: raw connect failed", c->id), Close(*c), c;
    const std::string f = Frame(r, Below(r, 4096));
    c->raw.SendAll(f.substr(0, 1 + Below(r, f.size())));
    return c;
}

// ------------------------------------------------------------------ server side

uint32_t UnitLeft(const Conn& c) { return c.payLeft ? c.payLeft : 4 - c.hdrBytes; }

void Parse(Conn& c, const char* p, uint32_t n) {
    for (uint32_t t; n; p += t, n -= t) {
        if ((t = std::min(n, c.payLeft))) {
            c.payLeft -= t;
            continue;
        }
        t = 1, c.hdr |= uint32_t(uint8_t(*p)) << 8 * c.hdrBytes;
        if (++c.hdrBytes < 4) continue;
        if (c.hdr > kMaxFrame) Fault("server conn %u: frame header %u that no client sent", c.id, c.hdr);
        c.payLeft = std::min(c.hdr, kMaxFrame), c.hdr = c.hdrBytes = 0;
    }
}

// Echoes part or all of an offer and asks for a random notice that the
// client's frame is sure to complete. The next notice waits for the echo
// queue to empty, so the server never reads the client's end with echo
// bytes still queued.
void ServerRecv(Conn& c, const char* p, uint32_t* lpLen, Lock& lk) {
    lk.unlock();
    Rng& r = ThreadRng();
    const uint32_t n = *lpLen, left = UnitLeft(c);
    uint32_t k = n, uiNext, uiQueued = 0;
    if (n < left && Chance(r, 120)) {
        k = 0, uiNext = n + 1 + Below(r, left - n);  // nothing consumed: ask for more of this frame
    } else {
        if (n > 1 && Chance(r, 250)) k = 1 + Below(r, n - 1);
        Parse(c, p, k);
        uiNext = 1 + Below(r, std::max(n - k, UnitLeft(c)));
    }
    *lpLen = k;
    if (k && !g_srv->Send(c.s, p, k, 0, &uiQueued)) return void(Close(c));  // broken; no event follows
    if (uiQueued) c.deferred = uiNext;
    if (!uiQueued) g_srv->SetNoticeLen(c.s, uiNext);
}

// ------------------------------------------------------------------ sink

class Sink : public ISocketMgrSink {
public:
    explicit Sink(bool bServer) : m_bServer(bServer) {}

    bool OnSocketPreAccept(sockaddr_in*, sockaddr_in*) override { return true; }
    void OnSocketAccept(int nError, SOCKET, SOCKET s, sockaddr_in*, sockaddr_in*) override {
        ++g_events;
        if (nError || !m_bServer) return Fault("OnSocketAccept (error %d) on the %s", nError, Side());
        Conn* c = NewConn(kServer);
        Rng& r = ThreadRng();
        c->s = s, ++g_serverOpen;
        g_srv->SetUserData1(s, c->id);
        if (Chance(r, 500)) g_srv->SetSendBufSize(s, 4096 + int(Below(r, 16384)));
        g_srv->SetNoticeLen(s, 1 + Below(r, 4));
        --g_pending;
    }
    void OnSocketConnect(int nError, SOCKET, uint32_t u1, uint32_t) override {
        Lock lk;
        Conn* c = Enter(u1, "OnSocketConnect", lk);
        if (!c) return;
        if (c->connectEvents++) Fault("conn %u: OnSocketConnect twice", c->id);
        if (nError) Fault("conn %u: connect failed with %d", c->id, nError), c->ended = true, --g_pending;
        c->connected = nError == 0;
        lk.unlock();
        if (!nError) Op(*c, [c] { g_cli->SetNoticeLen(c->s, 1); });
        --g_pending;
    }
    void OnSocketRecv(int, SOCKET, const char* lpData, uint32_t* lpLen, uint32_t u1, uint32_t) override {
        Lock lk;
        Conn* c = Enter(u1, "OnSocketRecv", lk);
        if (!c || c->closed) return;
        if (m_bServer) return ServerRecv(*c, lpData, lpLen, lk);
        ClientRecv(*c, lpData, *lpLen, lk);
    }
    void OnSocketSend(int, SOCKET, uint32_t u1, uint32_t, uint32_t, uint32_t uiQueued) override {
        Lock lk;
        Conn* c = Enter(u1, "OnSocketSend", lk);
        if (!c || c->closed || uiQueued) return;
        if (!m_bServer)
            return Op(*c, [c] {
                if (c->ending && !c->shut) ShutWhenFlushed(*c);
            });
        lk.unlock();
        if (c->deferred) g_srv->SetNoticeLen(c->s, std::exchange(c->deferred, 0));
    }
    void OnSocketClose(int nError, SOCKET, int, uint32_t u1, uint32_t) override {
        Lock lk;
        Conn* c = Enter(u1, "OnSocketClose", lk, true);
        if (!c) return;
        if (m_bServer) return lk.unlock(), void(Close(*c));
        const bool bOrderly = !nError && c->shut && !c->bad && c->outPos == c->out.size();
        if (!c->closing && !c->bad && !bOrderly)
            Fault("conn %u: closed with error %d, %s, %llu of %llu bytes echoed", c->id, nError,
                  c->shut ? "after its half-close" : "not half-closed", c->back, c->sent);
        g_verified += !c->closing && bOrderly;
        c->ended = true;
    }
    // Nothing here asks for these.
    void OnSocketRecvFrom(int, SOCKET, const char*, int, sockaddr_in*, uint32_t, uint32_t) override { Odd(); }
    void OnSocketRecvIdle(int, SOCKET, uint32_t, uint32_t) override { Odd(); }
    void OnSocketSendIdle(int, SOCKET, uint32_t, uint32_t) override { Odd(); }
    void OnDnsParse(const char*, uint32_t) override { Odd(); }
    void OnSocketTimer(SOCKET, uint32_t, uint32_t, uint32_t, uint32_t) override { Odd(); }
    void OnSocketProxy(int, SOCKET, sockaddr_in*, uint32_t, uint32_t) override { Odd(); }
    uint32_t OnSocketReserved(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                              uint32_t) override {
        return Odd(), 0;
    }

private:
    const char* Side() const { return m_bServer ? "server" : "client"; }
    void Odd() { ++g_events, Fault("an event nothing asked for on the %s", Side()); }
    // The connection an event is about, locked and checked; null if unknown.
    Conn* Enter(uint32_t id, const char* lpszEvent, Lock& lk, bool bClose = false) {
        Conn* c = Get(id);
        if (!c || (c->role == kServer) != m_bServer)
            return ++g_events, Fault("%s on the %s for unknown connection %u", lpszEvent, Side(), id), nullptr;
        lk = Lock(c->m);
        CheckEvent(*c, bClose);
        return c;
    }
    bool m_bServer;
};
Sink g_srvSink(true), g_cliSink(false);

ISocketMgr* StartManager(Sink* lpSink) {
    ISocketMgr* lpMgr = vxCreateInstance(g_opt.lpszEngine);
    if (lpMgr && (lpMgr->SetSink(lpSink), lpMgr->Start(0, 0, 0, 0))) return lpMgr;
    if (lpMgr) vxDestroyInstance(lpMgr);
    return nullptr;
}

SOCKET Listen(int nBacklog) {
    SOCKET s = g_srv ? g_srv->CreateTcpSocket(nullptr, "127.0.0.1", 0, 0, 0) : INVALID_SOCKET;
    if (s == INVALID_SOCKET || !g_srv->Listen(s, nBacklog) || !(g_wPort = vxtest::LocalPortOf(s)))
        return INVALID_SOCKET;
    return s;
}

// Stops and destroys the managers; what is left over the baseline leaked
// (threads get a bounded while to end). Returns the verdict.
int Finish(SOCKET sListen, int nFd0, int nTask0, const char* lpszFormat, ...) {
    if (g_srv) g_srv->CloseSocket(sListen);
    for (ISocketMgr* m : {g_cli, g_srv}) {
        if (m && !m->Stop(2000)) Fault("Stop failed");
        if (m) vxDestroyInstance(m);
    }
    PollUntil([&] { return vxtest::ProcessThreadCount() <= nTask0; }, 5000);
    const int nFdLeak = Descriptors() - nFd0, nThreadLeak = vxtest::ProcessThreadCount() - nTask0;
    if (nFdLeak || nThreadLeak) Fault("%d descriptors and %d threads over the baseline", nFdLeak, nThreadLeak);
    va_list ap;
    va_start(ap, lpszFormat);
    std::printf("vx_soak: engine=%s ", g_opt.lpszEngine);
    std::vprintf(lpszFormat, ap);
    va_end(ap);
    std::printf(" events=%llu fd-leak=%d thread-leak=%d faults=%d verdict=%s\n", g_events.load(), nFdLeak, nThreadLeak,
                g_faults.load(), g_faults ? "FAIL" : "PASS");
    return g_faults ? 1 : 0;
}

// ------------------------------------------------------------------ soak mode

std::vector<Conn*> g_active;  // changed only while the host threads wait at the barrier
std::atomic<bool> g_stop;
Clock::time_point g_deadline;

// Two threads on one socket at once: a close against a Send or SetNoticeLen.
void Race(Conn& c, Rng& r) {
    std::atomic<int> ready{0};
    Rng r2(r());
    std::thread t([&] {
        for (++ready; ready < 2;) std::this_thread::yield();
        if (Chance(r2, 500)) return ClientSend(c, r2);
        Op(c, [&] { g_cli->SetNoticeLen(c.s, 1 + Below(r2, 64)); });
    });
    for (++ready; ready < 2;) std::this_thread::yield();
    for (uint32_t i = Below(r, 20000); i > 0; --i) std::atomic_signal_fence(std::memory_order_seq_cst);
    g_racingCloses += Close(c);
    t.join();
}

void HostOp(Conn& c, Rng& r) {
    const uint32_t p = Below(r, 1000);
    if (c.role == kRaw) return void(g_resets += p < 20 && Close(c, true));
    if (p < 550) return ClientSend(c, r);
    if (p < 700) return Op(c, [&] { g_cli->SetNoticeLen(c.s, 1); });  // more than 1 could outgrow the echo
    if (p < 712) return End(c, r);
    if (p < 720 || (p < 728 && !g_opt.bRaces)) return void(g_closes += Close(c));
    if (p < 728) Race(c, r);
}

// Between rounds: closes what has ended, opens replacements and waits until
// they are connected and accepted.
void Replenish() noexcept {
    static Rng r(g_opt.seed ^ 0x5eed);
    std::erase_if(g_active, [](Conn* c) { return (c->ended && Close(*c)) || c->closing; });
    while (g_active.size() < size_t(g_opt.nConns)) g_active.push_back(Chance(r, 100) ? OpenRaw(r) : OpenClient(r));
    if (!PollUntil([] { return g_pending <= 0; }, 10000)) Fault("new connections not connected and accepted in 10 s");
    g_stop = Clock::now() >= g_deadline;
}

int RunSoak() {
    const int nFd0 = Descriptors(), nTask0 = vxtest::ProcessThreadCount();
    g_srv = StartManager(&g_srvSink);
    g_cli = g_srv ? StartManager(&g_cliSink) : nullptr;
    const SOCKET sListen = g_cli ? Listen(128) : INVALID_SOCKET;
    if (sListen == INVALID_SOCKET) return std::printf("vx_soak: cannot start %s\n", g_opt.lpszEngine), 1;

    g_deadline = Clock::now() + std::chrono::seconds(g_opt.nSeconds);
    Replenish();
    std::barrier<void (*)() noexcept> round(g_opt.nThreads, &Replenish);
    std::vector<std::thread> hosts;
    for (int t = 0; t < g_opt.nThreads; ++t)
        hosts.emplace_back([&round, t] {
            for (Rng r(g_opt.seed + 7919u * u64(t + 1)); !g_stop; round.arrive_and_wait())
                for (auto end = Clock::now() + std::chrono::milliseconds(25); Clock::now() < end;) {
                    HostOp(*g_active[Below(r, g_active.size())], r);
                    std::this_thread::sleep_for(std::chrono::microseconds(Below(r, 2000)));  // pacing
                }
        });
    for (std::thread& t : hosts) t.join();

    // Drain: every connection left ends in order and must echo in full.
    Rng r(g_opt.seed ^ 0xd7a1);
    for (Conn* c : g_active) c->role == kRaw ? void(Close(*c)) : End(*c, r);
    auto open = [](Conn* c) { return c->role == kClient && !c->ended && !c->closing; };
    if (!PollUntil([&] { return g_serverOpen == 0 && std::none_of(g_active.begin(), g_active.end(), open); }, 30000)) {
        for (Conn* c : g_active)
            if (Lock lk(c->m); open(c))
                Fault("conn %u never ended: %llu bytes sent, %llu echoed, %shalf-closed", c->id, c->sent, c->back,
                      c->shut ? "" : "not ");
        Fault("%llu server sockets still open 30 s after the drain began", g_serverOpen.load());
    }
    for (Conn* c : g_active) Close(*c);
    return Finish(sListen, nFd0, nTask0,
                  "seconds=%d conns=%d opened=%llu verified=%llu echoed=%llu resets=%llu half-closes=%llu closes=%llu "
                  "racing-closes=%llu raced=%llu seed=%llu%s%s",
                  g_opt.nSeconds, g_opt.nConns, g_opened.load(), g_verified.load(), g_echoed.load(), g_resets.load(),
                  g_halfCloses.load(), g_closes.load(), g_racingCloses.load(), g_raced.load(), g_opt.seed,
                  g_opt.bRaces ? "" : " no-same-socket-races", g_opt.bShutAfterSend ? "" : " no-shutdown-after-send");
}

// ------------------------------------------------------------------ concurrent mode

// The client process: n connections with one 8-byte frame each, then every
// echo read back; it reports how many came back whole and closes them all
// when told.
int ConcurrentClients(int n, int fdIn, int fdOut) {
    uint16_t wPort = 0;
    if (read(fdIn, &wPort, 2) != 2) return 1;
    auto frame = [](size_t i) { return std::string{4, 0, 0, 0, char(i), char(i >> 8), char(i >> 16), 0}; };
    std::vector<vxtest::RawSocket> socks;
    for (int i = 0; i < n; ++i)
        if (socks.push_back(vxtest::RawSocket::TcpConnect(wPort));
            !socks.back().IsValid() || !socks.back().SendAll(frame(i)))
            break;
    uint32_t uiWhole = 0;
    const auto end = Clock::now() + std::chrono::seconds(g_opt.nSeconds);
    for (size_t i = 0; i < socks.size() && Clock::now() < end; ++i) {
        std::string echo;
        uiWhole += socks[i].RecvExact(echo, 8, 10000) && echo == frame(i);
    }
    char c;
    return write(fdOut, &uiWhole, 4) == 4 && read(fdIn, &c, 1) >= 0 ? 0 : 1;
}

int RunConcurrent() {
    int n = g_opt.nConcurrent;
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    // Each process holds one end of every connection; the server also the
    // engine's own handles, a few per group of sockets.
    const rlim_t need = rlim_t(n) + rlim_t(n) / 16 + 256;
    if (rl.rlim_max < need) n = int((rl.rlim_max - 256) * 16 / 17);
    if (rl.rlim_max < need)
        std::printf("vx_soak: RLIMIT_NOFILE hard limit %llu: %d connections\n", u64(rl.rlim_max), n);
    rl.rlim_cur = std::max(rl.rlim_cur, std::min(need, rl.rlim_max));
    setrlimit(RLIMIT_NOFILE, &rl);

    int toClients[2], toServer[2];
    if (pipe(toClients) != 0 || pipe(toServer) != 0) return 1;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) _exit(ConcurrentClients(n, toClients[0], toServer[1]));
    close(toClients[0]), close(toServer[1]);

    const int nFd0 = Descriptors(), nTask0 = vxtest::ProcessThreadCount();
    g_srv = StartManager(&g_srvSink);
    const SOCKET sListen = Listen(4096);
    const long lRss0 = ResidentKiB();
    uint32_t uiWhole = 0;
    if (sListen == INVALID_SOCKET || write(toClients[1], &g_wPort, 2) != 2 || read(toServer[0], &uiWhole, 4) != 4)
        Fault("the server or the client process did not start");
    if (uiWhole < uint32_t(n)) Fault("%u of %d connections echoed their message", uiWhole, n);
    const long lRss = ResidentKiB() - lRss0;
    const int nThreads = vxtest::ProcessThreadCount() - nTask0;
    if (write(toClients[1], "x", 1) != 1 || waitpid(pid, nullptr, 0) != pid) Fault("the client process is lost");
    if (!PollUntil([] { return g_serverOpen == 0; }, 30000))
        Fault("%llu server sockets still open 30 s after the clients closed", g_serverOpen.load());
    const int rc =
        Finish(sListen, nFd0, nTask0, "concurrent=%d echoed=%u threads=+%d rss=+%ld KiB (%ld B per connection)", n,
               uiWhole, nThreads, lRss, n ? lRss * 1024 / n : 0);
    close(toClients[1]), close(toServer[0]);
    return rc;
}

void OnWatchdog(int) {
    static const char msg[] = "vx_soak: watchdog: the run overran its time by 60 s; aborting\n";
    [[maybe_unused]] ssize_t n = write(STDOUT_FILENO, msg, sizeof msg - 1);
    abort();
}

int Usage() {
    std::printf(
        "usage: vx_soak [--engine NAME] [--conns N] [--seconds S] [--threads T] [--seed X]\n"
        "               [--no-same-socket-races] [--no-shutdown-after-send]\n"
        "       vx_soak [--engine NAME] --concurrent N\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        int* lpNumber = a == "--conns"        ? &g_opt.nConns
                        : a == "--seconds"    ? &g_opt.nSeconds
                        : a == "--threads"    ? &g_opt.nThreads
                        : a == "--concurrent" ? &g_opt.nConcurrent
                                              : nullptr;
        const bool bFlag = a == "--no-same-socket-races" || a == "--no-shutdown-after-send";
        if (!bFlag && (i + 1 == argc || (!lpNumber && a != "--engine" && a != "--seed"))) return Usage();
        if (a == "--no-same-socket-races") g_opt.bRaces = false;
        if (a == "--no-shutdown-after-send") g_opt.bShutAfterSend = false;
        if (a == "--engine") g_opt.lpszEngine = argv[i + 1];
        if (a == "--seed") g_opt.seed = std::strtoull(argv[i + 1], nullptr, 0);
        if (lpNumber) *lpNumber = std::max(1, std::atoi(argv[i + 1]));
        i += !bFlag;
    }
    if (!g_opt.seed) g_opt.seed = u64(Clock::now().time_since_epoch().count());
    std::signal(SIGALRM, OnWatchdog);
    alarm(unsigned(g_opt.nSeconds + 60));
    // Some runtimes (TSan) start a helper thread with the first thread: it
    // belongs in the baseline.
    std::thread([] {}).join();
    vxInitialize();
    const int rc = g_opt.nConcurrent ? RunConcurrent() : RunSoak();
    vxUninitialize();
    return rc;
}
