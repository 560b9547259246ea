// Sockets and select with Winsock meaning; under Wine real Winsock answers
// check the POSIX emulation.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PfError.h"
#include "PfSelect.h"
#include "PfSocket.h"

namespace {

// Long enough for a refused connect on Windows, which retries the SYN.
constexpr uint32_t kWaitMs = 10000;

// The last error after a call that failed, 0 after one that did not.
int Failed(bool bFailed) { return bFailed ? pf::GetLastError() : 0; }

// Selects s in the sets named in lpszSets ("r", "w", "e"): the result, then
// the sets that still hold s, e.g. "2rw" or "0".
std::string Ready(SOCKET s, const char* lpszSets, uint32_t uiMs = 0) {
    pf::SocketSet sets[3];
    pf::SocketSet* lpSet[3] = {};
    for (int i = 0; i < 3; ++i)
        if (std::strchr(lpszSets, "rwe"[i])) *(lpSet[i] = &sets[i]) = pf::SocketSet{1, {s}};
    std::string out = std::to_string(pf::Select(lpSet[0], lpSet[1], lpSet[2], uiMs));
    for (int i = 0; i < 3; ++i)
        if (lpSet[i] && sets[i].Contains(s)) out += "rwe"[i];
    return out;
}
bool Readable(SOCKET s) { return Ready(s, "r", kWaitMs) == "1r"; }

// Starts the socket layer; sockets from Open are closed after the test.
class PfSocket : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, pf::SocketStartup()); }
    void TearDown() override {
        for (SOCKET s : m_vecOpen) pf::CloseSocket(s);
        pf::SocketCleanup();
    }
    // Bound to 127.0.0.1 (any port, into lpAddr) if lpAddr is given.
    SOCKET Open(pf::SocketType eType, sockaddr_in* lpAddr = nullptr, bool bListen = false) {
        SOCKET s = pf::SocketOpen(eType);
        m_vecOpen.push_back(s);
        sockaddr_in a = pf::MakeSockAddr(pf::InetAddr("127.0.0.1"), 0);
        bool bOk = s != INVALID_SOCKET && (!lpAddr || (pf::Bind(s, &a) && pf::GetSockName(s, lpAddr)));
        EXPECT_TRUE(bOk && (!bListen || pf::Listen(s, 16)));
        return s;
    }
    std::vector<SOCKET> m_vecOpen;
};

TEST_F(PfSocket, InetAddrParsesEveryDottedFormAndResolveHostGivesTheFirstIPv4Address) {
    const std::pair<const char*, uint32_t> arrCase[] = {
        {"1.2.3.4", 0x01020304},   {"0.0.0.0", 0},            {"1.2.3", 0x01020003},       {"1.16777215", 0x01FFFFFF},
        {"2130706433", 0x7F000001}, {"0x7f.1", 0x7F000001},   {"010.0.0.1", 0x08000001},   {"1.2.3.4 x", 0x01020304},
        {"1.2.3.4\tx", 0x01020304}, {"1.2.3.4  ", 0x01020304}, {"0xFF.0Xa.0.1", 0xFF0A0001},
    };
    for (auto [lpszText, dwHost] : arrCase) EXPECT_EQ(dwHost, ntohl(pf::InetAddr(lpszText))) << lpszText;
    for (const char* t : {"", " 1.2.3.4", "1.2.3.4.", "1.2.3.4.5", "256.1.1.1", "1.2.3.4x", "09.1.1.1", "0x100.1", "0x",
                          "4294967296", "1.16777216", "1..2", ".1.2.3", "localhost", "-1.2.3.4", "255.255.255.255"})
        EXPECT_EQ(pf::kAddrNone, pf::InetAddr(t)) << t;
    EXPECT_EQ(pf::kAddrNone, pf::InetAddr(nullptr));
    EXPECT_STREQ("127.0.0.1", pf::InetNtoa(htonl(0x7F000001)));

    EXPECT_EQ(127u, ntohl(pf::ResolveHost("localhost")) >> 24) << pf::GetLastError();
    EXPECT_EQ(0x01020304u, ntohl(pf::ResolveHost("1.2.3.4")));
    // Not found, or the resolver could not be asked: the 1100x family.
    int nError = Failed(pf::ResolveHost("no-such-host.invalid") == pf::kAddrNone);
    EXPECT_TRUE(nError >= pf::kErrHostNotFound && nError <= pf::kErrNoData) << nError;
    EXPECT_EQ(pf::kErrHostNotFound, Failed(pf::ResolveHost("") == pf::kAddrNone));
    EXPECT_EQ(pf::kErrFault, Failed(pf::ResolveHost(nullptr) == pf::kAddrNone));
}

