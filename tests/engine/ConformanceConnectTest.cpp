// Connections: accept and its refusal, connect by address and by name,
// failures reported once, sends that are refused, operations on sockets the
// manager does not know, and the user words.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "EngineFixture.h"

using namespace vxtest;

namespace {

// A name of n characters that is not a dotted address and that no resolver
// can find: one label longer than DNS allows, so no query leaves the host.
std::string UnresolvableName(size_t n) { return std::string(n, 'q'); }

// Holds the manager's name worker inside OnDnsParse (of a ParseDns the test
// posts) until opened, at the latest after the time-out; opens on scope exit.
class NameWorkerGate {
public:
    NameWorkerGate(RecordingSink& sink, int nTimeoutMs) : m_sink(sink), m_open(m_promise.get_future().share()) {
        m_sink.SetHook(Ev::DnsParse, [open = m_open, nTimeoutMs](SinkEvent&) {
            open.wait_for(std::chrono::milliseconds(nTimeoutMs));
        });
    }
    ~NameWorkerGate() {
        Open();
        m_sink.SetHook(Ev::DnsParse, nullptr);
    }
    void Open() { std::call_once(m_once, [this] { m_promise.set_value(); }); }

private:
    RecordingSink& m_sink;
    std::promise<void> m_promise;
    std::shared_future<void> m_open;
    std::once_flag m_once;
};

}  // namespace

TEST_P(Conformance, RefusedConnectionIsClosedUnseenAndAcceptedOnesStartIdle) {
    SOCKET sListen;
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenOnEngine(&sListen, &wPort));
    auto nPreAccepts = std::make_shared<std::atomic<int>>(0);
    m_sink.SetHook(Ev::PreAccept, [nPreAccepts](SinkEvent& ev) { ev.bAccept = (*nPreAccepts)++ > 0; });

    size_t from = Mark();
    RawSocket refused = RawSocket::TcpConnect(wPort);
    ASSERT_TRUE(refused.IsValid());
    EXPECT_TRUE(refused.WaitClosed(kWaitMs)) << "the refused connection was not closed";

    SOCKET s;
    RawSocket client;
    ASSERT_NO_FATAL_FAILURE(AcceptRawClient(sListen, wPort, &s, &client));
    auto pre = m_sink.Matching(Is(Ev::PreAccept), from);
    ASSERT_EQ(2u, pre.size());
    for (const SinkEvent& ev : pre) {
        EXPECT_TRUE(IsLoopback(ev.addr));
        EXPECT_EQ(wPort, PortOf(ev.addr));
        EXPECT_TRUE(IsLoopback(ev.peer));
    }
    EXPECT_EQ(client.LocalPort(), PortOf(pre[1].peer));
    EXPECT_NE(PortOf(pre[0].peer), PortOf(pre[1].peer));

    auto acc = m_sink.Matching(Is(Ev::Accept, sListen), from);
    ASSERT_EQ(1u, acc.size()) << "only the second connection is reported";
    EXPECT_EQ(0, acc[0].nError);
    EXPECT_EQ(sListen, acc[0].s);
    EXPECT_EQ(wPort, PortOf(acc[0].addr));
    EXPECT_TRUE(IsLoopback(acc[0].peer));
    EXPECT_EQ(client.LocalPort(), PortOf(acc[0].peer));

    // The accepted socket has zero user words and reads nothing unasked.
    uint32_t u1 = 9, u2 = 9;
    ASSERT_TRUE(m_lpMgr->GetUserData(s, &u1, &u2));
    EXPECT_EQ(0u, u1);
    EXPECT_EQ(0u, u2);
    ASSERT_TRUE(client.SendAll("hello"));
    ASSERT_TRUE(WaitArrived(s, 5));
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(5, PendingBytes(s));
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Recv, s)));

    ASSERT_TRUE(m_lpMgr->SetUserData1(s, 0x77));
    ASSERT_TRUE(m_lpMgr->SetUserData2(s, 0x88));
    size_t from2 = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 5));
    auto rv = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from2);
    ASSERT_TRUE(rv);
    EXPECT_EQ("hello", rv->data);
    EXPECT_EQ(0x77u, rv->u1);
    EXPECT_EQ(0x88u, rv->u2);

    uint32_t uiQueued = 0xDEAD;
    ASSERT_TRUE(m_lpMgr->Send(s, "world", 5, 0x5E, &uiQueued));
    EXPECT_EQ(0u, uiQueued);
    std::string got;
    ASSERT_TRUE(client.RecvExact(got, 5, kWaitMs));
    EXPECT_EQ("world", got);
    auto sent = m_sink.Wait(Is(Ev::Send, s), kWaitMs, from2);
    ASSERT_TRUE(sent);
    EXPECT_EQ(0, sent->nError);
    EXPECT_EQ(0x5Eu, sent->dwSendFlag);
    EXPECT_EQ(0u, sent->uiQueued);
    EXPECT_EQ(0x77u, sent->u1);
    EXPECT_EQ(0x88u, sent->u2);
    // One send taken whole: one report.
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(1u, m_sink.Count(Is(Ev::Send, s), from2));
}

