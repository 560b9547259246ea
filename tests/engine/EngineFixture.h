// A started manager of the interface under test, with a recording sink and
// the steps most cases share. Written against the public headers only, so it
// fits every manager that implements the interface.
#ifndef VX_TEST_ENGINE_FIXTURE_H
#define VX_TEST_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "EngineList.h"
#include "LoopbackPeer.h"
#include "RecordingSink.h"
#include "vxnet/vxnet.h"

// Hooks can run on the engine's threads until the manager is stopped, after
// the test body has returned: they share state by shared pointer, never by
// reference to a local.
class EngineTest : public testing::TestWithParam<EngineTraits> {
public:
    static constexpr int kWaitMs = vxtest::RecordingSink::kDefaultWaitMs;
    static constexpr uint32_t kProxyU1 = 0xA5, kProxyU2 = 0x5A;  // the words of ConnectThrough's sockets

    void SetUp() override {
        vxtest::NetInit();
        m_lpMgr = vxCreateInstance(GetParam().lpszName);
        ASSERT_NE(nullptr, m_lpMgr) << "no manager for " << GetParam().lpszName;
        EXPECT_EQ(&m_sink, m_lpMgr->SetSink(&m_sink));
        ASSERT_TRUE(m_lpMgr->Start(0, 0, 0, 0));
        // Its one-shot timers mark the passing of time (see Settle).
        m_sClock = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0xC10C, 0xC10C);
        ASSERT_NE(INVALID_SOCKET, m_sClock);
    }
    void TearDown() override {
        if (m_lpMgr && !m_bStopped) m_lpMgr->Stop(2000);
        DestroyEngine();
    }

    // Stops the manager; TearDown then only destroys it.
    bool StopEngine() {
        m_bStopped = true;
        return m_lpMgr->Stop(2000);
    }
    // Destroys the manager without Stop.
    void DestroyEngine() {
        if (m_lpMgr) vxDestroyInstance(m_lpMgr);
        m_lpMgr = nullptr;
    }

    size_t Mark() const { return m_sink.Size(); }

    // Lets the engine's threads run a few rounds (a 60 ms one-shot timer on
    // the clock socket), before checking that something did NOT happen.
    void Settle() {
        uint32_t uiEvent = m_uiClockEvent++ % 29;
        size_t from = Mark();
        ASSERT_TRUE(m_lpMgr->SetEventTimer(m_sClock, uiEvent, 60, 0, true));
        auto tick = [&](const vxtest::SinkEvent& e) {
            return e.kind == vxtest::Ev::Timer && e.s == m_sClock && e.uiEvent == uiEvent;
        };
        ASSERT_TRUE(m_sink.Wait(tick, kWaitMs, from)) << "the clock socket's timer never fired";
    }

    // An engine TCP socket connected to a raw loopback listener, and the raw end.
    void ConnectToRaw(SOCKET* lpS, vxtest::RawSocket* lpPeer, uint32_t u1 = 0x1111, uint32_t u2 = 0x2222) {
        vxtest::RawSocket listener = vxtest::RawSocket::TcpListener();
        size_t from = Mark();
        *lpS = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, u1, u2);
        ASSERT_TRUE(*lpS != INVALID_SOCKET && m_lpMgr->Connect(*lpS, "127.0.0.1", listener.LocalPort()));
        ASSERT_TRUE(ExpectEvent(vxtest::Ev::Connect, *lpS, from, 0, u1, u2));
        ASSERT_TRUE((*lpPeer = listener.Accept(kWaitMs)).IsValid());
    }
    // An engine TCP socket listening on an ephemeral loopback port.
    void ListenOnEngine(SOCKET* lpS, uint16_t* lpPort, uint32_t u1 = 0x3333, uint32_t u2 = 0x4444) {
        *lpS = m_lpMgr->CreateTcpSocket(nullptr, "127.0.0.1", 0, u1, u2);
        ASSERT_TRUE(*lpS != INVALID_SOCKET && m_lpMgr->Listen(*lpS, 16));
        ASSERT_NE(0, *lpPort = vxtest::LocalPortOf(*lpS));
    }
    // A raw client connected to an engine listener, and the accepted socket.
    void AcceptRawClient(SOCKET sListen, uint16_t wPort, SOCKET* lpS, vxtest::RawSocket* lpClient) {
        size_t from = Mark();
        ASSERT_TRUE((*lpClient = vxtest::RawSocket::TcpConnect(wPort)).IsValid());
        auto ev = ExpectEvent(vxtest::Ev::Accept, sListen, from, 0, 0, 0);
        ASSERT_TRUE(ev && ev->sNew != INVALID_SOCKET);
        *lpS = ev->sNew;
    }

    // Until the socket's receive queue is empty; until n bytes wait there.
    bool WaitEngineRead(SOCKET s) {
        return vxtest::PollUntil([s] { return vxtest::PendingBytes(s) == 0; }, kWaitMs);
    }
    bool WaitArrived(SOCKET s, int n) {
        return vxtest::PollUntil([s, n] { return vxtest::PendingBytes(s) >= n; }, kWaitMs);
    }

    // The first event of this kind about s closes, inside the callback, the
    // socket it names (Accept: the new one). Counts the closes that succeeded.
    std::shared_ptr<std::atomic<int>> CloseInside(vxtest::Ev kind, SOCKET s) {
        auto nClosed = std::make_shared<std::atomic<int>>(0);
        ISocketMgr* lpMgr = m_lpMgr;
        m_sink.SetHook(kind, [=](vxtest::SinkEvent& ev) {
            if (ev.s == s && nClosed->load() == 0 && lpMgr->CloseSocket(kind == vxtest::Ev::Accept ? ev.sNew : ev.s))
                ++*nClosed;
        });
        return nClosed;
    }

    // The first event of this kind about s since `from`, which must carry this
    // error and these user words. Empty (and a failure) when none came.
    std::optional<vxtest::SinkEvent> ExpectEvent(vxtest::Ev kind, SOCKET s, size_t from, int nError, uint32_t u1,
                                                 uint32_t u2) {
        auto ev = m_sink.Wait(vxtest::Is(kind, s), kWaitMs, from);
        EXPECT_TRUE(ev && ev->nError == nError && ev->u1 == u1 && ev->u2 == u2)
            << (ev ? vxtest::Describe(*ev) : "no such event about socket " + std::to_string(s));
        return ev;
    }
    // The next notice of data.size() bytes offers exactly data.
    void ExpectNotice(SOCKET s, const std::string& data) {
        size_t from = Mark();
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, static_cast<uint32_t>(data.size())));
        auto ev = m_sink.Wait(vxtest::Is(vxtest::Ev::Recv, s), kWaitMs, from);
        ASSERT_TRUE(ev);
        EXPECT_EQ(data, ev->data);
    }
    // Data sent on s comes back from an echoing far end.
    void ExpectEcho(SOCKET s, const std::string& data) {
        ASSERT_TRUE(m_lpMgr->Send(s, data.data(), static_cast<uint32_t>(data.size()), 0, nullptr));
        ExpectNotice(s, data);
    }
    // After a few rounds of the engine, exactly n events since `from` name s.
    void ExpectQuiet(SOCKET s, size_t from, size_t n) {
        ASSERT_NO_FATAL_FAILURE(Settle());
        EXPECT_EQ(n, m_sink.Count(vxtest::About(s), from))
            << vxtest::DescribeAll(m_sink.Matching(vxtest::About(s), from));
    }

    // A TCP socket through a loopback proxy of this type to 127.0.0.1:wDestPort.
    void ConnectThrough(uint32_t uiType, uint16_t wProxyPort, const char* lpszUser, const char* lpszPass,
                        uint16_t wDestPort, SOCKET* lpS) {
        PROXYHANDLE h = m_lpMgr->CreateProxy(uiType, "127.0.0.1", wProxyPort, lpszUser, lpszPass);
        ASSERT_NE(nullptr, h);
        *lpS = m_lpMgr->CreateTcpSocket(h, nullptr, 0, kProxyU1, kProxyU2);
        ASSERT_TRUE(*lpS != INVALID_SOCKET && m_lpMgr->Connect(*lpS, "127.0.0.1", wDestPort));
    }
    // Connected through the proxy: OnSocketConnect (0) is the first report,
    // and no data is offered before the host asks for it.
    void ExpectTunnel(SOCKET s, size_t from) {
        auto ev = m_sink.Wait(vxtest::About(s), kWaitMs, from);
        ASSERT_TRUE(ev) << "no report about the proxied socket";
        EXPECT_TRUE(ev->kind == vxtest::Ev::Connect && ev->nError == 0 && ev->u1 == kProxyU1 && ev->u2 == kProxyU2)
            << vxtest::Describe(*ev);
        EXPECT_EQ(0u, m_sink.Count(vxtest::Is(vxtest::Ev::Recv, s), from));
    }
    // The handshake failed with this error, reported once, by OnSocketProxy.
    void ExpectProxyFailure(SOCKET s, size_t from, int nError, uint32_t u1 = kProxyU1, uint32_t u2 = kProxyU2) {
        auto ev = ExpectEvent(vxtest::Ev::Proxy, s, from, nError, u1, u2);
        ASSERT_TRUE(ev);
        EXPECT_FALSE(ev->bHasAddr);
        ExpectQuiet(s, from, 1);
    }

    ISocketMgr* m_lpMgr = nullptr;
    vxtest::RecordingSink m_sink;
    SOCKET m_sClock = INVALID_SOCKET;

private:
    bool m_bStopped = false;
    uint32_t m_uiClockEvent = 0;
};

// The one suite every manager runs (its cases are spread over several files).
class Conformance : public EngineTest {};

#endif
