// The completion-port engine's network simulator, driven by hand: a fixed
// chance source and a clock the test steps, so plans and delays are the same
// on every run and no case waits for real time to pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"
#include "PfError.h"
#include "PollUntil.h"
#include "RecordingSink.h"
#include "../base/ScopedTempFolder.h"
#include "iocp/TW_IocpSocketMgr.h"
#include "iocp/TW_NetSimulator.h"

namespace {

// A fixed 15-bit generator and a clock that moves only when told.
class SteppedSource : public TW_SimSource {
public:
    explicit SteppedSource(uint32_t uiSeed = 12345) : m_uiState(uiSeed) {}
    uint32_t Rand15() override {
        m_uiState = m_uiState * 1103515245u + 12345u;
        return (m_uiState >> 16) & 0x7FFFu;
    }
    uint32_t NowMs() override { return m_uiNow; }
    void Step(uint32_t uiMs) { m_uiNow += uiMs; }

private:
    uint32_t m_uiState;
    uint32_t m_uiNow = 0xFFFF0000u;  // wraps during the longer cases
};

// Stands in for the engine: records, sends and failures.
class FakeHost : public TW_NetSimulatorHost {
public:
    struct Sent {
        SOCKET s;
        std::string data;
        uint32_t dwFlag;
        uint32_t dwAt;
    };

    explicit FakeHost(SteppedSource& src) : m_src(src) {}

    SocketData& Add(SOCKET s, uint32_t status) {
        auto lpRec = std::make_unique<SocketData>();
        lpRec->socket = s;
        lpRec->status = status;
        lpRec->bUdp = status == SS_UDP;
        lpRec->uiSeq = m_uiNextSeq++;
        SocketData& rec = *lpRec;
        m_records[s] = std::move(lpRec);
        return rec;
    }
    // As the engine closes a socket: the simulator forgets it first.
    void Remove(TW_NetSimulator& sim, SOCKET s) {
        TW_LockGuard lock(&m_lck);
        sim.Forget(*m_records[s]);
        m_records.erase(s);
    }

    TW_Locker& SimTableLock() override { return m_lck; }
    SocketData* SimFindLocked(SOCKET s, uint32_t uiSeq) override {
        auto it = m_records.find(s);
        return it != m_records.end() && it->second->uiSeq == uiSeq ? it->second.get() : nullptr;
    }
    bool SimSendLocked(SocketData& rec, const char* lpData, uint32_t uiLen, uint32_t dwFlag) override {
        if (m_bFailSends) {
            pf::SetLastError(pf::kErrConnReset);
            return false;
        }
        m_sent.push_back({rec.socket, std::string(lpData, uiLen), dwFlag, m_src.NowMs()});
        return true;
    }
    void SimFail(SOCKET s, uint32_t uiSeq, int nError) override { m_failed.push_back({s, uiSeq, nError}); }
    void SimBreak(SOCKET s, uint32_t uiSeq) override { m_broken.push_back({s, uiSeq, 0}); }

    struct Report {
        SOCKET s;
        uint32_t uiSeq;
        int nError;
    };
    TW_Locker m_lck;
    std::map<SOCKET, std::unique_ptr<SocketData>> m_records;
    std::vector<Sent> m_sent;
    std::vector<Report> m_failed, m_broken;
    bool m_bFailSends = false;

private:
    SteppedSource& m_src;
    uint32_t m_uiNextSeq = 1;
};

class NetSimulatorTest : public testing::Test {
protected:
    // Send as the engine's Send calls the hook: under the table lock.
    TW_NetSimulator::HoldResult Send(SOCKET s, const std::string& data, uint32_t dwFlag = 0) {
        TW_LockGuard lock(&m_host.m_lck);
        SocketData& rec = *m_host.m_records[s];
        rec.dwSendFlag = dwFlag;
        return m_sim.HoldSend(rec, data.data(), uint32_t(data.size()));
    }
    // Counts how many of n operations the hook spoils.
    template <class Hook>
    static int Spoiled(int n, Hook hook) {
        int nSpoiled = 0;
        for (int i = 0; i < n; ++i) nSpoiled += hook() ? 1 : 0;
        return nSpoiled;
    }
    // Delay pass after delay pass, one millisecond apart.
    void RunDelay(uint32_t uiMs) {
        for (uint32_t i = 0; i < uiMs; ++i) {
            m_src.Step(1);
            m_sim.DelayPass();
        }
    }
    uint32_t Held(SOCKET s) {
        TW_LockGuard lock(&m_host.m_lck);
        return m_sim.HeldCountLocked(*m_host.m_records[s]);
    }
    SOCKET DelayedOne(SOCKET a, SOCKET b) { return m_sim.IsDelayed(a) ? a : m_sim.IsDelayed(b) ? b : INVALID_SOCKET; }
    // A connected socket, a candidate after its first send, delayed by the next pass.
    void AddDelayed(SOCKET s) {
        m_host.Add(s, SS_CONNECTED);
        Send(s, "a");
        m_sim.DelayPass();
        ASSERT_TRUE(m_sim.IsDelayed(s));
    }

