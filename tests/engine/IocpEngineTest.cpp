// What only the completion-port engine promises: its worker threads, one
// datagram per SetNoticeLen, the connect window's handling of sockets closed
// while they connect, and closes and Stops with operations in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "ProcessThreads.h"

using namespace vxtest;

class IocpEngine : public EngineTest {
public:
    // An engine listener whose accepted sockets echo whatever they get.
    void ListenEchoing(SOCKET* lpS, uint16_t* lpPort) {
        ASSERT_NO_FATAL_FAILURE(ListenOnEngine(lpS, lpPort));
        ISocketMgr* lpMgr = m_lpMgr;
        m_sink.SetHook(Ev::Accept, [lpMgr](SinkEvent& ev) { lpMgr->SetNoticeLen(ev.sNew, 1); });
        m_sink.SetHook(Ev::Recv, [lpMgr](SinkEvent& ev) {
            lpMgr->Send(ev.s, ev.data.data(), uint32_t(ev.data.size()), 0, nullptr);
            lpMgr->SetNoticeLen(ev.s, 1);
        });
    }
};

INSTANTIATE_TEST_SUITE_P(Iocp, IocpEngine, testing::Values(EngineTraits{"IIocpSocketMgr1.0", 10061}),
                         EngineParamName);

TEST_P(IocpEngine, StartsTheWorkersAskedForAndProcessorsPlusOneByDefault) {
    if (ProcessThreadCount("vxnet-iocp") < 0) GTEST_SKIP() << "the thread count of the process is not known here";
    auto workersBecome = [](int n) { return PollUntil([n] { return ProcessThreadCount("vxnet-iocp") == n; }, 5000); };
    const int nDefault = ProcessThreadCount("vxnet-iocp");
    EXPECT_GE(nDefault, 2);
    ASSERT_TRUE(StopEngine());
    EXPECT_TRUE(workersBecome(0));
    ASSERT_TRUE(m_lpMgr->Start(0, 3, 0, 0));
    EXPECT_TRUE(workersBecome(3));
    ASSERT_TRUE(m_lpMgr->Stop(2000));
    EXPECT_TRUE(workersBecome(0));
}

// Each request arms exactly one datagram receive.
TEST_P(IocpEngine, EachSetNoticeLenReceivesOneDatagramAndPlainSocketsSendDirectOnly) {
    SOCKET u = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 7, 8);
    ASSERT_NE(INVALID_SOCKET, u);
    RawSocket raw = RawSocket::Udp();
    size_t from = Mark();
    ASSERT_TRUE(raw.SendTo(LocalPortOf(u), "one") == 3 && raw.SendTo(LocalPortOf(u), "two") == 3);
    ASSERT_NO_FATAL_FAILURE(ExpectQuiet(u, from, 0));
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    auto first = m_sink.Wait(Is(Ev::RecvFrom, u), kWaitMs, from);
    ASSERT_TRUE(first);
    EXPECT_EQ("one", first->data);
    ASSERT_NO_FATAL_FAILURE(ExpectQuiet(u, from, 1));
    size_t mark = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    auto second = m_sink.Wait(Is(Ev::RecvFrom, u), kWaitMs, mark);
    ASSERT_TRUE(second);
    EXPECT_EQ("two", second->data);
    // Through a relay it has not got: refused, not sent directly.
    sockaddr_in to = Loopback(raw.LocalPort());
    EXPECT_EQ(-1, m_lpMgr->SendToAddr(u, &to, "x", 1, false));
    EXPECT_EQ(1, m_lpMgr->SendToAddr(u, &to, "x", 1, true));
}

