// Proxy handshakes against a scripted proxy: the request bytes, replies that
// grant, refuse, arrive split or carry data after them, a proxy that hangs up
// mid-handshake, SOCKS5 BIND and UDP ASSOCIATE. (Real proxy servers are in
// tests/peers.)
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "ScriptedPeer.h"
#include "WireBytes.h"

using namespace vxtest;

namespace {

// Where the proxied sockets ask to go; the scripted proxy never dials it.
constexpr uint16_t kDestPort = 4321;

const std::string kLocal = Ip4(127, 0, 0, 1);

std::string Socks4Request(const std::string& user) { return B({4, 1}) + Be16(kDestPort) + kLocal + user + B({0}); }

const std::string kSocks5Connect = B({5, 1, 0, 1}) + kLocal + Be16(kDestPort);

bool SameAddr(const sockaddr_in& a, const std::string& ip4, uint16_t wPort) {
    return a.sin_family == AF_INET && std::string(reinterpret_cast<const char*>(&a.sin_addr.s_addr), 4) == ip4 &&
           PortOf(a) == wPort;
}

// A TCP socket of the manager that goes through a proxy of this type at the
// scripted peer, connecting to 127.0.0.1:kDestPort.
void ConnectThrough(EngineTest& t, uint32_t uiType, uint16_t wProxyPort, const char* lpszUser, const char* lpszPass,
                    SOCKET* lpS, uint32_t u1 = 0xA5, uint32_t u2 = 0x5A) {
    PROXYHANDLE h = t.m_lpMgr->CreateProxy(uiType, "127.0.0.1", wProxyPort, lpszUser, lpszPass);
    ASSERT_NE(nullptr, h);
    SOCKET s = t.m_lpMgr->CreateTcpSocket(h, nullptr, 0, u1, u2);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(t.m_lpMgr->Connect(s, "127.0.0.1", kDestPort));
    *lpS = s;
}

// The handshake failed with this error, reported once through OnSocketProxy
// and by nothing else.
void ExpectProxyFailure(EngineTest& t, SOCKET s, size_t from, int nError, uint32_t u1 = 0xA5, uint32_t u2 = 0x5A) {
    auto ev = t.m_sink.Wait(Is(Ev::Proxy, s), EngineTest::kWaitMs, from);
    ASSERT_TRUE(ev) << DescribeAll(t.m_sink.Matching(About(s), from));
    EXPECT_EQ(nError, ev->nError);
    EXPECT_FALSE(ev->bHasAddr);
    EXPECT_EQ(u1, ev->u1);
    EXPECT_EQ(u2, ev->u2);
    t.ExpectQuiet(s, from, 1);
}

// Connected through the proxy: OnSocketConnect (0), and no data offered
// before the host asks for it.
void ExpectTunnel(EngineTest& t, SOCKET s, size_t from) {
    auto ev = t.m_sink.Wait(Is(Ev::Connect, s), EngineTest::kWaitMs, from);
    ASSERT_TRUE(ev) << DescribeAll(t.m_sink.Matching(About(s), from));
    EXPECT_EQ(0, ev->nError);
    EXPECT_EQ(0xA5u, ev->u1);
    EXPECT_EQ(0x5Au, ev->u2);
    EXPECT_EQ(0u, t.m_sink.Count(Is(Ev::Recv, s), from));
}

// Data sent through the tunnel comes back from the echoing proxy.
void ExpectEcho(EngineTest& t, SOCKET s, const std::string& data) {
    ASSERT_TRUE(t.m_lpMgr->Send(s, data.data(), static_cast<uint32_t>(data.size()), 0, nullptr));
    t.ExpectNotice(s, data);
}

}  // namespace

