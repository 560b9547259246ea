// Completion ports: the same cases run against the real port under Wine and
// against the epoll proactor on Linux.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <fstream>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PfCompletionPort.h"
#include "PfError.h"
#include "PfSelect.h"
#include "PfSocket.h"
#include "PfSync.h"

namespace {

constexpr uint32_t kWaitMs = 10000;
constexpr uintptr_t kStopKey = 0xFFFFFFFF;

struct Packet {
    pf::PortResult eResult = pf::kPortTimeout;
    uint32_t uiBytes = 0;
    uintptr_t uKey = 0;
    pf::Overlapped* lpOv = nullptr;
    int nError = 0;
};

bool SameAddr(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// What a close under an operation gives. Linux: ERROR_OPERATION_ABORTED.
// Windows has reported ERROR_OPERATION_ABORTED, ERROR_CONNECTION_ABORTED or
// ERROR_NETNAME_DELETED depending on the version, Wine ERROR_HANDLES_CLOSED.
bool IsCloseError(int nError) {
#ifdef _WIN32
    return nError == pf::kErrOperationAborted || nError == pf::kErrConnectionAborted ||
           nError == pf::kErrNetnameDeleted || nError == 676;
#else
    return nError == pf::kErrOperationAborted;
#endif
}

bool Readable(SOCKET s) {
    pf::SocketSet set{1, {s}};
    return pf::Select(&set, nullptr, nullptr, kWaitMs) == 1;
}

#ifdef _WIN32
int ThreadId() { return 1; }
bool WaitUntilAsleep(const std::atomic<int>&) { return true; }
#else
int ThreadId() { return int(syscall(SYS_gettid)); }

// Waits until the thread has started and sleeps in the kernel (inside
// PortGet, for the callers here), so that what comes next must wake it.
bool WaitUntilAsleep(const std::atomic<int>& rTid) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (std::chrono::steady_clock::now() < tEnd) {
        std::string line;
        if (int tid = rTid.load()) std::getline(std::ifstream("/proc/self/task/" + std::to_string(tid) + "/stat"), line);
        size_t i = line.rfind(')');
        if (i != std::string::npos && i + 2 < line.size() && line[i + 2] == 'S') return true;
        std::this_thread::yield();
    }
    return false;
}
#endif

class PfPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, pf::SocketStartup());
        m_hPort = pf::PortCreate();
        ASSERT_NE(nullptr, m_hPort);
    }
    void TearDown() override {
        for (SOCKET s : m_vecOpen) pf::CloseSocket(s);
        if (m_hPort) pf::PortClose(m_hPort);
        pf::SocketCleanup();
    }

    SOCKET Open(pf::SocketType eType, sockaddr_in* lpAddr = nullptr) {
        SOCKET s = pf::SocketOpen(eType);
        m_vecOpen.push_back(s);
        sockaddr_in a = pf::MakeSockAddr(pf::InetAddr("127.0.0.1"), 0);
        EXPECT_TRUE(s != INVALID_SOCKET && (!lpAddr || (pf::Bind(s, &a) && pf::GetSockName(s, lpAddr))));
        return s;
    }
    void Forget(SOCKET s) {
        for (SOCKET& o : m_vecOpen)
            if (o == s) o = INVALID_SOCKET;
    }
    // A connected pair; the server end is associated with the port under uKey.
    void Pair(SOCKET* lpClient, SOCKET* lpServer, uintptr_t uKey) {
        sockaddr_in addr{};
        if (m_listener == INVALID_SOCKET) {
            m_listener = Open(pf::kSocketTcp, &addr);
            ASSERT_TRUE(pf::Listen(m_listener, 64));
        }
        ASSERT_TRUE(pf::GetSockName(m_listener, &addr));
        *lpClient = Open(pf::kSocketTcp);
        ASSERT_TRUE(pf::Connect(*lpClient, &addr)) << pf::GetLastError();
        *lpServer = pf::Accept(m_listener, nullptr);
        ASSERT_NE(INVALID_SOCKET, *lpServer);
        m_vecOpen.push_back(*lpServer);
        ASSERT_TRUE(pf::PortAssociate(m_hPort, *lpServer, uKey)) << pf::GetLastError();
    }

    Packet Get(uint32_t uiMs = kWaitMs) {
        Packet p;
        p.eResult = pf::PortGet(m_hPort, &p.uiBytes, &p.uKey, &p.lpOv, &p.nError, uiMs);
        return p;
    }
    // The next packet is lpOv's: its error (0 for success) and *lpBytes.
    int Expect(pf::Overlapped* lpOv, uint32_t* lpBytes = nullptr, uintptr_t uKey = 0) {
        Packet p = Get();
        EXPECT_NE(pf::kPortTimeout, p.eResult);
        EXPECT_EQ(lpOv, p.lpOv);
        if (uKey) {
            EXPECT_EQ(uKey, p.uKey);
        }
        if (lpBytes) *lpBytes = p.uiBytes;
        EXPECT_EQ(p.eResult == pf::kPortFailed, p.nError != 0);
        return p.eResult == pf::kPortOk ? 0 : p.nError;
    }
    // Nothing else is queued: a post comes out next.
    void ExpectNothingQueued() {
        ASSERT_TRUE(pf::PortPost(m_hPort, 7, 77, nullptr));
        Packet p = Get();
        EXPECT_TRUE(p.eResult == pf::kPortOk && p.uKey == 77 && p.uiBytes == 7 && !p.lpOv) << p.uKey;
    }

    pf::CompletionPort m_hPort = nullptr;
    SOCKET m_listener = INVALID_SOCKET;
    std::vector<SOCKET> m_vecOpen;
};

