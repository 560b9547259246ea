// Loopback helpers for the platform socket tests: sockets that close
// themselves, a listener on an ephemeral port, a connected pair, and waits
// for readiness that end with a time-out instead of hanging a test.
#ifndef VX_TEST_LOOPBACK_SOCKETS_H
#define VX_TEST_LOOPBACK_SOCKETS_H

#include <gtest/gtest.h>

#include "PfError.h"
#include "PfSelect.h"
#include "PfSocket.h"

namespace vxtest {

// Long enough for a refused connect on Windows, which retries the SYN.
constexpr uint32_t kWaitMs = 10000;

inline uint32_t Loopback() { return pf::InetAddr("127.0.0.1"); }

class ScopedSocket {
public:
    explicit ScopedSocket(SOCKET s = INVALID_SOCKET) : m_s(s) {}
    ~ScopedSocket() { Reset(); }
    ScopedSocket(const ScopedSocket&) = delete;
    ScopedSocket& operator=(const ScopedSocket&) = delete;

    SOCKET Get() const { return m_s; }
    operator SOCKET() const { return m_s; }
    void Reset(SOCKET s = INVALID_SOCKET) {
        if (m_s != INVALID_SOCKET) pf::CloseSocket(m_s);
        m_s = s;
    }
    // Hands the handle over; the caller closes it.
    SOCKET Release() {
        SOCKET s = m_s;
        m_s = INVALID_SOCKET;
        return s;
    }

private:
    SOCKET m_s;
};

// Every socket test starts the socket layer (needed on Windows).
class SocketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, pf::SocketStartup()); }
    void TearDown() override { pf::SocketCleanup(); }
};

// A socket bound to 127.0.0.1 on an ephemeral port; lpAddr gets the address.
inline SOCKET BoundSocket(pf::SocketType eType, sockaddr_in* lpAddr) {
    SOCKET s = pf::SocketOpen(eType);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in a = pf::MakeSockAddr(Loopback(), 0);
    if (!pf::Bind(s, &a) || !pf::GetSockName(s, lpAddr)) {
        pf::CloseSocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

inline SOCKET Listener(sockaddr_in* lpAddr) {
    SOCKET s = BoundSocket(pf::kSocketTcp, lpAddr);
    if (s != INVALID_SOCKET && !pf::Listen(s, 16)) {
        pf::CloseSocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// A loopback port that nobody listens on (bound once, then released).
inline sockaddr_in ClosedPort() {
    sockaddr_in a{};
    ScopedSocket s(BoundSocket(pf::kSocketTcp, &a));
    return a;
}

// Waits for one socket in one kind of set; true when it is ready.
enum class Ready { kRead, kWrite, kExcept };
inline bool WaitFor(SOCKET s, Ready eKind, uint32_t uiMs = kWaitMs) {
    pf::SocketSet set;
    set.Clear();
    set.Add(s);
    pf::SocketSet* r = eKind == Ready::kRead ? &set : nullptr;
    pf::SocketSet* w = eKind == Ready::kWrite ? &set : nullptr;
    pf::SocketSet* e = eKind == Ready::kExcept ? &set : nullptr;
    return pf::Select(r, w, e, uiMs) == 1 && set.Contains(s);
}

// A blocking client connected to a blocking accepted server socket.
inline void ConnectedPair(ScopedSocket* lpClient, ScopedSocket* lpServer) {
    sockaddr_in addr{};
    ScopedSocket listener(Listener(&addr));
    ASSERT_NE(INVALID_SOCKET, listener.Get());
    lpClient->Reset(pf::SocketOpen(pf::kSocketTcp));
    ASSERT_NE(INVALID_SOCKET, lpClient->Get());
    ASSERT_TRUE(pf::Connect(*lpClient, &addr)) << pf::GetLastError();
    ASSERT_TRUE(WaitFor(listener, Ready::kRead));
    lpServer->Reset(pf::Accept(listener, nullptr));
    ASSERT_NE(INVALID_SOCKET, lpServer->Get()) << pf::GetLastError();
}

}  // namespace vxtest

#endif
