// The worker-thread set and the single polled thread.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "PfSync.h"
#include "PollUntil.h"
#include "TW_MultiThread.h"
#include "TW_Thread.h"

namespace {

// Type 1 workers return on their stop event or the release; type 2 ignore
// their stop until released; type 3 stop their own type.
class Workers : public TW_MultiThread {
public:
    ~Workers() override {
        StopAllThreads(2000);
        pf::EventClose(m_hRelease);
    }
    // Threads left, returned, overdue, and 1 if a thread saw a wrong record.
    std::vector<int> Tally() { return {GetThreadCount(), nReturned.load(), nOverdue.load(), int(bBadRecord.load())}; }
    std::atomic<int> nRunning{0}, nReturned{0}, nOverdue{0};
    std::atomic<uint32_t> uiValueSum{0};
    std::atomic<bool> bBadRecord{false};
    pf::EventHandle m_hRelease = pf::EventCreate(true, false);

protected:
    uint32_t ThreadProc(ThreadData* td) override {
        if (td->uiThreadId != pf::CurrentThreadId() || !td->hThread || !td->hStopEvent) bBadRecord = true;
        uiValueSum += td->uiValue;
        ++nRunning;
        pf::WaitHandle h[2] = {pf::Waitable(m_hRelease), pf::Waitable(td->hStopEvent)};
        if (td->iThreadType != 3) {
            pf::WaitForAny(h, td->iThreadType == 2 ? 1 : 2, pf::kInfinite);
        } else {
            StopThreads(3, 2000);  // sets its own stop event, waits for no one
            if (pf::EventWait(td->hStopEvent, 0) != pf::kWaitObject0) bBadRecord = true;
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

// Mode 0 polls the stop flag, 1 ignores it until released, 2 stops itself.
class Poller : public TW_Thread {
public:
    std::atomic<int> nMode{0}, nRuns{0}, nStops{0}, nStopTimeouts{0};
    std::atomic<bool> bAllowStart{true}, bBodyDone{false}, bStopSawRunningBody{false};
    pf::EventHandle hRelease = pf::EventCreate(true, false);

    ~Poller() override {
        Stop();
        pf::EventClose(hRelease);
    }
    // In mode 1 the stop's 2 s wait is cut short, counted, and the body released.
    int Wait(uint32_t uiTimeoutMs) override {
        if (nMode != 1 || uiTimeoutMs != 2000) return TW_Thread::Wait(uiTimeoutMs);
        int r = TW_Thread::Wait(10);
        if (r == 0 && ++nStopTimeouts) pf::EventSet(hRelease);
        return r;
    }

protected:
    uint32_t Run() override {
        ++nRuns;
        if (nMode == 2) Stop();
        else if (nMode == 1) pf::EventWait(hRelease, pf::kInfinite);
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

TEST(MultiThread, StartCountStopByTypeAndThreadsThatEndOnTheirOwn) {
    Workers w;
    EXPECT_EQ(0, w.StartThreads(1, 0, 0) + w.StartThreads(1, -3, 0));
    EXPECT_EQ(3, w.StartThreads(1, 3, 11));
    EXPECT_TRUE(w.StartThread(5, 55) && w.StartThread(3, 0));  // 3 stops its own type, and only that
    ASSERT_TRUE(PollUntil([&] { return w.nRunning.load() == 5 && w.GetThreadCount(3) == 0; }));
    EXPECT_EQ(3, w.GetThreadCount(1));
    w.StopThreads(7, 2000);  // none of that type: returns at once
    w.StopThreads(1, 2000);
    EXPECT_EQ((std::vector<int>{1, 4, 0, 0}), w.Tally());
    // Ignoring its stop: reported once, then terminated or (POSIX) waited for.
    ASSERT_TRUE(w.StartThread(2, 0));
    ASSERT_TRUE(PollUntil([&] { return w.nRunning.load() == 6; }));
    w.StopAllThreads(50);
    EXPECT_EQ((std::vector<int>{0, pf::ThreadCanTerminate() ? 5 : 6, 1, 0}), w.Tally());
    EXPECT_EQ(3 * 11 + 55u, w.uiValueSum.load());

    // A thread that ends by itself removes its own record; a stopper that
    // arrives at the same time closes nothing twice.
    for (int round = 0; round < 50; ++round) {
        pf::EventReset(w.m_hRelease);
        ASSERT_EQ(2, w.StartThreads(1, 2, 0));
        pf::EventSet(w.m_hRelease);  // their stop event is never needed
        w.StopAllThreads(2000);
    }
    EXPECT_EQ((std::vector<int>{0, pf::ThreadCanTerminate() ? 105 : 106, 1, 0}), w.Tally());
}

TEST(Thread, StartStopRestartAndStopWaitsForTheBody) {
    Poller p;
    EXPECT_EQ(-1, p.Wait(0));
    p.Stop();  // no thread: OnStop is not called
    p.bAllowStart = false;
    EXPECT_FALSE(p.Start());
    p.bAllowStart = true;
    for (int nRound = 1; nRound <= 2; ++nRound) {
        p.bBodyDone = false;
        ASSERT_TRUE(p.Start());
        EXPECT_FALSE(p.Start());  // one thread at a time
        ASSERT_TRUE(PollUntil([&] { return p.nRuns.load() == nRound; }));
        p.RequestStop();
        EXPECT_FALSE(p.Start());  // still running until Stop has waited for it
        p.Stop();
        EXPECT_EQ(nRound, p.nStops.load());
        EXPECT_EQ(-1, p.Wait(0));
    }

    // Stop keeps waiting for a body that ignores the flag (it still uses the
    // object); a body may stop its own thread.
    Poller q;
    p.nMode = 1;
    q.nMode = 2;
    p.bBodyDone = false;
    ASSERT_TRUE(p.Start() && q.Start());
    ASSERT_TRUE(PollUntil([&] { return p.nRuns.load() == 3 && q.bBodyDone.load(); }));
    EXPECT_EQ(-1, q.Wait(0));
    p.Stop();
    EXPECT_EQ(1, p.nStopTimeouts.load());
    EXPECT_EQ(4, p.nStops + q.nStops);
    EXPECT_FALSE(p.bStopSawRunningBody.load());
}