TEST_P(Conformance, ProxyRecordsAreSharedAndCheckedWhenCreated) {
    PROXYHANDLE h1 = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "user", "pw");
    ASSERT_NE(nullptr, h1);
    EXPECT_EQ(h1, m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "user", "pw"));
    PROXYHANDLE h2 = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "user", "other");
    EXPECT_NE(nullptr, h2);
    EXPECT_NE(h1, h2);
    PROXYHANDLE h3 = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, nullptr, nullptr);
    EXPECT_NE(h1, h3);
    EXPECT_NE(nullptr, m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, std::string(255, 'u').c_str(), "p"));

    // Addresses that are none, and credentials that cannot be sent.
    EXPECT_EQ(nullptr, m_lpMgr->CreateProxy(PROXY_SOCKS5, nullptr, 1080, nullptr, nullptr));
    EXPECT_EQ(nullptr, m_lpMgr->CreateProxy(PROXY_SOCKS5, "proxy.example", 1080, nullptr, nullptr));
    EXPECT_EQ(nullptr, m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, std::string(256, 'u').c_str(), "p"));
    EXPECT_EQ(nullptr, m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", 1080, "u", std::string(256, 'p').c_str()));
    EXPECT_EQ(nullptr, m_lpMgr->CreateProxy(PROXY_HTTP, "127.0.0.1", 3128, std::string(400, 'u').c_str(),
                                            std::string(400, 'p').c_str()));

    EXPECT_TRUE(m_lpMgr->DestroyProxy(h1));
    EXPECT_TRUE(m_lpMgr->DestroyProxy(h2));
    EXPECT_TRUE(m_lpMgr->DestroyProxy(h3));

    // A socket whose proxy record is gone cannot connect; a proxy nobody
    // listens on fails like any connect.
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", UnusedTcpPort(), nullptr, nullptr);
    ASSERT_NE(nullptr, h);
    SOCKET sGone = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, sGone);
    SOCKET sDead = INVALID_SOCKET;
    size_t from = Mark();
    ASSERT_NO_FATAL_FAILURE(ConnectThrough(*this, PROXY_SOCKS4, UnusedTcpPort(), nullptr, nullptr, &sDead));
    auto ev = m_sink.Wait(Is(Ev::Connect, sDead), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(GetParam().nConnectFailError, ev->nError);
    EXPECT_TRUE(m_lpMgr->DestroyProxy(h));
    EXPECT_FALSE(m_lpMgr->Connect(sGone, "127.0.0.1", kDestPort));
    ExpectQuiet(sGone, from, 0);
}

// Granting replies, whole or split over reads, with data behind them: the
// request bytes, then a tunnel that holds the surplus until asked for.
TEST_P(Conformance, ProxyGrantsWithSplitRepliesAndDataBehindThem) {
    const std::string kAuth = B({1, 3}) + "bob" + B({6}) + "secret";
    const struct {
        uint32_t uiType;
        const char *lpszUser, *lpszPass;
        std::function<void(ScriptedPeer&)> script;
        std::string request, first;
    } cases[] = {
        {PROXY_SOCKS4, nullptr, nullptr,
         [](ScriptedPeer& p) { p.Read(9).Write(B({0, 0x5A, 0, 0, 0, 0, 0, 0}) + "WELCOME"); }, Socks4Request(""),
         "WELCOME"},
        {PROXY_SOCKS5, "bob", "secret",
         [&](ScriptedPeer& p) {
             p.Read(3).Write(B({5})).Pause(30).Write(B({2})).Read(kAuth.size()).Write(B({1})).Pause(30);
             p.Write(B({0})).Read(10).Write(B({5, 0})).Pause(30).Write(B({0, 1}) + kLocal + Be16(80) + "HELLO");
         },
         B({5, 1, 2}) + kAuth + kSocks5Connect, "HELLO"},
        {PROXY_HTTP, nullptr, nullptr,
         [](ScriptedPeer& p) {
             p.ReadHttpHead().Write("HTTP/1.1 200 Connection established\r\n").Pause(30);
             p.Write("Proxy-agent: scripted\r\n\r\nFIRST");
         },
         "CONNECT 127.0.0.1:4321 HTTP/1.1\r\n\r\n", "FIRST"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uiType);
        ScriptedPeer proxy;
        c.script(proxy);
        proxy.Echo();
        ASSERT_TRUE(proxy.Start());
        size_t from = Mark();
        SOCKET s;
        ASSERT_NO_FATAL_FAILURE(ConnectThrough(*this, c.uiType, proxy.Port(), c.lpszUser, c.lpszPass, &s));
        ASSERT_NO_FATAL_FAILURE(ExpectTunnel(*this, s, from));
        EXPECT_EQ(c.request, proxy.Received().substr(0, c.request.size()));
        ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, c.first));
        ASSERT_NO_FATAL_FAILURE(ExpectEcho(*this, s, "ping"));
    }
}

