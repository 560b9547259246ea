// The conformance suite: behaviour every manager shares, run once per
// interface name of EngineList(). This file: life cycle and a bulk framed
// echo; the other Conformance*.cpp files hold the rest of the suite.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "EngineFixture.h"

using namespace vxtest;

INSTANTIATE_TEST_SUITE_P(Engines, Conformance, testing::ValuesIn(EngineList()), EngineParamName);

TEST_P(Conformance, FreshInstanceHasNoSinkAndStartsAndStopsWithoutSockets) {
    ISocketMgr* lpMgr = vxCreateInstance(GetParam().lpszName);
    ASSERT_NE(nullptr, lpMgr);
    RecordingSink sink;
    EXPECT_EQ(nullptr, lpMgr->GetSink());
    EXPECT_EQ(&sink, lpMgr->SetSink(&sink));
    EXPECT_EQ(&sink, lpMgr->GetSink());
    EXPECT_TRUE(lpMgr->Start(0, 0, 0, 0));
    EXPECT_TRUE(lpMgr->Stop(2000));
    vxDestroyInstance(lpMgr);
    EXPECT_EQ(0u, sink.Size()) << DescribeAll(sink.Events());
}

namespace {

uint32_t GetLe32(const char* p) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

std::string Le32(uint32_t v) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                 static_cast<char>(v >> 24)};
    return std::string(b, 4);
}

// Both ends of the echo: servers parse length-prefixed frames and send each
// back; clients check the echoed stream byte for byte, consuming random
// amounts and asking for random notice lengths.
struct EchoState {
    struct Server {
        bool bHeader = true;
        uint32_t uiBody = 0;
    };
    struct Client {
        std::string strExpected;
        size_t nPos = 0;
        uint32_t u1 = 0, u2 = 0;
    };
    std::mutex mutex;
    std::mt19937 rng{20240611};
    std::map<SOCKET, Server> servers;
    std::map<SOCKET, Client> clients;
    std::atomic<int> nClientsDone{0};
    std::atomic<int> nFailures{0};
    std::string strFirstFailure;

    void Fail(const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex);
        if (nFailures++ == 0) strFirstFailure = why;
    }
};

}  // namespace

