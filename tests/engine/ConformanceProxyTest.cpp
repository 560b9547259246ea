// Proxy handshakes against a scripted proxy: the request bytes, replies that
// grant, refuse, arrive split or carry data, a proxy that hangs up, SOCKS5
// BIND and UDP ASSOCIATE. Replies are judged byte by byte in tests/net; real
// proxy servers are in tests/peers.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>

#include "EngineFixture.h"
#include "ScriptedPeer.h"

using namespace vxtest;

namespace {

// Protocol bytes: B({5, 0, 0, 1}) + Ip4(127, 0, 0, 1) + Be16(port).
std::string B(std::initializer_list<int> bytes) { return std::string(bytes.begin(), bytes.end()); }
std::string Be16(uint16_t v) { return B({v >> 8, v & 0xFF}); }
std::string Ip4(int a, int b, int c, int d) { return B({a, b, c, d}); }
std::string Socks5Reply(int rep, const std::string& ip, uint16_t port) { return B({5, rep, 0, 1}) + ip + Be16(port); }
// The SOCKS5 UDP relay header for an IPv4 address.
std::string RelayHeader(const std::string& ip4, uint16_t wPort) { return B({0, 0, 0, 1}) + ip4 + Be16(wPort); }

// Where the proxied sockets ask to go; the scripted proxy never dials it.
constexpr uint16_t kDestPort = 4321;
const std::string kLocal = Ip4(127, 0, 0, 1);
const std::string kAuth = B({1, 3}) + "bob" + B({6}) + "secret";

bool SameAddr(const sockaddr_in& a, const std::string& ip4, uint16_t wPort) {
    return a.sin_family == AF_INET && std::string(reinterpret_cast<const char*>(&a.sin_addr.s_addr), 4) == ip4 &&
           PortOf(a) == wPort;
}

// A SOCKS5 proxy without authentication, up to the command request.
ScriptedPeer& Socks5Hello(ScriptedPeer& p) { return p.Read(3).Write(B({5, 0})).Read(10); }

}  // namespace

// A socket whose proxy record is gone cannot connect; a proxy nobody listens
// on fails like any connect. (Proxy records themselves: tests/net.)
TEST_P(Conformance, ProxyGoneOrNotListening) {
    RawSocket refusing = RawSocket::TcpRefusing();
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", refusing.LocalPort(), nullptr, nullptr);
    SOCKET sGone = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 1, 2), sDead;
    ASSERT_TRUE(h && sGone != INVALID_SOCKET);
    size_t from = Mark();
    ASSERT_NO_FATAL_FAILURE(ConnectThrough(PROXY_SOCKS4, refusing.LocalPort(), nullptr, nullptr, kDestPort, &sDead));
    ExpectEvent(Ev::Connect, sDead, from, GetParam().nConnectFailError, kProxyU1, kProxyU2);
    EXPECT_TRUE(m_lpMgr->DestroyProxy(h));
    EXPECT_FALSE(m_lpMgr->Connect(sGone, "127.0.0.1", kDestPort));
    ExpectQuiet(sGone, from, 0);
}

