// Closing: from inside each kind of callback (the host's usual reaction),
// and the whole manager with sockets still open, by Stop or by destruction.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "EngineFixture.h"
#include "ScriptedPeer.h"

using namespace vxtest;

// The callback's socket is gone at once and reports nothing more; its peer
// sees the close.
TEST_P(Conformance, CloseInsideEachKindOfCallback) {
    RawSocket listener = RawSocket::TcpListener(), udpPeer = RawSocket::Udp();
    SOCKET sListen;
    uint16_t wListen, wUdp = 0;
    ASSERT_NO_FATAL_FAILURE(ListenOnEngine(&sListen, &wListen));
    ScriptedPeer proxy;  // refuses a SOCKS4 request without user
    ASSERT_TRUE(proxy.Read(9).Write(std::string("\0\x5B\0\0\0\0\0\0", 8)).ExpectClosed().Start());
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS4, "127.0.0.1", proxy.Port(), nullptr, nullptr);

    using Step = std::function<void(SOCKET&, RawSocket&)>;
    Step connected = [&](SOCKET& s, RawSocket& peer) { ConnectToRaw(&s, &peer); };
    Step udp = [&](SOCKET& s, RawSocket&) {
        s = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 1, 2);
        wUdp = LocalPortOf(s);
    };
    const struct {
        Ev kind;
        Step open, provoke;
        std::string strPeerGets = {};
    } cases[] = {
        {Ev::Connect, [&](SOCKET& s, RawSocket&) { s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 1, 2); },
         [&](SOCKET& s, RawSocket& peer) {
             ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", listener.LocalPort()));
             peer = listener.Accept(kWaitMs);
         }},
        {Ev::Accept, [&](SOCKET& s, RawSocket&) { s = sListen; },
         [&](SOCKET&, RawSocket& peer) { ASSERT_TRUE((peer = RawSocket::TcpConnect(wListen)).SendAll("x")); }},
        // The offer includes bytes held since an earlier read.
        {Ev::Recv, connected,
         [&](SOCKET& s, RawSocket& peer) {
             ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4) && peer.SendAll("ab") && WaitEngineRead(s));
             ASSERT_TRUE(peer.SendAll("cdef"));
         }},
        {Ev::Send, connected,
         [&](SOCKET& s, RawSocket&) { ASSERT_TRUE(m_lpMgr->Send(s, "0123456789", 10, 1, nullptr)); }, "0123456789"},
        {Ev::Close, connected,
         [&](SOCKET& s, RawSocket& peer) {
             ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 1));
             peer.Close();
         }},
        {Ev::Proxy, [&](SOCKET& s, RawSocket&) { s = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 1, 2); },
         [&](SOCKET& s, RawSocket&) { ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", 4321)); }},
        // A second datagram waits behind the first.
        {Ev::RecvFrom, udp,
         [&](SOCKET& s, RawSocket&) {
             ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 1));
             ASSERT_TRUE(udpPeer.SendTo(wUdp, "one") == 3 && udpPeer.SendTo(wUdp, "two") == 3);
         }},
        // Repeating, so a timer that survives its socket would show again.
        {Ev::Timer, udp, [&](SOCKET& s, RawSocket&) { ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 2, 50, 50, false)); }},
        {Ev::SendIdle, udp, [&](SOCKET& s, RawSocket&) { ASSERT_TRUE(m_lpMgr->SetSendIdleTimer(s, 50)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        SOCKET s = INVALID_SOCKET;
        RawSocket peer;
        wUdp = 0;
        ASSERT_NO_FATAL_FAILURE(c.open(s, peer));
        ASSERT_NE(INVALID_SOCKET, s);
        auto nClosed = CloseInside(c.kind, s);
        size_t from = Mark();
        ASSERT_NO_FATAL_FAILURE(c.provoke(s, peer));
        auto ev = m_sink.Wait(Is(c.kind, s), kWaitMs, from);
        ASSERT_TRUE(ev);
        EXPECT_EQ(1, nClosed->load());
        std::string got;
        EXPECT_TRUE(!peer.IsValid() || peer.WaitClosed(kWaitMs, &got));
        EXPECT_EQ(c.strPeerGets, got);
        ExpectQuiet(c.kind == Ev::Accept ? ev->sNew : s, from, 1);
        // The port is free again: the socket was really closed.
        EXPECT_TRUE(!wUdp || RawSocket::Udp(wUdp).IsValid());
    }
    EXPECT_EQ("", proxy.Outcome()) << "the refused proxy connection was not closed";
    // The listener goes on accepting.
    SOCKET s;
    RawSocket client;
    ASSERT_NO_FATAL_FAILURE(AcceptRawClient(sListen, wListen, &s, &client));
}

namespace {

// Sockets in every state with work pending (a queued send the peer does not
// read, a notice, timers) are all closed by `end`, none of them reported.
void ExpectEverySocketClosedBy(EngineTest& t, const std::function<void()>& end) {
    ISocketMgr* lpMgr = t.m_lpMgr;
    SOCKET sListen, sClient, sAccepted;
    uint16_t wListen;
    RawSocket peer, client;
    ASSERT_NO_FATAL_FAILURE(t.ListenOnEngine(&sListen, &wListen));
    ASSERT_NO_FATAL_FAILURE(t.ConnectToRaw(&sClient, &peer));
    ASSERT_NO_FATAL_FAILURE(t.AcceptRawClient(sListen, wListen, &sAccepted, &client));
    SOCKET sUdp = lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 5, 6);
    uint16_t wUdp = LocalPortOf(sUdp);
    std::string big(8 << 20, 'q');
    ASSERT_TRUE(lpMgr->Send(sClient, big.data(), static_cast<uint32_t>(big.size()), 0, nullptr) &&
                lpMgr->SetNoticeLen(sAccepted, 100) && lpMgr->SetNoticeLen(sUdp, 1) &&
                lpMgr->SetEventTimer(sUdp, 1, 5, 5, false) && lpMgr->SetRecvIdleTimer(sAccepted, 5));
    ASSERT_NO_FATAL_FAILURE(end());
    size_t nAfter = t.Mark();
    EXPECT_TRUE(peer.WaitClosed(EngineTest::kWaitMs) && client.WaitClosed(EngineTest::kWaitMs)) << "still connected";
    EXPECT_FALSE(RawSocket::TcpConnect(wListen).IsValid()) << "still listening";
    EXPECT_TRUE(RawSocket::Udp(wUdp).IsValid()) << "UDP port still taken";
    EXPECT_EQ(nAfter, t.Mark()) << DescribeAll(t.m_sink.Matching());
    EXPECT_EQ(0u, t.m_sink.Count(Is(Ev::Close)));
}

}  // namespace

TEST_P(Conformance, StopClosesEverySocketWithoutEvents) {
    ExpectEverySocketClosedBy(*this, [this] { ASSERT_TRUE(StopEngine()); });
}

TEST_P(Conformance, DestructionWithoutStopClosesEverySocket) {
    ExpectEverySocketClosedBy(*this, [this] { DestroyEngine(); });
}
