// The multiple timer end to end on an injected clock: wheel, queue, message
// threads and sink. (The real clock drives it in the engines' timer tests.)
#include <gtest/gtest.h>

#include <atomic>

#include "PollUntil.h"
#include "TW_MultipleTimer.h"

namespace {

class CountingSink : public TW_TimerSink {
public:
    // With lpRearm set, one-shot timer 3 re-adds itself from here, before it
    // is counted: a test that sees the count sees the new timer in the wheel.
    void OnTimer(uint32_t uiTimerId, uint32_t uiValue) override {
        if (lpRearm && uiTimerId == 3) lpRearm->AddTimer(3, 5, uiValue + 1, true);
        arrValue[uiTimerId] = uiValue;
        ++arrCalls[uiTimerId];
        ++nTotal;
    }
    std::atomic<int> arrCalls[2000]{}, nTotal{0};
    std::atomic<uint32_t> arrValue[2000]{};
    TW_MultipleTimer* lpRearm = nullptr;
};

std::atomic<uint32_t> g_uiNow{0};
uint32_t FakeClock(void*) { return g_uiNow.load(); }

// The test calls OnTick itself; a rare real tick (Wine's longest period is
// 65535 ms) walks to the same injected time again, which changes nothing.
constexpr uint32_t kNoRealTicks = 60000;

void TickAt(TW_MultipleTimer& t, uint32_t uiNow) {
    g_uiNow = uiNow;
    t.OnTick();
}

}  // namespace

// Expiries reach the sink on their tick, also across the clock's wrap.
TEST(MultipleTimer, DeliversExpiriesOfInjectedTicks) {
    CountingSink sink;
    g_uiNow = 0xFFFFFFF0u;
    TW_MultipleTimer t(FakeClock, nullptr);
    t.SetSink(&sink);
    ASSERT_TRUE(t.Create(kNoRealTicks, 2, 4099));
    sink.lpRearm = &t;
    ASSERT_TRUE(t.AddTimer(1, 10, 111, true) && t.AddTimer(2, 16, 222, false) && t.AddTimer(3, 5, 1, true));
    TickAt(t, 0xFFFFFFFAu);
    EXPECT_EQ(0xFFFFFFFAu, t.GetCurrentTick());
    ASSERT_TRUE(PollUntil([&] { return sink.arrCalls[1] == 1 && sink.arrValue[1] == 111 && sink.arrCalls[3] == 1; }));
    EXPECT_FALSE(t.KillTimer(1));  // the one-shot timer is gone

    // Across the wrap: timer 2 is due at 0x00000000, timer 3 (re-added from
    // its sink call) at 0xFFFFFFFF.
    TickAt(t, 0xFFFFFFFFu);
    TickAt(t, 0x00000000u);
    ASSERT_TRUE(PollUntil([&] { return sink.arrCalls[2] == 1 && sink.arrCalls[3] == 2 && sink.arrValue[3] == 2; }));
    EXPECT_EQ(0u, t.GetCurrentTick());
    EXPECT_TRUE(t.KillTimer(2));
    EXPECT_TRUE(t.Destroy());
}

// 2000 expiries of one tick all reach the sink; after a destroy a new create
// works (no quit message of the first run ends a thread of the second).
TEST(MultipleTimer, LifecycleAndManyExpiries) {
    CountingSink sink;
    g_uiNow = 1000;
    TW_MultipleTimer t(FakeClock, nullptr);
    EXPECT_FALSE(t.AddTimer(1, 10, 0, true) || t.Destroy());
    EXPECT_FALSE(t.Create(kNoRealTicks, 1, 17));  // no sink yet
    t.SetSink(&sink);
    ASSERT_TRUE(t.Create(kNoRealTicks, 3, 4099));
    EXPECT_FALSE(t.Create(kNoRealTicks, 3, 4099));
    EXPECT_EQ(3, t.GetThreadCount(0));
    for (uint32_t i = 0; i < 2000; ++i) ASSERT_TRUE(t.AddTimer(i, 50, i, true));
    EXPECT_FALSE(t.AddTimer(7, 10, 0, false));
    TickAt(t, 1050);
    ASSERT_TRUE(PollUntil([&] { return sink.nTotal.load() == 2000; }));
    EXPECT_EQ(1999u, sink.arrValue[1999].load());

    ASSERT_TRUE(t.AddTimer(7, 50, 0, false));
    EXPECT_TRUE(t.Destroy() && !t.Destroy() && !t.KillTimer(7));
    ASSERT_TRUE(t.Create(kNoRealTicks, 1, 17));
    EXPECT_TRUE(t.AddTimer(7, 50, 70, true));  // the old timer 7 went with Destroy
    TickAt(t, 1100);
    ASSERT_TRUE(PollUntil([&] { return sink.arrValue[7] == 70; }));
    EXPECT_EQ(1, t.GetThreadCount(0));
    EXPECT_TRUE(t.Destroy());
}
