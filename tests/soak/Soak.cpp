// vx_soak (options: the usage text in main): a standing reliability run of one engine. A
// manager echoes; clients of a second one send framed random data, half-close, close, and
// race closes against their own calls from several threads, beside raw peers that reset.
// Exit 0 only if every orderly connection echoed byte-exact, no event followed a close,
// OnSocketClose came once, and descriptors and threads went back to their baseline.
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
#include <deque>
#include <filesystem>
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

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;
using Rng = std::mt19937_64;
using u64 = unsigned long long;
using U = uint32_t;
constexpr U kMaxFrame = 32768;            // payload bytes of one client message
constexpr u64 kMaxUnechoed = 256 * 1024;  // a client sends no more while this much is out

const char* g_lpszEngine = VXNET_ISELECT_1_0;
int g_nConns = 100, g_nSeconds = 60, g_nThreads = 4, g_nConcurrent = 0;
u64 g_seed = 0;
bool g_bRaces = true, g_bShutAfterSend = true;

thread_local Rng t_rng(g_seed ^ std::hash<std::thread::id>{}(std::this_thread::get_id()));
U Below(Rng& r, u64 n) { return n ? U(r() % n) : 0; }
bool Chance(Rng& r, int nPerMille) { return Below(r, 1000) < U(nPerMille); }

std::atomic<int> g_faults;
void Fault(const char* lpszFormat, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, lpszFormat);
    std::vsnprintf(buf, sizeof buf, lpszFormat, ap), va_end(ap);
    if (g_faults++ < 25) std::printf("vx_soak: fault: %s\n", buf), std::fflush(stdout);  // the first tell the story
}

int Descriptors() { return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) - 1; }

enum { kOpened, kVerified, kEchoed, kHalfCloses, kCloses, kRaced, kEvents, kCounts };
const char* const kCountNames[] = {"opened", "verified", "echoed", "half-closes", "closes", "raced", "events"};
std::atomic<u64> g_n[kCounts];
std::atomic<long long> g_pending, g_serverOpen;  // connect and accept events still to come; server sockets open

enum Role { kClient, kServer, kRaw };
struct Conn {
    Role role = kClient;
    SOCKET s = INVALID_SOCKET;
    vxtest::RawSocket raw;
    std::mutex m;              // never held across a call that can enter the sink
    std::string out;           // client: the stream sent, echoed up to outPos
    u64 outPos = 0, back = 0;  // back: bytes echoed
    bool connected = false, ending = false, shut = false, bad = false, closed = false, closeEvent = false;
    std::vector<std::thread::id> after;  // threads that closed it or had an event after its close
    std::atomic<bool> closing{false}, ended{false};
    std::atomic<int> inflight{0};
    U id = 0, hdr = 0, hdrBytes = 0, payLeft = 0, deferred = 0;  // server: frame parser, a notice held back
};

std::mutex g_regMu;
std::deque<Conn> g_reg;  // by id - 1, to the end: late events still find theirs
Conn* Get(U id) { Lock lk(g_regMu); return id && id <= g_reg.size() ? &g_reg[id - 1] : nullptr; }
Conn* NewConn(Role role) {
    Lock lk(g_regMu);
    Conn& c = g_reg.emplace_back();
    return c.id = U(g_reg.size()), c.role = role, g_n[kOpened] += role != kServer, &c;
}

ISocketMgr *g_srv = nullptr, *g_cli = nullptr;
uint16_t g_wPort = 0;

// A call on a connection's socket unless its close has begun (the handle may be
// another socket's right after); the closer waits for the calls under way.
void Op(Conn& c, auto fn) { ++c.inflight, c.closing ? void() : void(fn()), --c.inflight; }
void WaitCalls(Conn& c) {
    if (!PollUntil([&] { return c.inflight == 0; }, 5000)) Fault("conn %u: a call runs 5 s after its close", c.id);
}

// Once; a raw peer with a reset if bReset. Without same-socket races, calls under way end first.
bool Close(Conn& c, bool bReset = false) {
    if (c.closing.exchange(true)) return false;
    if (!g_bRaces) WaitCalls(c);
    if (c.role == kRaw) bReset ? c.raw.AbortiveClose() : c.raw.Close();
    else if (!(c.role == kServer ? g_srv : g_cli)->CloseSocket(c.s)) Fault("conn %u: CloseSocket failed", c.id);
    Lock lk(c.m);
    c.closed = true, c.after.push_back(std::this_thread::get_id()), std::string().swap(c.out), lk.unlock();
    g_serverOpen -= c.role == kServer;
    return WaitCalls(c), true;
}

