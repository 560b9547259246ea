// The shared notice framing where the engine suite cannot reach: no copy of
// a chunk that completes a notice, the block a socket keeps and its growth,
// handles reused and engines stopping during a delivery, a connect in
// progress, and a random model of the stream.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "NoticeFramingHarness.h"

namespace {

constexpr SOCKET kS = 5;

struct Offer {
    std::string bytes;
    const char* lpData;
};

// A connected socket and a sink whose reaction to each offer the test scripts.
class NoticeFramingTest : public ::testing::Test {
protected:
    NoticeFramingTest() {
        engine.Add(kS);
        engine.m_sink.onRecv = [this](const char* lpData, uint32_t* lpLen, uint32_t, uint32_t) {
            offers.push_back({std::string(lpData, *lpLen), lpData});
            if (react) react(lpLen);
        };
    }

    SocketData& State() { return *engine.Find(kS); }

    FakeNoticeEngine engine;
    std::vector<Offer> offers;
    std::function<void(uint32_t* lpLen)> react;  // default: consume all, ask nothing
};

TEST_F(NoticeFramingTest, NoticeCompleteInOneChunkIsOfferedFromTheCallersBuffer) {
    ASSERT_TRUE(engine.SetNoticeLen(kS, 4));
    react = [this](uint32_t* lpLen) {
        if (offers.size() > 1) return;
        *lpLen = 4;
        EXPECT_TRUE(engine.SetNoticeLen(kS, 6));
    };
    const std::string chunk = "HEADbody..";
    EXPECT_EQ(engine.Feed(kS, chunk), NOTICE_IDLE);
    ASSERT_EQ(offers.size(), 2u);
    EXPECT_TRUE(offers[0].bytes == chunk && offers[1].bytes == "body..");
    EXPECT_TRUE(offers[0].lpData == chunk.data() && offers[1].lpData == chunk.data() + 4) << "copied";
    EXPECT_EQ(State().sbRbuf.lpBuffer, nullptr);  // nothing was ever buffered
    EXPECT_FALSE(engine.Reading(kS));
}

// Held bytes: reads stamp the receive time (deliveries the engine asks for
// itself need not), and the block stays with the socket for the next notice.
TEST_F(NoticeFramingTest, IncompleteNoticeIsHeldInABlockTheSocketKeeps) {
    ASSERT_TRUE(engine.SetNoticeLen(kS, 4));
    engine.m_uiTick = 1234;
    EXPECT_EQ(engine.Feed(kS, "ab"), NOTICE_READ_ON);
    EXPECT_EQ(State().dwLastRecvTime, 1234u);
    EXPECT_EQ(engine.Feed(kS, "cde"), NOTICE_IDLE);
    ASSERT_TRUE(offers.size() == 1 && offers[0].bytes == "abcde");
    const char* lpBlock = State().sbRbuf.lpBuffer;
    ASSERT_NE(lpBlock, nullptr);
    ASSERT_TRUE(engine.SetNoticeLen(kS, 3));
    EXPECT_EQ(engine.Feed(kS, "f"), NOTICE_READ_ON);
    EXPECT_EQ(State().sbRbuf.lpBuffer, lpBlock);
    engine.m_uiTick = 9999;
    EXPECT_EQ(engine.ReceiveNotice(kS, nullptr, 0, State().uiSeq, false), NOTICE_READ_ON);
    EXPECT_EQ(State().dwLastRecvTime, 1234u);
}

TEST_F(NoticeFramingTest, HandleReusedInsideTheCallbackIsNotTouched) {
    ASSERT_TRUE(engine.SetNoticeLen(kS, 2));
    EXPECT_EQ(engine.Feed(kS, "a"), NOTICE_READ_ON);
    react = [this](uint32_t* lpLen) {
        *lpLen = 0;
        engine.Close(kS);
        engine.Add(kS);  // same handle, new socket
    };
    EXPECT_EQ(engine.Feed(kS, "bcd"), NOTICE_GONE);
    react = nullptr;
    ASSERT_NE(engine.Find(kS), nullptr);
    EXPECT_TRUE(!State().bRbufLockFlag && State().sbRbuf.uiDataLen == 0 && State().sbRbuf.lpBuffer == nullptr);
    // Work stamped for the old socket is dropped.
    ASSERT_TRUE(engine.SetNoticeLen(kS, 1));
    EXPECT_EQ(engine.ReceiveNotice(kS, "x", 1, State().uiSeq - 1), NOTICE_GONE);
    EXPECT_EQ(offers.size(), 1u);
    EXPECT_EQ(engine.ReceiveNotice(kS, "x", 1, TW_NoticeFraming::kAnySeq), NOTICE_IDLE);
    EXPECT_EQ(offers.size(), 2u);
}

// Nothing is delivered while stopping; a stop during a delivery ends the
// loop with the rest kept.
TEST_F(NoticeFramingTest, StoppingEngineDeliversNothingAndKeepsTheBytes) {
    ASSERT_TRUE(engine.SetNoticeLen(kS, 2));
    engine.m_bStop = true;
    EXPECT_EQ(engine.Feed(kS, "abc"), NOTICE_READ_ON);
    EXPECT_TRUE(offers.empty());
    EXPECT_TRUE(!State().bRbufLockFlag && State().sbRbuf.uiDataLen == 3);
    engine.m_bStop = false;
    react = [this](uint32_t* lpLen) {
        *lpLen = 1;
        EXPECT_TRUE(engine.SetNoticeLen(kS, 1));
        engine.m_bStop = true;
    };
    EXPECT_EQ(engine.Feed(kS, "d"), NOTICE_READ_ON);
    EXPECT_TRUE(offers.size() == 1 && !State().bRbufLockFlag);
    EXPECT_EQ(std::string(State().sbRbuf.lpBuffer, State().sbRbuf.uiDataLen), "bcd");
}

// The room for held bytes grows with the bytes, not with the request (which
// may be a length field from the peer), and never past 4 GiB.
TEST_F(NoticeFramingTest, HeldBytesGrowWithTheBytesUpToTheLimit) {
    EXPECT_EQ(100u, TW_NoticeFraming::RoomFor(0, 10, 100));
    EXPECT_EQ(0xFFFFFFFFu, TW_NoticeFraming::RoomFor(0xC0000000u, 0xFFFFFFFFull, 0xFFFFFFFFu));
    EXPECT_EQ(0u, TW_NoticeFraming::RoomFor(0xC0000000u, 0x100000000ull, 0xFFFFFFFFu));
    ASSERT_TRUE(engine.SetNoticeLen(kS, 0xFFFFFF00u));
    std::string chunk(4096, 'z');
    EXPECT_EQ(engine.Feed(kS, chunk), NOTICE_READ_ON);
    EXPECT_LE(State().sbRbuf.uiCapacity, 2u << 20);
    EXPECT_EQ(engine.Feed(kS, chunk), NOTICE_READ_ON);
    EXPECT_EQ(State().sbRbuf.uiDataLen, 8192u);
    RecvState rs;
    rs.uiNoticeLen = 0xFFFFFFFFu;
    rs.sbRbuf.uiDataLen = 0xFFFFFFF0u;  // as if held: nothing is touched when refused
    EXPECT_FALSE(TW_NoticeFraming::AppendRecvBytes(rs, "0123456789abcdefg", 17));
    EXPECT_EQ(0xFFFFFFF0u, rs.sbRbuf.uiDataLen);
}

TEST_F(NoticeFramingTest, SinkMayCallInFromAnotherThreadDuringAnOffer) {
    ASSERT_TRUE(engine.SetNoticeLen(kS, 1));
    react = [this](uint32_t*) {
        // Would deadlock if the record's lock were held during the callback.
        std::thread t([this] { EXPECT_TRUE(engine.SetNoticeLen(kS, 4)); });
        t.join();
    };
    EXPECT_EQ(engine.Feed(kS, "a"), NOTICE_READ_ON);
    EXPECT_EQ(State().uiNoticeLen, 4u);
}

// The engine suite cannot hold a loopback connect in progress; a socket
// still connecting refuses requests like every socket that is not connected.
TEST(NoticeRequest, SocketStillConnectingIsNotFramed) {
    RecvState rs;
    EXPECT_EQ(NOTICE_REFUSED, TW_NoticeFraming::RequestNotice(SS_CONNECTING, rs, 8));
    EXPECT_EQ(0u, rs.uiNoticeLen);
}

// Over random runs, what the cases above leave out: no read without a
// request, held bytes offered as soon as a request is met, an offer taken
// nothing of again only with more bytes, bytes read during an offer after the
// kept rest, a claim beyond the offer taken as all of it, and a close inside
// the callback ending the delivery wherever the offer came from.
class SeededChoices : public FramingChoices {
public:
    explicit SeededChoices(uint32_t uiSeed) : m_rng(uiSeed) {}
    bool Exhausted() override { return false; }
    uint32_t Next(uint32_t uiMax) override { return std::uniform_int_distribution<uint32_t>(0, uiMax)(m_rng); }

private:
    std::mt19937 m_rng;
};

TEST(NoticeFramingModel, RandomChunksRequestsAndConsumptionMatchTheModel) {
    for (uint32_t uiSeed = 1; uiSeed <= 20; ++uiSeed) {
        SeededChoices choices(uiSeed);
        FramingScenario scenario(choices);
        EXPECT_EQ(scenario.Run(5000), "") << "seed " << uiSeed;
    }
}

}  // namespace
