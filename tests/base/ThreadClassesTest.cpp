// The worker-thread set and the single polled thread, including threads that
// ignore their stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "PfSync.h"
#include "PollUntil.h"
#include "TW_MultiThread.h"
#include "TW_Thread.h"

namespace {

// Type 1 workers return when their stop event is set; type 2 workers also
// ignore it until the test releases them.
class Workers : public TW_MultiThread {
public:
    Workers() : m_hRelease(pf::EventCreate(true, false)) {}
    ~Workers() override {
        StopAllThreads(2000);
        pf::EventClose(m_hRelease);
    }

    std::atomic<int> nRunning{0};
    std::atomic<int> nReturned{0};
    std::atomic<int> nOverdue{0};
    std::atomic<bool> bBadRecord{false};
    std::mutex mtx;
    std::vector<uint32_t> vecValues;
    pf::EventHandle m_hRelease;

protected:
    uint32_t ThreadProc(ThreadData* td) override {
        if (td->uiThreadId != pf::CurrentThreadId() || !td->hThread || !td->hStopEvent) bBadRecord = true;
        {
            std::lock_guard<std::mutex> g(mtx);
            vecValues.push_back(td->uiValue);
        }
        ++nRunning;
        if (td->iThreadType == 3) {
            // Stops its own type: sets its own stop event, waits for no one.
            StopThreads(3, 2000);
            if (pf::EventWait(td->hStopEvent, 0) != pf::kWaitObject0) bBadRecord = true;
        } else if (td->iThreadType == 2) {
            pf::EventWait(m_hRelease, pf::kInfinite);
        } else {
            // Workers wait on their stop event together with their own events:
            // either ends this one.
            pf::WaitHandle h[2] = {pf::Waitable(m_hRelease), pf::Waitable(td->hStopEvent)};
            pf::WaitForAny(h, 2, pf::kInfinite);
        }
        ++nReturned;
        return 0;
    }
    void OnThreadOverdue(uint32_t, int32_t, uint32_t) override {
        ++nOverdue;
        // Where a thread cannot be terminated the stopper keeps waiting: let
        // it go now. Where it can, it is terminated while still blocked.
        if (!pf::ThreadCanTerminate()) pf::EventSet(m_hRelease);
    }
};

}  // namespace

TEST(MultiThread, StartCountAndStopByType) {
    Workers w;
    EXPECT_EQ(0, w.StartThreads(1, 0, 0));
    EXPECT_EQ(0, w.StartThreads(1, -3, 0));
    EXPECT_EQ(3, w.StartThreads(1, 3, 11));
    EXPECT_TRUE(w.StartThread(5, 55));
    EXPECT_EQ(4, w.GetThreadCount());
    EXPECT_EQ(3, w.GetThreadCount(1));
    EXPECT_EQ(1, w.GetThreadCount(5));
    EXPECT_EQ(0, w.GetThreadCount(7));
    ASSERT_TRUE(PollUntil([&] { return w.nRunning.load() == 4; }));

    w.StopThreads(7, 2000);  // none of that type: returns at once
    EXPECT_EQ(4, w.GetThreadCount());
    w.StopThreads(1, 2000);
    EXPECT_EQ(1, w.GetThreadCount());
    EXPECT_EQ(0, w.GetThreadCount(1));
    EXPECT_EQ(3, w.nReturned.load());
    w.StopThreads(1, 2000);  // a second stop finds nothing
    w.StopAllThreads(2000);
    EXPECT_EQ(0, w.GetThreadCount());
    EXPECT_EQ(4, w.nReturned.load());
    EXPECT_EQ(0, w.nOverdue.load());
    EXPECT_FALSE(w.bBadRecord.load());
    std::lock_guard<std::mutex> g(w.mtx);
    std::vector<uint32_t> values = w.vecValues;
    std::sort(values.begin(), values.end());
    EXPECT_EQ((std::vector<uint32_t>{11, 11, 11, 55}), values);
}

TEST(MultiThread, WorkerMayStopItsOwnType) {
    Workers w;
    ASSERT_TRUE(w.StartThread(3, 0));
    ASSERT_TRUE(PollUntil([&] { return w.GetThreadCount() == 0; }));
    EXPECT_EQ(1, w.nReturned.load());
    EXPECT_EQ(0, w.nOverdue.load());
    EXPECT_FALSE(w.bBadRecord.load());
}

// A thread that ends by itself removes its own record; a stopper that
// arrives at the same time closes nothing twice.
TEST(MultiThread, ThreadsThatEndOnTheirOwnLeaveNoRecord) {
    Workers w;
    for (int round = 0; round < 50; ++round) {
        pf::EventReset(w.m_hRelease);
        ASSERT_EQ(2, w.StartThreads(1, 2, 0));
        pf::EventSet(w.m_hRelease);  // their stop event is never needed
        w.StopAllThreads(2000);
        EXPECT_EQ(0, w.GetThreadCount());
    }
    EXPECT_EQ(100, w.nReturned.load());
    EXPECT_EQ(0, w.nOverdue.load());
}

