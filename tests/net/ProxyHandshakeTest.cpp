// Proxy handshake: request bytes, reply judgement over a byte stream, and the
// step machine as an engine drives it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "TW_ProxyHandshake.h"
#include "vxnet/ISocketMgr.h"
#include "vxnet/vxmempool.h"

namespace {

using Bytes = std::string;

struct PoolFree {
    void operator()(ProxyData* p) const { MemPoolFree(p); }
};
using Proxy = std::unique_ptr<ProxyData, PoolFree>;

Proxy MakeProxy(uint32_t uiType, const char* user = nullptr, const char* pass = nullptr) {
    return Proxy(ProxyDataAlloc(uiType, 0x0100007F, 1080, user, pass));
}

ProxyAddr Addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
    const uint8_t wire[6] = {a, b, c, d, uint8_t(port >> 8), uint8_t(port)};
    ProxyAddr r;
    std::memcpy(&r.dwIp, wire, 4);
    std::memcpy(&r.wPort, wire + 4, 2);
    return r;
}

const ProxyAddr kDest = Addr(10, 1, 2, 3, 8080);
const ProxyAddr kUdpLocal = Addr(192, 168, 0, 9, 4000);

Bytes Build(const ProxyData& proxy, uint32_t uiStep, ProxyAddr dest = kDest, const ProxyAddr* lpUdp = nullptr) {
    char buf[kProxyRequestBufSize];
    uint32_t n = BuildProxyRequest(proxy, uiStep, dest, lpUdp, buf);
    return Bytes(buf, n);
}

// A SOCKS5 command reply: 05 rep 00 atyp, then the IPv4 address and port.
Bytes Socks5Reply(uint8_t rep, ProxyAddr a, uint8_t atyp = 1) {
    Bytes r{'\x05', char(rep), '\0', char(atyp)};
    r.append(reinterpret_cast<const char*>(&a.dwIp), 4);
    r.append(reinterpret_cast<const char*>(&a.wPort), 2);
    return r;
}

}  // namespace

// The requests the engine suite's scripted proxy does not see.
TEST(ProxyRequest, SocksBytes) {
    Proxy s4 = MakeProxy(PROXY_SOCKS4, "bob"), s5 = MakeProxy(PROXY_SOCKS5);
    EXPECT_EQ(Bytes("\x04\x01\x1f\x90\x0a\x01\x02\x03" "bob", 11) + '\0', Build(*s4, 1));
    EXPECT_EQ(Bytes("\x01\x04user\x00", 7), Build(*MakeProxy(PROXY_SOCKS5, "user"), 2));
    // Nothing to send: no reply expected, a type without the step, unknown type,
    // UDP ASSOCIATE without the UDP socket's address.
    EXPECT_TRUE(Build(*s5, 6).empty() && Build(*s5, 7).empty() && Build(*s4, 3).empty());
    EXPECT_TRUE(Build(*MakeProxy(9), 1).empty() && Build(*s5, 4).empty());
}

TEST(ProxyRequest, HttpConnectText) {
    EXPECT_EQ("CONNECT 10.1.2.3:8080 HTTP/1.1\r\n\r\n", Build(*MakeProxy(PROXY_HTTP), 1));
    // A user without a password sends no credentials (with both: the engine suite).
    EXPECT_EQ("CONNECT 10.1.2.3:8080 HTTP/1.1\r\n\r\n", Build(*MakeProxy(PROXY_HTTP, "user"), 1));
    EXPECT_EQ("", Build(*MakeProxy(PROXY_HTTP), 2));
}

TEST(ProxyRecord, CredentialLimits) {
    const std::string s255(255, 'u'), s256(256, 'u');
    for (uint32_t type : {PROXY_SOCKS4, PROXY_SOCKS5}) {
        EXPECT_TRUE(ProxyArgsAcceptable(type, "1.2.3.4", s255.c_str(), s255.c_str()));
        EXPECT_FALSE(ProxyArgsAcceptable(type, "1.2.3.4", s256.c_str(), "p") ||
                     ProxyArgsAcceptable(type, "1.2.3.4", "u", s256.c_str()));
    }
    // Built from a record anyway, an oversized SOCKS credential gives no request.
    EXPECT_TRUE(Build(*MakeProxy(PROXY_SOCKS5, s256.c_str(), "p"), 2).empty() &&
                Build(*MakeProxy(PROXY_SOCKS4, s256.c_str()), 1).empty());

    // HTTP: 712 + ":p" encodes to 952 characters, so the request to the longest
    // destination is 1023 bytes and its NUL still fits; one more byte does not.
    const std::string u712(712, 'u'), u713(713, 'u');
    EXPECT_TRUE(ProxyArgsAcceptable(PROXY_HTTP, "1.2.3.4", u712.c_str(), "p") &&
                !ProxyArgsAcceptable(PROXY_HTTP, "1.2.3.4", u713.c_str(), "p"));
    EXPECT_EQ(1023u, Build(*MakeProxy(PROXY_HTTP, u712.c_str(), "p"), 1, Addr(255, 255, 255, 255, 65535)).size());
    EXPECT_EQ("", Build(*MakeProxy(PROXY_HTTP, u713.c_str(), "p"), 1, Addr(255, 255, 255, 255, 65535)));
    // 1024 characters would leave no room for the NUL.
    EXPECT_EQ("", Build(*MakeProxy(PROXY_HTTP, u713.c_str(), "p"), 1, Addr(255, 255, 255, 255, 80)));
    EXPECT_FALSE(ProxyArgsAcceptable(PROXY_HTTP, "1.2.3.4", std::string(5000, 'u').c_str(), "p"));
    EXPECT_TRUE(ProxyArgsAcceptable(PROXY_HTTP, "1.2.3.4", std::string(5000, 'u').c_str(), nullptr));
}