TEST_P(Conformance, ConnectToAPortNobodyListensOnFailsOnce) {
    uint16_t wPort = UnusedTcpPort();
    ASSERT_NE(0, wPort);
    size_t from = Mark();
    SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0xC1, 0xC2);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", wPort));
    auto ev = m_sink.Wait(Is(Ev::Connect, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(GetParam().nConnectFailError, ev->nError);
    EXPECT_EQ(0xC1u, ev->u1);
    EXPECT_EQ(0xC2u, ev->u2);

    sockaddr_in to = Loopback(wPort);
    SOCKET s2 = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0xC3, 0xC4);
    ASSERT_NE(INVALID_SOCKET, s2);
    ASSERT_TRUE(m_lpMgr->ConnectAddr(s2, &to));
    auto ev2 = m_sink.Wait(Is(Ev::Connect, s2), kWaitMs, from);
    ASSERT_TRUE(ev2);
    EXPECT_EQ(GetParam().nConnectFailError, ev2->nError);

    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(1u, m_sink.Count(About(s), from)) << DescribeAll(m_sink.Events());
    EXPECT_EQ(1u, m_sink.Count(About(s2), from));
    EXPECT_TRUE(m_lpMgr->CloseSocket(s));
    EXPECT_TRUE(m_lpMgr->CloseSocket(s2));
}

TEST_P(Conformance, ConnectByName) {
    RawSocket listener = RawSocket::TcpListener();
    ASSERT_TRUE(listener.IsValid());
    size_t from = Mark();
    SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0x10, 0x20);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(m_lpMgr->Connect(s, "localhost", listener.LocalPort()));
    auto ev = m_sink.Wait(Is(Ev::Connect, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, ev->nError);
    EXPECT_EQ(0x10u, ev->u1);
    EXPECT_EQ(0x20u, ev->u2);
    RawSocket peer = listener.Accept(kWaitMs);
    ASSERT_TRUE(peer.IsValid());

    // Names above 260 characters are refused at once; one of 260 is looked
    // up and its failure reported later.
    SOCKET sLong = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0x30, 0x40);
    ASSERT_NE(INVALID_SOCKET, sLong);
    EXPECT_FALSE(m_lpMgr->Connect(sLong, UnresolvableName(261).c_str(), 80));
    EXPECT_FALSE(m_lpMgr->Connect(sLong, nullptr, 80));
    ASSERT_TRUE(m_lpMgr->Connect(sLong, UnresolvableName(260).c_str(), 80));
    auto evLong = m_sink.Wait(Is(Ev::Connect, sLong), kWaitMs, from);
    ASSERT_TRUE(evLong);
    EXPECT_NE(0, evLong->nError);
    EXPECT_NE(10065, evLong->nError) << "a failed lookup is not the 20 s limit";
    EXPECT_EQ(0x30u, evLong->u1);
    EXPECT_EQ(0x40u, evLong->u2);

    // A socket the manager does not know cannot connect by name.
    RawSocket stranger = RawSocket::Udp();
    EXPECT_FALSE(m_lpMgr->Connect(stranger.Handle(), "localhost", 80));
}

TEST_P(Conformance, SecondConnectByNameWhileOneIsPendingIsRefused) {
    RawSocket listener = RawSocket::TcpListener();
    ASSERT_TRUE(listener.IsValid());
    // The name worker handles its queue in order: holding it inside an
    // OnDnsParse keeps the connect requests queued behind it pending.
    NameWorkerGate gate(m_sink, kWaitMs);
    size_t from = Mark();
    SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 1, 2);
    SOCKET s2 = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 3, 4);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_NE(INVALID_SOCKET, s2);
    ASSERT_TRUE(m_lpMgr->ParseDns("localhost"));
    ASSERT_TRUE(m_lpMgr->Connect(s, "localhost", listener.LocalPort()));
    EXPECT_FALSE(m_lpMgr->Connect(s, "localhost", listener.LocalPort()));
    EXPECT_TRUE(m_lpMgr->Connect(s2, "localhost", listener.LocalPort())) << "the limit is per socket";
    gate.Open();

    auto ev = m_sink.Wait(Is(Ev::Connect, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, ev->nError);
    auto ev2 = m_sink.Wait(Is(Ev::Connect, s2), kWaitMs, from);
    ASSERT_TRUE(ev2);
    EXPECT_EQ(0, ev2->nError);
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(1u, m_sink.Count(Is(Ev::Connect, s), from)) << "the refused request left no trace";
}