// A message: a 4-byte little-endian length (mostly small, some large), then random bytes.
std::string Frame(Rng& r, int64_t nLen = -1) {
    const U k = Below(r, 10), uiLen = nLen >= 0 ? U(nLen) : Below(r, k < 5 ? 64 : k < 8 ? 4096 : kMaxFrame + 1);
    std::string f(4 + size_t(uiLen), '\0');
    for (size_t i = 0; i < f.size(); ++i) f[i] = char(i < 4 ? uiLen >> 8 * i : r());
    return f;
}

U SendLocked(Conn& c, const std::string& f) {  // c.m held; what the engine still queues (1: the call failed)
    U uiQueued = 1;
    return g_cli->Send(c.s, f.data(), U(f.size()), 0, &uiQueued) ? (c.out += f, uiQueued) : 1;
}

// Half-closes once nothing sent waits in the engine: a Send that leaves
// nothing queued proves it (an empty frame keeps the stream whole). c.m held.
void ShutWhenFlushed(Conn& c) { c.shut = SendLocked(c, std::string(4, '\0')) == 0 && g_cli->Shutdown(c.s, 1); }

// A client's Send, a notice (more than 1 could outgrow the echo), or its end:
// half-close; the server echoes the rest and closes; OnSocketClose checks.
enum Act { kSend, kNotice, kEnd };
void ClientOp(Conn& c, Rng& r, Act act) {
    if (act == kNotice) return Op(c, [&] { g_cli->SetNoticeLen(c.s, 1); });
    Op(c, [&] {
        Lock lk(c.m);
        if (!c.connected || c.ending || c.closed || c.ended) return;
        if (act == kSend) return c.out.size() - c.outPos > kMaxUnechoed ? void() : void(SendLocked(c, Frame(r)));
        c.ending = true, ++g_n[kHalfCloses];
        if (!g_bShutAfterSend) return ShutWhenFlushed(c);
        // A burst the socket cannot take at once: the engine queues a part, the half-close is right behind.
        std::string f;
        for (U want = Below(r, 1 << 20); f.size() <= want;) f += Frame(r);
        SendLocked(c, f), c.shut = g_cli->Shutdown(c.s, 1);
    });
}

// Checks the echo (c.m held on entry); asks for more, never more than is owed (all must come).
void ClientRecv(Conn& c, const char* p, U n, Lock& lk) {
    const u64 k = std::min<u64>(n, c.out.size() - c.outPos);
    const u64 same = std::mismatch(p, p + k, c.out.data() + c.outPos).first - p;
    if (!c.bad && same < n) c.bad = true, Fault("conn %u: wrong echo at byte %llu", c.id, c.back + same);
    c.outPos += k, c.back += n, g_n[kEchoed] += n;
    if (c.outPos > 65536 && c.outPos * 2 > c.out.size()) c.out.erase(0, c.outPos), c.outPos = 0;
    const U uiNext = 1 + Below(t_rng, std::max<u64>(1, c.out.size() - c.outPos));
    lk.unlock(), Op(c, [&] { g_cli->SetNoticeLen(c.s, uiNext); });
}

// A client, or a raw peer that sends part of a frame or all, and is reset or closed later.
Conn* Open(Rng& r) {
    Conn* c = NewConn(Chance(r, 100) ? kRaw : kClient);
    const int nEvents = c->role == kRaw ? 1 : 2;  // its accept, and a client's connect
    const std::string f = Frame(r, Below(r, 4096));
    sockaddr_in a = vxtest::Loopback(g_wPort);
    g_pending += nEvents;
    if (c->role == kRaw) {
        if ((c->raw = vxtest::RawSocket::TcpConnect(g_wPort)).IsValid())
            return c->raw.SendAll(f.substr(0, 1 + Below(r, f.size()))), c;
    } else if ((c->s = g_cli->CreateTcpSocket(nullptr, nullptr, 0, c->id, 0)) != INVALID_SOCKET) {
        // Small kernel buffers for some: the engine's own send queue then works.
        if (Chance(r, 500)) g_cli->SetSendBufSize(c->s, 4096 + int(Below(r, 16384)));
        if (g_cli->ConnectAddr(c->s, &a)) return c;
    }
    Fault("conn %u: cannot connect", c->id);
    return g_pending -= nEvents, c->ended = true, c->closing = c->s == INVALID_SOCKET, c;
}

