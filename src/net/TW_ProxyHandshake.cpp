#include "TW_ProxyHandshake.h"

#include <cstdio>
#include <cstring>

#include "TW_Base64.h"
#include "vxnet/ISocketMgr.h"
#include "vxnet/vxmempool.h"

namespace {

// Longest user:password whose Base64 text can fit a request at all; the
// exact limit is the snprintf result below.
constexpr size_t kMaxHttpCredBytes = kProxyRequestBufSize / 4 * 3;

// SOCKS5 reply to a command: VER REP RSV ATYP, address, port.
constexpr uint32_t kSocks5ReplyHead = 4;
constexpr uint8_t kAtypIpv4 = 1, kAtypDomain = 3, kAtypIpv6 = 4;

size_t StrLen(const char* lpsz) { return lpsz ? std::strlen(lpsz) : 0; }

// Network-order values are kept as their wire bytes, so they are copied,
// never shifted: the same code is right on either byte order.
void PutAddr(uint8_t* p, ProxyAddr a) {
    std::memcpy(p, &a.dwIp, 4);
    std::memcpy(p + 4, &a.wPort, 2);
}

ProxyAddr GetAddr(const uint8_t* p) {
    ProxyAddr a;
    std::memcpy(&a.dwIp, p, 4);
    std::memcpy(&a.wPort, p + 4, 2);
    return a;
}

// Request bytes: u8 fields, then the address, then the port.
uint32_t PutCommand(uint8_t* p, uint8_t byCmd, ProxyAddr a) {
    p[0] = 5;
    p[1] = byCmd;
    p[2] = 0;
    p[3] = kAtypIpv4;
    PutAddr(p + 4, a);
    return 10;
}

uint32_t BuildSocks4Connect(const ProxyData& proxy, ProxyAddr dest, uint8_t* p) {
    size_t nUser = StrLen(proxy.lpszUser);
    if (nUser > kProxyMaxCredential) return 0;
    p[0] = 4;
    p[1] = 1;
    std::memcpy(p + 2, &dest.wPort, 2);
    std::memcpy(p + 4, &dest.dwIp, 4);
    if (nUser) std::memcpy(p + 8, proxy.lpszUser, nUser);
    p[8 + nUser] = 0;
    return uint32_t(9 + nUser);
}

uint32_t BuildSocks5Auth(const ProxyData& proxy, uint8_t* p) {
    size_t nUser = StrLen(proxy.lpszUser), nPass = StrLen(proxy.lpszPassword);
    if (nUser > kProxyMaxCredential || nPass > kProxyMaxCredential) return 0;
    p[0] = 1;
    p[1] = uint8_t(nUser);
    if (nUser) std::memcpy(p + 2, proxy.lpszUser, nUser);
    p[2 + nUser] = uint8_t(nPass);
    if (nPass) std::memcpy(p + 3 + nUser, proxy.lpszPassword, nPass);
    return uint32_t(3 + nUser + nPass);
}

uint32_t BuildHttpConnect(const char* lpszUser, const char* lpszPassword, ProxyAddr dest, char* lpBuf) {
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&dest.dwIp);
    const uint8_t* port = reinterpret_cast<const uint8_t*>(&dest.wPort);
    char szHost[16];
    std::snprintf(szHost, sizeof szHost, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    int nPort = port[0] << 8 | port[1];

    int n;
    if (!lpszUser || !lpszPassword) {
        n = std::snprintf(lpBuf, kProxyRequestBufSize, "%s%s:%d%s", "CONNECT ", szHost, nPort,
                          " HTTP/1.1\r\n\r\n");
    } else {
        size_t nUser = std::strlen(lpszUser), nPass = std::strlen(lpszPassword);
        size_t nCred = nUser + 1 + nPass;
        if (nCred > kMaxHttpCredBytes) return 0;
        // Exactly user:password, no terminator: it is part of what Basic encodes.
        char szCred[kMaxHttpCredBytes];
        std::memcpy(szCred, lpszUser, nUser);
        szCred[nUser] = ':';
        std::memcpy(szCred + nUser + 1, lpszPassword, nPass);
        char szBase64[kMaxHttpCredBytes / 3 * 4 + 1];
        if (Base64Encode(szCred, szBase64, int(nCred), false) < 0) return 0;
        n = std::snprintf(lpBuf, kProxyRequestBufSize, "%s%s:%d%s%s%s%s", "CONNECT ", szHost, nPort,
                          " HTTP/1.1\r\n", "Proxy-authorization: Basic ", szBase64, "\r\n\r\n");
    }
    // A truncated request is no request.
    if (n <= 0 || n >= int(kProxyRequestBufSize)) return 0;
    return uint32_t(n);
}

// ---------------------------------------------------------------- replies

ProxyReply Incomplete() { return ProxyReply{PROXY_REPLY_INCOMPLETE, 0, 0, 0, false, {0, 0}}; }
ProxyReply Unexpected() { return ProxyReply{PROXY_REPLY_UNEXPECTED, 0, 0, 0, false, {0, 0}}; }
ProxyReply Refused(uint32_t uiUsed, int nError) {
    return ProxyReply{PROXY_REPLY_REFUSED, uiUsed, nError, 0, false, {0, 0}};
}
ProxyReply Accepted(uint32_t uiUsed, uint32_t uiNextStep) {
    return ProxyReply{PROXY_REPLY_ACCEPTED, uiUsed, 0, uiNextStep, false, {0, 0}};
}

// The SOCKS5 command after the greeting (and the password, if asked).
uint32_t Socks5Command(bool bLinked, uint32_t dwDestIp) {
    if (bLinked) return PROXY_STEP_UDP_ASSOCIATE;
    return dwDestIp == 0 ? PROXY_STEP_BIND : PROXY_STEP_CONNECT;
}

ProxyReply ParseSocks4(const uint8_t* p, uint32_t uiLen) {
    if (uiLen < 8) return Incomplete();
    if (p[0] == 0 && p[1] == 0x5A) return Accepted(8, PROXY_STEP_DONE);
    return Refused(8, kProxyErrRefused);
}

// Status line and headers up to the first empty line (LF or CR LF ends a
// line), at most kProxyMaxHttpReply bytes. Accepted when the status line's
// second space-separated token begins with "2".
ProxyReply ParseHttp(const uint8_t* p, uint32_t uiLen) {
    uint32_t uiLimit = uiLen < kProxyMaxHttpReply ? uiLen : kProxyMaxHttpReply;
    uint32_t uiStatusEnd = 0, uiLineStart = 0, uiEnd = 0;
    for (uint32_t i = 0; i < uiLimit; ++i) {
        if (p[i] != '\n') continue;
        if (uiLineStart == 0) uiStatusEnd = i;
        uint32_t uiLineLen = i - uiLineStart;
        if (uiLineLen == 0 || (uiLineLen == 1 && p[uiLineStart] == '\r')) {
            uiEnd = i + 1;
            break;
        }
        uiLineStart = i + 1;
    }
    if (uiEnd == 0) return uiLen >= kProxyMaxHttpReply ? Refused(uiLimit, kProxyErrRefused) : Incomplete();

    // An empty first line leaves no status line, hence no token.
    uint32_t i = 0;
    int nToken = 0;
    while (i < uiStatusEnd) {
        while (i < uiStatusEnd && p[i] == ' ') ++i;
        if (i == uiStatusEnd) break;
        if (++nToken == 2) return p[i] == '2' ? Accepted(uiEnd, PROXY_STEP_DONE) : Refused(uiEnd, kProxyErrRefused);
        while (i < uiStatusEnd && p[i] != ' ') ++i;
    }
    return Refused(uiEnd, kProxyErrRefused);
}

ProxyReply ParseSocks5Method(const uint8_t* p, uint32_t uiLen, bool bLinked, uint32_t dwDestIp) {
    if (uiLen < 2) return Incomplete();
    if (p[0] != 5 || (p[1] != 0 && p[1] != 2)) return Refused(2, kProxyErrNoMethod);
    return Accepted(2, p[1] == 2 ? PROXY_STEP_AUTH : Socks5Command(bLinked, dwDestIp));
}

ProxyReply ParseSocks5Auth(const uint8_t* p, uint32_t uiLen, bool bLinked, uint32_t dwDestIp) {
    if (uiLen < 2) return Incomplete();
    if (p[1] != 0) return Refused(2, kProxyErrPasswordRefused);
    return Accepted(2, Socks5Command(bLinked, dwDestIp));
}

// Only IPv4 replies are accepted; a domain or IPv6 reply is read to its end
// (so its length is judged right) and then refused. An unknown address type
// has no length to wait for and is refused at once.
ProxyReply ParseSocks5Command(const uint8_t* p, uint32_t uiLen, uint32_t uiStep) {
    int nError = uiStep == PROXY_STEP_BIND_ACCEPT ? kProxyErrBindRefused : kProxyErrRefused;
    if (uiLen < kSocks5ReplyHead) return Incomplete();
    uint32_t uiReplyLen;
    switch (p[3]) {
    case kAtypIpv4: uiReplyLen = kSocks5ReplyHead + 4 + 2; break;
    case kAtypIpv6: uiReplyLen = kSocks5ReplyHead + 16 + 2; break;
    case kAtypDomain:
        if (uiLen < kSocks5ReplyHead + 1) return Incomplete();
        uiReplyLen = kSocks5ReplyHead + 1 + p[4] + 2;
        break;
    default: return Refused(kSocks5ReplyHead, nError);
    }
    if (uiLen < uiReplyLen) return Incomplete();
    if (p[0] != 5 || p[1] != 0 || p[3] != kAtypIpv4) return Refused(uiReplyLen, nError);

    uint32_t uiNext = uiStep == PROXY_STEP_BIND ? PROXY_STEP_BIND_ACCEPT : PROXY_STEP_DONE;
    ProxyReply r = Accepted(uiReplyLen, uiNext);
    if (uiStep != PROXY_STEP_CONNECT) {
        r.bHasAddr = true;
        r.addr = GetAddr(p + kSocks5ReplyHead);
    }
    return r;
}

// ---------------------------------------------------------------- drive

ProxyStepResult Result(ProxyAction eAction, const ProxyHandshake& hs) {
    return ProxyStepResult{eAction, 0, hs.uiStep, hs.dest, 0, 0, PROXY_FAIL_TO_PROXY_SINK};
}

// A request that could not be built or sent ends the handshake: a UDP
// socket hears of it through its proxy event and loses its control
// connection; a TCP socket gets its close event.
ProxyStepResult RequestFailed(ProxyStepResult r, bool bLinked, int nError) {
    r.eAction = PROXY_FAIL;
    r.nError = nError;
    r.uiRequestLen = 0;
    r.eFail = bLinked ? PROXY_FAIL_CLOSE_CONTROL : PROXY_FAIL_TO_CLOSE_SINK;
    return r;
}

ProxyStepResult SendOrFail(ProxyStepResult r, const ProxyHandshake& hs, char* lpRequest) {
    r.uiRequestLen = BuildProxyRequest(*hs.lpProxy, r.uiStep, r.addr, hs.bLinked ? &hs.udpLocal : nullptr,
                                       lpRequest);
    if (r.uiRequestLen == 0) return RequestFailed(r, hs.bLinked, kProxyErrGone);
    r.eAction = PROXY_SEND_REQUEST;
    return r;
}

}  // namespace

