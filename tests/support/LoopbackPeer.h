// Raw loopback sockets for the tests: the "other end" of an engine socket,
// written straight against the operating system's socket API so that a fault
// in the library's own platform layer cannot hide a fault in an engine.
// Every wait is bounded by a time-out in milliseconds.
#ifndef VX_TEST_LOOPBACK_PEER_H
#define VX_TEST_LOOPBACK_PEER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "vxnet/ISocketMgr.h"

namespace vxtest {

// Starts the socket layer of the process once (Winsock needs it before the
// first raw socket; elsewhere nothing to do).
void NetInit();

// {AF_INET, 127.0.0.1, port}.
sockaddr_in Loopback(uint16_t wPort);
uint16_t PortOf(const sockaddr_in& addr);
bool IsLoopback(const sockaddr_in& addr);

// The local port of any socket handle of this process (also one an engine
// owns); 0 when it cannot be read.
uint16_t LocalPortOf(SOCKET s);
// Bytes waiting in the receive queue of any socket handle of this process;
// -1 when the handle is not a socket (any more).
int PendingBytes(SOCKET s);
// A loopback TCP port with nothing listening on it (bound once, then closed).
uint16_t UnusedTcpPort();

// Waits until cond() is true, re-checking every millisecond; false on time-out.
// For conditions no event announces (bytes left in a kernel queue).
bool PollUntil(const std::function<bool()>& cond, int nTimeoutMs);

// One socket, closed when the object goes.
class RawSocket {
public:
    RawSocket() = default;
    explicit RawSocket(SOCKET s) : m_s(s) {}
    ~RawSocket() { Close(); }
    RawSocket(RawSocket&& o) noexcept : m_s(o.m_s) { o.m_s = INVALID_SOCKET; }
    RawSocket& operator=(RawSocket&& o) noexcept;
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    // A TCP socket listening on 127.0.0.1 (port 0: an ephemeral one).
    static RawSocket TcpListener(uint16_t wPort = 0);
    // A TCP socket connected to 127.0.0.1:port (blocking connect).
    static RawSocket TcpConnect(uint16_t wPort);
    // A UDP socket bound to 127.0.0.1 (port 0: an ephemeral one).
    static RawSocket Udp(uint16_t wPort = 0);

    bool IsValid() const { return m_s != INVALID_SOCKET; }
    SOCKET Handle() const { return m_s; }
    uint16_t LocalPort() const { return LocalPortOf(m_s); }

    // The next connection of a listener, or an invalid socket on time-out.
    RawSocket Accept(int nTimeoutMs);

    bool SendAll(const void* lpData, size_t nLen);
    bool SendAll(const std::string& str) { return SendAll(str.data(), str.size()); }
    // Appends exactly n bytes to out; false on time-out, error or end of stream.
    bool RecvExact(std::string& out, size_t n, int nTimeoutMs);
    // Appends whatever arrives first to out: bytes received (> 0), 0 at the
    // end of the stream, -1 on error (a reset), kTimedOut on time-out.
    static constexpr int kTimedOut = -2;
    int RecvSome(std::string& out, int nTimeoutMs) { return RecvUpTo(out, 65536, nTimeoutMs); }
    // The same, taking at most nMax bytes.
    int RecvUpTo(std::string& out, size_t nMax, int nTimeoutMs);
    // Reads until the peer ends the stream (orderly or by reset): true when
    // it did within the time-out. Received bytes go to lpOut if given.
    bool WaitClosed(int nTimeoutMs, std::string* lpOut = nullptr);

    int SendTo(uint16_t wPort, const std::string& data);
    int SendToAddr(const sockaddr_in& to, const std::string& data);
    // One datagram into out (replacing it); its sender into lpFrom. -1 on
    // error or time-out.
    int RecvFrom(std::string& out, sockaddr_in* lpFrom, int nTimeoutMs);

    // Closes with a reset instead of an orderly end (linger 0).
    void AbortiveClose();
    void Close();
    // Gives up ownership without closing.
    SOCKET Release();

private:
    SOCKET m_s = INVALID_SOCKET;
};

}  // namespace vxtest

#endif
