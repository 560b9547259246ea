// What only containers promise: several users share one manager and each
// hears only its own sockets (accepted ones belong to the listener's user);
// the first name chooses the engine and the last container ends it; name
// results and accept decisions stay inside; a container that goes takes its
// sockets and its sink calls with it, also while the manager is busy.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "EngineList.h"
#include "LoopbackPeer.h"
#include "PollUntil.h"
#include "RecordingSink.h"
#include "async/TW_AsyncSocketMgr.h"
#include "container/TW_SocketMgrContainer.h"
#include "iocp/TW_IocpSocketMgr.h"
#include "select/TW_SelectSocketMgr.h"
#include "vxnet/vxnet.h"

using namespace vxtest;

namespace {

constexpr int kWaitMs = RecordingSink::kDefaultWaitMs;

// A started container with its own recording sink. The sink outlives it.
struct User {
    explicit User(const char* lpszName) : lpMgr(vxCreateInstance(lpszName)) {
        if (!lpMgr) return;
        lpMgr->SetSink(sink.get());
        lpMgr->Start(0, 0, 0, 0);  // false when another user started it already
    }
    ~User() { Destroy(); }
    void Destroy() {
        if (lpMgr) vxDestroyInstance(lpMgr);
        lpMgr = nullptr;
    }
    // A UDP socket whose one-shot event timer fires: the manager has run a round.
    void Tick(uint32_t uiEvent = 0) {
        SOCKET s = lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0xC1, 0xC2);
        size_t from = sink->Size();
        ASSERT_TRUE(s != INVALID_SOCKET && lpMgr->SetEventTimer(s, uiEvent, 30, 0, true));
        ASSERT_TRUE(sink->Wait(Is(Ev::Timer, s), kWaitMs, from));
        EXPECT_TRUE(lpMgr->CloseSocket(s));
    }
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    ISocketMgr* lpMgr;
};

// About s, leaving out the socket of Tick (which may take s's handle again).
EventPredicate AboutOld(SOCKET s) {
    return [s](const SinkEvent& ev) { return About(s)(ev) && ev.u1 != 0xC1; };
}

bool IsSharedEngine(const char* lpszName) {
    TW_SocketMgrInstance* p = TW_SocketMgrContainer::GetSharedSocketMgr();
    if (std::string(lpszName) == VXNET_ISELECT_2_0) return dynamic_cast<TW_SelectSocketMgr*>(p) != nullptr;
    if (std::string(lpszName) == VXNET_IASYNC_2_0) return dynamic_cast<TW_AsyncSocketMgr*>(p) != nullptr;
    return dynamic_cast<TW_IocpSocketMgr*>(p) != nullptr;
}

std::vector<EngineTraits> ContainerNames() {
    std::vector<EngineTraits> out;
    for (const EngineTraits& t : EngineList())
        if (t.bContainer) out.push_back(t);
    return out;
}

}  // namespace

class Container : public testing::TestWithParam<EngineTraits> {
public:
    void SetUp() override {
        NetInit();
        ASSERT_EQ(-1, TW_SocketMgrContainer::GetContainerCount()) << "a container of another test is still alive";
    }
    void TearDown() override { EXPECT_EQ(nullptr, TW_SocketMgrContainer::GetSharedSocketMgr()); }
};

INSTANTIATE_TEST_SUITE_P(Names, Container, testing::ValuesIn(ContainerNames()), EngineParamName);