TEST_F(PfPort, StreamReceivesSendsAndSeesTheEndOrTheResetOfTheConnection) {
    SOCKET client, server;
    ASSERT_NO_FATAL_FAILURE(Pair(&client, &server, 11));
    pf::Overlapped ovRecv, ovSend;
    char buf[64] = {};
    uint32_t uiBytes = 0;
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    ASSERT_EQ(5, pf::Send(client, "hello", 5));
    EXPECT_EQ(0, Expect(&ovRecv, &uiBytes, 11));
    EXPECT_EQ("hello", std::string(buf, uiBytes));

    // Already there when started: still one packet.
    ASSERT_EQ(3, pf::Send(client, "abc", 3));
    ASSERT_TRUE(Readable(server));
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    EXPECT_EQ(0, Expect(&ovRecv, &uiBytes, 11));
    EXPECT_EQ("abc", std::string(buf, uiBytes));
    ExpectNothingQueued();

    ASSERT_TRUE(pf::StartSend(server, &ovSend, "world", 5));
    EXPECT_EQ(0, Expect(&ovSend, &uiBytes, 11));
    EXPECT_EQ(5u, uiBytes);
    ASSERT_EQ(5, pf::Recv(client, buf, sizeof buf));

    // The peer's graceful close: 0 bytes, no error, again for a later receive.
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    ASSERT_TRUE(pf::Shutdown(client, pf::kShutSend));
    EXPECT_EQ(0, Expect(&ovRecv, &uiBytes));
    EXPECT_EQ(0u, uiBytes);
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    EXPECT_EQ(0, Expect(&ovRecv, &uiBytes));
    EXPECT_EQ(0u, uiBytes);

    // Bytes and the end arrive while no receive waits, and the port looks at
    // the socket meanwhile: the first receive takes the bytes (fewer than it
    // asked for), the next one must still see the end.
    ASSERT_NO_FATAL_FAILURE(Pair(&client, &server, 14));
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    ASSERT_EQ(1, pf::Send(client, "x", 1));
    EXPECT_EQ(0, Expect(&ovRecv, &uiBytes, 14));
    ASSERT_TRUE(pf::Send(client, "tail", 4) == 4 && pf::Shutdown(client, pf::kShutSend) && Readable(server));
    EXPECT_EQ(pf::kPortTimeout, Get(50).eResult);
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    EXPECT_EQ(0, Expect(&ovRecv, &uiBytes, 14));
    EXPECT_EQ("tail", std::string(buf, uiBytes));
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    EXPECT_EQ(0, Expect(&ovRecv, &uiBytes, 14));
    EXPECT_EQ(0u, uiBytes);

    // A reset (a close with unread data) fails the receive.
    ASSERT_NO_FATAL_FAILURE(Pair(&client, &server, 12));
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    ASSERT_TRUE(pf::Send(server, "unread", 6) == 6 && Readable(client));
    ASSERT_TRUE(pf::CloseSocket(client));
    Forget(client);
    EXPECT_EQ(pf::kErrNetnameDeleted, Expect(&ovRecv, nullptr, 12));
}