TEST_F(PfSocket, NonBlockingConnectionFromStartToClose) {
    sockaddr_in addr{}, peer{}, clientLocal{}, serverPeer{};
    SOCKET listener = Open(pf::kSocketTcp, &addr, true), client = Open(pf::kSocketTcp);
    ASSERT_TRUE(pf::SetNonBlocking(listener, true) && pf::SetNonBlocking(client, true));
    EXPECT_EQ(pf::kErrWouldBlock, Failed(pf::Accept(listener, nullptr) == INVALID_SOCKET));
    EXPECT_EQ("0", Ready(listener, "r"));   // the set is emptied on a time-out
    EXPECT_EQ("0", Ready(client, "rwe"));  // never connected: ready for nothing
    EXPECT_EQ(pf::kErrWouldBlock, Failed(!pf::Connect(client, &addr)));
    EXPECT_EQ("1w", Ready(client, "we", kWaitMs));
    int nError = -1;
    EXPECT_TRUE(pf::GetSocketError(client, &nError) && nError == 0);

    ASSERT_TRUE(Readable(listener));
    SOCKET server = pf::Accept(listener, &peer);
    ASSERT_NE(INVALID_SOCKET, server) << pf::GetLastError();
    ASSERT_TRUE(pf::GetSockName(client, &clientLocal) && pf::GetPeerName(server, &serverPeer));
    EXPECT_TRUE(peer.sin_family == AF_INET && peer.sin_addr.s_addr == clientLocal.sin_addr.s_addr);
    EXPECT_TRUE(peer.sin_port == clientLocal.sin_port && serverPeer.sin_port == clientLocal.sin_port);
    char b[8];
    EXPECT_EQ(pf::kErrWouldBlock, Failed(pf::Recv(server, b, sizeof b) < 0));  // non-blocking like its listener

    EXPECT_EQ("1w", Ready(client, "rw"));
    ASSERT_EQ(3, pf::Send(server, "abc", 3));
    ASSERT_TRUE(Readable(client));
    EXPECT_EQ("2rw", Ready(client, "rw"));  // one socket in two sets counts twice
    EXPECT_EQ(3, pf::Recv(client, b, sizeof b));
    // Half close: the server sees the end, and can still send.
    ASSERT_TRUE(pf::Shutdown(client, pf::kShutSend) && Readable(server));
    EXPECT_EQ(0, pf::Recv(server, b, sizeof b));
    ASSERT_TRUE(pf::Send(server, "ok", 2) == 2 && Readable(client));
    EXPECT_EQ(2, pf::Recv(client, b, sizeof b));
    pf::CloseSocket(server);
    ASSERT_TRUE(Readable(client));
    EXPECT_EQ(0, pf::Recv(client, b, sizeof b));
}

// (Not asked in the read set: Wine sometimes reports the failure there too,
// which Windows does not.)
TEST_F(PfSocket, RefusedConnectShowsInExceptSetOnly) {
    sockaddr_in closed = pf::MakeSockAddr(pf::InetAddr("127.0.0.1"), 0);
    SOCKET port = pf::SocketOpen(pf::kSocketTcp), s = Open(pf::kSocketTcp);
    // Bound once, then released: nobody listens there.
    ASSERT_TRUE(pf::Bind(port, &closed) && pf::GetSockName(port, &closed) && pf::CloseSocket(port));
    ASSERT_TRUE(pf::SetNonBlocking(s, true));
    EXPECT_EQ(pf::kErrWouldBlock, Failed(!pf::Connect(s, &closed)));
    EXPECT_EQ("1e", Ready(s, "we", kWaitMs));
    EXPECT_EQ("1e", Ready(s, "we", kWaitMs));  // still failed, not writable, when asked again
    int nError = 0;
    EXPECT_TRUE(pf::GetSocketError(s, &nError) && nError == pf::kErrConnRefused) << nError;
}

TEST_F(PfSocket, SendToResetConnectionFailsWithoutSignal) {
    sockaddr_in addr{};
    SOCKET listener = Open(pf::kSocketTcp, &addr, true), client = Open(pf::kSocketTcp);
    ASSERT_TRUE(pf::Connect(client, &addr) && Readable(listener)) << pf::GetLastError();
    pf::CloseSocket(pf::Accept(listener, nullptr));
    ASSERT_TRUE(Readable(client));
    // A closed socket answers with a reset; later sends fail (no SIGPIPE).
    int nResult = 0;
    for (int i = 0; i < 100000 && nResult != pf::kSocketError; ++i) nResult = pf::Send(client, "x", 1);
    int nError = Failed(nResult == pf::kSocketError);
    EXPECT_TRUE(nError == pf::kErrConnReset || nError == pf::kErrConnAborted) << nError;
}