    SteppedSource m_src;
    FakeHost m_host{m_src};
    TW_NetSimulator m_sim{m_host};
};

TW_SimConfig Config(uint32_t ulLost = 0, uint32_t ulConnFail = 0) {
    TW_SimConfig cfg;
    cfg.ulLostMin = cfg.ulLostMax = ulLost;
    cfg.ulConnFailMin = cfg.ulConnFailMax = ulConnFail;
    return cfg;
}

TW_SimConfig DelayConfig(uint32_t ulMin, uint32_t ulMax, uint32_t ulMaxAffect = 10) {
    TW_SimConfig cfg;
    cfg.ulTcpDelayMin = ulMin;
    cfg.ulTcpDelayMax = ulMax;
    cfg.ulMaxAffect = ulMaxAffect;
    // Breaks an hour apart: the default "0,0" would break a candidate on every pass.
    cfg.ulBreakMin = cfg.ulBreakMax = 3600;
    return cfg;
}

// ------------------------------------------------------------------ plans

// A source that always draws the same value: a plan must still be made.
class StuckSource : public SteppedSource {
public:
    uint32_t Rand15() override { return 32767; }
};

// Each plan spoils its share of the next 1001 datagrams and 101 connects
// (all but one at 100 %), then nothing until the next plan, whatever the
// source draws.
TEST_F(NetSimulatorTest, PlansSpoilTheirShareThenNothingUntilTheNextPlan) {
    const struct {
        uint32_t ulLost, ulConnFail;
        int nLost, nFailed;
        bool bStuck;
    } cases[] = {{10, 100, 100, 100, false}, {0, 0, 0, 0, false}, {100, 0, 1000, 0, false}, {50, 100, 500, 100, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "lost " << c.ulLost << (c.bStuck ? " stuck" : ""));
        StuckSource stuck;
        SteppedSource& src = c.bStuck ? stuck : m_src;
        FakeHost host(src);
        TW_NetSimulator sim(host);
        sim.Start(Config(c.ulLost, c.ulConnFail), false, &src);
        for (int round = 0; round < 3; ++round) {
            sim.FaultPass();
            EXPECT_EQ(c.nLost, Spoiled(1001, [&] { return sim.LoseDatagram(); })) << "round " << round;
            EXPECT_EQ(0, Spoiled(500, [&] { return sim.LoseDatagram(); }));
            EXPECT_EQ(c.nFailed, Spoiled(101, [&] { return sim.FailConnect(); }));
            EXPECT_EQ(0, Spoiled(50, [&] { return sim.FailConnect(); }));
        }
    }
    // Off: nothing is counted or dropped.
    m_sim.Start(Config(100, 100), false, &m_src);
    m_sim.FaultPass();
    m_sim.Stop();
    EXPECT_EQ(0, Spoiled(100, [&] { return m_sim.LoseDatagram() || m_sim.FailConnect(); }));

    // The same seed draws the same plan.
    auto pattern = [](uint32_t uiSeed) {
        SteppedSource src(uiSeed);
        FakeHost host(src);
        TW_NetSimulator sim(host);
        sim.Start(Config(30), false, &src);
        sim.FaultPass();
        std::vector<bool> lost;
        for (int i = 0; i < 1001; ++i) lost.push_back(sim.LoseDatagram());
        return lost;
    };
    EXPECT_EQ(pattern(7), pattern(7));
    EXPECT_NE(pattern(7), pattern(8));
}

// ------------------------------------------------------------------ holding TCP sends back

TEST_F(NetSimulatorTest, NothingIsHeldWithoutATcpDelay) {
    for (const TW_SimConfig& cfg : {Config(), DelayConfig(50, 50), DelayConfig(200, 100)}) {
        TW_SimConfig withBreaks = cfg;
        withBreaks.ulBreakMax = 1;
        m_sim.Start(withBreaks, false, &m_src);
        m_host.Add(5, SS_CONNECTED);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(TW_NetSimulator::HOLD_NO, Send(5, "abc"));
            m_sim.DelayPass();
            m_src.Step(1500);
            m_sim.FaultPass();
        }
        EXPECT_EQ(0, m_sim.CandidateCount());
        EXPECT_EQ(0, m_sim.DelayedCount());
        EXPECT_TRUE(m_host.m_broken.empty());
        m_host.Remove(m_sim, 5);
    }
}