TEST_P(Conformance, Socks4RefusalClosedFromInsideTheCallback) {
    ScriptedPeer proxy;
    proxy.Read(12).Write(B({0, 0x5B, 0, 0, 0, 0, 0, 0})).ExpectClosed();
    ASSERT_TRUE(proxy.Start());
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS4, "127.0.0.1", proxy.Port(), "bob", "pw");
    ASSERT_NE(nullptr, h);
    SOCKET s = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 0xA5, 0x5A);
    ASSERT_NE(INVALID_SOCKET, s);
    auto nClosed = CloseInside(Ev::Proxy, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", kDestPort));
    ASSERT_NO_FATAL_FAILURE(ExpectProxyFailure(*this, s, from, 10061));
    EXPECT_EQ(1, nClosed->load());
    EXPECT_TRUE(proxy.WaitDone());
    EXPECT_TRUE(proxy.Succeeded()) << proxy.Error();
    EXPECT_EQ(Socks4Request("bob"), proxy.Received());
}

TEST_P(Conformance, ProxyRefusalsAndMalformedReplies) {
    const std::string kAuth = B({1, 3}) + "bob" + B({6}) + "secret";
    auto socks5 = [](const std::string& reply) {
        return [reply](ScriptedPeer& p) { p.Read(3).Write(B({5, 0})).Read(10).Write(reply); };
    };
    auto http = [](const std::string& reply) { return [reply](ScriptedPeer& p) { p.ReadHttpHead().Write(reply); }; };
    const struct {
        const char* lpszWhat;
        uint32_t uiType;
        bool bAuth;
        std::function<void(ScriptedPeer&)> script;
        int nError;
    } cases[] = {
        {"no acceptable method", PROXY_SOCKS5, false, [](ScriptedPeer& p) { p.Read(3).Write(B({5, 0xFF})); }, 10043},
        {"wrong version in the method reply", PROXY_SOCKS5, false,
         [](ScriptedPeer& p) { p.Read(3).Write(B({4, 0})); }, 10043},
        {"password refused", PROXY_SOCKS5, true,
         [&](ScriptedPeer& p) { p.Read(3).Write(B({5, 2})).Read(kAuth.size()).Write(B({1, 1})); }, 86},
        {"connect refused", PROXY_SOCKS5, false, socks5(Socks5Reply(5, kLocal, 0)), 10061},
        {"wrong version in the connect reply", PROXY_SOCKS5, false, socks5(B({4, 0, 0, 1}) + kLocal + Be16(1)), 10061},
        {"domain name in the connect reply", PROXY_SOCKS5, false,
         socks5(B({5, 0, 0, 3, 9}) + "localhost" + Be16(80)), 10061},
        {"IPv6 address in the connect reply", PROXY_SOCKS5, false,
         socks5(B({5, 0, 0, 4}) + std::string(16, '\0') + Be16(80)), 10061},
        {"407", PROXY_HTTP, false,
         http("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n<html/>"), 10061},
        {"500", PROXY_HTTP, false, http("HTTP/1.1 500 Internal Error\r\n\r\n"), 10061},
        {"no status", PROXY_HTTP, false, http("HTTP/1.1\r\n\r\n"), 10061},
        {"head without end", PROXY_HTTP, false, http("HTTP/1.1 200 OK\r\nX-Pad: " + std::string(9000, 'a')), 10061},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lpszWhat);
        ScriptedPeer proxy;
        c.script(proxy);
        ASSERT_TRUE(proxy.Start());
        size_t from = Mark();
        SOCKET s;
        ASSERT_NO_FATAL_FAILURE(ConnectThrough(*this, c.uiType, proxy.Port(), c.bAuth ? "bob" : nullptr,
                                               c.bAuth ? "secret" : nullptr, &s));
        ASSERT_NO_FATAL_FAILURE(ExpectProxyFailure(*this, s, from, c.nError));
        EXPECT_TRUE(proxy.Succeeded()) << proxy.Error();
        EXPECT_TRUE(m_lpMgr->CloseSocket(s));
    }
}

