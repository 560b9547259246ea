// Closing: from inside each kind of callback (the host's usual reaction),
// and the whole manager with sockets still open, by Stop or by destruction.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "EngineFixture.h"

using namespace vxtest;

TEST_P(Conformance, CloseInsideOnSocketConnect) {
    RawSocket listener = RawSocket::TcpListener();
    ASSERT_TRUE(listener.IsValid());
    SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, s);
    auto nClosed = CloseInside(Ev::Connect, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", listener.LocalPort()));
    ASSERT_TRUE(m_sink.Wait(Is(Ev::Connect, s), kWaitMs, from));
    RawSocket peer = listener.Accept(kWaitMs);
    ASSERT_TRUE(peer.IsValid());
    EXPECT_TRUE(peer.WaitClosed(kWaitMs));
    EXPECT_EQ(1, nClosed->load());
    ExpectQuiet(s, from, 1);
}

TEST_P(Conformance, CloseInsideOnSocketAccept) {
    SOCKET sListen;
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenOnEngine(&sListen, &wPort));
    auto nClosed = CloseInside(Ev::Accept, sListen);
    size_t from = Mark();
    RawSocket client = RawSocket::TcpConnect(wPort);
    ASSERT_TRUE(client.IsValid());
    ASSERT_TRUE(client.SendAll("x"));
    EXPECT_TRUE(client.WaitClosed(kWaitMs));
    auto ev = m_sink.Wait(Is(Ev::Accept, sListen), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(1, nClosed->load());
    ExpectQuiet(ev->sNew, from, 1);
    // The listener goes on accepting.
    SOCKET s;
    RawSocket client2;
    ASSERT_NO_FATAL_FAILURE(AcceptRawClient(sListen, wPort, &s, &client2));
}

TEST_P(Conformance, CloseInsideOnSocketRecvWithBytesHeldFromAnEarlierRead) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    auto nClosed = CloseInside(Ev::Recv, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    ASSERT_TRUE(peer.SendAll("ab"));
    ASSERT_TRUE(WaitEngineRead(s));
    ASSERT_TRUE(peer.SendAll("cdef"));
    auto ev = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ("abcdef", ev->data);
    EXPECT_TRUE(peer.WaitClosed(kWaitMs));
    EXPECT_EQ(1, nClosed->load());
    ExpectQuiet(s, from, 1);
}

TEST_P(Conformance, CloseInsideOnSocketSend) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    auto nClosed = CloseInside(Ev::Send, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->Send(s, "0123456789", 10, 1, nullptr));
    std::string got;
    EXPECT_TRUE(peer.WaitClosed(kWaitMs, &got));
    EXPECT_EQ("0123456789", got);
    // Recorded once the callback has returned.
    ASSERT_TRUE(m_sink.Wait(Is(Ev::Send, s), kWaitMs, from));
    EXPECT_EQ(1, nClosed->load());
    ExpectQuiet(s, from, 1);
}

TEST_P(Conformance, CloseInsideOnSocketClose) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    auto nClosed = CloseInside(Ev::Close, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 1));
    peer.Close();
    ASSERT_TRUE(m_sink.Wait(Is(Ev::Close, s), kWaitMs, from));
    EXPECT_EQ(1, nClosed->load());
    ExpectQuiet(s, from, 1);
}

TEST_P(Conformance, CloseInsideTimerCallbacks) {
    SOCKET sTimer = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 1, 1);
    SOCKET sRecvIdle = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 2, 2);
    SOCKET sSendIdle = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 3, 3);
    ASSERT_NE(INVALID_SOCKET, sTimer);
    ASSERT_NE(INVALID_SOCKET, sRecvIdle);
    ASSERT_NE(INVALID_SOCKET, sSendIdle);
    auto nTimer = CloseInside(Ev::Timer, sTimer);
    auto nRecvIdle = CloseInside(Ev::RecvIdle, sRecvIdle);
    auto nSendIdle = CloseInside(Ev::SendIdle, sSendIdle);
    size_t from = Mark();
    // Repeating, so a timer that survives its socket would show again; the
    // period leaves the callback time to close before the next firing.
    ASSERT_TRUE(m_lpMgr->SetEventTimer(sTimer, 2, 50, 50, false));
    ASSERT_TRUE(m_lpMgr->SetRecvIdleTimer(sRecvIdle, 50));
    ASSERT_TRUE(m_lpMgr->SetSendIdleTimer(sSendIdle, 50));
    ASSERT_TRUE(m_sink.Wait(Is(Ev::Timer, sTimer), kWaitMs, from));
    ASSERT_TRUE(m_sink.Wait(Is(Ev::RecvIdle, sRecvIdle), kWaitMs, from));
    ASSERT_TRUE(m_sink.Wait(Is(Ev::SendIdle, sSendIdle), kWaitMs, from));
    EXPECT_EQ(1, nTimer->load());
    EXPECT_EQ(1, nRecvIdle->load());
    EXPECT_EQ(1, nSendIdle->load());
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(1u, m_sink.Count(About(sTimer), from));
    EXPECT_EQ(1u, m_sink.Count(About(sRecvIdle), from));
    EXPECT_EQ(1u, m_sink.Count(About(sSendIdle), from));
}

