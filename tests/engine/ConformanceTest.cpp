// The conformance suite: behaviour every manager shares, run once per
// interface name of EngineList(). This file: life cycle, notice framing
// against a raw peer, a bulk echo, datagrams and timers (the rules for timer
// keys are the manager base's, tested in tests/net; a close ends them:
// CloseInsideEachKindOfCallback). The other Conformance*.cpp files hold the
// rest of the suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "EngineFixture.h"

using namespace vxtest;

INSTANTIATE_TEST_SUITE_P(Engines, Conformance, testing::ValuesIn(EngineList()), EngineParamName);

TEST_P(Conformance, FreshInstanceHasNoSinkAndStartsAndStopsWithoutSockets) {
    // Alone: containers would share the fixture's running manager.
    ASSERT_TRUE(StopEngine());
    DestroyEngine();
    ISocketMgr* lpMgr = vxCreateInstance(GetParam().lpszName);
    ASSERT_NE(nullptr, lpMgr);
    RecordingSink sink;
    EXPECT_EQ(nullptr, lpMgr->GetSink());
    EXPECT_EQ(&sink, lpMgr->SetSink(&sink));
    EXPECT_EQ(&sink, lpMgr->GetSink());
    EXPECT_TRUE(lpMgr->Start(0, 0, 0, 0) && lpMgr->Stop(2000));
    vxDestroyInstance(lpMgr);
    EXPECT_EQ(0u, sink.Size()) << DescribeAll(sink.Matching());
}

// One connection through the ways a host answers offers: every held byte is
// offered; the rest of an offer comes again at once when the request made
// inside the callback is met; kept bytes serve a request from outside; an
// offer taken nothing of comes again only with new bytes; with nothing
// asked, new bytes stay in the socket. (Notices larger than one read: the
// bulk echo.)
TEST_P(Conformance, OffersFollowTheHostsRequestsAndConsumption) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer, 0xA1, 0xA2));
    // The sink's answers to the offers, in order: consume so many bytes, then
    // ask for the next notice (0: nothing). Later offers are consumed whole.
    struct Plan {
        std::mutex mutex;
        std::vector<std::pair<uint32_t, uint32_t>> replies{{4, 6}, {2, 0}, {1, 0}, {0, 4}, {5, 0}};
        std::vector<bool> results;  // of the requests made inside the callback
    };
    auto plan = std::make_shared<Plan>();
    m_sink.SetHook(Ev::Recv, [plan, lpMgr = m_lpMgr](SinkEvent& ev) {
        std::lock_guard<std::mutex> lock(plan->mutex);
        if (plan->replies.empty()) return;
        auto [uiConsume, uiRequest] = plan->replies.front();
        plan->replies.erase(plan->replies.begin());
        ev.uiConsumed = uiConsume;
        if (uiRequest) plan->results.push_back(lpMgr->SetNoticeLen(ev.s, uiRequest));
    });
    ASSERT_TRUE(peer.SendAll("0123456789") && WaitArrived(s, 10));  // before anything is asked for
    size_t from = Mark();
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 2, kWaitMs, from));
    // Four bytes kept: a request of three is served from them at once, one of
    // four waits for one more byte.
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 3));
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 3, kWaitMs, from));
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));
    ExpectQuiet(s, from, 3);
    ASSERT_TRUE(peer.SendAll("!"));
    // Taken nothing of, and asked for four again.
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Recv, s), 4, kWaitMs, from));
    ExpectQuiet(s, from, 4);
    ASSERT_TRUE(peer.SendAll("XYZ") && m_sink.WaitCount(Is(Ev::Recv, s), 5, kWaitMs, from));
    ASSERT_TRUE(peer.SendAll("abc") && WaitArrived(s, 3));
    ExpectQuiet(s, from, 5);
    EXPECT_EQ(3, PendingBytes(s));
    // The next request gets the kept bytes first, then those still in the socket.
    ASSERT_NO_FATAL_FAILURE(ExpectNotice(s, "YZabc"));
    std::vector<std::string> offered;
    for (const SinkEvent& ev : m_sink.Matching(Is(Ev::Recv, s), from)) {
        offered.push_back(ev.data);
        EXPECT_TRUE(ev.nError == 0 && ev.u1 == 0xA1 && ev.u2 == 0xA2) << Describe(ev);
    }
    EXPECT_EQ((std::vector<std::string>{"0123456789", "456789", "6789", "789!", "789!XYZ", "YZabc"}), offered);
    EXPECT_EQ((std::vector<bool>{true, true}), plan->results);
}

