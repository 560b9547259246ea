// The managers through real proxy servers on loopback: Dante (SOCKS4 and
// SOCKS5 CONNECT, BIND, UDP ASSOCIATE), microsocks (SOCKS5 username and
// password) and tinyproxy (HTTP CONNECT with Basic authorization). The
// destination speaks first, so its first bytes often travel in the same
// segment as the proxy's last reply. The PeerServers cases check each server
// with a hand-written client, so a failure there is the server's, not the
// manager's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../engine/EngineFixture.h"
#include "PeerServers.h"
#include "ScriptedPeer.h"
#include "WireBytes.h"

using namespace vxtest;

namespace {

constexpr int kWaitMs = RecordingSink::kDefaultWaitMs;
const std::string kLocal = Ip4(127, 0, 0, 1);
const std::string kGreeting = "HELLO FROM THE DESTINATION\n";

// A destination that greets every client first, then echoes.
void StartGreeter(ScriptedPeer* lpDest) {
    lpDest->Write(kGreeting).Echo();
    ASSERT_TRUE(lpDest->Start());
}

// Raw SOCKS5 no-auth greeting on a fresh connection to the proxy.
void RawSocks5Hello(RawSocket* lpConn, uint16_t wProxyPort) {
    *lpConn = RawSocket::TcpConnect(wProxyPort);
    ASSERT_TRUE(lpConn->IsValid());
    ASSERT_TRUE(lpConn->SendAll(B({5, 1, 0})));
    std::string r;
    ASSERT_TRUE(lpConn->RecvExact(r, 2, kWaitMs));
    ASSERT_EQ(B({5, 0}), r);
}

// Starts a server with `start` (which fills `why`), or skips the case.
#define START_OR_SKIP(start)                   \
    do {                                       \
        std::string why;                       \
        if (!(start)) GTEST_SKIP() << why;     \
    } while (0)

uint16_t ReplyPort(const std::string& reply) {
    return static_cast<uint16_t>((static_cast<unsigned char>(reply[8]) << 8) | static_cast<unsigned char>(reply[9]));
}

}  // namespace

// ------------------------------------------------------------ the servers alone

TEST(PeerServers, DanteGrantsSocks4Socks5BindAndUdp) {
    PeerServer dante;
    START_OR_SKIP(dante.StartDante(&why));
    for (int nVersion : {4, 5}) {
        SCOPED_TRACE(nVersion);
        ScriptedPeer dest;
        ASSERT_NO_FATAL_FAILURE(StartGreeter(&dest));
        RawSocket c = RawSocket::TcpConnect(dante.Port());
        if (nVersion == 4) {
            ASSERT_TRUE(c.SendAll(B({4, 1}) + Be16(dest.Port()) + kLocal + B({0})));
        } else {
            ASSERT_NO_FATAL_FAILURE(RawSocks5Hello(&c, dante.Port()));
            ASSERT_TRUE(c.SendAll(B({5, 1, 0, 1}) + kLocal + Be16(dest.Port())));
        }
        const size_t uiReply = nVersion == 4 ? 8 : 10;
        std::string r;
        ASSERT_TRUE(c.RecvExact(r, uiReply + kGreeting.size(), kWaitMs)) << dante.Log();
        EXPECT_EQ(nVersion == 4 ? B({0, 0x5A}) : B({5, 0}), r.substr(0, 2));
        EXPECT_EQ(kGreeting, r.substr(uiReply));
    }
    {
        RawSocket c;
        ASSERT_NO_FATAL_FAILURE(RawSocks5Hello(&c, dante.Port()));
        ASSERT_TRUE(c.SendAll(B({5, 2, 0, 1}) + kLocal + Be16(0)));
        std::string first, second, data;
        ASSERT_TRUE(c.RecvExact(first, 10, kWaitMs)) << dante.Log();
        ASSERT_EQ(B({5, 0}), first.substr(0, 2));
        RawSocket peer = RawSocket::TcpConnect(ReplyPort(first));
        ASSERT_TRUE(peer.IsValid());
        ASSERT_TRUE(c.RecvExact(second, 10, kWaitMs));
        EXPECT_EQ(B({5, 0}), second.substr(0, 2));
        EXPECT_EQ(peer.LocalPort(), ReplyPort(second));
        ASSERT_TRUE(peer.SendAll("via bind"));
        ASSERT_TRUE(c.RecvExact(data, 8, kWaitMs));
        EXPECT_EQ("via bind", data);
    }
    {
        RawSocket u = RawSocket::Udp();
        RawSocket dest = RawSocket::Udp();
        RawSocket c;
        ASSERT_NO_FATAL_FAILURE(RawSocks5Hello(&c, dante.Port()));
        ASSERT_TRUE(c.SendAll(B({5, 3, 0, 1}) + kLocal + Be16(u.LocalPort())));
        std::string r, got;
        ASSERT_TRUE(c.RecvExact(r, 10, kWaitMs)) << dante.Log();
        ASSERT_EQ(B({5, 0}), r.substr(0, 2));
        ASSERT_GT(u.SendTo(ReplyPort(r), RelayHeader(kLocal, dest.LocalPort()) + "ping"), 0);
        sockaddr_in relayOut;
        ASSERT_EQ(4, dest.RecvFrom(got, &relayOut, kWaitMs)) << dante.Log();
        EXPECT_EQ("ping", got);
        ASSERT_EQ(4, dest.SendToAddr(relayOut, "pong"));
        ASSERT_EQ(14, u.RecvFrom(got, nullptr, kWaitMs));
        EXPECT_EQ(RelayHeader(kLocal, dest.LocalPort()) + "pong", got);
    }
}