// ---------------------------------------------------------------- record

bool ProxyArgsAcceptable(uint32_t uiType, const char* lpszIp, const char* lpszUser, const char* lpszPassword) {
    if (!lpszIp) return false;
    switch (uiType) {
    case PROXY_SOCKS4:
    case PROXY_SOCKS5:
        return StrLen(lpszUser) <= kProxyMaxCredential && StrLen(lpszPassword) <= kProxyMaxCredential;
    case PROXY_HTTP: {
        if (!lpszUser || !lpszPassword) return true;
        // The longest destination gives the longest request line.
        char szScratch[kProxyRequestBufSize];
        ProxyAddr widest{0xFFFFFFFFu, 0xFFFF};
        return BuildHttpConnect(lpszUser, lpszPassword, widest, szScratch) > 0;
    }
    default:
        return false;  // a proxy of an unknown type could never build a request
    }
}

ProxyData* ProxyDataAlloc(uint32_t uiType, uint32_t dwIp, uint16_t wPort, const char* lpszUser,
                          const char* lpszPassword) {
    size_t nUser = lpszUser ? std::strlen(lpszUser) + 1 : 0;
    size_t nPass = lpszPassword ? std::strlen(lpszPassword) + 1 : 0;
    size_t nSize = sizeof(ProxyData) + nUser + nPass;
    if (nSize > 0xFFFFFFFFu) return nullptr;
    ProxyData* p = static_cast<ProxyData*>(MemPoolAlloc(uint32_t(nSize)));
    if (!p) return nullptr;
    std::memset(static_cast<void*>(p), 0, nSize);
    p->uiType = uiType;
    p->dwIp = dwIp;
    p->wPort = wPort;
    char* lpStrings = reinterpret_cast<char*>(p + 1);
    if (lpszUser) {
        p->lpszUser = lpStrings;
        std::memcpy(lpStrings, lpszUser, nUser);
        lpStrings += nUser;
    }
    if (lpszPassword) {
        p->lpszPassword = lpStrings;
        std::memcpy(lpStrings, lpszPassword, nPass);
    }
    return p;
}

