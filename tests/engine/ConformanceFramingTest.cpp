// Notice framing against a raw peer: what is offered, when, and what is
// kept; nothing is read from the socket while no notice is requested.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EngineFixture.h"

using namespace vxtest;

namespace {

constexpr uint32_t kAll = 0xFFFFFFFFu;

// Answers the offers for one socket from a list: consume so many bytes (kAll:
// everything offered), then ask for the next notice (0: ask for nothing).
// Offers beyond the list are consumed whole without a new request.
struct OfferPlan {
    struct Step {
        uint32_t uiConsume;
        uint32_t uiRequest;
    };
    SOCKET s = INVALID_SOCKET;
    std::mutex mutex;
    std::vector<Step> steps;
    size_t nNext = 0;
    std::vector<bool> requestResults;
};

void Follow(RecordingSink& sink, ISocketMgr* lpMgr, std::shared_ptr<OfferPlan> plan) {
    sink.SetHook(Ev::Recv, [lpMgr, plan](SinkEvent& ev) {
        if (ev.s != plan->s) return;
        OfferPlan::Step step{kAll, 0};
        {
            std::lock_guard<std::mutex> lock(plan->mutex);
            if (plan->nNext < plan->steps.size()) step = plan->steps[plan->nNext++];
        }
        ev.uiConsumed = step.uiConsume == kAll ? ev.uiOffered : step.uiConsume;
        if (step.uiRequest == 0) return;
        bool bOk = lpMgr->SetNoticeLen(ev.s, step.uiRequest);
        std::lock_guard<std::mutex> lock(plan->mutex);
        plan->requestResults.push_back(bOk);
    });
}

std::shared_ptr<OfferPlan> Plan(SOCKET s, std::vector<OfferPlan::Step> steps) {
    auto plan = std::make_shared<OfferPlan>();
    plan->s = s;
    plan->steps = std::move(steps);
    return plan;
}

}  // namespace

TEST_P(Conformance, NoticeOffersAllBytesHeldAndOffersTheRestAgainAtOnce) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer, 0xA1, 0xA2));
    auto plan = Plan(s, {{4, 6}, {kAll, 0}});
    Follow(m_sink, m_lpMgr, plan);

    // Ten bytes wait in the socket before anything is asked for.
    ASSERT_TRUE(peer.SendAll("0123456789"));
    ASSERT_TRUE(WaitArrived(s, 10));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 2, kWaitMs, from));
    auto recvs = m_sink.Matching(Is(Ev::Recv, s), from);
    ASSERT_EQ(2u, recvs.size());
    EXPECT_EQ("0123456789", recvs[0].data);
    EXPECT_EQ(10u, recvs[0].uiOffered);
    EXPECT_EQ("456789", recvs[1].data);
    for (const SinkEvent& ev : recvs) {
        EXPECT_EQ(0, ev.nError);
        EXPECT_EQ(0xA1u, ev.u1);
        EXPECT_EQ(0xA2u, ev.u2);
    }
    EXPECT_EQ(std::vector<bool>{true}, plan->requestResults);

    // Everything consumed, nothing asked: new bytes stay in the socket.
    ASSERT_TRUE(peer.SendAll("abc"));
    ASSERT_TRUE(WaitArrived(s, 3));
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(3, PendingBytes(s));
    EXPECT_EQ(2u, m_sink.Count(Is(Ev::Recv, s), from));

    size_t from2 = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 3));
    auto ev = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from2);
    ASSERT_TRUE(ev);
    EXPECT_EQ("abc", ev->data);
}

TEST_P(Conformance, IncompleteNoticeWaitsForTheRestAndOneRequestIsPendingAtATime) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    EXPECT_FALSE(m_lpMgr->SetNoticeLen(s, 4));
    EXPECT_FALSE(m_lpMgr->SetNoticeLen(s, 2));

    ASSERT_TRUE(peer.SendAll("ab"));
    ASSERT_TRUE(WaitEngineRead(s));
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Recv, s), from));
    ASSERT_TRUE(peer.SendAll("cde"));
    auto ev = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ("abcde", ev->data);
    EXPECT_EQ(5u, ev->uiOffered);
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(1u, m_sink.Count(Is(Ev::Recv, s), from));
}