// A request of zero starts nothing; an incomplete notice waits for the
// rest, and one request is pending at a time. (Sockets that are not
// connected refuse requests: CallsThatCannotBeDoneFailAndChangeNothing.)
TEST_P(Conformance, IncompleteNoticeWaitsForTheRestAndOneRequestIsPendingAtATime) {
    SOCKET s;
    RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(ConnectToRaw(&s, &peer));
    size_t from = Mark();
    ASSERT_TRUE(peer.SendAll("ab") && WaitArrived(s, 2));
    EXPECT_TRUE(m_lpMgr->SetNoticeLen(s, 0));
    ExpectQuiet(s, from, 0);
    EXPECT_EQ(2, PendingBytes(s));
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));  // zero left no request pending
    EXPECT_FALSE(m_lpMgr->SetNoticeLen(s, 4) || m_lpMgr->SetNoticeLen(s, 2)) << "a second request while one is pending";
    ASSERT_TRUE(WaitEngineRead(s));
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Recv, s), from));
    ASSERT_TRUE(peer.SendAll("cde"));
    auto ev = m_sink.Wait(Is(Ev::Recv, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_TRUE(ev->data == "abcde" && ev->uiOffered == 5) << ev->data;
    ExpectQuiet(s, from, 1);
}

namespace {

// Both ends of the echo: servers send back a random part of each offer and
// ask for one byte more; clients check the stream byte for byte, consuming
// random amounts and asking for random lengths, up to many reads long.
struct EchoState {
    struct Client {
        std::string strExpected;
        size_t nPos = 0;
        uint32_t u1 = 0, u2 = 0, uiAsked = 1;
    };
    std::mutex mutex;
    std::mt19937 rng{20240611};
    std::map<SOCKET, Client> clients;
    std::atomic<int> nClientsDone{0}, nFailures{0};
    std::string strFirstFailure;
};

}  // namespace

TEST_P(Conformance, EchoOfSeveralMegabytesInRandomPiecesArrivesByteExact) {
    constexpr int kClients = 3;
    constexpr size_t kBytesPerClient = 1300 * 1000;
    auto state = std::make_shared<EchoState>();
    ISocketMgr* lpMgr = m_lpMgr;
    SOCKET sListen;
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenOnEngine(&sListen, &wPort));

    m_sink.SetHook(Ev::Accept, [state, lpMgr, sListen](SinkEvent& ev) {
        if (ev.s == sListen && !lpMgr->SetNoticeLen(ev.sNew, 1)) ++state->nFailures;
    });
    m_sink.SetHook(Ev::Recv, [state, lpMgr](SinkEvent& ev) {
        const std::string& d = ev.data;
        std::unique_lock<std::mutex> lock(state->mutex);
        std::string why;
        uint32_t uiNext = 1;
        auto cli = state->clients.find(ev.s);
        ev.uiConsumed = (state->rng() & 1) || !ev.uiOffered ? ev.uiOffered : 1 + state->rng() % ev.uiOffered;
        if (d.size() != ev.uiOffered || d.empty()) {
            why = "an empty offer, or offered length and bytes differ";
        } else if (cli == state->clients.end()) {
            // A server: asked for one byte, so the rest is offered again at once.
        } else if (ev.u1 != cli->second.u1 || ev.u2 != cli->second.u2) {
            why = "user words of a client socket changed";
        } else if (ev.uiOffered < cli->second.uiAsked) {
            why = "an offer shorter than the request";
        } else if (cli->second.strExpected.compare(cli->second.nPos, d.size(), d) != 0) {
            why = "echoed bytes differ at stream offset " + std::to_string(cli->second.nPos);
        } else {
            size_t nLeft = cli->second.strExpected.size() - (cli->second.nPos += ev.uiConsumed);
            uiNext = nLeft == 0 ? 0 : 1 + state->rng() % static_cast<uint32_t>(std::min<size_t>(nLeft, 150000));
            cli->second.uiAsked = uiNext;
            if (nLeft == 0) ++state->nClientsDone;
        }
        if (!why.empty() && state->nFailures++ == 0) state->strFirstFailure = why;
        bool bServer = cli == state->clients.end();
        lock.unlock();
        // From inside the callback, as hosts do: the echo, then the next request.
        uint32_t uiHalf = ev.uiConsumed / 2;
        SendVBuf bufs[2] = {{d.data(), 0, uiHalf}, {d.data() + uiHalf, 0, ev.uiConsumed - uiHalf}};
        if (bServer && !lpMgr->SendV(ev.s, bufs, 2, 7, nullptr)) ++state->nFailures;
        if (uiNext && !lpMgr->SetNoticeLen(ev.s, uiNext)) ++state->nFailures;
        ev.data.clear();  // megabytes the record need not keep
    });

    // Each client sends pieces of random size, alternately through Send and
    // SendV (with an empty buffer between two halves); the flag of the last
    // piece is what its drained queue reports.
    std::vector<SOCKET> clients;
    std::mt19937 rng(7);
    for (int i = 0; i < kClients; ++i) {
        std::string stream(kBytesPerClient, '\0');
        for (char& ch : stream) ch = static_cast<char>(rng());
        size_t from = Mark();
        SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 100 + i, 200 + i);
        ASSERT_TRUE(s != INVALID_SOCKET && m_lpMgr->Connect(s, "127.0.0.1", wPort));
        ASSERT_TRUE(ExpectEvent(Ev::Connect, s, from, 0, 100 + i, 200 + i));
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->clients[s] = {.strExpected = stream, .u1 = 100u + i, .u2 = 200u + i};
        }
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 1));
        clients.push_back(s);
        uint32_t uiFlag = 0;
        for (size_t pos = 0, n; pos < stream.size(); pos += n) {
            n = std::min<size_t>(1 + rng() % 100000, stream.size() - pos);
            uiFlag = pos + n == stream.size() ? 0xF1A60000u + i : uiFlag + 1;
            const char* p = stream.data() + pos;
            uint32_t uiHalf = static_cast<uint32_t>(n / 2), uiQueued = 0xDEAD;
            SendVBuf bufs[3] = {{p, 0, uiHalf}, {p, 0, 0}, {p + uiHalf, 0, static_cast<uint32_t>(n - uiHalf)}};
            if (rng() & 1) {
                ASSERT_TRUE(m_lpMgr->Send(s, p, static_cast<uint32_t>(n), uiFlag, nullptr));
            } else {
                ASSERT_TRUE(m_lpMgr->SendV(s, bufs, 3, uiFlag, &uiQueued));
                EXPECT_NE(0xDEADu, uiQueued);
            }
        }
    }
    ASSERT_TRUE(PollUntil([&] { return state->nClientsDone == kClients || state->nFailures > 0; }, 120000))
        << "echo incomplete";
    EXPECT_EQ(0, state->nFailures.load()) << [&] {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->strFirstFailure;
    }();
    for (int i = 0; i < kClients; ++i) {
        auto drained = [s = clients[i], uiLast = 0xF1A60000u + i](const SinkEvent& e) {
            return e.kind == Ev::Send && e.s == s && e.dwSendFlag == uiLast && e.uiQueued == 0;
        };
        auto ev = m_sink.Wait(drained, kWaitMs);
        ASSERT_TRUE(ev) << "no OnSocketSend for the drained queue of client " << i;
        EXPECT_TRUE(ev->nError == 0 && ev->u1 == 100u + i && ev->u2 == 200u + i) << Describe(*ev);
    }
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Close)));
}

