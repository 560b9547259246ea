// Events, semaphores and waits on several objects (checked under Wine too).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "PfSync.h"
#include "PfThread.h"
#include "PollUntil.h"

TEST(PlatformWait, AnyTakesOnlyTheLowestSignalledObject) {
    EXPECT_FALSE(pf::SemaphoreCreate(2, 1) || pf::SemaphoreCreate(0, 0) || pf::SemaphoreCreate(-1, 5));
    pf::EventHandle autoEv = pf::EventCreate(false, false), manualEv = pf::EventCreate(true, false);
    pf::SemaphoreHandle sem = pf::SemaphoreCreate(1, 3);
    pf::WaitHandle all[3] = {pf::Waitable(autoEv), pf::Waitable(manualEv), pf::Waitable(sem)};
    EXPECT_TRUE(!pf::SemaphoreRelease(sem, 3) && pf::SemaphoreRelease(sem, 1));  // 1 + 3 passes 3: nothing changes
    ASSERT_TRUE(pf::EventSet(autoEv));
    // The auto-reset event is taken first; the semaphore still holds both units.
    for (uint32_t uiIndex : {0u, 2u, 2u}) EXPECT_EQ(pf::kWaitObject0 + uiIndex, pf::WaitForAny(all, 3, 0));
    EXPECT_EQ(pf::kWaitTimeout, pf::WaitForAny(all, 3, 10));
    EXPECT_TRUE(pf::SemaphoreRelease(sem, 3) && !pf::SemaphoreRelease(sem, 1));
    for (uint32_t uiResult : {pf::kWaitObject0, pf::kWaitObject0, pf::kWaitObject0, pf::kWaitTimeout})
        EXPECT_EQ(uiResult, pf::SemaphoreWait(sem, 0));
    // A manual-reset event stays signalled until reset.
    ASSERT_TRUE(pf::EventSet(manualEv));
    EXPECT_TRUE(pf::WaitForAny(all, 3, 0) == pf::kWaitObject0 + 1 && pf::EventWait(manualEv, 0) == pf::kWaitObject0);
    ASSERT_TRUE(pf::EventReset(manualEv));
    EXPECT_EQ(pf::kWaitTimeout, pf::WaitForAny(all, 3, 0));

    EXPECT_EQ(pf::kWaitFailed, pf::WaitForAny(all, 0, 0));
    EXPECT_EQ(pf::kWaitFailed, pf::WaitForAny(all, pf::kMaxWaitObjects + 1, 0));
    all[1] = nullptr;
    EXPECT_EQ(pf::kWaitFailed, pf::WaitForAny(all, 2, 0));
    pf::EventClose(autoEv);
    pf::EventClose(manualEv);
    pf::SemaphoreClose(sem);
}

// An auto-reset event wakes one of its two waiters; two threads take the
// units two others release, none lost or doubled.
TEST(PlatformWait, EventAndSemaphoreUnderContention) {
    pf::EventHandle autoEv = pf::EventCreate(false, false), stop = pf::EventCreate(true, false);
    pf::SemaphoreHandle s = pf::SemaphoreCreate(0, 0x7FFFFFFF);
    std::atomic<int> woken{0}, taken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&, i] {
            pf::WaitHandle h[2] = {pf::Waitable(stop), i < 2 ? pf::Waitable(autoEv) : pf::Waitable(s)};
            if (i < 2)
                woken += pf::WaitForAny(h, 2, pf::kInfinite) == pf::kWaitObject0 + 1;
            else if (i < 4)
                while (pf::WaitForAny(h, 2, pf::kInfinite) == pf::kWaitObject0 + 1) ++taken;
            else
                for (int n = 0; n < 20000; ++n) pf::SemaphoreRelease(s, 1 + n % 2);
        });
    EXPECT_TRUE(pf::EventSet(autoEv));
    EXPECT_TRUE(PollUntil([&] { return woken.load() > 0 && taken.load() >= 60000; }));
    pf::EventSet(stop);
    for (auto& t : threads) t.join();
    EXPECT_EQ((std::vector<int>{1, 60000}), (std::vector<int>{woken.load(), taken.load()}));
    EXPECT_TRUE(pf::EventWait(autoEv, 0) == pf::kWaitTimeout && pf::SemaphoreWait(s, 0) == pf::kWaitTimeout);
    pf::EventClose(autoEv);
    pf::EventClose(stop);
    pf::SemaphoreClose(s);
}