TEST_F(PfPort, LargeSendCompletesOnceWithEveryByteBesideAReceive) {
    SOCKET client, server;
    ASSERT_NO_FATAL_FAILURE(Pair(&client, &server, 13));
    std::vector<char> data(6 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + (i >> 13));
    pf::Overlapped ovSend, ovRecv;
    char reply[8];
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, reply, sizeof reply));
    ASSERT_TRUE(pf::StartSend(server, &ovSend, data.data(), uint32_t(data.size())));
    std::vector<char> got;
    std::thread reader([&] {
        std::vector<char> chunk(65536);
        int n;
        while (got.size() < data.size() && (n = pf::Recv(client, chunk.data(), int(chunk.size()))) > 0)
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        pf::Send(client, "done", 4);
    });
    uint32_t uiBytes = 0;
    EXPECT_EQ(0, Expect(&ovSend, &uiBytes));
    EXPECT_EQ(data.size(), uiBytes);
    EXPECT_EQ(0, Expect(&ovRecv, &uiBytes));
    EXPECT_EQ("done", std::string(reply, uiBytes));
    reader.join();
    EXPECT_TRUE(got == data);
}

TEST_F(PfPort, DatagramsComeWholeWithTheirSenderInOrderAndTruncatedOnesFail) {
    sockaddr_in addrA{}, addrB{};
    SOCKET a = Open(pf::kSocketUdp, &addrA), b = Open(pf::kSocketUdp, &addrB);
    ASSERT_TRUE(pf::DisableUdpConnReset(b) && pf::PortAssociate(m_hPort, b, 21));
    pf::Overlapped ov[3];
    char buf[3][10];
    sockaddr_in from[3] = {};
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(pf::StartRecvFrom(b, &ov[i], buf[i], sizeof buf[i], &from[i]));
    std::string big(100, 'x');
    ASSERT_EQ(3, pf::SendTo(a, "one", 3, &addrB));
    ASSERT_EQ(3, pf::SendTo(a, "two", 3, &addrB));
    ASSERT_EQ(100, pf::SendTo(a, big.data(), 100, &addrB));
    uint32_t uiBytes = 0;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0, Expect(&ov[i], &uiBytes, 21));
        EXPECT_EQ(i ? "two" : "one", std::string(buf[i], uiBytes));
        EXPECT_TRUE(SameAddr(addrA, from[i]));
    }
    EXPECT_EQ(pf::kErrMsgSize, Expect(&ov[2], &uiBytes));
    EXPECT_EQ(10u, uiBytes);
    EXPECT_EQ(std::string(10, 'x'), std::string(buf[2], 10));

    // Waiting when started, and truncated: started, and its packet comes.
    ASSERT_EQ(100, pf::SendTo(a, big.data(), 100, &addrB));
    ASSERT_TRUE(Readable(b));
    ASSERT_TRUE(pf::StartRecvFrom(b, &ov[0], buf[0], sizeof buf[0], &from[0])) << pf::GetLastError();
    EXPECT_EQ(pf::kErrMsgSize, Expect(&ov[0], &uiBytes));
    ExpectNothingQueued();
}

TEST_F(PfPort, AcceptHandsTheConnectionOnTheCallersSocketWithBothAddresses) {
    sockaddr_in addr{}, clientLocal{}, local{}, remote{}, peer{};
    SOCKET listener = Open(pf::kSocketTcp, &addr), sAccept = Open(pf::kSocketTcp), client = Open(pf::kSocketTcp);
    ASSERT_TRUE(pf::Listen(listener, 8) && pf::PortAssociate(m_hPort, listener, 31));
    pf::Overlapped ov;
    char addrBuf[pf::kAcceptAddressBytes];
    ASSERT_TRUE(pf::StartAccept(listener, sAccept, &ov, addrBuf)) << pf::GetLastError();
    ASSERT_TRUE(pf::Connect(client, &addr) && pf::GetSockName(client, &clientLocal));
    uint32_t uiBytes = 1;
    ASSERT_EQ(0, Expect(&ov, &uiBytes, 31));
    EXPECT_EQ(0u, uiBytes);
    pf::AcceptedAddresses(addrBuf, &local, &remote);
    EXPECT_TRUE(SameAddr(addr, local));
    EXPECT_TRUE(SameAddr(clientLocal, remote));
    ASSERT_TRUE(pf::FinishAccept(sAccept, listener)) << pf::GetLastError();
    ASSERT_TRUE(pf::GetPeerName(sAccept, &peer));
    EXPECT_TRUE(SameAddr(clientLocal, peer));
    char buf[4];
    ASSERT_TRUE(pf::Send(sAccept, "hey", 3) == 3 && pf::Recv(client, buf, sizeof buf) == 3);
    // The connection is a socket like another: it can go on a port.
    ASSERT_TRUE(pf::PortAssociate(m_hPort, sAccept, 32));
    ASSERT_TRUE(pf::StartRecv(sAccept, &ov, buf, sizeof buf));
    ASSERT_EQ(2, pf::Send(client, "ok", 2));
    EXPECT_EQ(0, Expect(&ov, &uiBytes, 32));
    EXPECT_EQ(2u, uiBytes);
}

