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
    EXPECT_STREQ("10.200.3.0", pf::InetNtoa(pf::InetAddr("10.200.3.0")));
}

TEST_F(PfSocket, ResolveHostGivesFirstIPv4Address) {
    uint32_t dwIp = pf::ResolveHost("localhost");
    ASSERT_NE(pf::kAddrNone, dwIp) << pf::GetLastError();
    EXPECT_EQ(127u, HostOrder(dwIp) >> 24);
    EXPECT_EQ(0x01020304u, HostOrder(pf::ResolveHost("1.2.3.4")));
}

TEST_F(PfSocket, ResolveHostFailureCarriesResolverError) {
    pf::SetLastError(0);
    EXPECT_EQ(pf::kAddrNone, pf::ResolveHost("no-such-host.invalid"));
    // Not found, or the resolver could not be asked: the 1100x family.
    int nError = pf::GetLastError();
    EXPECT_GE(nError, pf::kErrHostNotFound);
    EXPECT_LE(nError, pf::kErrNoData);

    EXPECT_EQ(pf::kAddrNone, pf::ResolveHost(""));
    EXPECT_EQ(pf::kErrHostNotFound, pf::GetLastError());
    EXPECT_EQ(pf::kAddrNone, pf::ResolveHost(nullptr));
    EXPECT_EQ(pf::kErrFault, pf::GetLastError());
}

TEST_F(PfSocket, NonBlockingCallsWithNothingToDoWouldBlock) {
    ScopedSocket client, server;
    ConnectedPair(&client, &server);
    ASSERT_TRUE(pf::SetNonBlocking(server, true));
    char b[16];
    EXPECT_EQ(pf::kSocketError, pf::Recv(server, b, sizeof b));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());

    sockaddr_in addr{};
    ScopedSocket listener(Listener(&addr));
    ASSERT_TRUE(pf::SetNonBlocking(listener, true));
    EXPECT_EQ(INVALID_SOCKET, pf::Accept(listener, nullptr));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());
}

TEST_F(PfSocket, AcceptedSocketKnowsBothEndsAndInheritsNonBlocking) {
    sockaddr_in addr{};
    ScopedSocket listener(Listener(&addr));
    ASSERT_NE(INVALID_SOCKET, listener.Get());
    ASSERT_TRUE(pf::SetNonBlocking(listener, true));
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

    sockaddr_in clientLocal{}, serverLocal{}, serverPeer{}, clientPeer{};
    ASSERT_TRUE(pf::GetSockName(client, &clientLocal));
    ASSERT_TRUE(pf::GetSockName(server, &serverLocal));
    ASSERT_TRUE(pf::GetPeerName(server, &serverPeer));
    ASSERT_TRUE(pf::GetPeerName(client, &clientPeer));
    EXPECT_EQ(AF_INET, peer.sin_family);
    EXPECT_EQ(clientLocal.sin_port, peer.sin_port);
    EXPECT_EQ(clientLocal.sin_addr.s_addr, peer.sin_addr.s_addr);
    EXPECT_EQ(clientLocal.sin_port, serverPeer.sin_port);
    EXPECT_EQ(addr.sin_port, serverLocal.sin_port);
    EXPECT_EQ(addr.sin_port, clientPeer.sin_port);

    char b[4];
    EXPECT_EQ(pf::kSocketError, pf::Recv(server, b, sizeof b));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());
}

