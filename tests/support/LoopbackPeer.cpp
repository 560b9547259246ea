// The test peers use the operating system's sockets directly; this is the
// only place in the tests that knows which system it runs on.
#include "LoopbackPeer.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
typedef int socklen_t;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vxtest {

namespace {

#if defined(_WIN32)
constexpr int kSendFlags = 0;
int CloseHandleOf(SOCKET s) { return closesocket(s); }
#else
// A peer that vanished must give an error, not a signal that ends the test.
constexpr int kSendFlags = MSG_NOSIGNAL;
int CloseHandleOf(SOCKET s) { return close(static_cast<int>(s)); }
#endif

// Waits until the socket is readable (or writable); false on time-out.
bool WaitIo(SOCKET s, bool bWrite, int nTimeoutMs) {
#if defined(_WIN32)
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{nTimeoutMs / 1000, (nTimeoutMs % 1000) * 1000};
    int n = select(0, bWrite ? nullptr : &set, bWrite ? &set : nullptr, nullptr, &tv);
    return n > 0;
#else
    pollfd p{static_cast<int>(s), static_cast<short>(bWrite ? POLLOUT : POLLIN), 0};
    int n = poll(&p, 1, nTimeoutMs);
    return n > 0;
#endif
}

SOCKET OpenSocket(int nType) {
    NetInit();
    SOCKET s = socket(AF_INET, nType, 0);
    return s;
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
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
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
    sockaddr_in a;
    socklen_t len = sizeof a;
    std::memset(&a, 0, sizeof a);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

int PendingBytes(SOCKET s) {
#if defined(_WIN32)
    u_long n = 0;
    if (ioctlsocket(s, FIONREAD, &n) != 0) return -1;
    return static_cast<int>(n);
#else
    int n = 0;
    if (ioctl(static_cast<int>(s), FIONREAD, &n) != 0) return -1;
    return n;
#endif
}

uint16_t UnusedTcpPort() {
    RawSocket s = RawSocket::TcpListener(0);
    return s.LocalPort();
}

bool PollUntil(const std::function<bool()>& cond, int nTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

RawSocket& RawSocket::operator=(RawSocket&& o) noexcept {
    if (this != &o) {
        Close();
        m_s = o.m_s;
        o.m_s = INVALID_SOCKET;
    }
    return *this;
}

RawSocket RawSocket::TcpListener(uint16_t wPort) {
    RawSocket r(OpenSocket(SOCK_STREAM));
    if (!r.IsValid()) return r;
    int one = 1;
    // Ports of the previous test run may still be in TIME_WAIT.
    setsockopt(r.m_s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in a = Loopback(wPort);
    if (bind(r.m_s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(r.m_s, 64) != 0) r.Close();
    return r;
}

RawSocket RawSocket::TcpConnect(uint16_t wPort) {
    RawSocket r(OpenSocket(SOCK_STREAM));
    if (!r.IsValid()) return r;
    sockaddr_in a = Loopback(wPort);
    if (connect(r.m_s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        r.Close();
        return r;
    }
    int one = 1;
    // Small writes of a test must leave at once, one segment each.
    setsockopt(r.m_s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return r;
}

RawSocket RawSocket::Udp(uint16_t wPort) {
    RawSocket r(OpenSocket(SOCK_DGRAM));
    if (!r.IsValid()) return r;
    sockaddr_in a = Loopback(wPort);
    if (bind(r.m_s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) r.Close();
    return r;
}

RawSocket RawSocket::Accept(int nTimeoutMs) {
    if (!IsValid() || !WaitIo(m_s, false, nTimeoutMs)) return RawSocket();
    RawSocket r(accept(m_s, nullptr, nullptr));
    if (r.IsValid()) {
        int one = 1;
        setsockopt(r.m_s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    }
    return r;
}

bool RawSocket::SendAll(const void* lpData, size_t nLen) {
    const char* p = static_cast<const char*>(lpData);
    while (nLen > 0) {
        if (!WaitIo(m_s, true, 10000)) return false;
        int chunk = nLen > (1u << 20) ? (1 << 20) : static_cast<int>(nLen);
        int n = send(m_s, p, chunk, kSendFlags);
        if (n <= 0) return false;
        p += n;
        nLen -= static_cast<size_t>(n);
    }
    return true;
}

bool RawSocket::RecvExact(std::string& out, size_t n, int nTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    char buf[65536];
    while (n > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitIo(m_s, false, static_cast<int>(left.count()))) return false;
        int want = n < sizeof buf ? static_cast<int>(n) : static_cast<int>(sizeof buf);
        int got = recv(m_s, buf, want, 0);
        if (got <= 0) return false;
        out.append(buf, static_cast<size_t>(got));
        n -= static_cast<size_t>(got);
    }
    return true;
}

int RawSocket::RecvUpTo(std::string& out, size_t nMax, int nTimeoutMs) {
    if (!WaitIo(m_s, false, nTimeoutMs)) return kTimedOut;
    char buf[65536];
    int got = recv(m_s, buf, nMax < sizeof buf ? static_cast<int>(nMax) : static_cast<int>(sizeof buf), 0);
    if (got > 0) out.append(buf, static_cast<size_t>(got));
    return got < 0 ? -1 : got;
}

bool RawSocket::WaitClosed(int nTimeoutMs, std::string* lpOut) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    char buf[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitIo(m_s, false, static_cast<int>(left.count()))) return false;
        int got = recv(m_s, buf, sizeof buf, 0);
        if (got <= 0) return true;  // end of stream or reset
        if (lpOut) lpOut->append(buf, static_cast<size_t>(got));
    }
}

int RawSocket::SendTo(uint16_t wPort, const std::string& data) { return SendToAddr(Loopback(wPort), data); }

int RawSocket::SendToAddr(const sockaddr_in& to, const std::string& data) {
    return sendto(m_s, data.data(), static_cast<int>(data.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to);
}

int RawSocket::RecvFrom(std::string& out, sockaddr_in* lpFrom, int nTimeoutMs) {
    out.clear();
    if (!WaitIo(m_s, false, nTimeoutMs)) return -1;
    char buf[65536];
    sockaddr_in from;
    socklen_t len = sizeof from;
    std::memset(&from, 0, sizeof from);
    int got = recvfrom(m_s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (got < 0) return -1;
    out.assign(buf, static_cast<size_t>(got));
    if (lpFrom) *lpFrom = from;
    return got;
}

void RawSocket::AbortiveClose() {
    if (!IsValid()) return;
    linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(m_s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    Close();
}

void RawSocket::Close() {
    if (m_s != INVALID_SOCKET) CloseHandleOf(m_s);
    m_s = INVALID_SOCKET;
}

SOCKET RawSocket::Release() {
    SOCKET s = m_s;
    m_s = INVALID_SOCKET;
    return s;
}

}  // namespace vxtest