TEST_F(PfPort, PostedPacketsAndCompletionsShareOneQueueInOrder) {
    SOCKET client, server;
    ASSERT_NO_FATAL_FAILURE(Pair(&client, &server, 41));
    pf::Overlapped ovPost, ovRecv;
    char buf[8];
    ASSERT_EQ(1, pf::Send(client, "x", 1));
    ASSERT_TRUE(Readable(server));
    ASSERT_TRUE(pf::PortPost(m_hPort, 1, 1, &ovPost));
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    ASSERT_TRUE(pf::PortPost(m_hPort, 0, kStopKey, nullptr));
    Packet p = Get();
    EXPECT_TRUE(p.eResult == pf::kPortOk && p.lpOv == &ovPost && p.uKey == 1 && p.uiBytes == 1);
    EXPECT_EQ(0, Expect(&ovRecv, nullptr, 41));
    p = Get();
    EXPECT_TRUE(p.eResult == pf::kPortOk && !p.lpOv && p.uKey == kStopKey && p.uiBytes == 0);
    EXPECT_EQ(pf::kPortTimeout, Get(0).eResult);
}

// The errors are the ones Windows gives; nothing of a closed socket reaches
// the socket that takes its number next.
TEST_F(PfPort, ClosingASocketAbortsItsOperations) {
    SOCKET client, server;
    ASSERT_NO_FATAL_FAILURE(Pair(&client, &server, 51));
    sockaddr_in addr{};
    SOCKET listener = Open(pf::kSocketTcp, &addr), sAccept = Open(pf::kSocketTcp), sAccept2 = Open(pf::kSocketTcp);
    ASSERT_TRUE(pf::Listen(listener, 8) && pf::PortAssociate(m_hPort, listener, 52));
    pf::Overlapped ovRecv, ovAccept, ovAccept2;
    char buf[8], addrBuf[pf::kAcceptAddressBytes], addrBuf2[pf::kAcceptAddressBytes];
    ASSERT_TRUE(pf::StartRecv(server, &ovRecv, buf, sizeof buf));
    ASSERT_TRUE(pf::StartAccept(listener, sAccept, &ovAccept, addrBuf));
    ASSERT_TRUE(pf::StartAccept(listener, sAccept2, &ovAccept2, addrBuf2));
    ASSERT_TRUE(pf::CloseSocket(server));
    Forget(server);
    int nError = Expect(&ovRecv, nullptr, 51);
    EXPECT_TRUE(IsCloseError(nError)) << nError;
    // The socket an accept was to fill, then the listener.
    ASSERT_TRUE(pf::CloseSocket(sAccept2));
    Forget(sAccept2);
    EXPECT_EQ(pf::kErrOperationAborted, Expect(&ovAccept2, nullptr, 52));
    ASSERT_TRUE(pf::CloseSocket(listener));
    Forget(listener);
    EXPECT_EQ(pf::kErrOperationAborted, Expect(&ovAccept, nullptr, 52));

    // Linux gives the numbers out again at once: the new sockets' operations
    // wait, and nothing else is queued.
    SOCKET client2, server2;
    ASSERT_NO_FATAL_FAILURE(Pair(&client2, &server2, 53));
    ASSERT_TRUE(pf::StartRecv(server2, &ovRecv, buf, sizeof buf));
    ExpectNothingQueued();
    ASSERT_EQ(2, pf::Send(client2, "hi", 2));
    EXPECT_EQ(0, Expect(&ovRecv, nullptr, 53));
}