TEST_P(Conformance, HttpConnectSendsBasicCredentials) {
    ScriptedPeer proxy;
    proxy.ReadHttpHead().Write("HTTP/1.0 200 OK\r\n\r\n");
    ASSERT_TRUE(proxy.Start());
    size_t from = Mark();
    SOCKET s;
    // A colon in the password is encoded like any other byte.
    ASSERT_NO_FATAL_FAILURE(ConnectThrough(*this, PROXY_HTTP, proxy.Port(), "user", "pa:ss", &s));
    ASSERT_NO_FATAL_FAILURE(ExpectTunnel(*this, s, from));
    EXPECT_EQ("CONNECT 127.0.0.1:4321 HTTP/1.1\r\nProxy-authorization: Basic dXNlcjpwYTpzcw==\r\n\r\n",
              proxy.Received());
}

TEST_P(Conformance, ProxyHangingUpMidHandshakeIsOneFailure) {
    const std::vector<std::pair<const char*, std::function<void(ScriptedPeer&)>>> cases = {
        {"socks5 after the greeting", [](ScriptedPeer& p) { p.Read(3).Close(); }},
        {"socks5 inside the connect reply", [](ScriptedPeer& p) { p.Read(3).Write(B({5, 0})).Read(10).Write(B({5, 0, 0})).Close(); }},
        {"socks4 reset", [](ScriptedPeer& p) { p.Read(9).Reset(); }},
        {"http inside the status line", [](ScriptedPeer& p) { p.ReadHttpHead().Write("HTTP/1.1 20").Close(); }},
    };
    const uint32_t types[] = {PROXY_SOCKS5, PROXY_SOCKS5, PROXY_SOCKS4, PROXY_HTTP};
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        ScriptedPeer proxy;
        cases[i].second(proxy);
        ASSERT_TRUE(proxy.Start());
        size_t from = Mark();
        SOCKET s;
        ASSERT_NO_FATAL_FAILURE(ConnectThrough(*this, types[i], proxy.Port(), nullptr, nullptr, &s));
        auto failure = [s](const SinkEvent& e) {
            return e.s == s && (e.kind == Ev::Close || e.kind == Ev::Proxy || e.kind == Ev::Connect);
        };
        auto ev = m_sink.Wait(failure, kWaitMs, from);
        ASSERT_TRUE(ev);
        EXPECT_FALSE(ev->kind == Ev::Connect && ev->nError == 0) << "a broken handshake reported as a tunnel";
        EXPECT_FALSE(ev->kind == Ev::Proxy && ev->nError == 0);
        ExpectQuiet(s, from, 1);
        EXPECT_TRUE(m_lpMgr->CloseSocket(s));
    }
}