// Every row of the reply table, and each reply cut short at every length:
// a prefix is never judged (except where the verdict is already certain).
TEST(ProxyReply, TableAndEveryPrefix) {
    struct Row {
        uint32_t type, step;
        bool linked;
        uint32_t destIp;
        Bytes reply;
        ProxyReplyState state;
        uint32_t nextOrError;
        uint32_t judgedAt;  // shortest prefix that gets the verdict; W = the whole reply
    };
    constexpr uint32_t W = ~0u;
    const Bytes ok4 = Socks5Reply(0, Addr(1, 2, 3, 4, 5));
    const Bytes dom = Bytes("\x05\x00\x00\x03\x05" "proxy\x00\x50", 12);
    const Bytes ip6 = Bytes("\x05\x00\x00\x04", 4) + Bytes(18, '\x01');
    const Row rows[] = {
        {PROXY_SOCKS4, 1, false, 1, Bytes("\x00\x5a\x00\x00\x00\x00\x00\x00", 8), PROXY_REPLY_ACCEPTED, 7, W},
        {PROXY_SOCKS4, 1, false, 1, Bytes("\x00\x5b\x00\x00\x00\x00\x00\x00", 8), PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_SOCKS4, 1, false, 1, Bytes("\x04\x5a\x00\x00\x00\x00\x00\x00", 8), PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_HTTP, 1, false, 1, "HTTP/1.0  204\r\nVia: x\r\n\r\n", PROXY_REPLY_ACCEPTED, 7, W},
        {PROXY_HTTP, 1, false, 1, "HTTP/1.1 200 OK\nServer: y\n\n", PROXY_REPLY_ACCEPTED, 7, W},
        {PROXY_HTTP, 1, false, 1, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n",
         PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_HTTP, 1, false, 1, "HTTP/1.1\r\nX: 200\r\n\r\n", PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_HTTP, 1, false, 1, "\r\n", PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_SOCKS5, 1, false, 1, Bytes("\x05\xff", 2), PROXY_REPLY_REFUSED, 10043, W},
        {PROXY_SOCKS5, 1, false, 1, Bytes("\x04\x00", 2), PROXY_REPLY_REFUSED, 10043, W},
        {PROXY_SOCKS5, 2, true, 1, Bytes("\x01\x00", 2), PROXY_REPLY_ACCEPTED, 4, W},
        {PROXY_SOCKS5, 2, false, 0, Bytes("\x01\x00", 2), PROXY_REPLY_ACCEPTED, 5, W},
        {PROXY_SOCKS5, 2, false, 1, Bytes("\x01\x01", 2), PROXY_REPLY_REFUSED, 86, W},
        {PROXY_SOCKS5, 3, false, 1, Socks5Reply(5, Addr(0, 0, 0, 0, 0)), PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_SOCKS5, 3, false, 1, "\x04" + ok4.substr(1), PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_SOCKS5, 3, false, 1, dom, PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_SOCKS5, 3, false, 1, ip6, PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_SOCKS5, 3, false, 1, Bytes("\x05\x00\x00\x07", 4), PROXY_REPLY_REFUSED, 10061, 4},
        {PROXY_SOCKS5, 4, true, 1, dom, PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_SOCKS5, 4, true, 1, Socks5Reply(1, Addr(0, 0, 0, 0, 0)), PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_SOCKS5, 5, false, 0, Socks5Reply(2, Addr(0, 0, 0, 0, 0)), PROXY_REPLY_REFUSED, 10061, W},
        {PROXY_SOCKS5, 6, false, 0, Socks5Reply(4, Addr(0, 0, 0, 0, 0)), PROXY_REPLY_REFUSED, 10022, W},
        {PROXY_SOCKS5, 6, false, 0, ip6, PROXY_REPLY_REFUSED, 10022, W},
        {PROXY_SOCKS5, 0, false, 1, ok4, PROXY_REPLY_UNEXPECTED, 0, 0},
        {PROXY_SOCKS5, 7, false, 1, ok4, PROXY_REPLY_UNEXPECTED, 0, 0},
        {PROXY_SOCKS4, 3, false, 1, ok4, PROXY_REPLY_UNEXPECTED, 0, 0},
        {9, 1, false, 1, ok4, PROXY_REPLY_UNEXPECTED, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("type " + std::to_string(row.type) + " step " + std::to_string(row.step) + " reply " +
                     std::to_string(&row - rows));
        Proxy proxy = MakeProxy(row.type);
        const uint32_t judgedAt = row.judgedAt == W ? uint32_t(row.reply.size()) : row.judgedAt;
        for (uint32_t n = 0; n < judgedAt; ++n)
            EXPECT_EQ(PROXY_REPLY_INCOMPLETE,
                      ParseProxyReply(*proxy, row.step, row.linked, row.destIp, row.reply.data(), n).eState)
                << "prefix " << n;
        // The verdict stays the same with trailing bytes of whatever comes next.
        const Bytes withData = row.reply + "\x05\x00payload";
        ProxyReply r = ParseProxyReply(*proxy, row.step, row.linked, row.destIp, withData.data(),
                                       uint32_t(withData.size()));
        ASSERT_EQ(row.state, r.eState);
        if (row.state == PROXY_REPLY_ACCEPTED) {
            EXPECT_EQ(row.nextOrError, r.uiNextStep);
            EXPECT_EQ(row.reply.size(), r.uiUsed);
        } else if (row.state == PROXY_REPLY_REFUSED) {
            EXPECT_EQ(int(row.nextOrError), r.nError);
        }
    }
}

TEST(ProxyReply, HttpHeadersAreBoundedTo8KiB) {
    Proxy http = MakeProxy(PROXY_HTTP);
    const Bytes head = "HTTP/1.1 200 OK\r\nX-Pad: ";
    // Headers ending exactly at 8192 bytes are fine.
    Bytes fits = head + Bytes(kProxyMaxHttpReply - head.size() - 4, 'a') + "\r\n\r\n";
    ProxyReply r = ParseProxyReply(*http, 1, false, 1, fits.data(), uint32_t(fits.size()));
    EXPECT_TRUE(r.eState == PROXY_REPLY_ACCEPTED && r.uiUsed == kProxyMaxHttpReply);
    // One byte more is refused once 8 KiB are there; short of that, more is awaited.
    Bytes over = head + Bytes(kProxyMaxHttpReply - head.size() - 3, 'a') + "\r\n\r\n";
    EXPECT_EQ(PROXY_REPLY_INCOMPLETE, ParseProxyReply(*http, 1, false, 1, over.data(), kProxyMaxHttpReply - 1).eState);
    r = ParseProxyReply(*http, 1, false, 1, over.data(), kProxyMaxHttpReply);
    EXPECT_TRUE(r.eState == PROXY_REPLY_REFUSED && r.nError == 10061);
}

namespace {

// What an engine does with the drive: keeps received bytes, feeds them all,
// drops what a reply used, sends requests, and logs every other action.
struct FakeEngine {
    ProxyHandshake hs;
    Bytes held, sent, log;
    bool stopped = false;

    explicit FakeEngine(const ProxyData* proxy, ProxyAddr dest, bool linked = false)
        : hs{proxy, 0, linked, dest, kUdpLocal} {
        char req[kProxyRequestBufSize];
        Apply(ProxyHandshakeStart(hs, req), req);
    }
    void Receive(const Bytes& chunk) {
        held += chunk;
        while (!stopped && hs.uiStep < PROXY_STEP_DONE) {
            char req[kProxyRequestBufSize];
            ProxyStepResult r = ProxyHandshakeOnReply(hs, held.data(), uint32_t(held.size()), req);
            if (r.eAction == PROXY_NEED_MORE) return;
            held.erase(0, r.uiUsed);
            Apply(r, req);
        }
    }
    void Apply(const ProxyStepResult& r, const char* req) {
        hs.uiStep = r.uiStep;
        hs.dest = r.addr;
        switch (r.eAction) {
        case PROXY_SEND_REQUEST: sent.append(req, r.uiRequestLen); return;
        case PROXY_REPORT_BOUND: log += "bound " + Port(r.addr) + ";"; return;
        case PROXY_REPORT_RELAY: log += "relay " + Port(r.addr) + ";"; break;
        case PROXY_REPORT_ACCEPT: log += "accept " + Port(r.addr) + ";"; break;
        case PROXY_REPORT_CONNECT: log += "connect;"; break;
        case PROXY_FAIL: log += "fail " + std::to_string(r.nError) + " via " + std::to_string(r.eFail) + ";"; break;
        default: log += "unexpected action;"; break;
        }
        stopped = true;
    }
    static std::string Port(ProxyAddr a) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&a.wPort);
        return std::to_string(p[0] << 8 | p[1]);
    }
};

}  // namespace

