// select with Winsock meaning; on Linux it is emulated over poll(), under
// Wine the same cases run against the real select.
#include <gtest/gtest.h>

#include <vector>

#include "LoopbackSockets.h"

using namespace vxtest;

namespace {

using PfSelect = SocketTest;

pf::SocketSet SetOf(std::initializer_list<SOCKET> l) {
    pf::SocketSet set;
    set.Clear();
    for (SOCKET s : l) set.Add(s);
    return set;
}

TEST(PfSocketSet, HoldsEachSocketOnceAndAtMost64) {
    pf::SocketSet set = SetOf({});
    for (SOCKET s = 1; s <= 64; ++s) EXPECT_TRUE(set.Add(s));
    EXPECT_FALSE(set.Add(65));
    EXPECT_FALSE(set.Contains(65));
    EXPECT_TRUE(set.Remove(2));
    EXPECT_FALSE(set.Remove(2));
    EXPECT_FALSE(set.Add(1));  // already there
    // The others keep their order.
    ASSERT_EQ(63u, set.uiCount);
    EXPECT_EQ(3u, set.arrSocket[1]);
    EXPECT_EQ(64u, set.arrSocket[62]);
}

TEST_F(PfSelect, SelectRejectsEmptyOversizedAndClosedSets) {
    pf::SocketSet empty = SetOf({});
    EXPECT_EQ(pf::kSocketError, pf::Select(nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(pf::kErrInvalid, pf::GetLastError());
    EXPECT_EQ(pf::kSocketError, pf::Select(&empty, &empty, nullptr, 0));
    EXPECT_EQ(pf::kErrInvalid, pf::GetLastError());

    sockaddr_in addr{};
    ScopedSocket udp(BoundSocket(pf::kSocketUdp, &addr));
    pf::SocketSet bogus = SetOf({udp});
    bogus.uiCount = 65;  // a count past the array must not be followed
    EXPECT_EQ(pf::kSocketError, pf::Select(nullptr, &bogus, nullptr, 0));
    EXPECT_EQ(pf::kErrInvalid, pf::GetLastError());

    SOCKET s = udp.Release();
    pf::CloseSocket(s);
    pf::SocketSet closed = SetOf({s});
    EXPECT_EQ(pf::kSocketError, pf::Select(nullptr, &closed, nullptr, 0));
    EXPECT_EQ(pf::kErrNotSocket, pf::GetLastError());
}

TEST_F(PfSelect, RefusedConnectShowsInExceptSetOnly) {
    sockaddr_in closed = ClosedPort();
    ScopedSocket s(pf::SocketOpen(pf::kSocketTcp));
    ASSERT_TRUE(pf::SetNonBlocking(s, true));
    EXPECT_FALSE(pf::Connect(s, &closed));
    ASSERT_EQ(pf::kErrWouldBlock, pf::GetLastError());

    // (Not asked in the read set: Wine sometimes reports the failure there
    // too, which Windows does not.)
    pf::SocketSet w = SetOf({s}), e = SetOf({s});
    ASSERT_EQ(1, pf::Select(nullptr, &w, &e, kWaitMs));
    EXPECT_EQ(0u, w.uiCount);
    ASSERT_EQ(1u, e.uiCount);
    EXPECT_EQ(s.Get(), e.arrSocket[0]);

    // Still failed, not writable, when asked again.
    w = SetOf({s});
    e = SetOf({s});
    EXPECT_EQ(1, pf::Select(nullptr, &w, &e, kWaitMs));
    EXPECT_EQ(0u, w.uiCount);
    EXPECT_EQ(1u, e.uiCount);

    int nError = 0;
    ASSERT_TRUE(pf::GetSocketError(s, &nError));
    EXPECT_EQ(pf::kErrConnRefused, nError);
}

TEST_F(PfSelect, CompletedConnectIsWritableAndNotExcept) {
    sockaddr_in addr{};
    ScopedSocket listener(Listener(&addr));
    ScopedSocket s(pf::SocketOpen(pf::kSocketTcp));
    ASSERT_TRUE(pf::SetNonBlocking(s, true));
    // A socket that was never connected is ready for nothing.
    pf::SocketSet r = SetOf({s}), w = SetOf({s}), e = SetOf({s});
    EXPECT_EQ(0, pf::Select(&r, &w, &e, 0));
    EXPECT_EQ(0u, r.uiCount + w.uiCount + e.uiCount);

    EXPECT_FALSE(pf::Connect(s, &addr));
    ASSERT_EQ(pf::kErrWouldBlock, pf::GetLastError());
    w = SetOf({s});
    e = SetOf({s});
    ASSERT_EQ(1, pf::Select(nullptr, &w, &e, kWaitMs));
    EXPECT_EQ(1u, w.uiCount);
    EXPECT_EQ(0u, e.uiCount);
    int nError = -1;
    ASSERT_TRUE(pf::GetSocketError(s, &nError));
    EXPECT_EQ(0, nError);

    // Connected and quiet: writable, not readable; one socket in two sets
    // counts twice once both apply.
    r = SetOf({s});
    w = SetOf({s});
    EXPECT_EQ(1, pf::Select(&r, &w, nullptr, 0));
    EXPECT_EQ(0u, r.uiCount);
    ScopedSocket server(pf::Accept(listener, nullptr));
    ASSERT_EQ(3, pf::Send(server, "abc", 3));
    ASSERT_TRUE(WaitFor(s, Ready::kRead));
    r = SetOf({s});
    w = SetOf({s});
    EXPECT_EQ(2, pf::Select(&r, &w, nullptr, 0));
}

TEST_F(PfSelect, ReadSetReportsPendingAcceptDataAndPeerClose) {
    sockaddr_in addr{};
    ScopedSocket listener(Listener(&addr));
    pf::SocketSet r = SetOf({listener});
    // Nothing pending: a time-out, with the set emptied like Winsock does.
    EXPECT_EQ(0, pf::Select(&r, nullptr, nullptr, 0));
    EXPECT_EQ(0u, r.uiCount);

    ScopedSocket client(pf::SocketOpen(pf::kSocketTcp));
    ASSERT_TRUE(pf::Connect(client, &addr));
    ASSERT_TRUE(WaitFor(listener, Ready::kRead));
    ScopedSocket server(pf::Accept(listener, nullptr));
    ASSERT_NE(INVALID_SOCKET, server.Get());

    char b[8];
    EXPECT_FALSE(WaitFor(server, Ready::kRead, 0));
    ASSERT_EQ(2, pf::Send(client, "hi", 2));
    ASSERT_TRUE(WaitFor(server, Ready::kRead));
    EXPECT_EQ(2, pf::Recv(server, b, sizeof b));

    // Half close: the server sees the end, and can still send.
    ASSERT_TRUE(pf::Shutdown(client, pf::kShutSend));
    ASSERT_TRUE(WaitFor(server, Ready::kRead));
    EXPECT_EQ(0, pf::Recv(server, b, sizeof b));
    ASSERT_EQ(2, pf::Send(server, "ok", 2));
    ASSERT_TRUE(WaitFor(client, Ready::kRead));
    EXPECT_EQ(2, pf::Recv(client, b, sizeof b));

    server.Reset();
    ASSERT_TRUE(WaitFor(client, Ready::kRead));
    EXPECT_EQ(0, pf::Recv(client, b, sizeof b));
}

TEST_F(PfSelect, FullSetsOf64AreServed) {
    std::vector<ScopedSocket> socks(pf::kSocketSetSize);
    pf::SocketSet w = SetOf({}), r = SetOf({});
    for (auto& s : socks) {
        sockaddr_in a{};
        s.Reset(BoundSocket(pf::kSocketUdp, &a));
        ASSERT_NE(INVALID_SOCKET, s.Get());
        ASSERT_TRUE(w.Add(s));
        ASSERT_TRUE(r.Add(s));
    }
    // Only the last socket gets a datagram: exactly 64 writable + 1 readable.
    sockaddr_in last{};
    ASSERT_TRUE(pf::GetSockName(socks.back(), &last));
    ASSERT_EQ(1, pf::SendTo(socks.front(), "x", 1, &last));
    ASSERT_TRUE(WaitFor(socks.back(), Ready::kRead));
    EXPECT_EQ(65, pf::Select(&r, &w, nullptr, kWaitMs));
    EXPECT_EQ(64u, w.uiCount);
    ASSERT_EQ(1u, r.uiCount);
    EXPECT_EQ(socks.back().Get(), r.arrSocket[0]);
}

}  // namespace