static bool SameString(const char* a, const char* b) {
    if (!a || !b) return a == b;
    return std::strcmp(a, b) == 0;
}

bool ProxyDataEquals(const ProxyData& proxy, uint32_t uiType, uint32_t dwIp, uint16_t wPort,
                     const char* lpszUser, const char* lpszPassword) {
    return proxy.uiType == uiType && proxy.dwIp == dwIp && proxy.wPort == wPort &&
           SameString(proxy.lpszUser, lpszUser) && SameString(proxy.lpszPassword, lpszPassword);
}

// ---------------------------------------------------------------- requests

uint32_t BuildProxyRequest(const ProxyData& proxy, uint32_t uiStep, ProxyAddr dest, const ProxyAddr* lpUdpLocal,
                           char* lpBuf) {
    uint8_t* p = reinterpret_cast<uint8_t*>(lpBuf);
    if (uiStep == PROXY_STEP_FIRST) {
        switch (proxy.uiType) {
        case PROXY_SOCKS4: return BuildSocks4Connect(proxy, dest, p);
        case PROXY_HTTP: return BuildHttpConnect(proxy.lpszUser, proxy.lpszPassword, dest, lpBuf);
        case PROXY_SOCKS5:
            p[0] = 5;
            p[1] = 1;
            p[2] = proxy.lpszUser ? 2 : 0;
            return 3;
        default: return 0;
        }
    }
    if (proxy.uiType != PROXY_SOCKS5) return 0;
    switch (uiStep) {
    case PROXY_STEP_AUTH: return BuildSocks5Auth(proxy, p);
    case PROXY_STEP_CONNECT: return PutCommand(p, 1, dest);
    case PROXY_STEP_UDP_ASSOCIATE: return lpUdpLocal ? PutCommand(p, 3, *lpUdpLocal) : 0;
    case PROXY_STEP_BIND: {
        // The expected peer is given as loopback; the proxy picks the port it listens on.
        static const uint8_t kLoopback[4] = {127, 0, 0, 1};
        ProxyAddr a{0, dest.wPort};
        std::memcpy(&a.dwIp, kLoopback, 4);
        return PutCommand(p, 2, a);
    }
    default: return 0;
    }
}