U UnitLeft(const Conn& c) { return c.payLeft ? c.payLeft : 4 - c.hdrBytes; }

// Server: follows the frames through what it echoes and checks every header.
void Parse(Conn& c, const char* p, U n) {
    for (U t; n; p += t, n -= t)
        if ((t = std::min(n, c.payLeft))) c.payLeft -= t;
        else if (t = 1, c.hdr |= U(uint8_t(*p)) << 8 * c.hdrBytes; ++c.hdrBytes == 4) {
            if (c.hdr > kMaxFrame) Fault("server conn %u: frame header %u that no client sent", c.id, c.hdr);
            c.payLeft = std::min(c.hdr, kMaxFrame), c.hdr = c.hdrBytes = 0;
        }
}

// Echoes part or all of an offer, asks for a notice the client's frame is sure
// to complete; that waits for the echo queue to empty, so the server never reads
// the client's end with echo bytes queued. Only the socket's event thread here.
void ServerRecv(Conn& c, const char* p, U* lpLen, Lock& lk) {
    lk.unlock();
    const U n = *lpLen, left = UnitLeft(c);
    U k = n, uiNext;
    if (n < left && Chance(t_rng, 120)) {
        k = 0, uiNext = n + 1 + Below(t_rng, left - n);  // nothing consumed: ask for more of this frame
    } else {
        if (n > 1 && Chance(t_rng, 250)) k = 1 + Below(t_rng, n - 1);
        Parse(c, p, k);
        uiNext = 1 + Below(t_rng, std::max(n - k, UnitLeft(c)));
    }
    *lpLen = k;
    if (!k) return void(g_srv->SetNoticeLen(c.s, uiNext));
    // Every engine reports a drained queue (OnSocketSend, 0 queued) after a
    // Send, also one whose bytes left at once; the queued count alone says
    // nothing about a send still in flight (completion port). Set before the
    // Send: the report may come before it returns.
    lk.lock(), c.deferred = uiNext, lk.unlock();
    if (!g_srv->Send(c.s, p, k, 0, nullptr)) return void(Close(c));  // broken; no event follows
}

template <bool kSrv>
struct Sink : ISocketMgrSink {
    static constexpr const char* kSide = kSrv ? "server" : "client";
    bool OnSocketPreAccept(sockaddr_in*, sockaddr_in*) override { return true; }
    void OnSocketAccept(int nError, SOCKET, SOCKET s, sockaddr_in*, sockaddr_in*) override {
        if (++g_n[kEvents]; nError || !kSrv) return Fault("OnSocketAccept (error %d) on the %s", nError, kSide);
        Conn* c = NewConn(kServer);
        c->s = s, ++g_serverOpen, g_srv->SetUserData1(s, c->id);
        if (Chance(t_rng, 500)) g_srv->SetSendBufSize(s, 4096 + int(Below(t_rng, 16384)));
        g_srv->SetNoticeLen(s, 1 + Below(t_rng, 4)), --g_pending;
    }
    void OnSocketConnect(int nError, SOCKET, U u1, U) override {
        auto [c, lk] = Enter(u1, "OnSocketConnect");
        if (!c) return;
        if (std::exchange(c->connected, true)) Fault("conn %u: OnSocketConnect twice", c->id);
        if (nError) Fault("conn %u: connect failed with %d", c->id, nError), c->ended = true, --g_pending;
        lk.unlock(), --g_pending;
        if (!nError) Op(*c, [c] { g_cli->SetNoticeLen(c->s, 1); });
    }
    void OnSocketRecv(int, SOCKET, const char* lpData, U* lpLen, U u1, U) override {
        auto [c, lk] = Enter(u1, "OnSocketRecv");
        if (c && !c->closed) kSrv ? ServerRecv(*c, lpData, lpLen, lk) : ClientRecv(*c, lpData, *lpLen, lk);
    }
    void OnSocketSend(int, SOCKET, U u1, U, U, U uiQueued) override {
        auto [c, lk] = Enter(u1, "OnSocketSend");
        if (!c || c->closed || uiQueued) return;
        if (!kSrv && c->ending && !c->shut) Op(*c, [c] { ShutWhenFlushed(*c); });
        if (const U uiNext = kSrv ? std::exchange(c->deferred, 0) : 0) lk.unlock(), g_srv->SetNoticeLen(c->s, uiNext);
    }
    void OnSocketClose(int nError, SOCKET, int, U u1, U) override {
        auto [c, lk] = Enter(u1, "OnSocketClose", true);
        if (!c) return;
        if (kSrv) return lk.unlock(), void(Close(*c));
        const bool bOrderly = !nError && c->shut && !c->bad && c->outPos == c->out.size();
        if (!c->closing && !c->bad && !bOrderly)
            Fault("conn %u: closed with error %d, %shalf-closed, %llu bytes echoed, %llu owed", c->id, nError,
                  c->shut ? "" : "not ", c->back, c->out.size() - c->outPos);
        g_n[kVerified] += !c->closing && bOrderly;
        c->ended = true;
    }
    void OnSocketRecvFrom(int, SOCKET, const char*, int, sockaddr_in*, U, U) override { Odd(); }
    void OnSocketRecvIdle(int, SOCKET, U, U) override { Odd(); }
    void OnSocketSendIdle(int, SOCKET, U, U) override { Odd(); }
    void OnDnsParse(const char*, U) override { Odd(); }
    void OnSocketTimer(SOCKET, U, U, U, U) override { Odd(); }
    void OnSocketProxy(int, SOCKET, sockaddr_in*, U, U) override { Odd(); }
    U OnSocketReserved(U, U, U, U, U, U, U, U, U) override { return Odd(), 0; }
    void Odd() { ++g_n[kEvents], Fault("an event nothing asked for on the %s", kSide); }

