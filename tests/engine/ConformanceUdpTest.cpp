// UDP sockets: datagrams in both directions, with a raw peer and between two
// engine sockets. Before each datagram the test arms a receive with
// SetNoticeLen, which managers that read UDP sockets all the time accept and
// ignore.
#include <gtest/gtest.h>

#include <string>

#include "EngineFixture.h"

using namespace vxtest;

TEST_P(Conformance, DatagramsTravelBothWays) {
    SOCKET u = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0xD1, 0xD2);
    ASSERT_NE(INVALID_SOCKET, u);
    uint16_t wPort = LocalPortOf(u);
    ASSERT_NE(0, wPort);
    RawSocket raw = RawSocket::Udp();
    ASSERT_TRUE(raw.IsValid());

    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    ASSERT_EQ(4, raw.SendTo(wPort, "ping"));
    auto ev = m_sink.Wait(Is(Ev::RecvFrom, u), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(0, ev->nError);
    EXPECT_EQ("ping", ev->data);
    EXPECT_TRUE(IsLoopback(ev->addr));
    EXPECT_EQ(raw.LocalPort(), PortOf(ev->addr));
    EXPECT_EQ(0xD1u, ev->u1);
    EXPECT_EQ(0xD2u, ev->u2);

    std::string got;
    sockaddr_in sender;
    EXPECT_EQ(4, m_lpMgr->SendTo(u, "127.0.0.1", raw.LocalPort(), "pong", 4, true));
    ASSERT_EQ(4, raw.RecvFrom(got, &sender, kWaitMs));
    EXPECT_EQ("pong", got);
    EXPECT_EQ(wPort, PortOf(sender));
    sockaddr_in to = Loopback(raw.LocalPort());
    EXPECT_EQ(5, m_lpMgr->SendToAddr(u, &to, "hello", 5, true));
    ASSERT_EQ(5, raw.RecvFrom(got, &sender, kWaitMs));
    EXPECT_EQ("hello", got);

    // Between two engine sockets, one of them bound to any address.
    SOCKET u2 = m_lpMgr->CreateUdpSocket(nullptr, nullptr, 0, 0xD3, 0xD4);
    ASSERT_NE(INVALID_SOCKET, u2);
    uint16_t wPort2 = LocalPortOf(u2);
    for (int i = 0; i < 20; ++i) {
        std::string payload(1 + i * 70, static_cast<char>('a' + i));
        size_t mark = Mark();
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(u2, 1));
        ASSERT_EQ(static_cast<int>(payload.size()),
                  m_lpMgr->SendTo(u, "127.0.0.1", wPort2, payload.data(), static_cast<int>(payload.size()), true));
        auto dg = m_sink.Wait(Is(Ev::RecvFrom, u2), kWaitMs, mark);
        ASSERT_TRUE(dg) << "datagram " << i;
        EXPECT_EQ(payload, dg->data);
        EXPECT_EQ(wPort, PortOf(dg->addr));
        EXPECT_EQ(0xD3u, dg->u1);
        EXPECT_EQ(0xD4u, dg->u2);
    }
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Close), from));

    // Arguments that cannot be sent fail the call.
    EXPECT_EQ(-1, m_lpMgr->SendTo(u, nullptr, wPort2, "x", 1, true));
    EXPECT_EQ(-1, m_lpMgr->SendTo(u, "127.0.0.1", wPort2, nullptr, 1, true));
    EXPECT_EQ(-1, m_lpMgr->SendTo(u, "127.0.0.1", wPort2, "x", 0, true));
    EXPECT_EQ(-1, m_lpMgr->SendToAddr(u, &to, "x", -5, true));
}

// An empty datagram and one too large for the receive buffer are ordinary
// network input: neither may end the reception of the socket.
TEST_P(Conformance, OddDatagramsDoNotEndReception) {
    SOCKET u = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0xD5, 0xD6);
    ASSERT_NE(INVALID_SOCKET, u);
    uint16_t wPort = LocalPortOf(u);
    RawSocket raw = RawSocket::Udp();
    ASSERT_TRUE(raw.IsValid());
    size_t from = Mark();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    ASSERT_EQ(0, raw.SendTo(wPort, ""));
    ASSERT_EQ(9000, raw.SendTo(wPort, std::string(9000, 'L')));
    ASSERT_EQ(5, raw.SendTo(wPort, "after"));
    auto ev = m_sink.Wait([u](const SinkEvent& e) { return e.kind == Ev::RecvFrom && e.s == u && e.data == "after"; },
                          kWaitMs, from);
    EXPECT_TRUE(ev) << DescribeAll(m_sink.Matching(About(u), from));
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Close, u), from));
}