ProxyReply ParseProxyReply(const ProxyData& proxy, uint32_t uiStep, bool bLinked, uint32_t dwDestIp,
                           const void* lpData, uint32_t uiLen) {
    const uint8_t* p = static_cast<const uint8_t*>(lpData);
    if (!p) uiLen = 0;
    if (uiStep == PROXY_STEP_FIRST) {
        switch (proxy.uiType) {
        case PROXY_SOCKS4: return ParseSocks4(p, uiLen);
        case PROXY_HTTP: return ParseHttp(p, uiLen);
        case PROXY_SOCKS5: return ParseSocks5Method(p, uiLen, bLinked, dwDestIp);
        default: return Unexpected();
        }
    }
    if (proxy.uiType != PROXY_SOCKS5) return Unexpected();
    switch (uiStep) {
    case PROXY_STEP_AUTH: return ParseSocks5Auth(p, uiLen, bLinked, dwDestIp);
    case PROXY_STEP_CONNECT:
    case PROXY_STEP_UDP_ASSOCIATE:
    case PROXY_STEP_BIND:
    case PROXY_STEP_BIND_ACCEPT: return ParseSocks5Command(p, uiLen, uiStep);
    default: return Unexpected();
    }
}

// ---------------------------------------------------------------- drive

ProxyStepResult ProxyHandshakeStart(const ProxyHandshake& hs, char* lpRequest) {
    ProxyStepResult r = Result(PROXY_SEND_REQUEST, hs);
    r.uiStep = PROXY_STEP_FIRST;
    if (!hs.lpProxy) return RequestFailed(r, hs.bLinked, kProxyErrGone);
    return SendOrFail(r, hs, lpRequest);
}