// Two users on one manager: a connection from one to the other's listener.
// Each sink hears its own sockets only; the accepted socket is the
// listener's user's; nobody can close the other's sockets; the connection is
// accepted without asking any user, and only the container prints it.
TEST_P(Container, EachUserHearsOnlyItsOwnSocketsAndAcceptedOnesAreTheListeners) {
    User a(GetParam().lpszName), b(GetParam().lpszName);
    ASSERT_TRUE(a.lpMgr && b.lpMgr);
    EXPECT_EQ(1, TW_SocketMgrContainer::GetContainerCount());
    EXPECT_NE(a.sink.get(), b.sink.get());
    EXPECT_EQ(a.sink.get(), a.lpMgr->GetSink());

    SOCKET sListen = a.lpMgr->CreateTcpSocket(nullptr, "127.0.0.1", 0, 0xA1, 0xA2);
    ASSERT_TRUE(sListen != INVALID_SOCKET && a.lpMgr->Listen(sListen, 8));
    const uint16_t wPort = LocalPortOf(sListen);
    SOCKET sClient = b.lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0xB1, 0xB2);
    ASSERT_NE(INVALID_SOCKET, sClient);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(b.lpMgr->Connect(sClient, "127.0.0.1", wPort));
    auto acc = a.sink->Wait(Is(Ev::Accept, sListen), kWaitMs);
    auto con = b.sink->Wait(Is(Ev::Connect, sClient), kWaitMs);
    std::fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(acc && con && con->nError == 0);
    const SOCKET sAccepted = acc->sNew;
    EXPECT_NE(std::string::npos, printed.find("OnSocketPreAccept Local:127.0.0.1:" + std::to_string(wPort) +
                                              " Peer:127.0.0.1:" + std::to_string(PortOf(acc->peer)) + "\n"))
        << printed;

    // Data both ways: each end's notice reaches its own user.
    ASSERT_TRUE(a.lpMgr->SetNoticeLen(sAccepted, 4) && b.lpMgr->SetNoticeLen(sClient, 4));
    ASSERT_TRUE(b.lpMgr->Send(sClient, "ping", 4, 0, nullptr) && a.lpMgr->Send(sAccepted, "pong", 4, 0, nullptr));
    auto atA = a.sink->Wait(Is(Ev::Recv, sAccepted), kWaitMs);
    auto atB = b.sink->Wait(Is(Ev::Recv, sClient), kWaitMs);
    ASSERT_TRUE(atA && atB);
    EXPECT_EQ("ping", atA->data);
    EXPECT_EQ("pong", atB->data);
    // Timers of both users at once.
    ASSERT_TRUE(a.lpMgr->SetEventTimer(sAccepted, 1, 10, 0, true) && b.lpMgr->SetEventTimer(sClient, 2, 10, 0, true));
    ASSERT_TRUE(a.sink->Wait(Is(Ev::Timer, sAccepted), kWaitMs) && b.sink->Wait(Is(Ev::Timer, sClient), kWaitMs));

    // Neither closes the other's sockets (one nobody registered: the conformance suite).
    EXPECT_FALSE(b.lpMgr->CloseSocket(sAccepted) || b.lpMgr->CloseSocket(sListen) || a.lpMgr->CloseSocket(sClient));

    // A closes its end: B hears the close, A nothing more.
    ASSERT_TRUE(b.lpMgr->SetNoticeLen(sClient, 1));
    size_t fromA = a.sink->Size();
    EXPECT_TRUE(a.lpMgr->CloseSocket(sAccepted));
    ASSERT_TRUE(b.sink->Wait(Is(Ev::Close, sClient), kWaitMs));
    ASSERT_NO_FATAL_FAILURE(a.Tick(3));

    for (SOCKET s : {sListen, sAccepted})
        EXPECT_EQ(0u, b.sink->Count(About(s))) << DescribeAll(b.sink->Matching(About(s)));
    EXPECT_EQ(0u, a.sink->Count(About(sClient))) << DescribeAll(a.sink->Matching(About(sClient)));
    EXPECT_EQ(0u, a.sink->Count(AboutOld(sAccepted), fromA));
    EXPECT_EQ(0u, a.sink->Count(Is(Ev::PreAccept)) + b.sink->Count(Is(Ev::PreAccept)));
}