TEST_P(Conformance, FramedEchoOfSeveralMegabytesArrivesByteExact) {
    constexpr int kClients = 3;
    constexpr size_t kBytesPerClient = 1300 * 1000;
    auto state = std::make_shared<EchoState>();
    ISocketMgr* lpMgr = m_lpMgr;
    m_sink.SetKeepData(false);

    SOCKET sListen;
    uint16_t wPort;
    ASSERT_NO_FATAL_FAILURE(ListenOnEngine(&sListen, &wPort));

    m_sink.SetHook(Ev::Accept, [state, lpMgr, sListen](SinkEvent& ev) {
        if (ev.s != sListen) return;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->servers[ev.sNew] = EchoState::Server();
        }
        if (!lpMgr->SetNoticeLen(ev.sNew, 4)) state->Fail("SetNoticeLen on an accepted socket");
    });
    m_sink.SetHook(Ev::Recv, [state, lpMgr](SinkEvent& ev) {
        const std::string& d = ev.data;
        std::unique_lock<std::mutex> lock(state->mutex);
        auto fail = [&](const std::string& why) {
            lock.unlock();
            state->Fail(why);
        };
        if (d.size() != ev.uiOffered) return fail("offered length and bytes differ");
        auto srv = state->servers.find(ev.s);
        if (srv != state->servers.end()) {
            EchoState::Server& st = srv->second;
            bool bOneUnit = (state->rng() & 1) != 0;
            std::vector<std::string> replies;
            size_t pos = 0;
            for (;;) {
                if (st.bHeader) {
                    if (d.size() - pos < 4) break;
                    st.uiBody = GetLe32(d.data() + pos);
                    pos += 4;
                    st.bHeader = false;
                } else {
                    if (d.size() - pos < st.uiBody) break;
                    replies.push_back(d.substr(pos, st.uiBody));
                    pos += st.uiBody;
                    st.bHeader = true;
                }
                if (bOneUnit) break;
            }
            uint32_t uiNext = st.bHeader ? 4 : st.uiBody;
            lock.unlock();
            if (pos == 0) state->Fail("an offer without one complete unit");
            for (const std::string& body : replies) {
                std::string hdr = Le32(static_cast<uint32_t>(body.size()));
                SendVBuf bufs[2] = {{hdr.data(), 0, 4}, {body.data(), 0, static_cast<uint32_t>(body.size())}};
                if (!lpMgr->SendV(ev.s, bufs, 2, 7, nullptr)) state->Fail("echo SendV refused");
            }
            ev.uiConsumed = static_cast<uint32_t>(pos);
            if (!lpMgr->SetNoticeLen(ev.s, uiNext)) state->Fail("server SetNoticeLen inside OnSocketRecv");
            return;
        }
        auto cli = state->clients.find(ev.s);
        if (cli == state->clients.end()) return fail("OnSocketRecv for an unknown socket");
        EchoState::Client& c = cli->second;
        if (ev.u1 != c.u1 || ev.u2 != c.u2) return fail("user words of a client socket changed");
        if (c.strExpected.compare(c.nPos, d.size(), d) != 0)
            return fail("echoed bytes differ at stream offset " + std::to_string(c.nPos));
        uint32_t uiTake = (state->rng() & 1) ? ev.uiOffered : 1 + state->rng() % ev.uiOffered;
        c.nPos += uiTake;
        size_t nLeft = c.strExpected.size() - c.nPos;
        uint32_t uiNext = nLeft == 0 ? 0 : 1 + state->rng() % static_cast<uint32_t>(nLeft < 8192 ? nLeft : 8192);
        lock.unlock();
        ev.uiConsumed = uiTake;
        if (nLeft == 0) {
            ++state->nClientsDone;
        } else if (!lpMgr->SetNoticeLen(ev.s, uiNext)) {
            state->Fail("client SetNoticeLen inside OnSocketRecv");
        }
    });

    std::vector<SOCKET> clients;
    for (int i = 0; i < kClients; ++i) {
        size_t from = Mark();
        SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, 100 + i, 200 + i);
        ASSERT_NE(INVALID_SOCKET, s);
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->clients[s].u1 = 100 + i;
            state->clients[s].u2 = 200 + i;
        }
        ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", wPort));
        auto ev = m_sink.Wait(Is(Ev::Connect, s), kWaitMs, from);
        ASSERT_TRUE(ev);
        ASSERT_EQ(0, ev->nError);
        clients.push_back(s);
    }
    ASSERT_TRUE(m_sink.WaitCount(Is(Ev::Accept, sListen), kClients));

    std::mt19937 rng(7);
    for (int i = 0; i < kClients; ++i) {
        std::string stream;
        while (stream.size() < kBytesPerClient) {
            uint32_t kind = rng() % 3;
            uint32_t len = kind == 0 ? 1 + rng() % 16 : kind == 1 ? 17 + rng() % 4080 : 4097 + rng() % 61440;
            std::string body(len, '\0');
            for (char& ch : body) ch = static_cast<char>(rng());
            stream += Le32(len) + body;
        }
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->clients[clients[i]].strExpected = stream;
        }
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(clients[i], 1));
        // Pieces of random size, alternately through Send and SendV; the
        // flag of the last piece is what the drained queue reports.
        size_t pos = 0;
        uint32_t uiFlag = 0;
        while (pos < stream.size()) {
            size_t n = 1 + rng() % 100000;
            if (n > stream.size() - pos) n = stream.size() - pos;
            ++uiFlag;
            if (pos + n == stream.size()) uiFlag = 0xF1A60000u + i;
            if (rng() & 1) {
                ASSERT_TRUE(m_lpMgr->Send(clients[i], stream.data() + pos, static_cast<uint32_t>(n), uiFlag, nullptr));
            } else {
                size_t half = n / 2;
                SendVBuf bufs[3] = {{stream.data() + pos, 0, static_cast<uint32_t>(half)},
                                    {stream.data() + pos, 0, 0},
                                    {stream.data() + pos + half, 0, static_cast<uint32_t>(n - half)}};
                uint32_t uiQueued = 0xDEAD;
                ASSERT_TRUE(m_lpMgr->SendV(clients[i], bufs, 3, uiFlag, &uiQueued));
                EXPECT_NE(0xDEADu, uiQueued);
            }
            pos += n;
        }
    }

    ASSERT_TRUE(m_sink.WaitUntil([&] { return state->nClientsDone == kClients || state->nFailures > 0; }, 120000))
        << "echo incomplete";
    EXPECT_EQ(0, state->nFailures.load()) << state->strFirstFailure;
    for (int i = 0; i < kClients; ++i) {
        SOCKET s = clients[i];
        uint32_t uiLast = 0xF1A60000u + i;
        auto ev = m_sink.Wait(
            [s, uiLast](const SinkEvent& e) {
                return e.kind == Ev::Send && e.s == s && e.dwSendFlag == uiLast && e.uiQueued == 0;
            },
            kWaitMs);
        ASSERT_TRUE(ev) << "no OnSocketSend for the drained queue of client " << i;
        EXPECT_EQ(0, ev->nError);
        EXPECT_EQ(100u + i, ev->u1);
        EXPECT_EQ(200u + i, ev->u2);
    }
    EXPECT_EQ(0u, m_sink.Count(Is(Ev::Close)));
    for (SOCKET s : clients) EXPECT_TRUE(m_lpMgr->CloseSocket(s));
}