TEST_F(NetSimulatorTest, OnlyConnectedTcpSocketsBecomeCandidates) {
    m_sim.Start(DelayConfig(100, 200), false, &m_src);
    m_host.Add(4, SS_UDP);
    m_host.Add(5, SS_ACCEPTING);
    m_host.Add(6, SS_CONNECTING);
    m_host.Add(7, SS_CLOSE_NOTIFIED);
    for (SOCKET s : {4, 5, 6, 7}) EXPECT_EQ(TW_NetSimulator::HOLD_NO, Send(s, "x"));
    EXPECT_EQ(0, m_sim.CandidateCount());

    // A candidate that fails is dropped when next picked, never delayed.
    m_host.Add(8, SS_CONNECTED);
    EXPECT_EQ(TW_NetSimulator::HOLD_NO, Send(8, "x"));
    EXPECT_EQ(1, m_sim.CandidateCount());
    m_host.m_records[8]->status = SS_CLOSE_NOTIFIED;
    m_sim.DelayPass();
    EXPECT_EQ(0, m_sim.CandidateCount());
    EXPECT_FALSE(m_sim.IsDelayed(8));

    // A reused handle starts afresh: the old socket's membership is gone.
    m_host.Remove(m_sim, 8);
    m_host.Add(8, SS_CONNECTED);
    EXPECT_EQ(TW_NetSimulator::HOLD_NO, Send(8, "x"));
    EXPECT_EQ(1, m_sim.CandidateCount());
}

TEST_F(NetSimulatorTest, OneSocketAtATimeIsDelayedAndItsBytesArriveLateInOrderAndComplete) {
    m_sim.Start(DelayConfig(100, 200, 0), false, &m_src);
    m_host.Add(5, SS_CONNECTED);
    m_host.Add(6, SS_CONNECTED);
    EXPECT_EQ(TW_NetSimulator::HOLD_NO, Send(5, "first5"));
    EXPECT_EQ(TW_NetSimulator::HOLD_NO, Send(6, "first6"));
    EXPECT_EQ(2, m_sim.CandidateCount());

    m_sim.DelayPass();
    const uint32_t dwEntered = m_src.NowMs();
    const SOCKET sDelayed = DelayedOne(5, 6);
    ASSERT_NE(INVALID_SOCKET, sDelayed);
    const SOCKET sOther = sDelayed == 5 ? 6 : 5;
    const uint32_t uiDelay = m_sim.DelayOf(sDelayed);
    EXPECT_TRUE(uiDelay >= 100 && uiDelay <= 200) << uiDelay;

    // Held: sends spread over time, each with its own flag.
    std::vector<std::pair<std::string, uint32_t>> expected;  // data, time sent
    for (int i = 0; i < 20; ++i) {
        std::string data = "packet" + std::to_string(i);
        EXPECT_EQ(TW_NetSimulator::HOLD_YES, Send(sDelayed, data, 100 + i));
        expected.emplace_back(data, m_src.NowMs());
        EXPECT_EQ(TW_NetSimulator::HOLD_NO, Send(sOther, "direct"));  // the other goes on at once
        for (int k = 0; k < 7; ++k) {
            m_src.Step(1);
            m_sim.DelayPass();
            EXPECT_EQ(1, m_sim.DelayedCount());
        }
    }
    RunDelay(300);
    ASSERT_EQ(expected.size(), m_host.m_sent.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const FakeHost::Sent& sent = m_host.m_sent[i];
        EXPECT_EQ(sDelayed, sent.s);
        EXPECT_EQ(expected[i].first, sent.data);
        EXPECT_EQ(100 + i, sent.dwFlag);
        EXPECT_EQ(uiDelay, sent.dwAt - expected[i].second) << "sent exactly its delay late";
    }

    // The 30 s episode ends: the socket leaves the set and stays a candidate.
    RunDelay(dwEntered + TW_NetSimulator::kEpisodeMs - 2 - m_src.NowMs());
    EXPECT_TRUE(m_sim.IsDelayed(sDelayed));
    RunDelay(1);
    EXPECT_EQ(0, m_sim.DelayedCount());
    EXPECT_EQ(2, m_sim.CandidateCount());
    EXPECT_EQ(expected.size(), m_host.m_sent.size());
}

