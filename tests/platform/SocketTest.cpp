// Socket calls with Winsock meaning. The same cases run on Linux and under
// Wine, so the real Winsock answers check the POSIX emulation.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "LoopbackSockets.h"

using namespace vxtest;

namespace {

using PfSocket = SocketTest;

uint32_t HostOrder(uint32_t dwIp) { return ntohl(dwIp); }

TEST(PfInetAddr, ParsesEveryDottedForm) {
    struct {
        const char* lpszText;
        uint32_t dwHost;
    } const arrCase[] = {
        {"1.2.3.4", 0x01020304},     {"127.0.0.1", 0x7F000001}, {"0.0.0.0", 0},
        {"1.2.3", 0x01020003},       {"1.16777215", 0x01FFFFFF}, {"2130706433", 0x7F000001},
        {"0x7f.1", 0x7F000001},      {"01.2.3.4", 0x01020304},  {"010.0.0.1", 0x08000001},
        {"1.2.3.4 x", 0x01020304},   {"1.2.3.4\tx", 0x01020304}, {"1.2.3.4  ", 0x01020304},
        {"0xFF.0Xa.0.1", 0xFF0A0001},
    };
    for (const auto& c : arrCase) {
        SCOPED_TRACE(c.lpszText);
        EXPECT_EQ(c.dwHost, HostOrder(pf::InetAddr(c.lpszText)));
    }
}

TEST(PfInetAddr, RejectsWhatIsNoAddress) {
    const char* arrText[] = {"",        " 1.2.3.4",  "1.2.3.4.",  "1.2.3.4.5", "256.1.1.1", "1.2.3.4x",
                             "09.1.1.1", "0x100.1",  "4294967296", "1.16777216", "0x",       "1..2",
                             ".1.2.3",   "localhost", "-1.2.3.4",  "255.255.255.255"};
    for (const char* t : arrText) EXPECT_EQ(pf::kAddrNone, pf::InetAddr(t)) << t;
    EXPECT_EQ(pf::kAddrNone, pf::InetAddr(nullptr));
}

TEST(PfInetAddr, NtoaFormatsNetworkOrder) {
    EXPECT_STREQ("127.0.0.1", pf::InetNtoa(htonl(0x7F000001)));
    EXPECT_STREQ("255.255.255.255", pf::InetNtoa(0xFFFFFFFFu));
}

TEST_F(PfSocket, ResolveHostGivesFirstIPv4AddressOrResolverError) {
    uint32_t dwIp = pf::ResolveHost("localhost");
    ASSERT_NE(pf::kAddrNone, dwIp) << pf::GetLastError();
    EXPECT_EQ(127u, HostOrder(dwIp) >> 24);
    EXPECT_EQ(0x01020304u, HostOrder(pf::ResolveHost("1.2.3.4")));

    pf::SetLastError(0);
    EXPECT_EQ(pf::kAddrNone, pf::ResolveHost("no-such-host.invalid"));
    // Not found, or the resolver could not be asked: the 1100x family.
    EXPECT_GE(pf::GetLastError(), pf::kErrHostNotFound);
    EXPECT_LE(pf::GetLastError(), pf::kErrNoData);
    EXPECT_EQ(pf::kAddrNone, pf::ResolveHost(""));
    EXPECT_EQ(pf::kErrHostNotFound, pf::GetLastError());
    EXPECT_EQ(pf::kAddrNone, pf::ResolveHost(nullptr));
    EXPECT_EQ(pf::kErrFault, pf::GetLastError());
}

TEST_F(PfSocket, AcceptedSocketKnowsBothEndsAndInheritsNonBlocking) {
    sockaddr_in addr{};
    ScopedSocket listener(Listener(&addr));
    ASSERT_TRUE(pf::SetNonBlocking(listener, true));
    EXPECT_EQ(INVALID_SOCKET, pf::Accept(listener, nullptr));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());

    ScopedSocket client(pf::SocketOpen(pf::kSocketTcp));
    ASSERT_TRUE(pf::SetNonBlocking(client, true));
    // A connect under way reads as would-block, as on Windows.
    EXPECT_FALSE(pf::Connect(client, &addr));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());
    ASSERT_TRUE(WaitFor(listener, Ready::kRead));
    sockaddr_in peer{};
    ScopedSocket server(pf::Accept(listener, &peer));
    ASSERT_NE(INVALID_SOCKET, server.Get()) << pf::GetLastError();
    ASSERT_TRUE(WaitFor(client, Ready::kWrite));

    sockaddr_in clientLocal{}, serverPeer{}, clientPeer{};
    ASSERT_TRUE(pf::GetSockName(client, &clientLocal));
    ASSERT_TRUE(pf::GetPeerName(server, &serverPeer));
    ASSERT_TRUE(pf::GetPeerName(client, &clientPeer));
    EXPECT_EQ(AF_INET, peer.sin_family);
    EXPECT_EQ(clientLocal.sin_port, peer.sin_port);
    EXPECT_EQ(clientLocal.sin_addr.s_addr, peer.sin_addr.s_addr);
    EXPECT_EQ(clientLocal.sin_port, serverPeer.sin_port);
    EXPECT_EQ(addr.sin_port, clientPeer.sin_port);

    char b[4];
    EXPECT_EQ(pf::kSocketError, pf::Recv(server, b, sizeof b));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());
}