    // The connection an event is about, locked. An event another thread decided
    // on just before a close may reach the sink just after it (no engine holds a
    // lock across a sink call): once per thread, never on the one that closed.
    static std::pair<Conn*, Lock> Enter(U id, const char* lpszEvent, bool bClose = false) {
        ++g_n[kEvents];
        Conn* c = Get(id);
        if (!c || (c->role == kServer) != kSrv)
            return Fault("%s on the %s for unknown connection %u", lpszEvent, kSide, id), std::pair(nullptr, Lock());
        Lock lk(c->m);
        const std::thread::id me = std::this_thread::get_id();
        const bool bAfter = c->closed || c->closeEvent, bAgain = bAfter && std::ranges::count(c->after, me);
        if (bAgain) Fault("conn %u: %s after %s", c->id, lpszEvent, c->closeEvent ? "OnSocketClose" : "CloseSocket");
        if (bClose && std::exchange(c->closeEvent, true)) Fault("conn %u: OnSocketClose twice", c->id);
        if (bAfter || bClose) c->after.push_back(me);
        g_n[kRaced] += bAfter && !bAgain;
        return {c, std::move(lk)};
    }
};
Sink<true> g_srvSink;
Sink<false> g_cliSink;

ISocketMgr* StartManager(ISocketMgrSink* lpSink) {
    ISocketMgr* lpMgr = vxCreateInstance(g_lpszEngine);
    return lpMgr && (lpMgr->SetSink(lpSink), lpMgr->Start(0, 0, 0, 0)) ? lpMgr : nullptr;
}

std::vector<Conn*> g_active;  // changed only while the host threads wait at the barrier
std::atomic<bool> g_stop;
Clock::time_point g_deadline;
char g_szMode[256];  // the mode's part of the summary

void HostOp(Conn& c, Rng& r) {
    const U p = Below(r, 1000);
    if (c.role == kRaw) return void(g_n[kCloses] += p < 20 && Close(c, true));
    if (p < 712) return ClientOp(c, r, p < 550 ? kSend : p < 700 ? kNotice : kEnd);
    if (p < 720 || (p < 728 && !g_bRaces)) return void(g_n[kCloses] += Close(c));
    if (p >= 728) return;
    // Two threads on one socket at once: a close against a Send or SetNoticeLen.
    std::atomic<int> ready{0};
    auto meet = [&ready] { for (++ready; ready < 2;) std::this_thread::yield(); };
    std::jthread t([&, r2 = Rng(r())]() mutable { meet(), ClientOp(c, r2, Chance(r2, 500) ? kSend : kNotice); });
    meet();
    for (U i = Below(r, 20000); i > 0; --i) std::atomic_signal_fence(std::memory_order_seq_cst);
    g_n[kCloses] += Close(c);
}