TEST_F(NetSimulatorTest, AnEndingEpisodeFlushesWhatIsStillHeld) {
    m_sim.Start(DelayConfig(20000, 25000, 0), false, &m_src);
    ASSERT_NO_FATAL_FAILURE(AddDelayed(5));
    RunDelay(TW_NetSimulator::kEpisodeMs - 1000);
    EXPECT_EQ(TW_NetSimulator::HOLD_YES, Send(5, "late"));  // due long after the episode ends
    RunDelay(998);
    EXPECT_TRUE(m_host.m_sent.empty());
    RunDelay(2);
    ASSERT_EQ(1u, m_host.m_sent.size());
    EXPECT_EQ("late", m_host.m_sent[0].data);
    // Left the set at once; re-admitted by the next pass (the only candidate).
    EXPECT_EQ(0u, Held(5));
}

TEST_F(NetSimulatorTest, AClosedSocketsHeldPacketsAreFreedAndNeverSent) {
    m_sim.Start(DelayConfig(100, 200, 0), false, &m_src);
    ASSERT_NO_FATAL_FAILURE(AddDelayed(5));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(TW_NetSimulator::HOLD_YES, Send(5, std::string(1000, char('a' + i))));
    m_host.Remove(m_sim, 5);
    EXPECT_EQ(0, m_sim.CandidateCount());
    EXPECT_EQ(0, m_sim.DelayedCount());
    RunDelay(500);
    EXPECT_TRUE(m_host.m_sent.empty());

    // And Stop frees what is still held.
    ASSERT_NO_FATAL_FAILURE(AddDelayed(6));
    EXPECT_EQ(TW_NetSimulator::HOLD_YES, Send(6, "held"));
    m_sim.Stop();
    EXPECT_EQ(0, m_sim.CandidateCount());
}

TEST_F(NetSimulatorTest, AFailedHeldSendDropsTheRestAndFailsTheSocketOnce) {
    m_sim.Start(DelayConfig(100, 200, 0), false, &m_src);
    ASSERT_NO_FATAL_FAILURE(AddDelayed(5));
    for (int i = 0; i < 3; ++i) Send(5, "held");
    m_host.m_bFailSends = true;
    RunDelay(300);
    ASSERT_EQ(1u, m_host.m_failed.size());
    EXPECT_EQ(SOCKET(5), m_host.m_failed[0].s);
    EXPECT_EQ(m_host.m_records[5]->uiSeq, m_host.m_failed[0].uiSeq);
    EXPECT_EQ(pf::kErrConnReset, m_host.m_failed[0].nError);
    EXPECT_EQ(0u, Held(5));
    EXPECT_EQ(0, m_sim.DelayedCount());
    EXPECT_TRUE(m_host.m_sent.empty());
}

// ------------------------------------------------------------------ breaks

TEST_F(NetSimulatorTest, BreaksComeAtTheDrawnIntervalAndOnlyToLiveCandidates) {
    TW_SimConfig cfg = DelayConfig(100, 200);
    cfg.ulBreakMin = cfg.ulBreakMax = 2;
    m_sim.Start(cfg, false, &m_src);
    // No candidate: nothing to break, nothing indexed.
    m_src.Step(5000);
    m_sim.FaultPass();
    EXPECT_TRUE(m_host.m_broken.empty());

    m_host.Add(5, SS_CONNECTED);
    m_host.Add(6, SS_CONNECTED);
    Send(5, "x");
    Send(6, "x");
    m_src.Step(1999);
    m_sim.FaultPass();
    EXPECT_TRUE(m_host.m_broken.empty());
    m_src.Step(1);
    m_sim.FaultPass();
    ASSERT_EQ(1u, m_host.m_broken.size());
    const SOCKET sBroken = m_host.m_broken[0].s;
    EXPECT_TRUE(sBroken == 5 || sBroken == 6);
    EXPECT_EQ(m_host.m_records[sBroken]->uiSeq, m_host.m_broken[0].uiSeq);

    // The broken one failed; the next break can only hit the other.
    m_host.m_records[sBroken]->status = SS_CLOSE_NOTIFIED;
    m_src.Step(2000);
    m_sim.FaultPass();
    ASSERT_EQ(2u, m_host.m_broken.size());
    EXPECT_NE(sBroken, m_host.m_broken[1].s);

    // "0,0" (the default) is no interval at all: a live candidate breaks on every pass.
    TW_SimConfig cfgEveryPass = DelayConfig(100, 200);
    cfgEveryPass.ulBreakMin = cfgEveryPass.ulBreakMax = 0;
    m_sim.Start(cfgEveryPass, false, &m_src);
    m_host.Add(7, SS_CONNECTED);
    Send(7, "x");
    m_sim.FaultPass();
    ASSERT_EQ(3u, m_host.m_broken.size());
    EXPECT_EQ(7u, m_host.m_broken[2].s);
}