TEST_F(PfPort, ClosingThePortWakesEveryWaitingThread) {
#ifdef _WIN32
    // Wine leaves the waiters of a closed port waiting (Windows wakes them);
    // their next call finds the handle closed.
    constexpr uint32_t kSliceMs = 100;
#else
    constexpr uint32_t kSliceMs = pf::kInfinite;
#endif
    std::atomic<int> nClosed{0};
    std::atomic<int> arrTid[3] = {};
    std::vector<std::thread> vecThread;
    for (int i = 0; i < 3; ++i)
        vecThread.emplace_back([&, i] {
            arrTid[i] = ThreadId();
            Packet p;
            pf::PortResult r;
            for (int n = 0; n < 200; ++n)
                if ((r = pf::PortGet(m_hPort, &p.uiBytes, &p.uKey, &p.lpOv, &p.nError, kSliceMs)) != pf::kPortTimeout)
                    break;
            nClosed += r == pf::kPortClosed;
        });
    for (std::atomic<int>& t : arrTid) EXPECT_TRUE(WaitUntilAsleep(t));
    pf::PortClose(m_hPort);
    for (std::thread& t : vecThread) t.join();
    EXPECT_EQ(3, nClosed.load());
    m_hPort = nullptr;
}

// Threads that took a packet and do not come back leave the others to the
// threads still waiting: posted packets, and completions that one wait found
// together. Each thread takes one.
TEST_F(PfPort, EachPacketReachesAWaitingThreadWhileTheTakersStayAway) {
    constexpr int kThreads = 3, kRounds = 20;
    constexpr uintptr_t kKey = 200;
    SOCKET arrClient[kThreads], arrServer[kThreads];
    for (int i = 0; i < kThreads; ++i) ASSERT_NO_FATAL_FAILURE(Pair(&arrClient[i], &arrServer[i], kKey + i));
    pf::Overlapped arrOv[kThreads];
    char arrBuf[kThreads][8];
    for (int nRound = 0; nRound < kRounds; ++nRound) {
        const bool bPosted = nRound % 2 == 0;
        if (!bPosted) {
            for (int i = 0; i < kThreads; ++i)
                ASSERT_TRUE(pf::StartRecv(arrServer[i], &arrOv[i], arrBuf[i], sizeof arrBuf[i]));
        }
        Packet arrGot[kThreads];
        std::atomic<int> arrTid[kThreads] = {}, nGot{0};
        pf::EventHandle hAll = pf::EventCreate(true, false);
        std::vector<std::thread> vecThread;
        for (int i = 0; i < kThreads; ++i)
            vecThread.emplace_back([&, i] {
                arrTid[i] = ThreadId();
                arrGot[i] = Get(pf::kInfinite);
                if (++nGot == kThreads) pf::EventSet(hAll);
            });
        // Once every thread waits: packets queued before would be found
        // without a wake.
        for (std::atomic<int>& t : arrTid) EXPECT_TRUE(WaitUntilAsleep(t));
        for (int i = 0; i < kThreads; ++i) {
            if (bPosted) EXPECT_TRUE(pf::PortPost(m_hPort, 0, kKey + i, nullptr));
            else EXPECT_EQ(1, pf::Send(arrClient[i], "r", 1));
        }
        // A packet left in the queue while a thread waits would never come.
        bool bAll = pf::EventWait(hAll, kWaitMs) == pf::kWaitObject0;
        int nCame = nGot.load();
        for (int i = 0; !bAll && i < kThreads; ++i) pf::PortPost(m_hPort, 0, 0, nullptr);
        for (std::thread& t : vecThread) t.join();
        pf::EventClose(hAll);
        ASSERT_TRUE(bAll) << nCame << " of " << kThreads << " packets came in round " << nRound;
        unsigned uSeen = 0;
        for (const Packet& p : arrGot) {
            EXPECT_EQ(pf::kPortOk, p.eResult);
            if (p.uKey >= kKey && p.uKey < kKey + kThreads) uSeen |= 1u << (p.uKey - kKey);
        }
        ASSERT_EQ((1u << kThreads) - 1, uSeen) << "round " << nRound;
    }
}