TEST_P(Conformance, Socks5BindReportsTheBoundAddressThenThePeer) {
    const std::string kPeerIp = B({127, 0, 0, 2});
    ScriptedPeer proxy;
    proxy.Read(3)
        .Write(B({5, 0}))
        .Read(10)
        .Write(Socks5Reply(0, kLocal, 0x1234))
        .WaitGate()
        .Write(Socks5Reply(0, kPeerIp, 0x5678) + "DATA")
        .Echo();
    ASSERT_TRUE(proxy.Start());
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", proxy.Port(), nullptr, nullptr);
    ASSERT_NE(nullptr, h);
    SOCKET s = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 0xB1, 0xB2);
    ASSERT_NE(INVALID_SOCKET, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->Listen(s, 5));

    auto bound = m_sink.Wait(Is(Ev::Proxy, s), kWaitMs, from);
    ASSERT_TRUE(bound);
    EXPECT_EQ(0, bound->nError);
    ASSERT_TRUE(bound->bHasAddr);
    EXPECT_TRUE(SameAddr(bound->addr, kLocal, 0x1234));
    EXPECT_EQ(0xB1u, bound->u1);
    EXPECT_EQ(0xB2u, bound->u2);
    EXPECT_EQ(B({5, 1, 0}) + B({5, 2, 0, 1}) + kLocal + Be16(0), proxy.Received());

    proxy.OpenGate();
    auto acc = m_sink.Wait(Is(Ev::Accept, s), kWaitMs, from);
    ASSERT_TRUE(acc);
    EXPECT_EQ(0, acc->nError);
    EXPECT_EQ(s, acc->s);
    EXPECT_EQ(s, acc->sNew);
    EXPECT_TRUE(SameAddr(acc->peer, kPeerIp, 0x5678));
    EXPECT_EQ(LocalPortOf(s), PortOf(acc->addr));
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Recv, s), from));
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "DATA"));
    ASSERT_NO_FATAL_FAILURE(ExpectEcho(*this, s, "ping"));
}

TEST_P(Conformance, Socks5BindWithARefusedSecondReply) {
    ScriptedPeer proxy;
    proxy.Read(3).Write(B({5, 0})).Read(10).Write(Socks5Reply(0, kLocal, 0x1234)).Write(Socks5Reply(1, kLocal, 0));
    ASSERT_TRUE(proxy.Start());
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", proxy.Port(), nullptr, nullptr);
    SOCKET s = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 0xB1, 0xB2);
    ASSERT_NE(INVALID_SOCKET, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->Listen(s, 5));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Proxy, s), 2, kWaitMs, from));
    auto reports = m_sink.Matching(Is(Ev::Proxy, s), from);
    EXPECT_EQ(0, reports[0].nError);
    EXPECT_EQ(10022, reports[1].nError);
    EXPECT_FALSE(reports[1].bHasAddr);
    ExpectQuiet(s, from, 2);
}