// ------------------------------------------------------------------ settings

class NetSimulatorConfigTest : public testing::Test {
protected:
    bool Read(const std::string& text, TW_SimConfig& cfg, std::string* lpOut = nullptr) {
        const std::string path = m_folder.Narrow("vxnet.ini");
        std::ofstream(path, std::ios::binary) << text;
        testing::internal::CaptureStdout();
        const bool bOn = TW_NetSimulator::ReadConfig(path.c_str(), cfg);
        const std::string out = testing::internal::GetCapturedStdout();
        if (lpOut) *lpOut = out;
        return bOn;
    }
    ScopedTempFolder m_folder;
};

TEST_F(NetSimulatorConfigTest, ReadsEveryKeyWithItsDefault) {
    TW_SimConfig cfg;
    ASSERT_TRUE(Read("[vxnet]\r\nsimulator=1\r\nmaxaffect=3\r\n[UDP]\r\nlost= 5 , 20 \r\ndelay=7,9\r\n"
                     "[tcp]\r\nbreak=10,60\r\ndelay=100,300\r\nconnfail=1,2\r\n",
                     cfg));
    EXPECT_EQ((std::vector<uint32_t>{3, 5, 20, 7, 9, 10, 60, 100, 300, 1, 2}),
              (std::vector<uint32_t>{cfg.ulMaxAffect, cfg.ulLostMin, cfg.ulLostMax, cfg.ulUdpDelayMin,
                                     cfg.ulUdpDelayMax, cfg.ulBreakMin, cfg.ulBreakMax, cfg.ulTcpDelayMin,
                                     cfg.ulTcpDelayMax, cfg.ulConnFailMin, cfg.ulConnFailMax}));

    ASSERT_TRUE(Read("[vxnet]\nsimulator= 1 \n[tcp]\ndelay=100\nconnfail=250,1000\n", cfg));
    EXPECT_EQ(10u, cfg.ulMaxAffect);
    EXPECT_EQ(0u, cfg.ulLostMax);
    EXPECT_EQ(0u, cfg.ulTcpDelayMax) << "no comma: both 0";
    EXPECT_EQ(100u, cfg.ulConnFailMin) << "clamped: the plan has no room for more";
    EXPECT_EQ(100u, cfg.ulConnFailMax);
}

TEST_F(NetSimulatorConfigTest, OffUnlessTheFileSwitchesItOn) {
    TW_SimConfig cfg;
    const std::string missing = m_folder.Narrow("none.ini");
    EXPECT_FALSE(TW_NetSimulator::ReadConfig(missing.c_str(), cfg));
    EXPECT_FALSE(pf::PathExists(missing.c_str())) << "looking must not create the file";
    EXPECT_FALSE(Read("[vxnet]\nsimulator=0\n[udp]\nlost=10,10\n", cfg));
    EXPECT_FALSE(Read("[vxnet]\nsimulator=yes\n", cfg));
    EXPECT_FALSE(Read("", cfg));
    EXPECT_EQ(0u, cfg.ulLostMax);
}