// Granting replies, whole or split over reads, with data behind them: the
// request bytes, then a tunnel that holds the surplus until asked for.
TEST_P(Conformance, ProxyGrantsWithSplitRepliesAndDataBehindThem) {
    const struct {
        uint32_t uiType;
        const char *lpszUser, *lpszPass;
        std::function<void(ScriptedPeer&)> script;
        std::string request, first;
    } cases[] = {
        {PROXY_SOCKS4, nullptr, nullptr,
         [](ScriptedPeer& p) { p.Read(9).Write(B({0, 0x5A, 0, 0, 0, 0, 0, 0}) + "WELCOME"); },
         B({4, 1}) + Be16(kDestPort) + kLocal + B({0}), "WELCOME"},
        {PROXY_SOCKS5, "bob", "secret",
         [](ScriptedPeer& p) {
             p.Read(3).Write(B({5})).Pause(30).Write(B({2})).Read(kAuth.size()).Write(B({1})).Pause(30);
             p.Write(B({0})).Read(10).Write(B({5, 0})).Pause(30).Write(B({0, 1}) + kLocal + Be16(80) + "HELLO");
         },
         B({5, 1, 2}) + kAuth + B({5, 1, 0, 1}) + kLocal + Be16(kDestPort), "HELLO"},
        // A colon in the password is encoded like any other byte.
        {PROXY_HTTP, "user", "pa:ss",
         [](ScriptedPeer& p) {
             p.ReadHttpHead().Write("HTTP/1.1 200 Connection established\r\n").Pause(30);
             p.Write("Proxy-agent: scripted\r\n\r\nFIRST");
         },
         "CONNECT 127.0.0.1:4321 HTTP/1.1\r\nProxy-authorization: Basic dXNlcjpwYTpzcw==\r\n\r\n", "FIRST"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uiType);
        ScriptedPeer proxy;
        c.script(proxy);
        ASSERT_TRUE(proxy.Echo().Start());
        size_t from = Mark();
        SOCKET s;
        ASSERT_NO_FATAL_FAILURE(ConnectThrough(c.uiType, proxy.Port(), c.lpszUser, c.lpszPass, kDestPort, &s));
        ASSERT_NO_FATAL_FAILURE(ExpectTunnel(s, from));
        EXPECT_EQ(c.request, proxy.Received().substr(0, c.request.size()));
        ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, c.first));
        ASSERT_NO_FATAL_FAILURE(ExpectEcho(s, "ping"));
    }
}

