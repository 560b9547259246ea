// The multiple timer end to end: wheel, queue, message threads and sink.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "PollUntil.h"
#include "TW_MultipleTimer.h"

namespace {

class CountingSink : public TW_TimerSink {
public:
    void OnTimer(uint32_t uiTimerId, uint32_t uiValue) override {
        std::lock_guard<std::mutex> g(mtx);
        // Re-added before it is counted: a test that sees the count sees the
        // new timer in the wheel.
        if (lpTimer && uiTimerId == uiRearmId) lpTimer->AddTimer(uiRearmId, 5, uiValue + 1, true);
        ++mapCalls[uiTimerId];
        mapValue[uiTimerId] = uiValue;
        ++nTotal;
    }
    int Calls(uint32_t uiId) {
        std::lock_guard<std::mutex> g(mtx);
        return mapCalls[uiId];
    }
    uint32_t Value(uint32_t uiId) {
        std::lock_guard<std::mutex> g(mtx);
        return mapValue[uiId];
    }
    std::mutex mtx;
    std::map<uint32_t, int> mapCalls;
    std::map<uint32_t, uint32_t> mapValue;
    std::atomic<int> nTotal{0};
    // A one-shot timer with this id re-adds itself from the sink.
    TW_MultipleTimer* lpTimer = nullptr;
    uint32_t uiRearmId = 0xFFFFFFFF;
};

struct FakeClock {
    std::atomic<uint32_t> uiNow{0};
    static uint32_t Read(void* p) { return static_cast<FakeClock*>(p)->uiNow.load(); }
};

// The test calls OnTick itself. The real periodic timer hardly ever ticks
// within a test (Wine's longest period is 65535 ms); if it does, it walks to
// the same injected time again, which changes nothing.
constexpr uint32_t kNoRealTicks = 60000;

}  // namespace

TEST(MultipleTimer, RefusesWorkWhileStoppedAndBadArguments) {
    CountingSink sink;
    TW_MultipleTimer t;
    EXPECT_FALSE(t.AddTimer(1, 10, 0, true));
    EXPECT_FALSE(t.KillTimer(1));
    EXPECT_FALSE(t.Create(1, 1, 17));  // no sink yet
    t.SetSink(&sink);
    EXPECT_FALSE(t.Create(0, 1, 17));
    EXPECT_FALSE(t.Create(1, 0, 17));
    EXPECT_FALSE(t.Create(1, 1, 0));
    EXPECT_FALSE(t.Destroy());

    ASSERT_TRUE(t.Create(kNoRealTicks, 2, 17));
    EXPECT_FALSE(t.Create(kNoRealTicks, 2, 17));
    EXPECT_EQ(2, t.GetThreadCount(0));
    EXPECT_FALSE(t.AddTimer(1, 0, 0, false));
    EXPECT_TRUE(t.AddTimer(1, 10, 0, false));
    EXPECT_FALSE(t.AddTimer(1, 10, 0, false));
    EXPECT_TRUE(t.Destroy());
    EXPECT_EQ(0, t.GetThreadCount());
    EXPECT_FALSE(t.KillTimer(1));
    EXPECT_FALSE(t.Destroy());
}

// Injected clock: expiries reach the sink through the message threads on the
// right tick, the current tick follows the clock, and the clock may wrap.
TEST(MultipleTimer, DeliversExpiriesOfInjectedTicks) {
    CountingSink sink;
    FakeClock clock;
    clock.uiNow = 0xFFFFFFF0u;
    TW_MultipleTimer t(FakeClock::Read, &clock);
    t.SetSink(&sink);
    ASSERT_TRUE(t.Create(kNoRealTicks, 2, 4099));
    EXPECT_EQ(0xFFFFFFF0u, t.GetCurrentTick());
    ASSERT_TRUE(t.AddTimer(1, 10, 111, true));
    ASSERT_TRUE(t.AddTimer(2, 16, 222, false));
    sink.lpTimer = &t;
    sink.uiRearmId = 3;
    ASSERT_TRUE(t.AddTimer(3, 5, 1, true));

    clock.uiNow = 0xFFFFFFF0u + 10;
    t.OnTick();
    EXPECT_EQ(0xFFFFFFFAu, t.GetCurrentTick());
    ASSERT_TRUE(PollUntil([&] { return sink.Calls(1) == 1 && sink.Calls(3) == 1; }));
    EXPECT_EQ(111u, sink.Value(1));
    EXPECT_FALSE(t.KillTimer(1));  // the one-shot timer is gone

    // Across the wrap: timer 2 is due at 0x00000000.
    clock.uiNow = 0xFFFFFFFFu;
    t.OnTick();
    clock.uiNow = 0x00000000u;
    t.OnTick();
    // Timer 3 re-added itself from its sink call, due at 0xFFFFFFFA + 5.
    ASSERT_TRUE(PollUntil([&] { return sink.Calls(2) == 1 && sink.Calls(3) == 2; }));
    EXPECT_EQ(0u, t.GetCurrentTick());
    EXPECT_EQ(2u, sink.Value(3));
    EXPECT_TRUE(t.KillTimer(2));
    EXPECT_TRUE(t.Destroy());
}

// 2000 expiries of one tick all reach the sink; then a destroy, a second
// destroy and a new create leave a working timer (no quit message of the
// first run is left to end a message thread of the second).
TEST(MultipleTimer, ManyExpiriesAndRecreate) {
    CountingSink sink;
    FakeClock clock;
    clock.uiNow = 1000;
    TW_MultipleTimer t(FakeClock::Read, &clock);
    t.SetSink(&sink);
    ASSERT_TRUE(t.Create(kNoRealTicks, 3, 4099));
    for (uint32_t i = 0; i < 2000; ++i) ASSERT_TRUE(t.AddTimer(i, 50, i, true));
    clock.uiNow = 1050;
    t.OnTick();
    ASSERT_TRUE(PollUntil([&] { return sink.nTotal.load() == 2000; }));
    EXPECT_EQ(1999u, sink.Value(1999));

    ASSERT_TRUE(t.AddTimer(7, 50, 0, false));
    EXPECT_TRUE(t.Destroy());
    EXPECT_FALSE(t.Destroy());
    ASSERT_TRUE(t.Create(kNoRealTicks, 1, 17));
    EXPECT_EQ(1, t.GetThreadCount(0));
    EXPECT_TRUE(t.AddTimer(7, 50, 70, true));  // the old timer 7 went with Destroy
    clock.uiNow = 1100;
    t.OnTick();
    ASSERT_TRUE(PollUntil([&] { return sink.Value(7) == 70; }));
    EXPECT_EQ(1, t.GetThreadCount(0));
    EXPECT_TRUE(t.Destroy());
}

// The real periodic timer and the real clock drive the wheel.
TEST(MultipleTimer, RunsOnTheRealClock) {
    CountingSink sink;
    TW_MultipleTimer t;
    t.SetSink(&sink);
    ASSERT_TRUE(t.Create(1, 2, 17));
    uint32_t uiStart = t.GetCurrentTick();
    ASSERT_TRUE(t.AddTimer(1, 3, 5, false));
    ASSERT_TRUE(t.AddTimer(2, 2, 6, true));
    ASSERT_TRUE(PollUntil([&] { return sink.Calls(1) >= 5 && sink.Calls(2) == 1; }));
    EXPECT_GT(int32_t(t.GetCurrentTick() - uiStart), 0);
    EXPECT_TRUE(t.Destroy());
    EXPECT_EQ(1, sink.Calls(2));
}