TEST_F(NetSimulatorConfigTest, RefusedSettingsLeaveItOffWithOneLineNamingTheKey) {
    struct Case {
        const char* lpszText;
        const char* lpszKey;
    } cases[] = {
        {"[udp]\nlost=20,10\n", "lost"},
        {"[udp]\nlost=0,101\n", "lost"},
        {"[udp]\nlost=-5,10\n", "lost"},
        {"[tcp]\nbreak=60,10\n", "break"},
    };
    for (const Case& c : cases) {
        TW_SimConfig cfg;
        std::string out;
        EXPECT_FALSE(Read(std::string("[vxnet]\nsimulator=1\n") + c.lpszText, cfg, &out)) << c.lpszText;
        EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n')) << out;
        EXPECT_NE(std::string::npos, out.find(std::string("] ") + c.lpszKey + "=")) << out;
    }
    // Out of range numbers do not overflow.
    TW_SimConfig cfg;
    EXPECT_TRUE(Read("[vxnet]\nsimulator=1\n[tcp]\nbreak=99999999999,99999999999\ndelay=1,99999999999\n", cfg));
    EXPECT_EQ(0x7FFFFFFFu, cfg.ulBreakMax);
    EXPECT_EQ(0x7FFFFFFFu, cfg.ulTcpDelayMax);
}

// ------------------------------------------------------------------ the default source and the threads

TEST(NetSimulatorSource, DrawsFifteenBitsOnEveryThread) {
    auto draw = [] {
        uint32_t uiMax = 0;
        for (int i = 0; i < 20000; ++i) {
            const uint32_t r = DefaultSimSource().Rand15();
            EXPECT_LE(r, 32767u);
            uiMax = std::max(uiMax, r);
        }
        EXPECT_GT(uiMax, 16383u) << "all 15 bits are used";
    };
    draw();
    std::thread t(draw);
    t.join();
}

TEST(NetSimulatorThreads, ItsThreadsPlanAndEndOnStopAndDestruction) {
    SteppedSource src;
    FakeHost host(src);
    {
        TW_NetSimulator sim(host);
        // The fault thread draws the plan; nothing else draws it.
        sim.Start(Config(100), true);
        EXPECT_TRUE(PollUntil([&] { return sim.LoseDatagram(); }, 10000));
        sim.Stop();
        EXPECT_FALSE(sim.LoseDatagram());
        sim.Start(DelayConfig(100, 200), true);
    }  // destroyed running
}

// ------------------------------------------------------------------ inside the engine

// The engine with its simulator driven by hand.
class NetSimulatorEngineTest : public testing::Test {
protected:
    void SetUp() override {
        vxtest::NetInit();
        m_lpMgr = static_cast<TW_IocpSocketMgr*>(TW_IocpSocketMgr::Create(false));
        m_lpMgr->SetSink(&m_sink);
        ASSERT_TRUE(m_lpMgr->Start(0, 2, 0, 0));
    }
    void TearDown() override { delete m_lpMgr; }

    void StartSimulator(const TW_SimConfig& cfg) { m_lpMgr->NetSimulator().Start(cfg, false, &m_src); }
    void Connect(SOCKET* lpS, vxtest::RawSocket* lpPeer) {
        vxtest::RawSocket listener = vxtest::RawSocket::TcpListener();
        const size_t from = m_sink.Size();
        *lpS = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 1, 2);
        ASSERT_TRUE(*lpS != INVALID_SOCKET && m_lpMgr->Connect(*lpS, "127.0.0.1", listener.LocalPort()));
        auto ev = m_sink.Wait(vxtest::Is(vxtest::Ev::Connect, *lpS), kWaitMs, from);
        ASSERT_TRUE(ev && ev->nError == 0);
        ASSERT_TRUE((*lpPeer = listener.Accept(kWaitMs)).IsValid());
    }
    // The socket's first Send makes it a candidate; the next pass delays it.
    void ConnectDelayed(SOCKET* lpS, vxtest::RawSocket* lpPeer, std::string* lpExpected) {
        ASSERT_NO_FATAL_FAILURE(Connect(lpS, lpPeer));
        ASSERT_TRUE(m_lpMgr->Send(*lpS, "first", 5, 0, nullptr));
        *lpExpected = "first";
        m_lpMgr->NetSimulator().DelayPass();
        ASSERT_TRUE(m_lpMgr->NetSimulator().IsDelayed(*lpS));
    }

    static constexpr int kWaitMs = vxtest::RecordingSink::kDefaultWaitMs;
    SteppedSource m_src;
    vxtest::RecordingSink m_sink;
    TW_IocpSocketMgr* m_lpMgr = nullptr;
};