// The server side in one piece or cut anywhere in two: the same requests and
// report, and the bytes after the final reply stay as application data.
// BIND's two replies may come together.
TEST(ProxyDrive, EveryHandshakeCutAnywhere) {
    Proxy s5auth = MakeProxy(PROXY_SOCKS5, "user", "secret"), s5 = MakeProxy(PROXY_SOCKS5),
          http = MakeProxy(PROXY_HTTP);
    const ProxyAddr any = Addr(0, 0, 0, 0, 0), bcast = Addr(255, 255, 255, 255, 0);
    struct Case {
        const ProxyData* proxy;
        ProxyAddr dest;
        bool linked;
        Bytes server, sent, log, held;
    } const cases[] = {
        {s5auth.get(), kDest, false, Bytes("\x05\x02\x01\x00", 4) + Socks5Reply(0, any) + "SSH-2.0-banner",
         Build(*s5auth, 1) + Build(*s5auth, 2) + Build(*s5auth, 3), "connect;", "SSH-2.0-banner"},
        {http.get(), kDest, false, "HTTP/1.1 200 Connection established\r\nProxy-agent: t\r\n\r\n220 smtp ready\r\n",
         Build(*http, 1), "connect;", "220 smtp ready\r\n"},
        {s5.get(), any, false,
         Bytes("\x05\x00", 2) + Socks5Reply(0, Addr(127, 0, 0, 1, 40000)) + Socks5Reply(0, Addr(127, 0, 0, 1, 50000)) + "hi",
         Build(*s5, 1) + Build(*s5, 5, any), "bound 40000;accept 50000;", "hi"},
        {s5.get(), bcast, true, Bytes("\x05\x00", 2) + Socks5Reply(0, Addr(10, 0, 0, 1, 6000)),
         Build(*s5, 1) + Build(*s5, 4, kDest, &kUdpLocal), "relay 6000;", ""},
    };
    for (const Case& c : cases) {
        for (size_t cut = 0; cut <= c.server.size(); ++cut) {
            SCOPED_TRACE("case " + std::to_string(&c - cases) + " cut " + std::to_string(cut));
            FakeEngine e(c.proxy, c.dest, c.linked);
            e.Receive(c.server.substr(0, cut));
            // Short of the final reply: only the reports before it.
            if (cut < c.server.size() - c.held.size()) {
                ASSERT_TRUE(e.log != c.log && c.log.compare(0, e.log.size(), e.log) == 0) << e.log;
            }
            e.Receive(c.server.substr(cut));
            ASSERT_TRUE(e.sent == c.sent && e.log == c.log && e.held == c.held) << e.log;
        }
    }
}