TEST_P(Conformance, CloseInsideOnSocketRecvFrom) {
    SOCKET u = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, u);
    uint16_t wPort = LocalPortOf(u);
    RawSocket raw = RawSocket::Udp();
    auto nClosed = CloseInside(Ev::RecvFrom, u);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    ASSERT_EQ(3, raw.SendTo(wPort, "one"));
    ASSERT_TRUE(m_sink.Wait(Is(Ev::RecvFrom, u), kWaitMs, from));
    EXPECT_EQ(1, nClosed->load());
    raw.SendTo(wPort, "two");
    ExpectQuiet(u, from, 1);
    // The port is free again: the socket was really closed.
    EXPECT_TRUE(RawSocket::Udp(wPort).IsValid());
}

namespace {

// Sockets in every state, with work pending on them.
struct OpenSockets {
    SOCKET sListen = INVALID_SOCKET, sClient = INVALID_SOCKET, sAccepted = INVALID_SOCKET, sUdp = INVALID_SOCKET;
    uint16_t wListenPort = 0, wUdpPort = 0;
    RawSocket peer, client;
};

void OpenEverything(EngineTest& t, OpenSockets* o) {
    ISocketMgr* lpMgr = t.m_lpMgr;
    ASSERT_NO_FATAL_FAILURE(t.ListenOnEngine(&o->sListen, &o->wListenPort));
    ASSERT_NO_FATAL_FAILURE(t.ConnectToRaw(&o->sClient, &o->peer));
    ASSERT_NO_FATAL_FAILURE(t.AcceptRawClient(o->sListen, o->wListenPort, &o->sAccepted, &o->client));
    o->sUdp = lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 5, 6);
    ASSERT_NE(INVALID_SOCKET, o->sUdp);
    o->wUdpPort = LocalPortOf(o->sUdp);
    // A queued send the peer does not read, a pending notice, timers.
    std::string big(8 << 20, 'q');
    ASSERT_TRUE(lpMgr->Send(o->sClient, big.data(), static_cast<uint32_t>(big.size()), 0, nullptr));
    ASSERT_TRUE(lpMgr->SetNoticeLen(o->sAccepted, 100));
    ASSERT_TRUE(lpMgr->SetNoticeLen(o->sUdp, 1));
    ASSERT_TRUE(lpMgr->SetEventTimer(o->sUdp, 1, 5, 5, false));
    ASSERT_TRUE(lpMgr->SetRecvIdleTimer(o->sAccepted, 5));
}

void ExpectAllClosed(OpenSockets* o) {
    EXPECT_TRUE(o->peer.WaitClosed(EngineTest::kWaitMs));
    EXPECT_TRUE(o->client.WaitClosed(EngineTest::kWaitMs));
    EXPECT_FALSE(RawSocket::TcpConnect(o->wListenPort).IsValid()) << "still listening";
    EXPECT_TRUE(RawSocket::Udp(o->wUdpPort).IsValid()) << "UDP port still taken";
}

}  // namespace

TEST_P(Conformance, StopClosesEverySocketWithoutEvents) {
    OpenSockets o;
    ASSERT_NO_FATAL_FAILURE(OpenEverything(*this, &o));
    ASSERT_TRUE(StopEngine());
    size_t nAfterStop = Mark();
    ExpectAllClosed(&o);
    EXPECT_EQ(nAfterStop, Mark()) << DescribeAll(m_sink.Events());
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Close))) << "sockets closed by Stop are not reported";
}

TEST_P(Conformance, DestructionWithoutStopClosesEverySocket) {
    OpenSockets o;
    ASSERT_NO_FATAL_FAILURE(OpenEverything(*this, &o));
    DestroyEngine();
    ExpectAllClosed(&o);
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Close)));
}