// A user that goes while its sink is being called: the destruction waits
// for that call; afterwards its sink hears nothing and its sockets are
// closed, while the other user carries on.
TEST_P(Container, ADestroyedContainerWaitsForItsSinkCallsAndTakesItsSocketsAlong) {
    User a(GetParam().lpszName), b(GetParam().lpszName);
    ASSERT_TRUE(a.lpMgr && b.lpMgr);
    SOCKET sListen = a.lpMgr->CreateTcpSocket(nullptr, "127.0.0.1", 0, 1, 2);
    ASSERT_TRUE(sListen != INVALID_SOCKET && a.lpMgr->Listen(sListen, 8));
    const uint16_t wPort = LocalPortOf(sListen);
    SOCKET sTimer = a.lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 3, 4);
    ASSERT_NE(INVALID_SOCKET, sTimer);

    auto entered = std::make_shared<std::atomic<bool>>(false);
    auto destroying = std::make_shared<std::atomic<bool>>(false);
    auto returned = std::make_shared<std::atomic<bool>>(false);
    a.sink->SetHook(Ev::Timer, [=](SinkEvent&) {
        if (entered->exchange(true)) return;
        PollUntil([&] { return destroying->load(); }, kWaitMs);
        // Still inside the call when the destruction has begun.
        PollUntil([] { return false; }, 20);
        returned->store(true);
    });
    ASSERT_TRUE(a.lpMgr->SetEventTimer(sTimer, 0, 2, 0, false));
    ASSERT_TRUE(PollUntil([&] { return entered->load(); }, kWaitMs));
    destroying->store(true);
    a.Destroy();
    EXPECT_TRUE(returned->load()) << "the container went while its sink was still being called";
    EXPECT_EQ(0, TW_SocketMgrContainer::GetContainerCount());

    const size_t nHeard = a.sink->Size();
    ASSERT_NO_FATAL_FAILURE(b.Tick());
    EXPECT_EQ(nHeard, a.sink->Size()) << "the destroyed container's timer still reaches its sink";
    RawSocket late = RawSocket::TcpConnect(wPort);
    EXPECT_TRUE(!late.IsValid() || late.WaitClosed(kWaitMs)) << "the destroyed container's listener still accepts";
    EXPECT_EQ(0u, b.sink->Count(AboutOld(sListen)) + b.sink->Count(AboutOld(sTimer)));
}

// Destroying the last container while the shared manager's threads are
// dispatching (timers on several sockets, their callbacks calling back in,
// and on sockets no container owns, which run until the manager goes) ends
// the manager without waiting for ever; repeated to meet the races.
TEST_P(Container, DestroyingTheLastContainerWhileEventsAreDispatchedCompletes) {
    for (int iRound = 0; iRound < 8; ++iRound) {
        User a(GetParam().lpszName), b(GetParam().lpszName);
        ASSERT_TRUE(a.lpMgr && b.lpMgr);
        for (User* u : {&a, &b}) {
            ISocketMgr* lpMgr = u->lpMgr;
            u->sink->SetHook(Ev::Timer, [lpMgr](SinkEvent& ev) {
                uint32_t u1, u2;
                lpMgr->GetUserData(ev.s, &u1, &u2);
            });
            for (uint32_t i = 0; i < 4; ++i) {
                SOCKET s = u->lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, i, i);
                ASSERT_TRUE(s != INVALID_SOCKET && u->lpMgr->SetEventTimer(s, i, 1, 0, false));
            }
        }
        ASSERT_TRUE(a.sink->WaitCount(Is(Ev::Timer), 8, kWaitMs) && b.sink->WaitCount(Is(Ev::Timer), 8, kWaitMs));
        // Sockets of the manager that no container owns keep its threads
        // dispatching until the manager itself goes.
        TW_SocketMgrInstance* lpShared = TW_SocketMgrContainer::GetSharedSocketMgr();
        for (uint32_t i = 0; i < 4; ++i) {
            SOCKET s = lpShared->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0, 0);
            ASSERT_TRUE(s != INVALID_SOCKET && lpShared->SetEventTimer(s, i, 1, 0, false));
        }
        if (iRound % 2) std::swap(a.lpMgr, b.lpMgr);  // either may be the last
        a.Destroy();
        b.Destroy();
        ASSERT_EQ(nullptr, TW_SocketMgrContainer::GetSharedSocketMgr());
        ASSERT_EQ(-1, TW_SocketMgrContainer::GetContainerCount());
    }
}