// Failures the engine suite cannot provoke, and who hears of them.
TEST(ProxyDrive, FailuresAndWhoHearsOfThem) {
    Proxy s5 = MakeProxy(PROXY_SOCKS5), unknown = MakeProxy(9);
    // No request can be built: 6, to the close event, or closing the control connection.
    FakeEngine noRequest(unknown.get(), kDest), noRequestUdp(unknown.get(), kDest, true);
    EXPECT_EQ("fail 6 via " + std::to_string(PROXY_FAIL_TO_CLOSE_SINK) + ";", noRequest.log);
    EXPECT_EQ("fail 6 via " + std::to_string(PROXY_FAIL_CLOSE_CONTROL) + ";", noRequestUdp.log);

    // The record has left the proxy list.
    FakeEngine gone(nullptr, kDest);
    EXPECT_EQ("fail 6 via " + std::to_string(PROXY_FAIL_TO_CLOSE_SINK) + ";", gone.log);
    ProxyHandshake hs{nullptr, 3, false, kDest, kUdpLocal};
    char req[kProxyRequestBufSize];
    ProxyStepResult r = ProxyHandshakeOnReply(hs, "\x05", 1, req);
    EXPECT_TRUE(r.eAction == PROXY_FAIL && r.nError == 6);

    // A request that could not be sent.
    hs.lpProxy = s5.get();
    r = ProxyHandshakeSendFailed(hs, 10054);
    EXPECT_TRUE(r.eAction == PROXY_FAIL && r.nError == 10054 && r.eFail == PROXY_FAIL_TO_CLOSE_SINK);
    hs.bLinked = true;
    EXPECT_EQ(PROXY_FAIL_CLOSE_CONTROL, ProxyHandshakeSendFailed(hs, 10054).eFail);
}