// Datagrams both ways, with a raw peer and between two engine sockets. Each
// is armed with SetNoticeLen, which managers that always read UDP ignore.
TEST_P(Conformance, DatagramsTravelBothWays) {
    SOCKET u = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0xD1, 0xD2);
    ASSERT_NE(INVALID_SOCKET, u);
    uint16_t wPort = LocalPortOf(u);
    RawSocket raw = RawSocket::Udp();
    ASSERT_TRUE(raw.IsValid());
    // Neither an empty datagram nor one too large may end the reception.
    size_t from = Mark();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(m_lpMgr->SetNoticeLen(u, 1));
    ASSERT_TRUE(raw.SendTo(wPort, "") == 0 && raw.SendTo(wPort, std::string(9000, 'L')) == 9000 &&
                raw.SendTo(wPort, "ping") == 4);
    auto ev = m_sink.Wait([u](const SinkEvent& e) { return e.kind == Ev::RecvFrom && e.s == u && e.data == "ping"; },
                          kWaitMs, from);
    ASSERT_TRUE(ev) << DescribeAll(m_sink.Matching(About(u), from));
    EXPECT_TRUE(ev->nError == 0 && ev->u1 == 0xD1 && ev->u2 == 0xD2) << Describe(*ev);
    EXPECT_TRUE(IsLoopback(ev->addr) && PortOf(ev->addr) == raw.LocalPort());

    std::string got;
    sockaddr_in sender, to = Loopback(raw.LocalPort());
    EXPECT_EQ(4, m_lpMgr->SendTo(u, "127.0.0.1", raw.LocalPort(), "pong", 4, true));
    ASSERT_EQ(4, raw.RecvFrom(got, &sender, kWaitMs));
    EXPECT_TRUE(got == "pong" && PortOf(sender) == wPort);
    EXPECT_EQ(5, m_lpMgr->SendToAddr(u, &to, "hello", 5, true));
    ASSERT_EQ(5, raw.RecvFrom(got, &sender, kWaitMs));
    EXPECT_EQ("hello", got);

    // Between two engine sockets, one of them bound to any address.
    SOCKET u2 = m_lpMgr->CreateUdpSocket(nullptr, nullptr, 0, 0xD3, 0xD4);
    ASSERT_NE(INVALID_SOCKET, u2);
    uint16_t wPort2 = LocalPortOf(u2);
    for (int i = 0; i < 20; ++i) {
        std::string payload(1 + i * 70, static_cast<char>('a' + i));
        size_t mark = Mark();
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(u2, 1));
        ASSERT_EQ(static_cast<int>(payload.size()),
                  m_lpMgr->SendTo(u, "127.0.0.1", wPort2, payload.data(), static_cast<int>(payload.size()), true));
        auto dg = ExpectEvent(Ev::RecvFrom, u2, mark, 0, 0xD3, 0xD4);
        ASSERT_TRUE(dg) << "datagram " << i;
        EXPECT_TRUE(dg->data == payload && PortOf(dg->addr) == wPort) << "datagram " << i;
    }
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Close), from));

    // Arguments that cannot be sent fail the call.
    EXPECT_EQ(-1, m_lpMgr->SendTo(u, nullptr, wPort2, "x", 1, true));
    EXPECT_EQ(-1, m_lpMgr->SendTo(u, "127.0.0.1", wPort2, nullptr, 1, true));
    EXPECT_EQ(-1, m_lpMgr->SendTo(u, "127.0.0.1", wPort2, "x", 0, true));
    EXPECT_EQ(-1, m_lpMgr->SendToAddr(u, &to, "x", -5, true));
}

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
    ASSERT_TRUE(once && once->uiEvent == 28 && once->uiPeriod == 777) << (once ? Describe(*once) : "");

    ASSERT_TRUE(m_lpMgr->SetEventTimer(s, 0, 5, 5, false) && m_lpMgr->SetRecvIdleTimer(s, 30) &&
                m_lpMgr->SetSendIdleTimer(s, 30));
    auto timerOf = [s](uint32_t uiEvent) {
        return [s, uiEvent](const SinkEvent& e) { return e.kind == Ev::Timer && e.s == s && e.uiEvent == uiEvent; };
    };
    const EventPredicate kinds[] = {timerOf(0), Is(Ev::RecvIdle, s), Is(Ev::SendIdle, s)};
    for (const EventPredicate& kind : kinds) ASSERT_TRUE(m_sink.WaitCount(kind, 2, kWaitMs, from));
    EXPECT_TRUE(m_lpMgr->KillEventTimer(s, 0) && m_lpMgr->KillRecvIdleTimer(s) && m_lpMgr->KillSendIdleTimer(s));
    const size_t nFired[] = {m_sink.Count(kinds[0], from), m_sink.Count(kinds[1], from), m_sink.Count(kinds[2], from)};
    ASSERT_NO_FATAL_FAILURE(Settle());
    ASSERT_NO_FATAL_FAILURE(Settle());
    // Two firings already handed to the timer's threads may still arrive; a
    // timer that was not killed would fire several times more.
    for (int i = 0; i < 3; ++i) EXPECT_LE(m_sink.Count(kinds[i], from), nFired[i] + 2) << i;
    EXPECT_EQ(1u, m_sink.Count(timerOf(28), from)) << "a one-shot timer fires once";
    for (const SinkEvent& ev : m_sink.Matching(About(s), from))
        EXPECT_TRUE(ev.nError == 0 && ev.u1 == 0xAAAA && ev.u2 == 0xE2) << Describe(ev);
}