// Takes the full 20 s of the limit.
TEST_P(Conformance, ConnectByNameNotDoneWithinTheLimitReportsHostUnreachable) {
    RawSocket listener = RawSocket::TcpListener();
    ASSERT_TRUE(listener.IsValid());
    NameWorkerGate gate(m_sink, 40000);
    SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0x65, 0x66);
    ASSERT_NE(INVALID_SOCKET, s);
    // The host's usual answer: close the socket that could not connect.
    auto nClosed = CloseInside(Ev::Connect, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->ParseDns("localhost"));
    ASSERT_TRUE(m_lpMgr->Connect(s, "localhost", listener.LocalPort()));
    auto ev = m_sink.Wait(Is(Ev::Connect, s), 30000, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(10065, ev->nError);
    EXPECT_EQ(0x65u, ev->u1);
    EXPECT_EQ(0x66u, ev->u2);
    EXPECT_EQ(1, nClosed->load());
    // The late name result finds the socket gone and connects nothing.
    gate.Open();
    ASSERT_TRUE(m_sink.Wait(Is(Ev::DnsParse), kWaitMs, from));
    ExpectQuiet(s, from, 1);
    EXPECT_FALSE(listener.Accept(0).IsValid());
}

TEST_P(Conformance, ParseDnsAnswersThroughTheSink) {
    const std::string strLong = UnresolvableName(260);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->ParseDns("localhost"));
    ASSERT_TRUE(m_lpMgr->ParseDns("127.0.0.2"));
    ASSERT_TRUE(m_lpMgr->ParseDns(strLong.c_str()));
    EXPECT_FALSE(m_lpMgr->ParseDns(UnresolvableName(261).c_str()));
    EXPECT_FALSE(m_lpMgr->ParseDns(nullptr));

    auto byName = [](const std::string& name) {
        return [name](const SinkEvent& e) { return e.kind == Ev::DnsParse && e.data == name; };
    };
    auto local = m_sink.Wait(byName("localhost"), kWaitMs, from);
    ASSERT_TRUE(local);
    EXPECT_EQ(Loopback(0).sin_addr.s_addr, local->dwIp);
    auto dotted = m_sink.Wait(byName("127.0.0.2"), kWaitMs, from);
    ASSERT_TRUE(dotted);
    sockaddr_in two = Loopback(0);
    reinterpret_cast<unsigned char*>(&two.sin_addr.s_addr)[3] = 2;
    EXPECT_EQ(two.sin_addr.s_addr, dotted->dwIp);
    auto unknown = m_sink.Wait(byName(strLong), kWaitMs, from);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(0xFFFFFFFFu, unknown->dwIp);
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(3u, m_sink.Count(Is(Ev::DnsParse), from));
}

TEST_P(Conformance, SendIsRefusedUnlessConnected) {
    const char data[] = "0123456789";
    SOCKET sTcp = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, sTcp);
    EXPECT_FALSE(m_lpMgr->Send(sTcp, data, 10, 0, nullptr));
    SendVBuf one = {data, 0, 10};
    EXPECT_FALSE(m_lpMgr->SendV(sTcp, &one, 1, 0, nullptr));
    SOCKET sListen;
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenOnEngine(&sListen, &wPort));
    EXPECT_FALSE(m_lpMgr->Send(sListen, data, 10, 0, nullptr));
    EXPECT_FALSE(m_lpMgr->Send(m_sClock, data, 10, 0, nullptr));

    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    size_t from = Mark();
    EXPECT_FALSE(m_lpMgr->SendV(s, &one, 0, 0, nullptr));
    SendVBuf empty[2] = {{data, 0, 0}, {data, 0, 0}};
    EXPECT_FALSE(m_lpMgr->SendV(s, empty, 2, 0, nullptr));
    EXPECT_FALSE(m_lpMgr->Send(s, nullptr, 10, 0, nullptr));
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(0u, m_sink.Count(About(s), from)) << "refused sends report nothing";
    EXPECT_EQ(0, PendingBytes(peer.Handle()));
}

