// What only the async-select engine promises: a blocked send resumes on
// FD_WRITE, notifications still queued for a closed handle never reach the
// socket that takes the number next, and managers on different threads each
// get their own window. (Reads that follow the host's requests: the
// conformance suite.)
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"

using namespace vxtest;

class AsyncEngine : public EngineTest {};

INSTANTIATE_TEST_SUITE_P(Async, AsyncEngine, testing::Values(EngineTraits{"IAsyncSocketMgr1.0", 10061}),
                         EngineParamName);

TEST_P(AsyncEngine, ASendThatFillsTheSocketResumesWhenRoomComesBack) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    ASSERT_TRUE(m_lpMgr->SetSendBufSize(s, 8192));
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char('a' + i % 26);
    size_t from = Mark();
    uint32_t uiQueued = 0;
    ASSERT_TRUE(m_lpMgr->Send(s, data.data(), uint32_t(data.size()), 7, &uiQueued));
    EXPECT_EQ(1u, uiQueued);  // the kernel took part of it, the rest waits
    // The peer reads only now: the queue moves on each FD_WRITE.
    std::string got;
    ASSERT_TRUE(peer.RecvExact(got, data.size(), 30000));
    EXPECT_TRUE(got == data);
    auto ev = ExpectEvent(Ev::Send, s, from, 0, 0x1111, 0x2222);
    ASSERT_TRUE(ev);
    EXPECT_EQ(7u, ev->dwSendFlag);
    EXPECT_EQ(0u, ev->uiQueued);
}

TEST_P(AsyncEngine, NotificationsQueuedForAClosedSocketNeverReachTheSocketThatTakesItsHandle) {
    int nReused = 0;
    for (int i = 0; i < 20; ++i) {
        SOCKET s;
        RawSocket peer;
        ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 100));
        ASSERT_TRUE(m_lpMgr->Send(s, "x", 1, 0, nullptr));  // an FD_WRITE
        ASSERT_TRUE(peer.SendAll("abc"));                   // an FD_READ
        peer.AbortiveClose();                               // an FD_CLOSE with 10054
        ASSERT_TRUE(m_lpMgr->CloseSocket(s));
        // A new socket, often with the same handle, that connects nowhere yet.
        size_t from = Mark();
        SOCKET s2 = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0x77, 0x88);
        ASSERT_NE(INVALID_SOCKET, s2);
        nReused += s2 == s;
        RawSocket listener = RawSocket::TcpListener();
        ASSERT_TRUE(m_lpMgr->Connect(s2, "127.0.0.1", listener.LocalPort()));
        ASSERT_TRUE(ExpectEvent(Ev::Connect, s2, from, 0, 0x77, 0x88));
        ASSERT_NO_FATAL_FAILURE(ExpectQuiet(s2, from, 1));
        ASSERT_TRUE(m_lpMgr->CloseSocket(s2));
    }
    RecordProperty("reused", nReused);
}

TEST_P(AsyncEngine, ManagersStartedAtOnceOnSeveralThreadsEachRunTheirOwnWindow) {
    constexpr int kManagers = 4;
    ISocketMgr* arrMgr[kManagers] = {};
    bool arrStarted[kManagers] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kManagers; ++i)
        threads.emplace_back([&, i] {
            arrMgr[i] = vxCreateInstance("IAsyncSocketMgr1.0");
            arrStarted[i] = arrMgr[i] && arrMgr[i]->Start(0, 0, 0, 0);
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kManagers; ++i) {
        ASSERT_TRUE(arrStarted[i]) << i;
        RecordingSink sink;
        arrMgr[i]->SetSink(&sink);
        SOCKET u = arrMgr[i]->CreateUdpSocket(nullptr, "127.0.0.1", 0, uint32_t(i), 0);
        ASSERT_NE(INVALID_SOCKET, u);
        RawSocket raw = RawSocket::Udp();
        ASSERT_EQ(2, raw.SendTo(LocalPortOf(u), "hi"));
        auto ev = sink.Wait(Is(Ev::RecvFrom, u), kWaitMs);
        EXPECT_TRUE(ev && ev->u1 == uint32_t(i) && ev->data == "hi");
        // Stopped and started again, it works as before.
        EXPECT_FALSE(arrMgr[i]->Start(0, 0, 0, 0));
        EXPECT_TRUE(arrMgr[i]->Stop(2000));
        EXPECT_TRUE(arrMgr[i]->Start(0, 0, 0, 0));
        u = arrMgr[i]->CreateUdpSocket(nullptr, "127.0.0.1", 0, 9, 0);
        ASSERT_NE(INVALID_SOCKET, u);
        size_t from = sink.Size();
        ASSERT_EQ(2, raw.SendTo(LocalPortOf(u), "ho"));
        EXPECT_TRUE(sink.Wait(Is(Ev::RecvFrom, u), kWaitMs, from));
        arrMgr[i]->Stop(2000);
        vxDestroyInstance(arrMgr[i]);
    }
}