TEST_P(Conformance, Socks5UdpAssociateRelaysBothWays) {
    RawSocket relay = RawSocket::Udp();
    RawSocket dest = RawSocket::Udp();
    ASSERT_TRUE(relay.IsValid());
    ASSERT_TRUE(dest.IsValid());
    ScriptedPeer proxy;
    proxy.Read(3).Write(B({5, 0})).Read(10).Write(Socks5Reply(0, kLocal, relay.LocalPort())).ExpectClosed();
    ASSERT_TRUE(proxy.Start());
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", proxy.Port(), nullptr, nullptr);
    ASSERT_NE(nullptr, h);
    size_t from = Mark();
    SOCKET u = m_lpMgr->CreateUdpSocket(h, "127.0.0.1", 0, 0x51, 0x52);
    ASSERT_NE(INVALID_SOCKET, u);
    uint16_t wPort = LocalPortOf(u);

    auto ready = m_sink.Wait(Is(Ev::Proxy, u), kWaitMs, from);
    ASSERT_TRUE(ready) << DescribeAll(m_sink.Events());
    EXPECT_EQ(0, ready->nError);
    ASSERT_TRUE(ready->bHasAddr);
    EXPECT_TRUE(SameAddr(ready->addr, kLocal, relay.LocalPort()));
    EXPECT_EQ(0x51u, ready->u1);
    EXPECT_EQ(0x52u, ready->u2);
    EXPECT_EQ(B({5, 1, 0}) + B({5, 3, 0, 1}) + kLocal + Be16(wPort), proxy.Received());

    // Out: the relay gets the header naming the destination, then the data.
    EXPECT_EQ(15, m_lpMgr->SendTo(u, "127.0.0.1", dest.LocalPort(), "hello", 5, false));
    std::string got;
    sockaddr_in sender;
    ASSERT_EQ(15, relay.RecvFrom(got, &sender, kWaitMs));
    EXPECT_EQ(RelayHeader(kLocal, dest.LocalPort()) + "hello", got);
    EXPECT_EQ(wPort, PortOf(sender));

    // In: the header is taken off and names the sender.
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    size_t mark = Mark();
    relay.SendToAddr(Loopback(wPort), RelayHeader(Ip4(127, 0, 0, 3), 999) + "world");
    auto in = m_sink.Wait(Is(Ev::RecvFrom, u), kWaitMs, mark);
    ASSERT_TRUE(in);
    EXPECT_EQ("world", in->data);
    EXPECT_TRUE(SameAddr(in->addr, B({127, 0, 0, 3}), 999));
    EXPECT_EQ(0x51u, in->u1);
    // Ten bytes are no relayed datagram: delivered whole, from the relay.
    const std::string ten = B({0, 0, 0, 1, 127, 0, 0, 3, 0, 9});
    relay.SendToAddr(Loopback(wPort), ten);
    auto whole = m_sink.Wait(Is(Ev::RecvFrom, u), kWaitMs, in->index + 1);
    ASSERT_TRUE(whole);
    EXPECT_EQ(ten, whole->data);
    EXPECT_EQ(relay.LocalPort(), PortOf(whole->addr));

    // Closing the UDP socket ends the association.
    ASSERT_TRUE(m_lpMgr->CloseSocket(u));
    EXPECT_TRUE(proxy.WaitDone());
    EXPECT_TRUE(proxy.Succeeded()) << proxy.Error();
}

TEST_P(Conformance, Socks5UdpAssociateRefusedOrLost) {
    // A UDP socket through a proxy that answers the association with `reply`
    // (empty: none), then hangs up.
    auto associate = [&](const std::string& reply, uint32_t u, ScriptedPeer* lpProxy, size_t* lpFrom) {
        lpProxy->Read(3).Write(B({5, 0})).Read(10);
        if (!reply.empty()) lpProxy->Write(reply);
        lpProxy->Close();
        EXPECT_TRUE(lpProxy->Start());
        PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", lpProxy->Port(), nullptr, nullptr);
        *lpFrom = Mark();
        return m_lpMgr->CreateUdpSocket(h, "127.0.0.1", 0, u, u + 1);
    };
    // Refused, or the control connection breaks before the relay is known.
    for (const auto& c : {std::make_pair(Socks5Reply(7, kLocal, 0), 10061), std::make_pair(std::string(), 10054)}) {
        ScriptedPeer proxy;
        size_t from;
        SOCKET u = associate(c.first, 0x61, &proxy, &from);
        ASSERT_NE(INVALID_SOCKET, u);
        ASSERT_NO_FATAL_FAILURE(ExpectProxyFailure(*this, u, from, c.second, 0x61, 0x62));
        EXPECT_TRUE(m_lpMgr->CloseSocket(u));
    }
    // The control connection breaks after the relay is known: the association
    // is gone, and the UDP socket hears of it once.
    ScriptedPeer proxy;
    size_t from;
    SOCKET u = associate(Socks5Reply(0, kLocal, 4321), 0x81, &proxy, &from);
    ASSERT_NE(INVALID_SOCKET, u);
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Proxy, u), 2, kWaitMs, from)) << DescribeAll(m_sink.Events());
    auto reports = m_sink.Matching(Is(Ev::Proxy, u), from);
    EXPECT_EQ(0, reports[0].nError);
    EXPECT_TRUE(reports[0].bHasAddr);
    EXPECT_EQ(10054, reports[1].nError);
    EXPECT_FALSE(reports[1].bHasAddr);
    EXPECT_EQ(0x81u, reports[1].u1);
    ExpectQuiet(u, from, 2);
    EXPECT_TRUE(m_lpMgr->CloseSocket(u));
}