TEST_F(PfSocket, SendToResetConnectionFailsWithoutSignal) {
    ScopedSocket client, server;
    ConnectedPair(&client, &server);
    server.Reset();
    ASSERT_TRUE(WaitFor(client, Ready::kRead));
    // The first bytes reach a closed socket, which answers with a reset; the
    // sends after it fail (on POSIX that would be a SIGPIPE without care).
    int nResult = 0;
    for (int i = 0; i < 100000 && nResult != pf::kSocketError; ++i) nResult = pf::Send(client, "x", 1);
    ASSERT_EQ(pf::kSocketError, nResult);
    int nError = pf::GetLastError();
    EXPECT_TRUE(nError == pf::kErrConnReset || nError == pf::kErrConnAborted) << nError;
}

TEST_F(PfSocket, UdpKeepsDatagramsWholeWithTheirSender) {
    sockaddr_in addrA{}, addrB{};
    ScopedSocket a(BoundSocket(pf::kSocketUdp, &addrA)), b(BoundSocket(pf::kSocketUdp, &addrB));
    ASSERT_TRUE(pf::DisableUdpConnReset(a));
    ASSERT_TRUE(pf::SetNonBlocking(b, true));
    char buf[10];
    EXPECT_EQ(pf::kSocketError, pf::RecvFrom(b, buf, sizeof buf, nullptr));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());

    std::string big(100, 'z');
    big[0] = 'A';
    ASSERT_EQ(100, pf::SendTo(a, big.data(), 100, &addrB));
    ASSERT_EQ(0, pf::SendTo(a, "", 0, &addrB));
    ASSERT_EQ(3, pf::SendTo(a, "end", 3, &addrB));
    // Too big for the buffer: an error, the head kept, the rest dropped.
    ASSERT_TRUE(WaitFor(b, Ready::kRead));
    EXPECT_EQ(pf::kSocketError, pf::RecvFrom(b, buf, sizeof buf, nullptr));
    EXPECT_EQ(pf::kErrMsgSize, pf::GetLastError());
    EXPECT_EQ('A', buf[0]);
    // An empty datagram is a datagram, not a close.
    sockaddr_in from{};
    ASSERT_TRUE(WaitFor(b, Ready::kRead));
    EXPECT_EQ(0, pf::RecvFrom(b, buf, sizeof buf, &from));
    ASSERT_TRUE(WaitFor(b, Ready::kRead));
    EXPECT_EQ(3, pf::RecvFrom(b, buf, sizeof buf, &from));
    EXPECT_EQ(0, memcmp(buf, "end", 3));
    EXPECT_EQ(addrA.sin_port, from.sin_port);
    EXPECT_EQ(addrA.sin_addr.s_addr, from.sin_addr.s_addr);
}

TEST_F(PfSocket, PortInUseAndClosedHandlesReportWinsockErrors) {
    sockaddr_in addr{};
    ScopedSocket listener(Listener(&addr));
    ScopedSocket tcp(pf::SocketOpen(pf::kSocketTcp));
    EXPECT_FALSE(pf::Bind(tcp, &addr));
    EXPECT_EQ(pf::kErrAddrInUse, pf::GetLastError());

    ScopedSocket udp1(BoundSocket(pf::kSocketUdp, &addr));
    ScopedSocket udp2(pf::SocketOpen(pf::kSocketUdp));
    EXPECT_FALSE(pf::Bind(udp2, &addr));
    EXPECT_EQ(pf::kErrAddrInUse, pf::GetLastError());

    SOCKET s = udp2.Release();
    EXPECT_TRUE(pf::CloseSocket(s));
    char b[4];
    EXPECT_EQ(pf::kSocketError, pf::Recv(s, b, sizeof b));
    EXPECT_EQ(pf::kErrNotSocket, pf::GetLastError());
    EXPECT_FALSE(pf::CloseSocket(s));
    EXPECT_EQ(pf::kErrNotSocket, pf::GetLastError());
    EXPECT_FALSE(pf::SetNonBlocking(INVALID_SOCKET, true));
    EXPECT_EQ(pf::kErrNotSocket, pf::GetLastError());
}

}  // namespace