TEST(PeerServers, MicrosocksChecksThePassword) {
    PeerServer socks;
    START_OR_SKIP(socks.StartMicrosocks("bob", "secret", &why));
    for (const std::string& pass : {std::string("secret"), std::string("wrong")}) {
        SCOPED_TRACE(pass);
        RawSocket c = RawSocket::TcpConnect(socks.Port());
        ASSERT_TRUE(c.SendAll(B({5, 1, 2})));
        std::string r;
        ASSERT_TRUE(c.RecvExact(r, 2, kWaitMs));
        ASSERT_EQ(B({5, 2}), r);
        ASSERT_TRUE(c.SendAll(B({1, 3}) + "bob" + B({static_cast<int>(pass.size())}) + pass));
        r.clear();
        ASSERT_TRUE(c.RecvExact(r, 2, kWaitMs));
        EXPECT_EQ(pass == "secret", r[1] == 0);
    }
}

TEST(PeerServers, TinyproxyChecksBasicCredentials) {
    PeerServer http;
    START_OR_SKIP(http.StartTinyproxy("alice", "s3cret", &why));
    ScriptedPeer dest;
    ASSERT_NO_FATAL_FAILURE(StartGreeter(&dest));
    const std::string line = "CONNECT 127.0.0.1:" + std::to_string(dest.Port()) + " HTTP/1.1\r\n";
    // Base64 of "alice:s3cret" and of "alice:wrong".
    const std::pair<std::string, bool> cases[] = {
        {line + "Proxy-authorization: Basic YWxpY2U6czNjcmV0\r\n\r\n", true},
        {line + "Proxy-authorization: Basic YWxpY2U6d3Jvbmc=\r\n\r\n", false},
        {line + "\r\n", false},
    };
    for (const auto& c : cases) {
        RawSocket conn = RawSocket::TcpConnect(http.Port());
        ASSERT_TRUE(conn.SendAll(c.first));
        std::string r;
        ASSERT_TRUE(conn.RecvExact(r, 12, kWaitMs)) << http.Log();
        EXPECT_EQ(c.second, r.substr(9, 3) == "200") << r;
    }
}

// ------------------------------------------------------------ the managers

