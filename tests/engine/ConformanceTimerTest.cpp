// Per-socket event timers and idle checks as the engine reports them (the
// rules for their keys are the manager base's, tested in tests/net).
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

// A one-shot timer fires once with its number and period; repeating event
// timers and the idle checks of a quiet socket report until killed. Changing
// one user word leaves the other; later events carry the change.
TEST_P(Conformance, TimersFireWithTheirNumberAndPeriodUntilKilled) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer, 0xE1, 0xE2));
    ASSERT_TRUE(m_lpMgr->SetUserData1(s, 0xAAAA));
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 28, 10, 777, true));
    auto once = ExpectEvent(Ev::Timer, s, from, 0, 0xAAAA, 0xE2);
    ASSERT_TRUE(once);
    EXPECT_TRUE(once->uiEvent == 28 && once->uiPeriod == 777) << Describe(*once);

    ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 0, 5, 5, false) && m_lpMgr->SetRecvIdleTimer(s, 30) &&
                m_lpMgr->SetSendIdleTimer(s, 30));
    const EventPredicate kinds[] = {TimerOf(s, 0), Is(Ev::RecvIdle, s), Is(Ev::SendIdle, s)};
    for (const EventPredicate& kind : kinds) ASSERT_TRUE(m_sink.WaitCount(kind, 2, kWaitMs, from));
    EXPECT_TRUE(m_lpMgr->KillEventTimer(s, 0) && m_lpMgr->KillRecvIdleTimer(s) && m_lpMgr->KillSendIdleTimer(s));
    const size_t nFired[] = {m_sink.Count(kinds[0], from), m_sink.Count(kinds[1], from), m_sink.Count(kinds[2], from)};
    ASSERT_NO_FATAL_FAILURE(Settle());
    ASSERT_NO_FATAL_FAILURE(Settle());
    // Firings already handed to the timer's threads may still arrive; a
    // timer that was not killed would fire several times more.
    for (int i = 0; i < 3; ++i) EXPECT_LE(m_sink.Count(kinds[i], from), nFired[i] + kInFlight) << i;
    EXPECT_EQ(1u, m_sink.Count(TimerOf(s, 28), from)) << "a one-shot timer fires once";
    for (const SinkEvent& ev : m_sink.Matching(About(s), from))
        EXPECT_TRUE(ev.nError == 0 && ev.u1 == 0xAAAA && ev.u2 == 0xE2) << Describe(ev);
}

TEST_P(Conformance, ClosingASocketEndsItsTimers) {
    SOCKET s = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, s);
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 3, 5, 5, false) && m_lpMgr->SetSendIdleTimer(s, 5));
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
    EXPECT_TRUE(m_lpMgr->SetEventTimer(s2, 3, 600000, 1, true) && m_lpMgr->SetSendIdleTimer(s2, 600000));
}
