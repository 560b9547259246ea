// Raw loopback sockets, the other end of an engine socket, written straight
// against the system's API so that a fault in the library's platform layer
// cannot hide one in an engine. Every wait has a time-out in milliseconds.
#ifndef VX_TEST_LOOPBACK_PEER_H
#define VX_TEST_LOOPBACK_PEER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "PollUntil.h"
#include "vxnet/ISocketMgr.h"

namespace vxtest {

// Starts the socket layer of the process once (Winsock needs it).
void NetInit();
sockaddr_in Loopback(uint16_t wPort);  // 127.0.0.1:port
uint16_t PortOf(const sockaddr_in& addr);
bool IsLoopback(const sockaddr_in& addr);
// Of any socket handle of this process: its local port (0: unknown), the
// bytes in its receive queue (-1: not a socket).
uint16_t LocalPortOf(SOCKET s);
int PendingBytes(SOCKET s);
// A loopback TCP port with nothing listening on it (bound once, then closed).
uint16_t UnusedTcpPort();

// One socket, closed when the object goes.
class RawSocket {
public:
    static constexpr int kTimedOut = -2;

    RawSocket() = default;
    explicit RawSocket(SOCKET s) : m_s(s) {}
    ~RawSocket() { Close(); }
    RawSocket(RawSocket&& o) noexcept : m_s(o.m_s) { o.m_s = INVALID_SOCKET; }
    RawSocket& operator=(RawSocket&& o) noexcept {
        if (this != &o) Close(), m_s = o.m_s, o.m_s = INVALID_SOCKET;
        return *this;
    }

    // Listening on, connected to or bound to 127.0.0.1:port (0: ephemeral).
    static RawSocket TcpListener(uint16_t wPort = 0);
    static RawSocket TcpConnect(uint16_t wPort);
    // A port on 127.0.0.1 that refuses connections for as long as it lives.
    static RawSocket TcpRefusing();
    static RawSocket Udp(uint16_t wPort = 0);

    bool IsValid() const { return m_s != INVALID_SOCKET; }
    SOCKET Handle() const { return m_s; }
    uint16_t LocalPort() const { return LocalPortOf(m_s); }
    RawSocket Accept(int nTimeoutMs);  // invalid on time-out

    bool SendAll(const std::string& str);
    // Appends exactly n bytes to out; false on time-out, error or end of stream.
    bool RecvExact(std::string& out, size_t n, int nTimeoutMs);
    // Appends at most nMax bytes that arrive to out: the count, 0 at the end
    // of the stream, -1 on error (a reset), or kTimedOut.
    int RecvUpTo(std::string& out, size_t nMax, int nTimeoutMs);
    // Reads until the peer ends the stream (orderly or by reset) within the
    // time-out; received bytes go to lpOut if given.
    bool WaitClosed(int nTimeoutMs, std::string* lpOut = nullptr);

    int SendTo(uint16_t wPort, const std::string& data) { return SendToAddr(Loopback(wPort), data); }
    int SendToAddr(const sockaddr_in& to, const std::string& data);
    // One datagram into out, its sender into lpFrom; -1 on error or time-out.
    int RecvFrom(std::string& out, sockaddr_in* lpFrom, int nTimeoutMs);

    void AbortiveClose();  // with a reset instead of an orderly end
    void Close();

private:
    SOCKET m_s = INVALID_SOCKET;
};

}  // namespace vxtest

#endif