TEST_P(Conformance, OperationsOnSocketsTheManagerDoesNotKnowFail) {
    RawSocket stranger = RawSocket::TcpListener();
    ASSERT_TRUE(stranger.IsValid());
    SOCKET x = stranger.Handle();
    uint16_t wPort = stranger.LocalPort();
    sockaddr_in to = Loopback(wPort);
    uint32_t u1 = 0, u2 = 0;
    EXPECT_FALSE(m_lpMgr->ConnectAddr(x, &to));
    EXPECT_FALSE(m_lpMgr->Listen(x, 5));
    EXPECT_FALSE(m_lpMgr->Send(x, "a", 1, 0, nullptr));
    EXPECT_FALSE(m_lpMgr->Shutdown(x, 1));
    EXPECT_FALSE(m_lpMgr->SetUserData1(x, 1));
    EXPECT_FALSE(m_lpMgr->SetUserData2(x, 1));
    EXPECT_FALSE(m_lpMgr->GetUserData(x, &u1, &u2));
    EXPECT_EQ(-1, m_lpMgr->SendTo(x, "127.0.0.1", wPort, "a", 1, false));
    EXPECT_EQ(0u, m_lpMgr->Control(1, x, 1, 0, 0, 0, 0, 0));
    EXPECT_EQ(0u, m_lpMgr->Control(1, INVALID_SOCKET, 1, 0, 0, 0, 0, 0));
    EXPECT_FALSE(m_lpMgr->CloseSocket(INVALID_SOCKET));
    // None of this touched the socket: it still listens.
    EXPECT_EQ(wPort, LocalPortOf(x));
    RawSocket probe = RawSocket::TcpConnect(wPort);
    EXPECT_TRUE(probe.IsValid());
    EXPECT_TRUE(stranger.Accept(kWaitMs).IsValid());
    EXPECT_EQ(0u, m_sink.Count(About(x)));
}

TEST_P(Conformance, EachFailureOfASocketIsReportedOnce) {
    // Orderly close by the peer, then more use of the dead socket.
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer, 0xF1, 0xF2));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 1));
    peer.Close();
    auto ev = m_sink.Wait(Is(Ev::Close, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, ev->nError);
    EXPECT_EQ(SS_CONNECTED, ev->nStatus);
    EXPECT_EQ(0xF1u, ev->u1);
    EXPECT_EQ(0xF2u, ev->u2);
    EXPECT_FALSE(m_lpMgr->SetNoticeLen(s, 1)) << "a socket whose close was reported is not framed any more";
    for (int i = 0; i < 3; ++i) m_lpMgr->Send(s, "late", 4, 0, nullptr);
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(1u, m_sink.Count(Is(Ev::Close, s), from)) << DescribeAll(m_sink.Events());
    EXPECT_TRUE(m_lpMgr->CloseSocket(s));

    // A reset while a read is pending and a large send is queued: the read
    // and the flush both fail, one report.
    SOCKET s2;
    RawSocket peer2;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s2, &peer2, 0xF3, 0xF4));
    std::string big(8 << 20, 'x');
    uint32_t uiQueued = 0;
    ASSERT_TRUE(m_lpMgr->Send(s2, big.data(), static_cast<uint32_t>(big.size()), 0, &uiQueued));
    size_t from2 = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s2, 1));
    peer2.AbortiveClose();
    auto ev2 = m_sink.Wait(Is(Ev::Close, s2), kWaitMs, from2);
    ASSERT_TRUE(ev2);
    // The error is the system's: Linux reports the reset (10054), Wine an
    // orderly end (0). What counts here is that there is one report.
    EXPECT_EQ(SS_CONNECTED, ev2->nStatus);
    EXPECT_EQ(0xF3u, ev2->u1);
    EXPECT_EQ(0xF4u, ev2->u2);
    m_lpMgr->Send(s2, "late", 4, 0, nullptr);
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(1u, m_sink.Count(Is(Ev::Close, s2), from2)) << DescribeAll(m_sink.Events());
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Recv, s2), from2));
}

TEST_P(Conformance, ShutdownEndsOneDirection) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    ASSERT_TRUE(m_lpMgr->Shutdown(s, 1));  // no more sends
    EXPECT_TRUE(peer.WaitClosed(kWaitMs));
    // The other direction still works.
    ASSERT_TRUE(peer.SendAll("z"));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 1));
    auto ev = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ("z", ev->data);

    SOCKET sTcp = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, sTcp);
    EXPECT_FALSE(m_lpMgr->Shutdown(sTcp, 2)) << "nothing to shut down before a connection";
    SOCKET sUdp = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, sUdp);
    EXPECT_TRUE(m_lpMgr->Shutdown(sUdp, 1));
}

TEST_P(Conformance, UserWordsCanBeChangedAndLaterEventsCarryThem) {
    SOCKET s = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0x1001, 0x2002);
    ASSERT_NE(INVALID_SOCKET, s);
    // Changing one word leaves the other.
    ASSERT_TRUE(m_lpMgr->SetUserData1(s, 0xAAAA));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 5, 1, 1234, true));
    auto ev = m_sink.Wait(Is(Ev::Timer, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(0xAAAAu, ev->u1);
    EXPECT_EQ(0x2002u, ev->u2);

    EXPECT_TRUE(m_lpMgr->SetSendBufSize(s, 65536));
    EXPECT_TRUE(m_lpMgr->SetRecvBufSize(s, 65536));
    EXPECT_FALSE(m_lpMgr->SetSendBufSize(INVALID_SOCKET, 65536));
}