TEST_F(PfSocket, UdpKeepsDatagramsWholeWithTheirSender) {
    sockaddr_in addrA{}, addrB{}, from{};
    SOCKET a = Open(pf::kSocketUdp, &addrA), b = Open(pf::kSocketUdp, &addrB);
    ASSERT_TRUE(pf::DisableUdpConnReset(a) && pf::SetNonBlocking(b, true));
    char buf[10];
    EXPECT_EQ(pf::kErrWouldBlock, Failed(pf::RecvFrom(b, buf, sizeof buf, nullptr) < 0));
    std::string big = "A" + std::string(99, 'z');
    ASSERT_EQ(100, pf::SendTo(a, big.data(), 100, &addrB));
    ASSERT_EQ(0, pf::SendTo(a, "", 0, &addrB));
    ASSERT_EQ(3, pf::SendTo(a, "end", 3, &addrB));
    // Too big for the buffer: an error, the head kept, the rest dropped.
    ASSERT_TRUE(Readable(b));
    EXPECT_EQ(pf::kErrMsgSize, Failed(pf::RecvFrom(b, buf, sizeof buf, nullptr) < 0));
    EXPECT_EQ('A', buf[0]);
    EXPECT_TRUE(Readable(b) && pf::RecvFrom(b, buf, sizeof buf, &from) == 0);  // a datagram, not a close
    EXPECT_TRUE(Readable(b) && pf::RecvFrom(b, buf, sizeof buf, &from) == 3 && memcmp(buf, "end", 3) == 0);
    EXPECT_TRUE(addrA.sin_port == from.sin_port && addrA.sin_addr.s_addr == from.sin_addr.s_addr);
}

TEST_F(PfSocket, PortInUseBadSetsAndClosedHandlesReportWinsockErrors) {
    sockaddr_in tcpAddr{}, udpAddr{};
    Open(pf::kSocketTcp, &tcpAddr, true);
    SOCKET udp = Open(pf::kSocketUdp, &udpAddr);
    EXPECT_EQ(pf::kErrAddrInUse, Failed(!pf::Bind(Open(pf::kSocketTcp), &tcpAddr)));
    EXPECT_EQ(pf::kErrAddrInUse, Failed(!pf::Bind(Open(pf::kSocketUdp), &udpAddr)));

    pf::SocketSet empty{}, bogus{65, {udp}};  // a count past the array must not be followed
    EXPECT_EQ(pf::kErrInvalid, Failed(pf::Select(nullptr, nullptr, nullptr, 0) < 0));
    EXPECT_EQ(pf::kErrInvalid, Failed(pf::Select(&empty, &empty, nullptr, 0) < 0));
    EXPECT_EQ(pf::kErrInvalid, Failed(pf::Select(nullptr, &bogus, nullptr, 0) < 0));

    SOCKET s = pf::SocketOpen(pf::kSocketUdp);
    EXPECT_TRUE(pf::CloseSocket(s));
    char b[4];
    pf::SocketSet closed{1, {s}};
    EXPECT_EQ(pf::kErrNotSocket, Failed(pf::Recv(s, b, sizeof b) < 0));
    EXPECT_EQ(pf::kErrNotSocket, Failed(!pf::CloseSocket(s)));
    EXPECT_EQ(pf::kErrNotSocket, Failed(pf::Select(nullptr, &closed, nullptr, 0) < 0));
    EXPECT_EQ(pf::kErrNotSocket, Failed(!pf::SetNonBlocking(INVALID_SOCKET, true)));
}

TEST_F(PfSocket, SetsHoldUpTo64SocketsAndAreServedWhenFull) {
    pf::SocketSet w{}, r{}, numbers{};
    for (SOCKET s = 1; s <= 65; ++s) EXPECT_EQ(s <= 64, numbers.Add(s));
    EXPECT_TRUE(!numbers.Add(1) && numbers.Remove(2) && numbers.arrSocket[1] == 3);  // the others keep their order
    sockaddr_in last{};
    for (uint32_t i = 0; i < pf::kSocketSetSize; ++i) {
        SOCKET s = Open(pf::kSocketUdp, &last);
        ASSERT_TRUE(w.Add(s) && r.Add(s));
    }
    // Only the last socket gets a datagram: exactly 64 writable + 1 readable.
    ASSERT_EQ(1, pf::SendTo(m_vecOpen.front(), "x", 1, &last));
    ASSERT_TRUE(Readable(m_vecOpen.back()));
    EXPECT_EQ(65, pf::Select(&r, &w, nullptr, kWaitMs));
    EXPECT_EQ(64u, w.uiCount);
    EXPECT_TRUE(r.uiCount == 1 && r.arrSocket[0] == m_vecOpen.back());
}

}  // namespace
