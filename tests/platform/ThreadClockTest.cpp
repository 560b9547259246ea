// Threads (suspended start, handles, ids, termination policy), the
// millisecond clock and the periodic timer.
#include <gtest/gtest.h>

#include <atomic>

#include "PfClock.h"
#include "PfSync.h"
#include "PfThread.h"
#include "PollUntil.h"

namespace {

struct Started {
    std::atomic<bool> bResumed{false};
    std::atomic<bool> bRanEarly{false};
    std::atomic<uint32_t> uiSeenId{0};
};

uint32_t RecordAndExit(void* p) {
    Started* s = static_cast<Started*>(p);
    if (!s->bResumed.load()) s->bRanEarly = true;
    s->uiSeenId = pf::CurrentThreadId();
    return 42;
}

uint32_t WaitOnEvent(void* p) {
    pf::EventWait(static_cast<pf::EventHandle>(p), pf::kInfinite);
    return 7;
}

}  // namespace

TEST(PlatformThread, RunsOnlyAfterResumeAndReportsItsIdAndExitCode) {
    Started s;
    uint32_t uiId = 0;
    pf::ThreadHandle h = pf::ThreadCreateSuspended(RecordAndExit, &s, &uiId);
    ASSERT_TRUE(h);
    EXPECT_NE(0u, uiId);
    EXPECT_EQ(uiId, pf::ThreadGetId(h));
    EXPECT_NE(pf::CurrentThreadId(), uiId);
    // Suspended: cannot have ended.
    EXPECT_EQ(pf::kWaitTimeout, pf::ThreadWait(h, 20));
    uint32_t uiCode = 0;
    EXPECT_FALSE(pf::ThreadExitCode(h, &uiCode));

    s.bResumed = true;
    ASSERT_TRUE(pf::ThreadResume(h));
    EXPECT_EQ(pf::kWaitObject0, pf::ThreadWait(h, pf::kInfinite));
    EXPECT_FALSE(s.bRanEarly.load());
    EXPECT_EQ(uiId, s.uiSeenId.load());
    ASSERT_TRUE(pf::ThreadExitCode(h, &uiCode));
    EXPECT_EQ(42u, uiCode);
    pf::ThreadClose(h);
}

TEST(PlatformThread, DuplicateOutlivesTheOriginalAndJoinsMultiWaits) {
    pf::EventHandle release = pf::EventCreate(true, false);
    pf::ThreadHandle h = pf::ThreadCreateSuspended(WaitOnEvent, release, nullptr);
    ASSERT_TRUE(h);
    pf::ThreadHandle dup = pf::ThreadDuplicate(h);
    ASSERT_TRUE(dup);
    ASSERT_TRUE(pf::ThreadResume(h));
    pf::ThreadClose(h);  // the thread goes on; the duplicate still waits for it

    pf::EventHandle other = pf::EventCreate(false, false);
    pf::WaitHandle both[2] = {pf::Waitable(other), pf::Waitable(dup)};
    EXPECT_EQ(pf::kWaitTimeout, pf::WaitForAny(both, 2, 10));
    pf::EventSet(release);
    EXPECT_EQ(pf::kWaitObject0 + 1, pf::WaitForAny(both, 2, pf::kInfinite));
    // An ended thread stays signalled.
    EXPECT_EQ(pf::kWaitObject0, pf::ThreadWait(dup, 0));
    uint32_t uiCode = 0;
    EXPECT_TRUE(pf::ThreadExitCode(dup, &uiCode));
    EXPECT_EQ(7u, uiCode);
    pf::ThreadClose(dup);
    pf::EventClose(other);
    pf::EventClose(release);
}

namespace {

struct TickCounter {
    std::atomic<int> nTicks{0};
    std::atomic<uint32_t> uiLastId{0};
    std::atomic<bool> bKilled{false};
    std::atomic<bool> bLateTick{false};
    std::atomic<int> nKillSelfAt{0};
};

void CountTick(uint32_t uiTimerId, void* p) {
    TickCounter* c = static_cast<TickCounter*>(p);
    if (c->bKilled.load()) c->bLateTick = true;
    c->uiLastId = uiTimerId;
    int n = ++c->nTicks;
    if (n == c->nKillSelfAt.load()) pf::TimerKill(uiTimerId);
}

}  // namespace

// A periodic timer fires until killed, a one-shot once, and a callback may
// kill its own timer; a witness timer run afterwards shows all three silent.
TEST(PlatformClock, PeriodicOneShotAndSelfKill) {
    TickCounter c, once, self;
    self.nKillSelfAt = 3;
    uint32_t uiId = pf::TimerStart(1, 1, CountTick, &c, true);
    uint32_t uiOnce = pf::TimerStart(2, 1, CountTick, &once, false);
    uint32_t uiSelf = pf::TimerStart(1, 1, CountTick, &self, true);
    ASSERT_TRUE(uiId && uiOnce && uiSelf);
    ASSERT_TRUE(PollUntil([&] { return c.nTicks.load() >= 20 && once.nTicks.load() == 1 && self.nTicks.load() >= 3; }));
    EXPECT_EQ(uiId, c.uiLastId.load());
    EXPECT_TRUE(pf::TimerKill(uiId));
    c.bKilled = true;
    EXPECT_FALSE(pf::TimerKill(uiId));

    TickCounter witness;
    uint32_t uiWitness = pf::TimerStart(1, 1, CountTick, &witness, true);
    ASSERT_NE(0u, uiWitness);
    EXPECT_NE(uiId, uiWitness);
    ASSERT_TRUE(PollUntil([&] { return witness.nTicks.load() >= 20; }));
    EXPECT_TRUE(pf::TimerKill(uiWitness));
    EXPECT_FALSE(c.bLateTick.load());
    EXPECT_EQ(1, once.nTicks.load());
    EXPECT_EQ(3, self.nTicks.load());
    EXPECT_FALSE(pf::TimerKill(uiSelf));  // gone with its own kill
    EXPECT_TRUE(pf::TimerKill(uiOnce));

    EXPECT_EQ(0u, pf::TimerStart(0, 1, CountTick, &c, true));
    EXPECT_EQ(0u, pf::TimerStart(1, 1, nullptr, &c, true));
}
