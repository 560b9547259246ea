// What only the select engine promises: poll groups of 64 sockets with a
// thread each, deliveries of kept bytes on the caller's thread, reports of
// partly flushed send queues, plain sends on UDP sockets without a proxy.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "ProcessThreads.h"

using namespace vxtest;

class SelectEngine : public EngineTest {};

INSTANTIATE_TEST_SUITE_P(Select, SelectEngine, testing::Values(EngineTraits{"ISelectSocketMgr1.0", 10060}),
                         EngineParamName);

// Poll threads only (other threads come and go on their own). A poll thread
// names itself when it first runs, so a count is awaited, not read once.
static int PollThreadCount() { return ProcessThreadCount("vxnet-select"); }
static bool PollThreadsBecome(int n) {
    return vxtest::PollUntil([n] { return PollThreadCount() == n; }, 5000);
}

TEST_P(SelectEngine, SixtyFifthSocketStartsASecondGroupAndFreedPlacesAreTakenAgain) {
    if (PollThreadCount() < 0) GTEST_SKIP() << "the thread count of the process is not known here";
    // The fixture's clock socket has made the first group; 63 more fill it.
    ASSERT_TRUE(vxtest::PollUntil([] { return PollThreadCount() >= 1; }, 5000));
    const int nBase = PollThreadCount();
    std::vector<SOCKET> socks;
    auto open = [&](int n) {
        for (int i = 0; i < n; ++i) {
            socks.push_back(m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, uint32_t(1000 + socks.size()), 0));
            ASSERT_NE(INVALID_SOCKET, socks.back());
        }
    };
    ASSERT_NO_FATAL_FAILURE(open(63));
    EXPECT_TRUE(PollThreadsBecome(nBase));
    ASSERT_NO_FATAL_FAILURE(open(1));
    EXPECT_TRUE(PollThreadsBecome(nBase + 1)) << "the 65th socket needs a second poll thread";

    // One place of the full group is freed; 64 new sockets fill the second
    // group and that place, without a third thread. The next one needs it.
    ASSERT_TRUE(m_lpMgr->CloseSocket(socks[10]));
    socks.erase(socks.begin() + 10);
    ASSERT_NO_FATAL_FAILURE(open(64));
    EXPECT_TRUE(PollThreadsBecome(nBase + 1)) << "a freed place of a full group was not used again";
    ASSERT_NO_FATAL_FAILURE(open(1));
    // Also fails if the earlier sockets had wrongly made a third group.
    EXPECT_TRUE(PollThreadsBecome(nBase + 2));

    // Every socket of every group is polled.
    RawSocket raw = RawSocket::Udp();
    size_t from = Mark();
    for (SOCKET s : socks) ASSERT_EQ(1, raw.SendTo(LocalPortOf(s), "x"));
    EXPECT_TRUE(m_sink.WaitCount(Is(Ev::RecvFrom), socks.size(), kWaitMs, from));
    for (SOCKET s : socks) EXPECT_EQ(1u, m_sink.Count(Is(Ev::RecvFrom, s), from)) << "socket " << s;
}

TEST_P(SelectEngine, KeptBytesAskedForFromOutsideAreDeliveredOnTheCallersThread) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    m_sink.SetHook(Ev::Recv, [s](SinkEvent& ev) {
        if (ev.s == s && ev.uiOffered == 10) ev.uiConsumed = 3;
    });
    // A request made while the poll thread still finishes the previous
    // delivery is served by that thread: then the attempt is repeated.
    bool bOnCaller = false;
    for (int attempt = 0; attempt < 5 && !bOnCaller; ++attempt) {
        ASSERT_TRUE(peer.SendAll("0123456789"));
        ASSERT_TRUE(WaitArrived(s, 10));
        size_t from = Mark();
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
        auto first = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from);
        ASSERT_TRUE(first && first->thread != std::this_thread::get_id());
        ASSERT_NO_FATAL_FAILURE(Settle());

        size_t from2 = Mark();
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 5));
        auto kept = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from2);
        ASSERT_TRUE(kept && kept->data == "3456789") << (kept ? kept->data : "no offer");
        bOnCaller = kept->thread == std::this_thread::get_id();
    }
    EXPECT_TRUE(bOnCaller) << "kept bytes were never delivered on the caller's thread";
}

TEST_P(SelectEngine, PartlyFlushedQueuesAreReportedWhenAskedFor) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer, 0x71, 0x72));
    ASSERT_TRUE(m_lpMgr->SetSendBufSize(s, 65536));
    EXPECT_EQ(0u, m_lpMgr->Control(CONTROL_REPORT_PARTIAL_SEND, s, 1, 0, 0, 0, 0, 0));
    std::string big(4 << 20, 'b');
    size_t from = Mark();
    uint32_t uiQueued = 0;
    ASSERT_TRUE(m_lpMgr->Send(s, big.data(), static_cast<uint32_t>(big.size()), 0x77, &uiQueued));
    EXPECT_GE(uiQueued, 1u);
    std::string got;
    ASSERT_TRUE(peer.RecvExact(got, big.size(), kWaitMs));
    EXPECT_TRUE(got == big);
    auto drained = m_sink.Wait(
        [s](const SinkEvent& e) { return e.kind == Ev::Send && e.s == s && e.uiQueued == 0; }, kWaitMs, from);
    ASSERT_TRUE(drained && drained->nError == 0);
    auto partial = m_sink.Matching(
        [s](const SinkEvent& e) { return e.kind == Ev::Send && e.s == s && e.uiQueued > 0; }, from);
    ASSERT_FALSE(partial.empty()) << "no report of a partly flushed queue";
    EXPECT_TRUE(partial[0].dwSendFlag == 0x77 && partial[0].u1 == 0x71 && partial[0].u2 == 0x72)
        << Describe(partial[0]);

    // Switched off, only the drained queue is reported.
    EXPECT_EQ(0u, m_lpMgr->Control(CONTROL_REPORT_PARTIAL_SEND, s, 0, 0, 0, 0, 0, 0));
    size_t from2 = Mark();
    ASSERT_TRUE(m_lpMgr->Send(s, big.data(), static_cast<uint32_t>(big.size()), 0x78, nullptr));
    got.clear();
    ASSERT_TRUE(peer.RecvExact(got, big.size(), kWaitMs));
    ASSERT_TRUE(m_sink.Wait(Is(Ev::Send, s), kWaitMs, from2));
    ASSERT_NO_FATAL_FAILURE(Settle());
    auto reports = m_sink.Matching(Is(Ev::Send, s), from2);
    ASSERT_EQ(1u, reports.size()) << DescribeAll(reports);
    EXPECT_TRUE(reports[0].uiQueued == 0 && reports[0].dwSendFlag == 0x78) << Describe(reports[0]);
}

TEST_P(SelectEngine, UdpWithoutProxySendsDirectlyEitherWay) {
    SOCKET u = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, u);
    RawSocket raw = RawSocket::Udp();
    EXPECT_EQ(3, m_lpMgr->SendTo(u, "127.0.0.1", raw.LocalPort(), "abc", 3, false));
    std::string got;
    ASSERT_EQ(3, raw.RecvFrom(got, nullptr, kWaitMs));
    EXPECT_EQ("abc", got);
}