// A socket closed while it connects, and a new socket that takes its handle
// (at once, on Linux): the old connect's notification never reaches the new
// socket, and nothing is reported for the closed one.
TEST_P(IocpEngine, ConnectNotificationsOfAClosedSocketNeverReachItsSuccessor) {
    RawSocket listener = RawSocket::TcpListener();
    std::vector<RawSocket> accepted;
    size_t from = Mark();
    for (uint32_t i = 0; i < 200; ++i) {
        SOCKET old = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0xD0000 + i, 0);
        ASSERT_TRUE(old != INVALID_SOCKET && m_lpMgr->Connect(old, "127.0.0.1", listener.LocalPort()));
        ASSERT_TRUE(m_lpMgr->CloseSocket(old));
        SOCKET next = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0xE0000 + i, 0);
        ASSERT_NE(INVALID_SOCKET, next);
        ASSERT_TRUE(m_lpMgr->CloseSocket(next));
        while (true) {
            RawSocket c = listener.Accept(0);
            if (!c.IsValid()) break;
            accepted.push_back(std::move(c));
        }
    }
    ASSERT_NO_FATAL_FAILURE(Settle());
    // An old socket may have heard of its connect before it was closed;
    // its successors, which never connected, hear nothing, and no failure
    // is reported for anyone.
    auto wrong = [](const SinkEvent& e) { return (e.u1 >> 16) == 0xE || e.kind == Ev::Close; };
    EXPECT_EQ(0u, m_sink.Count(wrong, from)) << DescribeAll(m_sink.Matching(wrong, from));
}

// Host threads close streaming sockets while their receives and sends are in
// flight: no failure is reported for a socket its owner closed (its user
// words tell it from a successor with the same handle), nothing crashes or
// leaks.
TEST_P(IocpEngine, ClosesWithOperationsInFlightStaySilent) {
    SOCKET sListen;
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenEchoing(&sListen, &wPort));
    ISocketMgr* lpMgr = m_lpMgr;
    constexpr int kThreads = 4, kRounds = 60;
    std::vector<std::thread> threads;
    const std::string payload(48 * 1024, 'z');
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t r = 1; r <= kRounds; ++r) {
                SOCKET s = lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0x100000u * uint32_t(t + 1) + r, 0xF00D);
                if (s == INVALID_SOCKET || !lpMgr->Connect(s, "127.0.0.1", wPort)) continue;
                PollUntil([&] { return lpMgr->Send(s, payload.data(), uint32_t(payload.size()), 0, nullptr); }, 2000);
                lpMgr->SetNoticeLen(s, 1);
                if (r % 3 == 0) std::this_thread::yield();
                lpMgr->CloseSocket(s);
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_NO_FATAL_FAILURE(Settle());
    // The clients were closed by their owner while their peers were alive:
    // nothing may report a failure of theirs.
    EXPECT_EQ(0u, m_sink.Count([](const SinkEvent& e) { return e.u2 == 0xF00D && e.kind == Ev::Close; }, 0));
    EXPECT_TRUE(StopEngine());
}

// Stop while data streams both ways: the workers end, every operation is
// accounted for, and the manager starts again.
TEST_P(IocpEngine, StopWithCompletionsInFlightThenStartAgain) {
    SOCKET sListen;
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenEchoing(&sListen, &wPort));
    std::vector<SOCKET> clients;
    const std::string payload(32 * 1024, 'q');
    for (int i = 0; i < 16; ++i) {
        size_t from = Mark();
        SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 1, 2);
        ASSERT_TRUE(s != INVALID_SOCKET && m_lpMgr->Connect(s, "127.0.0.1", wPort));
        ASSERT_TRUE(ExpectEvent(Ev::Connect, s, from, 0, 1, 2));
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 1));
        for (int k = 0; k < 4; ++k) ASSERT_TRUE(m_lpMgr->Send(s, payload.data(), uint32_t(payload.size()), 0, nullptr));
        clients.push_back(s);
    }
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv), 32, kWaitMs));
    ASSERT_TRUE(m_lpMgr->Stop(2000));
    const size_t after = Mark();
    ASSERT_TRUE(m_lpMgr->Start(0, 2, 0, 0));
    EXPECT_EQ(0u, m_sink.Count([](const SinkEvent& e) { return e.kind != Ev::Timer; }, after));
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    ASSERT_TRUE(peer.SendAll("again"));
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "again"));
}
