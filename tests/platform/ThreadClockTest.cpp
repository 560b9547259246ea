// Threads, the per-thread last error, and the periodic timer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "PfClock.h"
#include "PfError.h"
#include "PfSocket.h"
#include "PfSync.h"
#include "PfThread.h"
#include "PollUntil.h"

namespace {

std::atomic<bool> g_bResumed{false}, g_bRanEarly{false};
std::atomic<uint32_t> g_uiSeenId{0};

// Records whether it ran before being resumed, then waits for the event.
uint32_t RecordAndWait(void* p) {
    if (!g_bResumed.load()) g_bRanEarly = true;
    g_uiSeenId = pf::CurrentThreadId();
    pf::EventWait(static_cast<pf::EventHandle>(p), pf::kInfinite);
    return 42;
}

struct TickCounter {
    std::atomic<int> nTicks{0}, nKillSelfAt{0};
    std::atomic<bool> bKilled{false}, bLateTick{false};
};

void CountTick(uint32_t uiTimerId, void* p) {
    TickCounter* c = static_cast<TickCounter*>(p);
    if (c->bKilled.load()) c->bLateTick = true;
    if (++c->nTicks == c->nKillSelfAt.load()) pf::TimerKill(uiTimerId);
}

}  // namespace

TEST(PlatformThread, SuspendedStartDuplicateHandleAndExitCode) {
    pf::EventHandle release = pf::EventCreate(true, false), other = pf::EventCreate(false, false);
    uint32_t uiId = 0, uiCode = 0;
    pf::ThreadHandle h = pf::ThreadCreateSuspended(RecordAndWait, release, &uiId), dup = pf::ThreadDuplicate(h);
    ASSERT_TRUE(h && dup);
    EXPECT_TRUE(uiId == pf::ThreadGetId(h) && uiId != pf::CurrentThreadId());
    EXPECT_TRUE(pf::ThreadWait(h, 20) == pf::kWaitTimeout && !pf::ThreadExitCode(h, &uiCode));
    g_bResumed = true;
    ASSERT_TRUE(pf::ThreadResume(h));
    pf::ThreadClose(h);  // the thread goes on; the duplicate still waits for it
    pf::WaitHandle both[2] = {pf::Waitable(other), pf::Waitable(dup)};
    EXPECT_EQ(pf::kWaitTimeout, pf::WaitForAny(both, 2, 10));
    pf::EventSet(release);
    EXPECT_EQ(pf::kWaitObject0 + 1, pf::WaitForAny(both, 2, pf::kInfinite));
    EXPECT_EQ(pf::kWaitObject0, pf::ThreadWait(dup, 0));  // an ended thread stays signalled
    EXPECT_TRUE(!g_bRanEarly && g_uiSeenId == uiId);
    EXPECT_TRUE(pf::ThreadExitCode(dup, &uiCode) && uiCode == 42);
    pf::ThreadClose(dup);
    pf::EventClose(other);
    pf::EventClose(release);
}

// (Any other system call may overwrite it on Windows: nothing runs between.)
TEST(PlatformThread, LastErrorIsPerThread) {
    ASSERT_EQ(0, pf::SocketStartup());
    std::atomic<int> nBad{0};
    auto hammer = [&nBad](int nValue) {
        for (int i = 0; i < 100000; ++i, nBad += pf::GetLastError() != nValue) pf::SetLastError(nValue);
    };
    std::thread t(hammer, int(pf::kErrWouldBlock));
    hammer(pf::kErrConnRefused);
    t.join();
    EXPECT_EQ(0, nBad.load());
    pf::SocketCleanup();
}


// A witness timer run after the kills shows the killed timers silent.
TEST(PlatformClock, PeriodicOneShotAndSelfKill) {
    TickCounter c, once, self, witness;
    self.nKillSelfAt = 3;
    uint32_t uiId = pf::TimerStart(1, 1, CountTick, &c, true), uiOnce = pf::TimerStart(2, 1, CountTick, &once, false);
    uint32_t uiSelf = pf::TimerStart(1, 1, CountTick, &self, true);
    ASSERT_TRUE(uiId && uiOnce && uiSelf);
    ASSERT_TRUE(PollUntil([&] { return c.nTicks.load() >= 20 && once.nTicks.load() == 1 && self.nTicks.load() >= 3; }));
    ASSERT_TRUE(pf::TimerKill(uiId));
    c.bKilled = true;
    uint32_t uiWitness = pf::TimerStart(1, 1, CountTick, &witness, true);
    ASSERT_TRUE(uiWitness && PollUntil([&] { return witness.nTicks.load() >= 20; }));
    EXPECT_TRUE(pf::TimerKill(uiWitness));
    EXPECT_FALSE(c.bLateTick.load());
    EXPECT_EQ((std::vector<int>{1, 3}), (std::vector<int>{once.nTicks.load(), self.nTicks.load()}));
    EXPECT_TRUE(!pf::TimerKill(uiId) && !pf::TimerKill(uiSelf));  // gone with their kills
    EXPECT_TRUE(pf::TimerKill(uiOnce));
    EXPECT_FALSE(pf::TimerStart(0, 1, CountTick, &c, true) || pf::TimerStart(1, 1, nullptr, &c, true));
}
