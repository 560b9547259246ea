// Per-socket event timers and idle checks.
#include <gtest/gtest.h>

#include "EngineFixture.h"

using namespace vxtest;

namespace {

// Firings a timer may have handed to its threads before it was killed.
constexpr size_t kInFlight = 2;

EventPredicate TimerOf(SOCKET s, uint32_t uiEvent) {
    return [s, uiEvent](const SinkEvent& e) { return e.kind == Ev::Timer && e.s == s && e.uiEvent == uiEvent; };
}

}  // namespace

TEST_P(Conformance, EventTimersFireWithTheirNumberAndPeriodUntilKilled) {
    SOCKET s = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0xE1, 0xE2);
    ASSERT_NE(INVALID_SOCKET, s);
    size_t from = Mark();
    EXPECT_FALSE(m_lpMgr->SetEventTimer(s, 29, 10, 1, true)) << "28 is the largest event number";
    EXPECT_FALSE(m_lpMgr->KillEventTimer(s, 29));
    ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 27, 600000, 1, true));
    EXPECT_FALSE(m_lpMgr->SetEventTimer(s, 27, 600000, 1, true)) << "one timer per socket and number";
    EXPECT_TRUE(m_lpMgr->KillEventTimer(s, 27));

    ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 28, 10, 777, true));
    auto once = m_sink.Wait(TimerOf(s, 28), kWaitMs, from);
    ASSERT_TRUE(once);
    EXPECT_EQ(777u, once->uiPeriod);
    EXPECT_EQ(0xE1u, once->u1);
    EXPECT_EQ(0xE2u, once->u2);

    ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 0, 5, 5, false));
    ASSERT_TRUE(m_sink.WaitCount(TimerOf(s, 0), 3, kWaitMs, from));
    EXPECT_TRUE(m_lpMgr->KillEventTimer(s, 0));
    size_t nFired = m_sink.Count(TimerOf(s, 0), from);
    ASSERT_NO_FATAL_FAILURE(Settle());
    // Firings already handed to the timer's threads may still arrive; a
    // timer that was not killed would fire a dozen times more.
    EXPECT_LE(m_sink.Count(TimerOf(s, 0), from), nFired + kInFlight);
    EXPECT_EQ(1u, m_sink.Count(TimerOf(s, 28), from)) << "a one-shot timer fires once";
    EXPECT_EQ(0u, m_sink.Count(TimerOf(s, 27), from)) << "a killed timer never fires";
}

TEST_P(Conformance, IdleTimersReportQuietSocketsUntilKilled) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer, 0x1D, 0x1E));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetRecvIdleTimer(s, 30));
    EXPECT_FALSE(m_lpMgr->SetRecvIdleTimer(s, 30)) << "a second idle timer of the same kind";
    ASSERT_TRUE(m_lpMgr->SetSendIdleTimer(s, 30));
    EXPECT_FALSE(m_lpMgr->SetSendIdleTimer(s, 30));
    // Repeating checks: each kind reports more than once.
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::RecvIdle, s), 2, kWaitMs, from));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::SendIdle, s), 2, kWaitMs, from));
    EXPECT_TRUE(m_lpMgr->KillRecvIdleTimer(s));
    EXPECT_TRUE(m_lpMgr->KillSendIdleTimer(s));
    size_t nRecvIdle = m_sink.Count(Is(Ev::RecvIdle, s), from);
    size_t nSendIdle = m_sink.Count(Is(Ev::SendIdle, s), from);
    ASSERT_NO_FATAL_FAILURE(Settle());
    ASSERT_NO_FATAL_FAILURE(Settle());
    EXPECT_LE(m_sink.Count(Is(Ev::RecvIdle, s), from), nRecvIdle + kInFlight);
    EXPECT_LE(m_sink.Count(Is(Ev::SendIdle, s), from), nSendIdle + kInFlight);
    for (const SinkEvent& ev : m_sink.Matching(About(s), from)) {
        EXPECT_EQ(0, ev.nError) << Describe(ev);
        EXPECT_EQ(0x1Du, ev.u1);
        EXPECT_EQ(0x1Eu, ev.u2);
    }
    // Killed timers can be set again.
    EXPECT_TRUE(m_lpMgr->SetRecvIdleTimer(s, 30));
    EXPECT_TRUE(m_lpMgr->KillRecvIdleTimer(s));
}

TEST_P(Conformance, ClosingASocketEndsItsTimers) {
    SOCKET s = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 3, 5, 5, false));
    ASSERT_TRUE(m_lpMgr->SetSendIdleTimer(s, 5));
    ASSERT_TRUE(m_sink.Wait(TimerOf(s, 3), kWaitMs, from));
    ASSERT_TRUE(m_lpMgr->CloseSocket(s));

    // The next socket usually gets the same handle; it must not inherit the
    // timers of the closed one.
    SOCKET s2 = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 3, 4);
    ASSERT_NE(INVALID_SOCKET, s2);
    size_t from2 = Mark();
    ASSERT_NO_FATAL_FAILURE(Settle());
    ASSERT_NO_FATAL_FAILURE(Settle());
    // Firings under way during the close may still arrive.
    EXPECT_LE(m_sink.Count(TimerOf(s2, 3), from2), kInFlight) << "an event timer outlived its socket";
    EXPECT_LE(m_sink.Count(Is(Ev::SendIdle, s2), from2), kInFlight) << "an idle timer outlived its socket";
    EXPECT_TRUE(m_lpMgr->SetEventTimer(s2, 3, 600000, 1, true));
    EXPECT_TRUE(m_lpMgr->SetSendIdleTimer(s2, 600000));
}
