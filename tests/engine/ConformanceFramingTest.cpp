// Notice framing against a raw peer: what is offered, when, and what is
// kept; nothing is read from the socket while no notice is requested.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "EngineFixture.h"

using namespace vxtest;

// One connection through the ways a host answers offers: every held byte is
// offered; the rest of an offer comes again at once when the request made
// inside the callback is met; kept bytes serve a request from outside; an
// offer taken nothing of comes again only with new bytes; with nothing
// asked, new bytes stay in the socket. (Notices larger than one read: the
// bulk echo.)
TEST_P(Conformance, OffersFollowTheHostsRequestsAndConsumption) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer, 0xA1, 0xA2));
    // The sink's answers to the offers, in order: consume so many bytes, then
    // ask for the next notice (0: nothing). Later offers are consumed whole.
    struct Plan {
        std::mutex mutex;
        std::vector<std::pair<uint32_t, uint32_t>> replies{{4, 6}, {2, 0}, {1, 0}, {0, 4}};
        std::vector<bool> results;  // of the requests made inside the callback
    };
    auto plan = std::make_shared<Plan>();
    m_sink.SetHook(Ev::Recv, [plan, lpMgr = m_lpMgr](SinkEvent& ev) {
        std::lock_guard<std::mutex> lock(plan->mutex);
        if (plan->replies.empty()) return;
        auto [uiConsume, uiRequest] = plan->replies.front();
        plan->replies.erase(plan->replies.begin());
        ev.uiConsumed = uiConsume;
        if (uiRequest) plan->results.push_back(lpMgr->SetNoticeLen(ev.s, uiRequest));
    });
    ASSERT_TRUE(peer.SendAll("0123456789") && WaitArrived(s, 10));  // before anything is asked for
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 2, kWaitMs, from));
    // Four bytes kept: a request of three is served from them at once, one of
    // four waits for one more byte.
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 3));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 3, kWaitMs, from));
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    ExpectQuiet(s, from, 3);
    ASSERT_TRUE(peer.SendAll("!"));
    // Taken nothing of, and asked for four again.
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 4, kWaitMs, from));
    ExpectQuiet(s, from, 4);
    ASSERT_TRUE(peer.SendAll("XYZ") && m_sink.WaitCount(Is(Ev::Recv, s), 5, kWaitMs, from));
    ASSERT_TRUE(peer.SendAll("abc") && WaitArrived(s, 3));
    ExpectQuiet(s, from, 5);
    EXPECT_EQ(3, PendingBytes(s));
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "abc"));
    std::vector<std::string> offered;
    for (const SinkEvent& ev : m_sink.Matching(Is(Ev::Recv, s), from)) {
        offered.push_back(ev.data);
        EXPECT_TRUE(ev.nError == 0 && ev.u1 == 0xA1 && ev.u2 == 0xA2) << Describe(ev);
    }
    EXPECT_EQ((std::vector<std::string>{"0123456789", "456789", "6789", "789!", "789!XYZ", "abc"}), offered);
    EXPECT_EQ((std::vector<bool>{true, true}), plan->results);
}

TEST_P(Conformance, IncompleteNoticeWaitsForTheRestAndOneRequestIsPendingAtATime) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    EXPECT_FALSE(m_lpMgr->SetNoticeLen(s, 4) || m_lpMgr->SetNoticeLen(s, 2)) << "a second request while one is pending";
    ASSERT_TRUE(peer.SendAll("ab") && WaitEngineRead(s));
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Recv, s), from));
    ASSERT_TRUE(peer.SendAll("cde"));
    auto ev = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_TRUE(ev->data == "abcde" && ev->uiOffered == 5) << ev->data;
    ExpectQuiet(s, from, 1);
}

// (Sockets that are not connected refuse requests: see
// CallsThatCannotBeDoneFailAndChangeNothing.)
TEST_P(Conformance, RequestOfZeroStartsNothingAndUdpSocketsAcceptRequests) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    size_t from = Mark();
    ASSERT_TRUE(peer.SendAll("q") && WaitArrived(s, 1));
    EXPECT_TRUE(m_lpMgr->SetNoticeLen(s, 0));
    ExpectQuiet(s, from, 0);
    EXPECT_EQ(1, PendingBytes(s));
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "q"));  // zero left no request pending
    EXPECT_TRUE(m_lpMgr->SetNoticeLen(m_sClock, 4));  // accepted, not framed
}