class ProxyPeer : public EngineTest {
protected:
    // A TCP socket of the manager through the proxy to 127.0.0.1:wDestPort.
    void ConnectThrough(uint32_t uiType, uint16_t wProxyPort, const char* lpszUser, const char* lpszPass,
                        uint16_t wDestPort, SOCKET* lpS) {
        PROXYHANDLE h = m_lpMgr->CreateProxy(uiType, "127.0.0.1", wProxyPort, lpszUser, lpszPass);
        ASSERT_NE(nullptr, h);
        SOCKET s = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 0x77, 0x88);
        ASSERT_NE(INVALID_SOCKET, s);
        ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", wDestPort));
        *lpS = s;
    }

    // Through the tunnel: the greeting first, whole, then an echo.
    void ExpectGreetingAndEcho(SOCKET s, size_t from, const PeerServer& server) {
        auto ev = m_sink.Wait(
            [s](const SinkEvent& e) { return e.s == s && (e.kind == Ev::Connect || e.kind == Ev::Proxy); }, kWaitMs,
            from);
        ASSERT_TRUE(ev) << server.Log();
        ASSERT_EQ(Ev::Connect, ev->kind) << Describe(*ev) << "\n" << server.Log();
        ASSERT_EQ(0, ev->nError);
        EXPECT_EQ(0x77u, ev->u1);
        EXPECT_EQ(0x88u, ev->u2);
        ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, kGreeting));
        ASSERT_TRUE(m_lpMgr->Send(s, "ping through the proxy", 22, 0, nullptr));
        ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "ping through the proxy"));
    }

    void ExpectProxyError(SOCKET s, size_t from, int nError, const PeerServer& server) {
        auto ev = m_sink.Wait(Is(Ev::Proxy, s), kWaitMs, from);
        ASSERT_TRUE(ev) << DescribeAll(m_sink.Matching(About(s), from)) << server.Log();
        EXPECT_EQ(nError, ev->nError);
        EXPECT_FALSE(ev->bHasAddr);
        ExpectQuiet(s, from, 1);
    }
};

INSTANTIATE_TEST_SUITE_P(Engines, ProxyPeer, testing::ValuesIn(EngineList()), EngineParamName);

TEST_P(ProxyPeer, DanteSocks4AndSocks5ToADestinationThatSpeaksFirst) {
    PeerServer dante;
    START_OR_SKIP(dante.StartDante(&why));
    for (uint32_t uiType : {PROXY_SOCKS4, PROXY_SOCKS5}) {
        SCOPED_TRACE(uiType);
        ScriptedPeer dest;
        ASSERT_NO_FATAL_FAILURE(StartGreeter(&dest));
        size_t from = Mark();
        SOCKET s;
        ASSERT_NO_FATAL_FAILURE(ConnectThrough(uiType, dante.Port(), nullptr, nullptr, dest.Port(), &s));
        ASSERT_NO_FATAL_FAILURE(ExpectGreetingAndEcho(s, from, dante));
    }
}

TEST_P(ProxyPeer, DanteSocks5Bind) {
    PeerServer dante;
    START_OR_SKIP(dante.StartDante(&why));
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", dante.Port(), nullptr, nullptr);
    ASSERT_NE(nullptr, h);
    SOCKET s = m_lpMgr->CreateTcpSocket(h, nullptr, 0, 0x91, 0x92);
    ASSERT_NE(INVALID_SOCKET, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->Listen(s, 5));
    auto bound = m_sink.Wait(Is(Ev::Proxy, s), kWaitMs, from);
    ASSERT_TRUE(bound) << dante.Log();
    ASSERT_EQ(0, bound->nError) << dante.Log();
    ASSERT_TRUE(bound->bHasAddr);
    EXPECT_EQ(0x91u, bound->u1);
    EXPECT_EQ(0x92u, bound->u2);

    RawSocket peer = RawSocket::TcpConnect(PortOf(bound->addr));
    ASSERT_TRUE(peer.IsValid());
    auto acc = m_sink.Wait(Is(Ev::Accept, s), kWaitMs, from);
    ASSERT_TRUE(acc) << dante.Log();
    EXPECT_EQ(0, acc->nError);
    EXPECT_EQ(s, acc->sNew);
    EXPECT_TRUE(IsLoopback(acc->peer));
    EXPECT_EQ(peer.LocalPort(), PortOf(acc->peer));

    ASSERT_TRUE(peer.SendAll("to the listener"));
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "to the listener"));
    ASSERT_TRUE(m_lpMgr->Send(s, "back", 4, 0, nullptr));
    std::string got;
    ASSERT_TRUE(peer.RecvExact(got, 4, kWaitMs));
    EXPECT_EQ("back", got);
}