// Between rounds: closes what has ended, opens replacements, waits for them.
void Replenish() noexcept {
    static Rng r(g_seed ^ 0x5eed);
    std::erase_if(g_active, [](Conn* c) { return (c->ended && Close(*c)) || c->closing; });
    while (g_active.size() < size_t(g_nConns)) g_active.push_back(Open(r));
    if (!PollUntil([] { return g_pending <= 0; }, 10000)) Fault("new connections not connected and accepted in 10 s");
    g_stop = Clock::now() >= g_deadline;
}

void RunSoak() {
    g_deadline = Clock::now() + std::chrono::seconds(g_nSeconds);
    Replenish();
    std::barrier<void (*)() noexcept> round(g_nThreads, &Replenish);
    std::vector<std::jthread> hosts;
    for (int t = 0; t < g_nThreads; ++t)
        hosts.emplace_back([&round, t] {
            for (Rng r(g_seed + 7919u * u64(t + 1)); !g_stop; round.arrive_and_wait())
                for (auto end = Clock::now() + std::chrono::milliseconds(25); Clock::now() < end;) {
                    HostOp(*g_active[Below(r, g_active.size())], r);
                    std::this_thread::sleep_for(std::chrono::microseconds(Below(r, 2000)));  // pacing
                }
        });
    std::snprintf(g_szMode, sizeof g_szMode, "seconds=%d conns=%d%s%s", g_nSeconds, g_nConns,
                  g_bRaces ? "" : " no-same-socket-races", g_bShutAfterSend ? "" : " no-shutdown-after-send");
}

