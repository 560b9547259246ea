// Events, semaphores and waits on several objects. The same source runs on
// Linux and under Wine, so the real Windows objects check the emulation.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "PfSync.h"
#include "PfThread.h"
#include "PollUntil.h"

namespace {

struct Objects {
    pf::EventHandle autoEv = pf::EventCreate(false, false);
    pf::EventHandle manualEv = pf::EventCreate(true, false);
    pf::SemaphoreHandle sem = pf::SemaphoreCreate(0, 3);
    ~Objects() {
        pf::EventClose(autoEv);
        pf::EventClose(manualEv);
        pf::SemaphoreClose(sem);
    }
};

}  // namespace

TEST(PlatformWait, SemaphoreCountsUpToItsMaximum) {
    EXPECT_EQ(nullptr, pf::SemaphoreCreate(2, 1));
    EXPECT_EQ(nullptr, pf::SemaphoreCreate(0, 0));
    EXPECT_EQ(nullptr, pf::SemaphoreCreate(-1, 5));

    pf::SemaphoreHandle s = pf::SemaphoreCreate(1, 3);
    ASSERT_TRUE(s);
    EXPECT_FALSE(pf::SemaphoreRelease(s, 3));  // 1 + 3 passes 3: nothing changes
    EXPECT_TRUE(pf::SemaphoreRelease(s, 2));
    EXPECT_FALSE(pf::SemaphoreRelease(s, 1));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pf::kWaitObject0, pf::SemaphoreWait(s, 0));
    EXPECT_EQ(pf::kWaitTimeout, pf::SemaphoreWait(s, 0));
    EXPECT_EQ(pf::kWaitTimeout, pf::SemaphoreWait(s, 10));
    pf::SemaphoreClose(s);
}

TEST(PlatformWait, AnyTakesOnlyTheLowestSignalledObject) {
    Objects o;
    pf::WaitHandle all[3] = {pf::Waitable(o.autoEv), pf::Waitable(o.manualEv), pf::Waitable(o.sem)};
    EXPECT_EQ(pf::kWaitTimeout, pf::WaitForAny(all, 3, 0));

    ASSERT_TRUE(pf::SemaphoreRelease(o.sem, 2));
    ASSERT_TRUE(pf::EventSet(o.autoEv));
    EXPECT_EQ(pf::kWaitObject0, pf::WaitForAny(all, 3, 0));
    // The auto-reset event was taken; the semaphore still holds both units.
    EXPECT_EQ(pf::kWaitObject0 + 2, pf::WaitForAny(all, 3, 0));
    EXPECT_EQ(pf::kWaitObject0 + 2, pf::WaitForAny(all, 3, 0));
    EXPECT_EQ(pf::kWaitTimeout, pf::WaitForAny(all, 3, 0));

    // A manual-reset event stays signalled for every waiter until reset.
    ASSERT_TRUE(pf::EventSet(o.manualEv));
    EXPECT_EQ(pf::kWaitObject0 + 1, pf::WaitForAny(all, 3, 0));
    EXPECT_EQ(pf::kWaitObject0, pf::EventWait(o.manualEv, 0));
    ASSERT_TRUE(pf::EventReset(o.manualEv));
    EXPECT_EQ(pf::kWaitTimeout, pf::WaitForAny(all, 3, 0));

    EXPECT_EQ(pf::kWaitFailed, pf::WaitForAny(all, 0, 0));
    EXPECT_EQ(pf::kWaitFailed, pf::WaitForAny(all, pf::kMaxWaitObjects + 1, 0));
    pf::WaitHandle withNull[2] = {all[0], nullptr};
    EXPECT_EQ(pf::kWaitFailed, pf::WaitForAny(withNull, 2, 0));
}

// A blocked waiter is woken by whichever object is signalled, takes just
// that one, and leaves the others for later waits.
TEST(PlatformWait, BlockedWaiterWakesOnAnyObject) {
    Objects o;
    pf::WaitHandle all[2] = {pf::Waitable(o.autoEv), pf::Waitable(o.sem)};
    for (int round = 0; round < 200; ++round) {
        std::atomic<uint32_t> result{0xDEAD};
        std::thread waiter([&] { result = pf::WaitForAny(all, 2, pf::kInfinite); });
        bool bUseSem = round % 2 == 1;
        if (bUseSem) ASSERT_TRUE(pf::SemaphoreRelease(o.sem, 1));
        else ASSERT_TRUE(pf::EventSet(o.autoEv));
        waiter.join();
        EXPECT_EQ(bUseSem ? 1u : 0u, result.load());
        EXPECT_EQ(pf::kWaitTimeout, pf::WaitForAny(all, 2, 0));
    }
}

// An auto-reset event set once wakes exactly one of several waiters.
TEST(PlatformWait, AutoResetEventServesOneWaiter) {
    Objects o;
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    pf::EventHandle done = pf::EventCreate(true, false);
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            pf::WaitHandle h[2] = {pf::Waitable(o.autoEv), pf::Waitable(done)};
            if (pf::WaitForAny(h, 2, pf::kInfinite) == pf::kWaitObject0) ++woken;
        });
    ASSERT_TRUE(pf::EventSet(o.autoEv));
    // The second waiter is released by "done" once the first has been served.
    ASSERT_TRUE(PollUntil([&] { return woken.load() > 0; }));
    ASSERT_TRUE(pf::EventSet(done));
    for (auto& t : threads) t.join();
    EXPECT_EQ(1, woken.load());
    EXPECT_EQ(pf::kWaitTimeout, pf::EventWait(o.autoEv, 0));
    pf::EventClose(done);
}

// Producers and consumers hammer one semaphore: no unit is lost or doubled.
TEST(PlatformWait, SemaphoreUnderContention) {
    pf::SemaphoreHandle s = pf::SemaphoreCreate(0, 0x7FFFFFFF);
    pf::EventHandle stop = pf::EventCreate(true, false);
    const int kPerProducer = 20000;
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            pf::WaitHandle h[2] = {pf::Waitable(stop), pf::Waitable(s)};
            while (pf::WaitForAny(h, 2, pf::kInfinite) == pf::kWaitObject0 + 1) ++taken;
        });
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < kPerProducer; ++n) pf::SemaphoreRelease(s, 1 + n % 2);
        });
    threads[2].join();
    threads[3].join();
    const int kTotal = 2 * (kPerProducer / 2) * 3;
    ASSERT_TRUE(PollUntil([&] { return taken.load() >= kTotal; }));
    pf::EventSet(stop);
    threads[0].join();
    threads[1].join();
    EXPECT_EQ(kTotal, taken.load());
    EXPECT_EQ(pf::kWaitTimeout, pf::SemaphoreWait(s, 0));
    pf::SemaphoreClose(s);
    pf::EventClose(stop);
}