// A refusal is one OnSocketProxy with its error (every refusing reply is
// judged in tests/net), as is an HTTP head that never ends once it passes
// the limit. A proxy that hangs up mid-handshake (nError 0 below) is one
// failure of any kind. Nothing follows either.
TEST_P(Conformance, ProxyRefusalsAndHangUpsAreOneFailure) {
    auto http = [](const std::string& reply) { return [reply](ScriptedPeer& p) { p.ReadHttpHead().Write(reply); }; };
    const struct {
        const char* lpszWhat;
        uint32_t uiType;
        bool bAuth;
        std::function<void(ScriptedPeer&)> script;
        int nError;
    } cases[] = {
        {"socks4", PROXY_SOCKS4, false, [](ScriptedPeer& p) { p.Read(9).Write(B({0, 0x5B, 0, 0, 0, 0, 0, 0})); },
         10061},
        {"password refused", PROXY_SOCKS5, true,
         [](ScriptedPeer& p) { p.Read(3).Write(B({5, 2})).Read(kAuth.size()).Write(B({1, 1})); }, 86},
        {"407", PROXY_HTTP, false,
         http("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n<html/>"), 10061},
        {"head without end", PROXY_HTTP, false, http("HTTP/1.1 200 OK\r\nX-Pad: " + std::string(9000, 'a')), 10061},
        {"socks5 gone after the greeting", PROXY_SOCKS5, false, [](ScriptedPeer& p) { p.Read(3).Close(); }, 0},
        {"socks5 gone inside the connect reply", PROXY_SOCKS5, false,
         [](ScriptedPeer& p) { Socks5Hello(p).Write(B({5, 0, 0})).Close(); }, 0},
        {"socks4 reset", PROXY_SOCKS4, false, [](ScriptedPeer& p) { p.Read(9).Reset(); }, 0},
        {"http gone inside the status line", PROXY_HTTP, false,
         [](ScriptedPeer& p) { p.ReadHttpHead().Write("HTTP/1.1 20").Close(); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lpszWhat);
        ScriptedPeer proxy;
        c.script(proxy);
        ASSERT_TRUE(proxy.Start());
        size_t from = Mark();
        SOCKET s;
        ASSERT_NO_FATAL_FAILURE(ConnectThrough(c.uiType, proxy.Port(), c.bAuth ? "bob" : nullptr,
                                               c.bAuth ? "secret" : nullptr, kDestPort, &s));
        if (c.nError) {
            ASSERT_NO_FATAL_FAILURE(ExpectProxyFailure(s, from, c.nError));
        } else {
            auto ev = m_sink.Wait(About(s), kWaitMs, from);
            ASSERT_TRUE(ev);
            EXPECT_TRUE(ev->kind == Ev::Close || ((ev->kind == Ev::Proxy || ev->kind == Ev::Connect) && ev->nError))
                << "a broken handshake reported as a success: " << Describe(*ev);
            ExpectQuiet(s, from, 1);
        }
        EXPECT_EQ("", proxy.Outcome());
        EXPECT_TRUE(m_lpMgr->CloseSocket(s));
    }
}

// The bound address is reported first, then the peer that connected, or
// the refusal of the second reply (once).
TEST_P(Conformance, Socks5BindReportsTheBoundAddressThenThePeer) {
    const std::string kPeerIp = Ip4(127, 0, 0, 2);
    for (bool bRefused : {false, true}) {
        SCOPED_TRACE(bRefused ? "refused" : "granted");
        ScriptedPeer proxy;
        Socks5Hello(proxy).Write(Socks5Reply(0, kLocal, 0x1234)).Pause(30);
        proxy.Write(bRefused ? Socks5Reply(1, kLocal, 0) : Socks5Reply(0, kPeerIp, 0x5678) + "DATA");
        ASSERT_TRUE(proxy.Echo().Start());
        PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", proxy.Port(), nullptr, nullptr);
        SOCKET s = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 0xB1, 0xB2);
        size_t from = Mark();
        ASSERT_TRUE(s != INVALID_SOCKET && m_lpMgr->Listen(s, 5));
        auto bound = ExpectEvent(Ev::Proxy, s, from, 0, 0xB1, 0xB2);
        ASSERT_TRUE(bound && bound->bHasAddr && SameAddr(bound->addr, kLocal, 0x1234));
        EXPECT_EQ(B({5, 1, 0}) + B({5, 2, 0, 1}) + kLocal + Be16(0), proxy.Received());
        if (bRefused) {
            ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Proxy, s), 2, kWaitMs, from));
            SinkEvent second = m_sink.Matching(Is(Ev::Proxy, s), from)[1];
            EXPECT_TRUE(second.nError == 10022 && !second.bHasAddr) << Describe(second);
            ExpectQuiet(s, from, 2);
            continue;
        }
        auto acc = ExpectEvent(Ev::Accept, s, from, 0, 0, 0);
        ASSERT_TRUE(acc);
        EXPECT_TRUE(acc->s == s && acc->sNew == s && SameAddr(acc->peer, kPeerIp, 0x5678) &&
                    PortOf(acc->addr) == LocalPortOf(s));
        EXPECT_EQ(0u, m_sink.Count(Is(Ev::Recv, s), from));
        ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "DATA"));
        ASSERT_NO_FATAL_FAILURE(ExpectEcho(s, "ping"));
    }
}