// --concurrent: a child opens n connections, one 8-byte frame each, and reads the echoes up
// to the first not whole; with all open, the server's threads and memory; then it ends.
void RunConcurrent(int nTask0) {
    rlimit rl{};  // one end of every connection here, and a few engine handles per group of sockets
    getrlimit(RLIMIT_NOFILE, &rl);
    const rlim_t need = rlim_t(g_nConcurrent) * 17 / 16 + 256;
    if (rl.rlim_max < need)
        std::printf("vx_soak: RLIMIT_NOFILE hard limit %llu: %d connections\n", u64(rl.rlim_max),
                    g_nConcurrent = int((rl.rlim_max - 256) * 16 / 17));
    rl.rlim_cur = std::min(need, rl.rlim_max), setrlimit(RLIMIT_NOFILE, &rl);
    auto rss = [] { rusage u{}; getrusage(RUSAGE_SELF, &u); return u.ru_maxrss; };  // peak KiB: nothing shrinks before
    const long lRss0 = rss();
    int fds[2] = {-1, -1}, n = 0, nWhole = 0;
    const pid_t pid = pipe(fds) ? -1 : fork();
    if (pid == 0) {  // only raw sockets here: the engine's threads stay in the parent
        auto frame = [](size_t i) { return std::string{4, 0, 0, 0, char(i), char(i >> 8), char(i >> 16), 0}; };
        std::vector<vxtest::RawSocket> socks(g_nConcurrent);
        while (n < g_nConcurrent && (socks[n] = vxtest::RawSocket::TcpConnect(g_wPort)).SendAll(frame(n))) ++n;
        for (std::string e; nWhole < n && socks[nWhole].RecvExact(e, 8, 10000) && e == frame(nWhole);)
            e.clear(), ++nWhole;
        _exit(write(fds[1], &nWhole, 4) == 4 ? pause() : 1);  // until killed
    }
    if (close(fds[1]); pid < 0 || read(fds[0], &nWhole, 4) != 4) Fault("the client process did not start");
    if (nWhole < g_nConcurrent) Fault("%d of %d connections echoed their message", nWhole, g_nConcurrent);
    const long lRss = rss() - lRss0;
    std::snprintf(g_szMode, sizeof g_szMode, "concurrent=%d echoed=%d threads=+%d rss=+%ld KiB (%ld B per connection)",
                  g_nConcurrent, nWhole, vxtest::ProcessThreadCount() - nTask0, lRss, lRss * 1024 / g_nConcurrent);
    if (pid < 0 || kill(pid, SIGKILL) != 0 || waitpid(pid, nullptr, 0) != pid) Fault("the client process is lost");
    close(fds[0]);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        int* lpNumber = a == "--conns" ? &g_nConns : a == "--seconds" ? &g_nSeconds : a == "--threads" ? &g_nThreads
                      : a == "--concurrent" ? &g_nConcurrent : nullptr;
        if (a == "--no-same-socket-races") g_bRaces = false;
        else if (a == "--no-shutdown-after-send") g_bShutAfterSend = false;
        else if (lpNumber && argv[i + 1]) *lpNumber = std::max(1, std::atoi(argv[++i]));
        else if (a == "--seed" && argv[i + 1]) g_seed = std::strtoull(argv[++i], nullptr, 0);
        else if (a == "--engine" && argv[i + 1]) g_lpszEngine = argv[++i];
        else return std::printf("usage: vx_soak [--engine NAME] [--conns N] [--seconds S] [--threads T] [--seed X]\n"
                                "         [--no-same-socket-races] [--no-shutdown-after-send] | [--concurrent N]\n"), 2;
    }
    if (!g_seed) g_seed = u64(Clock::now().time_since_epoch().count());
    std::signal(SIGALRM, [](int) {
        static const char msg[] = "vx_soak: watchdog: the run overran its time by 60 s; aborting\n";
        (void)!write(STDOUT_FILENO, msg, sizeof msg - 1), abort();
    });
    alarm(unsigned(g_nSeconds + 60));
    // Some runtimes (TSan) start a helper thread with the first thread: baseline.
    std::thread([] {}).join();
    vxInitialize();
    const int nFd0 = Descriptors(), nTask0 = vxtest::ProcessThreadCount();
    g_srv = StartManager(&g_srvSink), g_cli = g_nConcurrent || !g_srv ? nullptr : StartManager(&g_cliSink);
    const SOCKET sListen =
        g_srv && (g_cli || g_nConcurrent) ? g_srv->CreateTcpSocket(nullptr, "127.0.0.1", 0, 0, 0) : INVALID_SOCKET;
    if (sListen == INVALID_SOCKET || !g_srv->Listen(sListen, 4096) || !(g_wPort = vxtest::LocalPortOf(sListen)))
        return std::printf("vx_soak: cannot start %s\n", g_lpszEngine), 1;
    g_nConcurrent ? RunConcurrent(nTask0) : RunSoak();

    // Drain: every connection left ends in order and must echo in full.
    for (Conn* c : g_active) c->role == kRaw ? void(Close(*c)) : ClientOp(*c, t_rng, kEnd);
    auto open = [](Conn* c) { return c->role == kClient && !c->ended && !c->closing; };
    if (!PollUntil([&] { return g_serverOpen == 0 && std::ranges::none_of(g_active, open); }, 30000))
        Fault("%d clients and %lld server sockets still open 30 s after the drain began",
              int(std::ranges::count_if(g_active, open)), g_serverOpen.load());
    if (g_serverOpen > 0) {
        // Engine threads may still add connections and close them meanwhile.
        Lock reg(g_regMu);
        for (Conn& c : g_reg)
            if (Lock lk(c.m); c.role == kServer && !c.closed)
                std::printf("vx_soak: server conn %u (socket %u) still open\n", c.id, unsigned(c.s));
    }
    for (Conn* c : g_active) Close(*c);

    // What is left over the baseline leaked; threads get a bounded while to end.
    g_srv->CloseSocket(sListen);
    for (ISocketMgr* m : {g_cli, g_srv}) {
        if (m && !m->Stop(2000)) Fault("Stop failed");
        if (m) vxDestroyInstance(m);
    }
    PollUntil([&] { return vxtest::ProcessThreadCount() <= nTask0; }, 5000);
    const int nFdLeak = Descriptors() - nFd0, nThreadLeak = vxtest::ProcessThreadCount() - nTask0;
    if (nFdLeak || nThreadLeak) Fault("%d descriptors and %d threads over the baseline", nFdLeak, nThreadLeak);
    std::printf("vx_soak: engine=%s %s seed=%llu", g_lpszEngine, g_szMode, g_seed);
    for (int k = g_nConcurrent ? kEvents : 0; k < kCounts; ++k) std::printf(" %s=%llu", kCountNames[k], g_n[k].load());
    std::printf(" fd-leak=%d thread-leak=%d faults=%d verdict=%s\n", nFdLeak, nThreadLeak, g_faults.load(),
                g_faults ? "FAIL" : "PASS");
    vxUninitialize();
    return g_faults ? 1 : 0;
}