ProxyStepResult ProxyHandshakeOnReply(const ProxyHandshake& hs, const void* lpData, uint32_t uiLen,
                                      char* lpRequest) {
    ProxyStepResult r = Result(PROXY_FAIL, hs);
    if (!hs.lpProxy) {
        r.nError = kProxyErrGone;
        return r;
    }
    ProxyReply reply = ParseProxyReply(*hs.lpProxy, hs.uiStep, hs.bLinked, hs.dest.dwIp, lpData, uiLen);
    switch (reply.eState) {
    case PROXY_REPLY_INCOMPLETE: r.eAction = PROXY_NEED_MORE; return r;
    case PROXY_REPLY_UNEXPECTED: r.eAction = PROXY_NO_HANDSHAKE; return r;
    case PROXY_REPLY_REFUSED:
        r.uiUsed = reply.uiUsed;
        r.nError = reply.nError;
        return r;
    case PROXY_REPLY_ACCEPTED: break;
    }

    r.uiUsed = reply.uiUsed;
    r.uiStep = reply.uiNextStep;
    if (reply.bHasAddr) r.addr = reply.addr;
    if (r.uiStep == PROXY_STEP_BIND_ACCEPT) {
        r.eAction = PROXY_REPORT_BOUND;
    } else if (r.uiStep == PROXY_STEP_DONE) {
        if (hs.bLinked) r.eAction = PROXY_REPORT_RELAY;
        else if (hs.uiStep == PROXY_STEP_BIND_ACCEPT) r.eAction = PROXY_REPORT_ACCEPT;
        else r.eAction = PROXY_REPORT_CONNECT;
    } else {
        return SendOrFail(r, hs, lpRequest);
    }
    return r;
}

ProxyStepResult ProxyHandshakeSendFailed(const ProxyHandshake& hs, int nError) {
    return RequestFailed(Result(PROXY_FAIL, hs), hs.bLinked, nError);
}