TEST_P(Conformance, Socks5UdpAssociateRelaysBothWays) {
    RawSocket relay = RawSocket::Udp(), dest = RawSocket::Udp();
    ScriptedPeer proxy;
    ASSERT_TRUE(Socks5Hello(proxy).Write(Socks5Reply(0, kLocal, relay.LocalPort())).ExpectClosed().Start());
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", proxy.Port(), nullptr, nullptr);
    size_t from = Mark();
    SOCKET u = m_lpMgr->CreateUdpSocket(h, "127.0.0.1", 0, 0x51, 0x52);
    ASSERT_NE(INVALID_SOCKET, u);
    uint16_t wPort = LocalPortOf(u);
    auto ready = ExpectEvent(Ev::Proxy, u, from, 0, 0x51, 0x52);
    ASSERT_TRUE(ready && ready->bHasAddr && SameAddr(ready->addr, kLocal, relay.LocalPort()));
    EXPECT_EQ(B({5, 1, 0}) + B({5, 3, 0, 1}) + kLocal + Be16(wPort), proxy.Received());

    // Out: the relay gets the header naming the destination, then the data.
    EXPECT_EQ(15, m_lpMgr->SendTo(u, "127.0.0.1", dest.LocalPort(), "hello", 5, false));
    std::string got;
    sockaddr_in sender;
    ASSERT_EQ(15, relay.RecvFrom(got, &sender, kWaitMs));
    EXPECT_TRUE(got == RelayHeader(kLocal, dest.LocalPort()) + "hello" && PortOf(sender) == wPort);

    // In: the header is taken off and names the sender.
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    size_t mark = Mark();
    relay.SendTo(wPort, RelayHeader(Ip4(127, 0, 0, 3), 999) + "world");
    auto in = ExpectEvent(Ev::RecvFrom, u, mark, 0, 0x51, 0x52);
    ASSERT_TRUE(in && in->data == "world" && SameAddr(in->addr, Ip4(127, 0, 0, 3), 999));
    // Only the relay speaks, with a whole IPv4 header: a stranger's datagram,
    // a short one and one naming a domain are dropped; a bare header is an
    // empty datagram.
    RawSocket stranger = RawSocket::Udp();
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    stranger.SendTo(wPort, RelayHeader(Ip4(127, 0, 0, 4), 7) + "spoof");
    relay.SendTo(wPort, std::string("\0\0\0\1", 4));
    relay.SendTo(wPort, B({0, 0, 0, 3, 1, 'x', 0, 9}) + "name");
    relay.SendTo(wPort, RelayHeader(Ip4(127, 0, 0, 3), 9));
    auto empty = m_sink.Wait(Is(Ev::RecvFrom, u), kWaitMs, in->index + 1);
    EXPECT_TRUE(empty && empty->data.empty() && SameAddr(empty->addr, Ip4(127, 0, 0, 3), 9))
        << (empty ? Describe(*empty) : "no datagram");

    // Closing the UDP socket ends the association.
    ASSERT_TRUE(m_lpMgr->CloseSocket(u));
    EXPECT_EQ("", proxy.Outcome());
}

// Refused, or the control connection breaks before the relay is known: one
// failure. It breaks after: the UDP socket hears of it once.
TEST_P(Conformance, Socks5UdpAssociateRefusedOrLost) {
    const struct {
        std::string reply;
        int nError;
    } cases[] = {{Socks5Reply(7, kLocal, 0), 10061}, {"", 10054}, {Socks5Reply(0, kLocal, 4321), 10054}};
    for (const auto& c : cases) {
        ScriptedPeer proxy;
        ASSERT_TRUE(Socks5Hello(proxy).Write(c.reply).Close().Start());
        PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", proxy.Port(), nullptr, nullptr);
        size_t from = Mark();
        SOCKET u = m_lpMgr->CreateUdpSocket(h, "127.0.0.1", 0, 0x61, 0x62);
        ASSERT_NE(INVALID_SOCKET, u);
        if (c.reply.empty() || c.reply[1] != 0) {
            ASSERT_NO_FATAL_FAILURE(ExpectProxyFailure(u, from, c.nError, 0x61, 0x62));
        } else {
            ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Proxy, u), 2, kWaitMs, from)) << DescribeAll(m_sink.Matching());
            auto reports = m_sink.Matching(Is(Ev::Proxy, u), from);
            EXPECT_TRUE(reports[0].nError == 0 && reports[0].bHasAddr);
            EXPECT_TRUE(reports[1].nError == c.nError && !reports[1].bHasAddr && reports[1].u1 == 0x61)
                << Describe(reports[1]);
            ExpectQuiet(u, from, 2);
        }
        EXPECT_TRUE(m_lpMgr->CloseSocket(u));
    }
}