TEST_P(Conformance, OfferConsumedNotAtAllIsOfferedWholeWithTheNextBytes) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    auto plan = Plan(s, {{0, 4}, {kAll, 0}});
    Follow(m_sink, m_lpMgr, plan);

    ASSERT_TRUE(peer.SendAll("0123456789"));
    ASSERT_TRUE(WaitArrived(s, 10));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    ASSERT_TRUE(m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from));
    // Ten bytes kept and a request of four pending: no new offer until new
    // bytes arrive.
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(1u, m_sink.Count(Is(Ev::Recv, s), from));

    ASSERT_TRUE(peer.SendAll("XYZ"));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 2, kWaitMs, from));
    auto recvs = m_sink.Matching(Is(Ev::Recv, s), from);
    EXPECT_EQ("0123456789", recvs[0].data);
    EXPECT_EQ(0u, recvs[0].uiConsumed);
    EXPECT_EQ("0123456789XYZ", recvs[1].data);
    EXPECT_EQ(std::vector<bool>{true}, plan->requestResults);
}

TEST_P(Conformance, KeptBytesAreOfferedWhenTheNextRequestComesFromOutside) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer, 0xD1, 0xD2));
    auto plan = Plan(s, {{3, 0}, {2, 0}, {kAll, 0}});
    Follow(m_sink, m_lpMgr, plan);

    ASSERT_TRUE(peer.SendAll("0123456789"));
    ASSERT_TRUE(WaitArrived(s, 10));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    ASSERT_TRUE(m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from));

    // Seven bytes kept: a request of five is served from them, no network.
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 5));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 2, kWaitMs, from));
    // Five kept, six asked: nothing until one more byte arrives.
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 6));
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(2u, m_sink.Count(Is(Ev::Recv, s), from));
    ASSERT_TRUE(peer.SendAll("!"));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 3, kWaitMs, from));

    auto recvs = m_sink.Matching(Is(Ev::Recv, s), from);
    ASSERT_EQ(3u, recvs.size());
    EXPECT_EQ("0123456789", recvs[0].data);
    EXPECT_EQ("3456789", recvs[1].data);
    EXPECT_EQ("56789!", recvs[2].data);
    for (const SinkEvent& ev : recvs) {
        EXPECT_EQ(0xD1u, ev.u1);
        EXPECT_EQ(0xD2u, ev.u2);
    }
}

TEST_P(Conformance, LargeNoticeCollectsManyReadsInOrder) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    std::string stream(150000, '\0');
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<char>((i * 131) ^ (i >> 8));

    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 100000));
    ASSERT_TRUE(peer.SendAll(stream));
    auto first = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from);
    ASSERT_TRUE(first);
    ASSERT_GE(first->uiOffered, 100000u);
    std::string got = first->data;
    if (got.size() < stream.size()) {
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, static_cast<uint32_t>(stream.size() - got.size())));
        auto second = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, first->index + 1);
        ASSERT_TRUE(second);
        got += second->data;
    }
    EXPECT_TRUE(got == stream) << "the collected bytes differ from what the peer sent";
}

TEST_P(Conformance, RequestOfZeroStartsNothingAndOnlyConnectedSocketsAreFramed) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    size_t from = Mark();
    ASSERT_TRUE(peer.SendAll("q"));
    ASSERT_TRUE(WaitArrived(s, 1));
    EXPECT_TRUE(m_lpMgr->SetNoticeLen(s, 0));
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_EQ(1, PendingBytes(s));
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Recv, s), from));
    // Zero left no request pending.
    EXPECT_TRUE(m_lpMgr->SetNoticeLen(s, 1));
    auto ev = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ("q", ev->data);

    SOCKET sTcp = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, sTcp);
    EXPECT_FALSE(m_lpMgr->SetNoticeLen(sTcp, 4));
    SOCKET sListen;
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenOnEngine(&sListen, &wPort));
    EXPECT_FALSE(m_lpMgr->SetNoticeLen(sListen, 4));
    EXPECT_TRUE(m_lpMgr->SetNoticeLen(m_sClock, 4));  // a UDP socket: accepted, not framed
    RawSocket stranger = RawSocket::Udp();
    EXPECT_FALSE(m_lpMgr->SetNoticeLen(stranger.Handle(), 4));
    EXPECT_FALSE(m_lpMgr->SetNoticeLen(INVALID_SOCKET, 4));
}