// Stopping a thread that ignores its stop: reported once; then terminated
// where the platform can, waited for where it cannot. Either way its record
// is gone when the stop returns and nothing is freed under it.
TEST(MultiThread, StopPastTheTimeout) {
    Workers w;
    ASSERT_TRUE(w.StartThread(2, 0));
    ASSERT_TRUE(w.StartThread(1, 0));
    ASSERT_TRUE(PollUntil([&] { return w.nRunning.load() == 2; }));
    w.StopAllThreads(50);
    EXPECT_EQ(1, w.nOverdue.load());
    EXPECT_EQ(0, w.GetThreadCount());
    // The obedient worker returned; the stubborn one returned only where it
    // could not be terminated.
    EXPECT_EQ(pf::ThreadCanTerminate() ? 1 : 2, w.nReturned.load());
}

namespace {

class Poller : public TW_Thread {
public:
    std::atomic<int> nRuns{0};
    std::atomic<int> nStops{0};
    std::atomic<bool> bAllowStart{true};
    std::atomic<bool> bIgnoreStop{false};
    std::atomic<bool> bStopSelf{false};
    std::atomic<bool> bBodyDone{false};
    std::atomic<bool> bStopSawRunningBody{false};
    pf::EventHandle hRelease = pf::EventCreate(true, false);
    // The stop's first wait is cut short so the test need not wait 2 s.
    std::atomic<bool> bShortenStopWait{false};
    std::atomic<int> nStopTimeouts{0};

    ~Poller() override {
        Stop();
        pf::EventClose(hRelease);
    }
    int Wait(uint32_t uiTimeoutMs) override {
        if (bShortenStopWait.load() && uiTimeoutMs == 2000) {
            int r = TW_Thread::Wait(10);
            if (r == 0) {
                ++nStopTimeouts;
                pf::EventSet(hRelease);
            }
            return r;
        }
        return TW_Thread::Wait(uiTimeoutMs);
    }

protected:
    uint32_t Run() override {
        ++nRuns;
        if (bStopSelf.load()) Stop();
        else if (bIgnoreStop.load()) pf::EventWait(hRelease, pf::kInfinite);
        else
            while (!IsStopRequested()) pf::EventWait(hRelease, 1);
        bBodyDone = true;
        return 0;
    }
    bool OnStart() override { return bAllowStart.load(); }
    void OnStop() override {
        if (!bBodyDone.load()) bStopSawRunningBody = true;
        ++nStops;
    }
};

}  // namespace

TEST(Thread, StartStopRestart) {
    Poller p;
    EXPECT_EQ(-1, p.Wait(0));
    p.Stop();  // no thread: OnStop is not called
    EXPECT_EQ(0, p.nStops.load());

    p.bAllowStart = false;
    EXPECT_FALSE(p.Start());
    EXPECT_TRUE(p.IsStopRequested());
    p.bAllowStart = true;

    ASSERT_TRUE(p.Start());
    EXPECT_NE(0u, p.GetThreadId());
    EXPECT_FALSE(p.Start());  // one thread at a time
    ASSERT_TRUE(PollUntil([&] { return p.nRuns.load() == 1; }));
    EXPECT_EQ(0, p.Wait(0));
    p.RequestStop();
    EXPECT_FALSE(p.Start());  // still running until Stop has waited for it
    p.Stop();
    EXPECT_EQ(1, p.nStops.load());
    EXPECT_EQ(0u, p.GetThreadId());
    EXPECT_EQ(-1, p.Wait(0));

    p.bBodyDone = false;
    ASSERT_TRUE(p.Start());
    p.Stop();
    EXPECT_EQ(2, p.nRuns.load());
    EXPECT_EQ(2, p.nStops.load());
    EXPECT_FALSE(p.bStopSawRunningBody.load());
}

// A body that ignores the stop flag past the stop's wait: Stop reports it and
// keeps waiting instead of returning while the body still uses the object.
TEST(Thread, StopWaitsForABodyThatIgnoresTheFlag) {
    Poller p;
    p.bIgnoreStop = true;
    p.bShortenStopWait = true;
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(PollUntil([&] { return p.nRuns.load() == 1; }));
    p.Stop();
    EXPECT_EQ(1, p.nStopTimeouts.load());
    EXPECT_TRUE(p.bBodyDone.load());
    EXPECT_FALSE(p.bStopSawRunningBody.load());
    EXPECT_EQ(1, p.nStops.load());
}

TEST(Thread, BodyMayStopItsOwnThread) {
    Poller p;
    p.bStopSelf = true;
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(PollUntil([&] { return p.bBodyDone.load(); }));
    EXPECT_EQ(1, p.nStops.load());
    EXPECT_EQ(-1, p.Wait(0));
}