// Held bytes count as queued, SendV goes through the same hold, and a
// shutdown waits for them.
TEST_F(NetSimulatorEngineTest, HeldSendsCountAsQueuedAndLeaveInOrderAfterTheirDelayBeforeAShutdown) {
    StartSimulator(DelayConfig(100, 200, 0));
    SOCKET s;
    vxtest::RawSocket peer;
    std::string expected;
    ASSERT_NO_FATAL_FAILURE(ConnectDelayed(&s, &peer, &expected));

    for (uint32_t i = 0; i < 10; ++i) {
        const std::string data = "held" + std::to_string(i) + ";";
        uint32_t uiQueued = 99;
        ASSERT_TRUE(m_lpMgr->Send(s, data.data(), uint32_t(data.size()), 0, &uiQueued));
        EXPECT_EQ(i + 1, uiQueued);
        expected += data;
    }
    const SendVBuf bufs[2] = {{"gathe", 0, 5}, {"red", 0, 3}};
    ASSERT_TRUE(m_lpMgr->SendV(s, bufs, 2, 0, nullptr));
    expected += "gathered";
    ASSERT_TRUE(m_lpMgr->Shutdown(s, pf::kShutSend));

    m_src.Step(m_lpMgr->NetSimulator().DelayOf(s) - 1);
    m_lpMgr->NetSimulator().DelayPass();
    std::string got;
    ASSERT_TRUE(peer.RecvExact(got, 5, kWaitMs));
    m_src.Step(1);
    m_lpMgr->NetSimulator().DelayPass();
    EXPECT_TRUE(peer.WaitClosed(kWaitMs, &got));
    EXPECT_EQ(expected, got);
    EXPECT_TRUE(m_sink.Wait([&](const vxtest::SinkEvent& ev) {
        return ev.kind == vxtest::Ev::Send && ev.s == s && ev.uiQueued == 0;
    }));
    m_lpMgr->CloseSocket(s);
}

TEST_F(NetSimulatorEngineTest, ABreakFailsTheConnectionOnceThroughTheEngine) {
    TW_SimConfig cfg = DelayConfig(100, 200);
    cfg.ulBreakMin = cfg.ulBreakMax = 1;
    StartSimulator(cfg);
    SOCKET s;
    vxtest::RawSocket peer;
    ASSERT_NO_FATAL_FAILURE(Connect(&s, &peer));
    ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, 4));  // a receive is outstanding
    ASSERT_TRUE(m_lpMgr->Send(s, "x", 1, 0, nullptr));
    const size_t from = m_sink.Size();
    m_src.Step(1000);
    m_lpMgr->NetSimulator().FaultPass();
    auto ev = m_sink.Wait(vxtest::Is(vxtest::Ev::Close, s), kWaitMs, from);
    ASSERT_TRUE(ev);
    EXPECT_EQ(pf::kErrConnReset, ev->nError);
    EXPECT_EQ(SS_CONNECTED, ev->nStatus);
    // The far end sees the connection end; the host hears nothing more.
    std::string got;
    EXPECT_TRUE(peer.WaitClosed(kWaitMs, &got));
    EXPECT_EQ("x", got);
    EXPECT_FALSE(m_lpMgr->Send(s, "y", 1, 0, nullptr));
    m_src.Step(1000);
    m_lpMgr->NetSimulator().FaultPass();
    EXPECT_EQ(1u, m_sink.Count(vxtest::About(s), from));
    // The handle is still the engine's: the host closes it.
    EXPECT_TRUE(m_lpMgr->CloseSocket(s));
}

TEST_F(NetSimulatorEngineTest, SpoiledConnectsFailThroughTheConnectPath) {
    StartSimulator(Config(0, 100));
    m_lpMgr->NetSimulator().FaultPass();
    vxtest::RawSocket listener = vxtest::RawSocket::TcpListener();
    int nFailed = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t from = m_sink.Size();
        SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 0, 0);
        ASSERT_NE(INVALID_SOCKET, s);
        if (!m_lpMgr->Connect(s, "127.0.0.1", listener.LocalPort())) {
            ++nFailed;
        } else {
            auto ev = m_sink.Wait(vxtest::Is(vxtest::Ev::Connect, s), kWaitMs, from);
            ASSERT_TRUE(ev);
            nFailed += ev->nError != 0 ? 1 : 0;
        }
        m_lpMgr->CloseSocket(s);
    }
    // 100 of the first 101 fail: at most one of three gets through.
    EXPECT_GE(nFailed, 2);
}

}  // namespace