TEST_P(ProxyPeer, DanteSocks5UdpAssociate) {
    PeerServer dante;
    START_OR_SKIP(dante.StartDante(&why));
    PROXYHANDLE h = m_lpMgr->CreateProxy(PROXY_SOCKS5, "127.0.0.1", dante.Port(), nullptr, nullptr);
    ASSERT_NE(nullptr, h);
    size_t from = Mark();
    SOCKET u = m_lpMgr->CreateUdpSocket(h, "127.0.0.1", 0, 0x93, 0x94);
    ASSERT_NE(INVALID_SOCKET, u);
    auto ready = m_sink.Wait(Is(Ev::Proxy, u), kWaitMs, from);
    ASSERT_TRUE(ready) << dante.Log();
    ASSERT_EQ(0, ready->nError) << dante.Log();
    ASSERT_TRUE(ready->bHasAddr);
    EXPECT_TRUE(IsLoopback(ready->addr));

    RawSocket dest = RawSocket::Udp();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    EXPECT_EQ(14, m_lpMgr->SendTo(u, "127.0.0.1", dest.LocalPort(), "ping", 4, false));
    std::string got;
    sockaddr_in relayOut;
    ASSERT_EQ(4, dest.RecvFrom(got, &relayOut, kWaitMs)) << dante.Log();
    EXPECT_EQ("ping", got);
    size_t mark = Mark();
    ASSERT_EQ(4, dest.SendToAddr(relayOut, "pong"));
    auto in = m_sink.Wait(Is(Ev::RecvFrom, u), kWaitMs, mark);
    ASSERT_TRUE(in) << dante.Log();
    EXPECT_EQ("pong", in->data);
    EXPECT_TRUE(IsLoopback(in->addr));
    EXPECT_EQ(dest.LocalPort(), PortOf(in->addr));
    EXPECT_EQ(0x93u, in->u1);
    EXPECT_EQ(0x94u, in->u2);
    EXPECT_TRUE(m_lpMgr->CloseSocket(u));
}

// Right credentials reach the destination; each wrong set ends in one Proxy
// event with the error and nothing after it.
TEST_P(ProxyPeer, MicrosocksAndTinyproxyWithRightWrongAndMissingCredentials) {
    struct Bad {
        const char* lpszUser;
        const char* lpszPass;
    };
    PeerServer socks, http;
    START_OR_SKIP(socks.StartMicrosocks("bob", "secret", &why));
    START_OR_SKIP(http.StartTinyproxy("alice", "s3cret", &why));
    const struct {
        const PeerServer& server;
        uint32_t uiType;
        const char* lpszUser;
        const char* lpszPass;
        std::vector<Bad> bad;
        int nError;
    } cases[] = {
        {socks, PROXY_SOCKS5, "bob", "secret", {{"bob", "wrong"}}, 86},
        {http, PROXY_HTTP, "alice", "s3cret", {{"alice", "wrong"}, {nullptr, nullptr}}, 10061},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uiType);
        ScriptedPeer dest;
        ASSERT_NO_FATAL_FAILURE(StartGreeter(&dest));
        size_t from = Mark();
        SOCKET s;
        ASSERT_NO_FATAL_FAILURE(ConnectThrough(c.uiType, c.server.Port(), c.lpszUser, c.lpszPass, dest.Port(), &s));
        ASSERT_NO_FATAL_FAILURE(ExpectGreetingAndEcho(s, from, c.server));
        for (const Bad& bad : c.bad) {
            SCOPED_TRACE(bad.lpszPass ? bad.lpszPass : "no credentials");
            from = Mark();
            ASSERT_NO_FATAL_FAILURE(ConnectThrough(c.uiType, c.server.Port(), bad.lpszUser, bad.lpszPass, 9, &s));
            ASSERT_NO_FATAL_FAILURE(ExpectProxyError(s, from, c.nError, c.server));
        }
    }
}