// The first container's name chooses the engine, a later name shares it;
// the count starts below zero, so one container alone ends its manager and
// the next one starts a fresh manager of its own kind.
TEST(ContainerLife, FirstNameChoosesTheEngineAndTheLastContainerEndsIt) {
    NetInit();
    ASSERT_EQ(-1, TW_SocketMgrContainer::GetContainerCount());
    {
        User first(VXNET_IASYNC_2_0), second(VXNET_IIOCP_2_0);
        ASSERT_TRUE(first.lpMgr && second.lpMgr);
        EXPECT_TRUE(IsSharedEngine(VXNET_IASYNC_2_0)) << "the second name chose another engine";
        EXPECT_EQ(1, TW_SocketMgrContainer::GetContainerCount());
        EXPECT_EQ(2, GetRegisteredContainerCount());
        first.Destroy();
        EXPECT_TRUE(IsSharedEngine(VXNET_IASYNC_2_0)) << "the manager went with a container that was not the last";
        ASSERT_NO_FATAL_FAILURE(second.Tick());
    }
    for (const char* lpszName : {VXNET_ISELECT_2_0, VXNET_IIOCP_2_0, VXNET_IASYNC_2_0}) {
        EXPECT_EQ(nullptr, TW_SocketMgrContainer::GetSharedSocketMgr());
        User alone(lpszName);
        ASSERT_TRUE(alone.lpMgr);
        EXPECT_EQ(0, TW_SocketMgrContainer::GetContainerCount());
        EXPECT_TRUE(IsSharedEngine(lpszName)) << lpszName;
        ASSERT_NO_FATAL_FAILURE(alone.Tick());
    }
    EXPECT_EQ(-1, TW_SocketMgrContainer::GetContainerCount());
    EXPECT_EQ(nullptr, TW_SocketMgrContainer::GetSharedSocketMgr());
    EXPECT_EQ(0, GetRegisteredContainerCount());
}

// Start through a container always runs the name thread and the timer; the
// answer to ParseDns is printed, never given to the user's OnDnsParse.
TEST(ContainerLife, StartIgnoresItsFlagsAndNameResultsStayInside) {
    NetInit();
    ISocketMgr* lpMgr = vxCreateInstance(VXNET_ISELECT_2_0);
    ASSERT_NE(nullptr, lpMgr);
    RecordingSink sink;
    lpMgr->SetSink(&sink);
    ASSERT_TRUE(lpMgr->Start(START_NO_DNS_THREAD | START_NO_TIMER, 0, 0, 0));
    RawSocket listener = RawSocket::TcpListener();
    SOCKET s = lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 5, 6);
    ASSERT_NE(INVALID_SOCKET, s);
    testing::internal::CaptureStdout();
    // One name thread answers in order: the connect's result follows the ParseDns answer.
    const bool bAsked = lpMgr->ParseDns("localhost") && lpMgr->Connect(s, "localhost", listener.LocalPort());
    auto con = bAsked ? sink.Wait(Is(Ev::Connect, s), kWaitMs) : std::nullopt;
    std::fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(con);
    EXPECT_EQ(0, con->nError);
    EXPECT_NE(std::string::npos, printed.find("OnDnsParse localhost=127.0.0.1 \n")) << printed;
    ASSERT_TRUE(lpMgr->SetEventTimer(s, 0, 5, 0, true)) << "no timer";
    EXPECT_TRUE(sink.Wait(Is(Ev::Timer, s), kWaitMs));
    EXPECT_EQ(0u, sink.Count(Is(Ev::DnsParse)));
    EXPECT_EQ(0u, lpMgr->Control(CONTROL_REPORT_PARTIAL_SEND, s, 1, 0, 0, 0, 0, 0));
    EXPECT_TRUE(lpMgr->Stop(2000));
    vxDestroyInstance(lpMgr);
}