#ifndef _WIN32
// Linux needs a descriptor of its own for a moment to accept: with none free
// the accept waits, and is tried again once there is one.
TEST_F(PfPort, AcceptWithoutAFreeDescriptorWaitsForOne) {
    sockaddr_in addr{};
    SOCKET listener = Open(pf::kSocketTcp, &addr), sAccept = Open(pf::kSocketTcp), client = Open(pf::kSocketTcp);
    ASSERT_TRUE(pf::Listen(listener, 8) && pf::PortAssociate(m_hPort, listener, 61));
    pf::Overlapped ov;
    char addrBuf[pf::kAcceptAddressBytes];
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    rlimit low = old;
    low.rlim_cur = rlim_t(client) + 32;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> vecFiller;
    for (int fd; (fd = dup(int(client))) >= 0;) vecFiller.push_back(fd);
    ASSERT_TRUE(pf::Connect(client, &addr));
    ASSERT_TRUE(pf::StartAccept(listener, sAccept, &ov, addrBuf));
    EXPECT_EQ(pf::kPortTimeout, Get(300).eResult);
    for (int fd : vecFiller) close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(0, Expect(&ov, nullptr, 61));
    sockaddr_in peer{}, clientLocal{};
    ASSERT_TRUE(pf::GetPeerName(sAccept, &peer) && pf::GetSockName(client, &clientLocal));
    EXPECT_TRUE(SameAddr(clientLocal, peer));
}
#endif

// Operations are started and their sockets closed while worker threads
// perform and take them: each operation gives exactly one packet.
TEST_F(PfPort, EveryOperationGivesOnePacketWhileSocketsCloseUnderTheWorkers) {
    constexpr int kRounds = 150, kWorkers = 3;
    struct Ctx {
        pf::Overlapped ov;
        char buf[4096];
        std::atomic<int> nPackets{0};
    };
    std::vector<std::unique_ptr<Ctx>> vecCtx;
    std::atomic<int> nStray{0}, nTotal{0}, nExpected{INT32_MAX};
    pf::EventHandle hAllIn = pf::EventCreate(true, false);
    std::vector<std::thread> vecWorker;
    for (int i = 0; i < kWorkers; ++i)
        vecWorker.emplace_back([&] {
            for (;;) {
                Packet p;
                if (pf::PortGet(m_hPort, &p.uiBytes, &p.uKey, &p.lpOv, &p.nError, pf::kInfinite) != pf::kPortOk &&
                    !p.lpOv)
                    return;
                if (!p.lpOv && p.uKey == kStopKey) return;
                if (!p.lpOv) ++nStray;
                else reinterpret_cast<Ctx*>(p.lpOv)->nPackets++;
                if (++nTotal == nExpected.load()) pf::EventSet(hAllIn);
            }
        });
    std::string payload(200000, 'p');
    for (int i = 0; i < kRounds; ++i) {
        SOCKET client, server;
        ASSERT_NO_FATAL_FAILURE(Pair(&client, &server, 100 + i));
        Ctx* lpCtx[3];
        for (Ctx*& c : lpCtx) vecCtx.emplace_back(c = new Ctx);
        ASSERT_TRUE(pf::StartRecv(server, &lpCtx[0]->ov, lpCtx[0]->buf, sizeof lpCtx[0]->buf));
        ASSERT_TRUE(pf::StartSend(server, &lpCtx[1]->ov, payload.data(), uint32_t(payload.size())));
        if (i % 2) {
            ASSERT_EQ(4, pf::Send(client, "data", 4));
        }
        if (!pf::StartRecv(server, &lpCtx[2]->ov, lpCtx[2]->buf, sizeof lpCtx[2]->buf)) {
            lpCtx[2]->nPackets = 1;
            ++nTotal;
        }
        ASSERT_TRUE(pf::CloseSocket(server));
        Forget(server);
        pf::CloseSocket(client);
        Forget(client);
    }
    nExpected = int(vecCtx.size());
    EXPECT_TRUE(nTotal.load() >= nExpected.load() || pf::EventWait(hAllIn, kWaitMs) == pf::kWaitObject0);
    for (int i = 0; i < kWorkers; ++i) ASSERT_TRUE(pf::PortPost(m_hPort, 0, kStopKey, nullptr));
    for (std::thread& t : vecWorker) t.join();
    EXPECT_EQ(0, nStray.load());
    for (auto& c : vecCtx) EXPECT_EQ(1, c->nPackets.load());
    pf::EventClose(hAllIn);
}

}  // namespace
