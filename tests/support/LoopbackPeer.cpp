// The test peers use the operating system's sockets directly; this is the
// only place in the tests that knows which system it runs on.
#include "LoopbackPeer.h"

#include <chrono>
#include <mutex>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
typedef int socklen_t;
#else
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vxtest {

namespace {

// A peer that vanished must give an error, not a signal that ends the test
// (Winsock raises none).
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

// Waits until the socket is readable (or writable); false on time-out.
bool WaitIo(SOCKET s, bool bWrite, int nTimeoutMs) {
#if defined(_WIN32)
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{nTimeoutMs / 1000, (nTimeoutMs % 1000) * 1000};
    return select(0, bWrite ? nullptr : &set, bWrite ? &set : nullptr, nullptr, &tv) > 0;
#else
    pollfd p{static_cast<int>(s), static_cast<short>(bWrite ? POLLOUT : POLLIN), 0};
    return poll(&p, 1, nTimeoutMs) > 0;
#endif
}

// Small writes of a test must leave at once, one segment each.
RawSocket NoDelay(RawSocket r) {
    int one = 1;
    setsockopt(r.Handle(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return r;
}

RawSocket Open(int nType, uint16_t wPort, bool bBind) {
    NetInit();
    RawSocket r(socket(AF_INET, nType, 0));
    sockaddr_in a = Loopback(wPort);
    int one = 1;
    if (!r.IsValid()) return r;
    if (!bBind) {
        if (connect(r.Handle(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) r.Close();
        return NoDelay(std::move(r));
    }
    // Ports of the previous test run may still be in TIME_WAIT.
    if (nType == SOCK_STREAM)
        setsockopt(r.Handle(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    if (bind(r.Handle(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (nType == SOCK_STREAM && listen(r.Handle(), 64) != 0))
        r.Close();
    return r;
}

// When a wait that gives up after nMs ends (a last step may take as long).
std::chrono::steady_clock::time_point After(int nMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
}

}  // namespace

void NetInit() {
#if defined(_WIN32)
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    });
#endif
}

sockaddr_in Loopback(uint16_t wPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(wPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t PortOf(const sockaddr_in& addr) { return ntohs(addr.sin_port); }

bool IsLoopback(const sockaddr_in& addr) {
    return addr.sin_family == AF_INET && addr.sin_addr.s_addr == htonl(INADDR_LOOPBACK);
}

uint16_t LocalPortOf(SOCKET s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : 0;
}

int PendingBytes(SOCKET s) {
#if defined(_WIN32)
    u_long n = 0;
    return ioctlsocket(s, FIONREAD, &n) == 0 ? static_cast<int>(n) : -1;
#else
    int n = 0;
    return ioctl(static_cast<int>(s), FIONREAD, &n) == 0 ? n : -1;
#endif
}

uint16_t UnusedTcpPort() { return RawSocket::TcpListener(0).LocalPort(); }

RawSocket RawSocket::TcpListener(uint16_t wPort) { return Open(SOCK_STREAM, wPort, true); }

RawSocket RawSocket::TcpRefusing() {
    NetInit();
    // Bound without SO_REUSEADDR and never listening: connects to its port are
    // refused, and no other socket (a client's ephemeral port included,
    // which would connect to itself) can take the port meanwhile.
    RawSocket r(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = Loopback(0);
    if (r.IsValid() && bind(r.Handle(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) r.Close();
    return r;
}
RawSocket RawSocket::TcpConnect(uint16_t wPort) { return Open(SOCK_STREAM, wPort, false); }
RawSocket RawSocket::Udp(uint16_t wPort) { return Open(SOCK_DGRAM, wPort, true); }

RawSocket RawSocket::Accept(int nTimeoutMs) {
    if (!IsValid() || !WaitIo(m_s, false, nTimeoutMs)) return RawSocket();
    return NoDelay(RawSocket(accept(m_s, nullptr, nullptr)));
}

bool RawSocket::SendAll(const std::string& str) {
    for (size_t pos = 0; pos < str.size();) {
        int chunk = static_cast<int>(str.size() - pos < (1u << 20) ? str.size() - pos : 1u << 20);
        int n = WaitIo(m_s, true, 10000) ? send(m_s, str.data() + pos, chunk, MSG_NOSIGNAL) : -1;
        if (n <= 0) return false;
        pos += static_cast<size_t>(n);
    }
    return true;
}

int RawSocket::RecvUpTo(std::string& out, size_t nMax, int nTimeoutMs) {
    if (!WaitIo(m_s, false, nTimeoutMs)) return kTimedOut;
    char buf[65536];
    int got = recv(m_s, buf, static_cast<int>(nMax < sizeof buf ? nMax : sizeof buf), 0);
    if (got > 0) out.append(buf, static_cast<size_t>(got));
    return got < 0 ? -1 : got;
}

bool RawSocket::RecvExact(std::string& out, size_t n, int nTimeoutMs) {
    auto end = After(nTimeoutMs);
    for (size_t want = out.size() + n; out.size() < want;)
        if (std::chrono::steady_clock::now() > end || RecvUpTo(out, want - out.size(), nTimeoutMs) <= 0) return false;
    return true;
}

bool RawSocket::WaitClosed(int nTimeoutMs, std::string* lpOut) {
    auto end = After(nTimeoutMs);
    for (std::string dropped; std::chrono::steady_clock::now() <= end; dropped.clear()) {
        int r = RecvUpTo(lpOut ? *lpOut : dropped, 65536, nTimeoutMs);
        if (r == 0 || r == -1) return true;  // end of stream or reset
        if (r == kTimedOut) break;
    }
    return false;
}

int RawSocket::SendToAddr(const sockaddr_in& to, const std::string& data) {
    return sendto(m_s, data.data(), static_cast<int>(data.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to);
}

int RawSocket::RecvFrom(std::string& out, sockaddr_in* lpFrom, int nTimeoutMs) {
    char buf[65536];
    sockaddr_in from;
    socklen_t len = sizeof from;
    int got = WaitIo(m_s, false, nTimeoutMs)
                  ? recvfrom(m_s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len)
                  : -1;
    out.assign(buf, got > 0 ? static_cast<size_t>(got) : 0);
    if (lpFrom && got >= 0) *lpFrom = from;
    return got;
}

void RawSocket::AbortiveClose() {
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    if (IsValid()) setsockopt(m_s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    Close();
}

void RawSocket::Close() {
#if defined(_WIN32)
    if (m_s != INVALID_SOCKET) closesocket(m_s);
#else
    if (m_s != INVALID_SOCKET) close(static_cast<int>(m_s));
#endif
    m_s = INVALID_SOCKET;
}

}  // namespace vxtest