TEST_F(PfSocket, BytesFlowBothWaysAndPeerCloseReadsAsZero) {
    ScopedSocket client, server;
    ConnectedPair(&client, &server);
    const char szHello[] = "hello";
    EXPECT_EQ(5, pf::Send(client, szHello, 5));
    char b[16] = {};
    ASSERT_TRUE(WaitFor(server, Ready::kRead));
    EXPECT_EQ(5, pf::Recv(server, b, sizeof b));
    EXPECT_STREQ("hello", b);

    // A half close: the server still sends after the client stopped.
    ASSERT_TRUE(pf::Shutdown(client, pf::kShutSend));
    ASSERT_TRUE(WaitFor(server, Ready::kRead));
    EXPECT_EQ(0, pf::Recv(server, b, sizeof b));
    EXPECT_EQ(2, pf::Send(server, "ok", 2));
    ASSERT_TRUE(WaitFor(client, Ready::kRead));
    EXPECT_EQ(2, pf::Recv(client, b, sizeof b));

    server.Reset();
    ASSERT_TRUE(WaitFor(client, Ready::kRead));
    EXPECT_EQ(0, pf::Recv(client, b, sizeof b));
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

TEST_F(PfSocket, UdpDatagramsCarryTheirSender) {
    sockaddr_in addrA{}, addrB{};
    ScopedSocket a(BoundSocket(pf::kSocketUdp, &addrA)), b(BoundSocket(pf::kSocketUdp, &addrB));
    ASSERT_NE(INVALID_SOCKET, a.Get());
    ASSERT_NE(INVALID_SOCKET, b.Get());
    ASSERT_TRUE(pf::DisableUdpConnReset(a));
    ASSERT_TRUE(pf::SetNonBlocking(b, true));

    char buf[64];
    EXPECT_EQ(pf::kSocketError, pf::RecvFrom(b, buf, sizeof buf, nullptr));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());

    EXPECT_EQ(9, pf::SendTo(a, "datagram1", 9, &addrB));
    EXPECT_EQ(0, pf::SendTo(a, "", 0, &addrB));
    ASSERT_TRUE(WaitFor(b, Ready::kRead));
    sockaddr_in from{};
    ASSERT_EQ(9, pf::RecvFrom(b, buf, sizeof buf, &from));
    EXPECT_EQ(0, memcmp(buf, "datagram1", 9));
    EXPECT_EQ(addrA.sin_port, from.sin_port);
    EXPECT_EQ(addrA.sin_addr.s_addr, from.sin_addr.s_addr);
    // An empty datagram is a datagram, not a close.
    ASSERT_TRUE(WaitFor(b, Ready::kRead));
    EXPECT_EQ(0, pf::RecvFrom(b, buf, sizeof buf, &from));
}

TEST_F(PfSocket, UdpDatagramLargerThanBufferFailsWithMsgSize) {
    sockaddr_in addrA{}, addrB{};
    ScopedSocket a(BoundSocket(pf::kSocketUdp, &addrA)), b(BoundSocket(pf::kSocketUdp, &addrB));
    ASSERT_TRUE(pf::SetNonBlocking(b, true));
    std::string big(100, 'z');
    big[0] = 'A';
    ASSERT_EQ(100, pf::SendTo(a, big.data(), 100, &addrB));
    ASSERT_EQ(3, pf::SendTo(a, "end", 3, &addrB));

    char buf[10] = {};
    ASSERT_TRUE(WaitFor(b, Ready::kRead));
    EXPECT_EQ(pf::kSocketError, pf::RecvFrom(b, buf, sizeof buf, nullptr));
    EXPECT_EQ(pf::kErrMsgSize, pf::GetLastError());
    EXPECT_EQ('A', buf[0]);
    // The rest of that datagram is gone; the next one is whole.
    ASSERT_TRUE(WaitFor(b, Ready::kRead));
    EXPECT_EQ(3, pf::RecvFrom(b, buf, sizeof buf, nullptr));
    EXPECT_EQ(0, memcmp(buf, "end", 3));
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

TEST_F(PfSocket, BufferSizesAreSetAndReadBack) {
    ScopedSocket s(pf::SocketOpen(pf::kSocketTcp));
    ASSERT_TRUE(pf::SetSendBufSize(s, 65536));
    ASSERT_TRUE(pf::SetRecvBufSize(s, 32768));
    int nSend = 0, nRecv = 0;
    ASSERT_TRUE(pf::GetSendBufSize(s, &nSend));
    ASSERT_TRUE(pf::GetRecvBufSize(s, &nRecv));
    // Linux reports twice the request (its bookkeeping); Windows the request.
    EXPECT_GE(nSend, 65536);
    EXPECT_LE(nSend, 2 * 65536);
    EXPECT_GE(nRecv, 32768);
    EXPECT_LE(nRecv, 2 * 32768);
}

}  // namespace
