// A started manager of the interface under test, with a recording sink and
// the steps most cases share: connect to a raw peer, accept one, let the
// engine's threads run a few rounds. Written against the public headers
// only, so it fits every manager that implements the interface.
#ifndef VX_TEST_ENGINE_FIXTURE_H
#define VX_TEST_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "EngineList.h"
#include "LoopbackPeer.h"
#include "RecordingSink.h"
#include "vxnet/vxnet.h"

// Members are public so that helpers of a test file can take the fixture.
class EngineTest : public testing::TestWithParam<EngineTraits> {
public:
    static constexpr int kWaitMs = vxtest::RecordingSink::kDefaultWaitMs;

    void SetUp() override {
        vxtest::NetInit();
        m_lpMgr = vxCreateInstance(GetParam().lpszName);
        ASSERT_NE(nullptr, m_lpMgr) << "no manager for " << GetParam().lpszName;
        EXPECT_EQ(&m_sink, m_lpMgr->SetSink(&m_sink));
        ASSERT_TRUE(m_lpMgr->Start(0, 0, 0, 0));
        // The clock socket: its one-shot timers mark the passing of time in
        // the engine's own terms (see Settle).
        m_sClock = m_lpMgr->CreateUdpSocket(nullptr, "127.0.0.1", 0, 0xC10C, 0xC10C);
        ASSERT_NE(INVALID_SOCKET, m_sClock);
    }

    void TearDown() override {
        if (!m_lpMgr) return;
        if (!m_bStopped) m_lpMgr->Stop(2000);
        vxDestroyInstance(m_lpMgr);
        m_lpMgr = nullptr;
    }

    // Stops the manager; TearDown then only destroys it.
    bool StopEngine() {
        m_bStopped = true;
        return m_lpMgr->Stop(2000);
    }
    // Destroys the manager without Stop.
    void DestroyEngine() {
        vxDestroyInstance(m_lpMgr);
        m_lpMgr = nullptr;
    }

    size_t Mark() const { return m_sink.Size(); }

    // Lets the engine's poll and timer threads run for a few rounds (a 60 ms
    // one-shot timer on the clock socket, awaited as an event). Used before
    // checking that something did NOT happen: a fault that would show within
    // a few polls has shown by then.
    void Settle() {
        uint32_t uiEvent = m_uiClockEvent++ % 29;
        size_t from = Mark();
        ASSERT_TRUE(m_lpMgr->SetEventTimer(m_sClock, uiEvent, 60, 0, true));
        auto ev = m_sink.Wait(
            [&](const vxtest::SinkEvent& e) {
                return e.kind == vxtest::Ev::Timer && e.s == m_sClock && e.uiEvent == uiEvent;
            },
            kWaitMs, from);
        ASSERT_TRUE(ev) << "the clock socket's timer never fired";
    }

    // An engine TCP socket connected to a raw loopback listener, and the raw
    // end of that connection.
    void ConnectToRaw(SOCKET* lpS, vxtest::RawSocket* lpPeer, uint32_t u1 = 0x1111, uint32_t u2 = 0x2222) {
        vxtest::RawSocket listener = vxtest::RawSocket::TcpListener();
        ASSERT_TRUE(listener.IsValid());
        size_t from = Mark();
        SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, nullptr, 0, u1, u2);
        ASSERT_NE(INVALID_SOCKET, s);
        ASSERT_TRUE(m_lpMgr->Connect(s, "127.0.0.1", listener.LocalPort()));
        auto ev = m_sink.Wait(vxtest::Is(vxtest::Ev::Connect, s), kWaitMs, from);
        ASSERT_TRUE(ev) << "no OnSocketConnect";
        ASSERT_EQ(0, ev->nError);
        EXPECT_EQ(u1, ev->u1);
        EXPECT_EQ(u2, ev->u2);
        *lpPeer = listener.Accept(kWaitMs);
        ASSERT_TRUE(lpPeer->IsValid());
        *lpS = s;
    }

    // An engine TCP socket listening on an ephemeral loopback port.
    void ListenOnEngine(SOCKET* lpS, uint16_t* lpPort, uint32_t u1 = 0x3333, uint32_t u2 = 0x4444) {
        SOCKET s = m_lpMgr->CreateTcpSocket(nullptr, "127.0.0.1", 0, u1, u2);
        ASSERT_NE(INVALID_SOCKET, s);
        ASSERT_TRUE(m_lpMgr->Listen(s, 16));
        *lpPort = vxtest::LocalPortOf(s);
        ASSERT_NE(0, *lpPort);
        *lpS = s;
    }

    // A raw client connected to an engine listener, and the socket the
    // engine accepted for it.
    void AcceptRawClient(SOCKET sListen, uint16_t wPort, SOCKET* lpS, vxtest::RawSocket* lpClient) {
        size_t from = Mark();
        *lpClient = vxtest::RawSocket::TcpConnect(wPort);
        ASSERT_TRUE(lpClient->IsValid());
        auto ev = m_sink.Wait(vxtest::Is(vxtest::Ev::Accept, sListen), kWaitMs, from);
        ASSERT_TRUE(ev) << "no OnSocketAccept";
        EXPECT_EQ(0, ev->nError);
        ASSERT_NE(INVALID_SOCKET, ev->sNew);
        *lpS = ev->sNew;
    }

    // Waits until the engine has taken everything the peer sent from the
    // socket's receive queue.
    bool WaitEngineRead(SOCKET s) {
        return vxtest::PollUntil([s] { return vxtest::PendingBytes(s) == 0; }, kWaitMs);
    }
    // Waits until n bytes sent by the peer wait, unread, in the engine's socket.
    bool WaitArrived(SOCKET s, int n) {
        return vxtest::PollUntil([s, n] { return vxtest::PendingBytes(s) >= n; }, kWaitMs);
    }

    // From now on, the first event of this kind about s closes, from inside
    // the callback, the socket the event names (for Accept, s is the listener
    // and the new socket is closed). Counts the closes that succeeded.
    std::shared_ptr<std::atomic<int>> CloseInside(vxtest::Ev kind, SOCKET s) {
        auto nClosed = std::make_shared<std::atomic<int>>(0);
        ISocketMgr* lpMgr = m_lpMgr;
        m_sink.SetHook(kind, [=](vxtest::SinkEvent& ev) {
            if (ev.s != s || nClosed->load() != 0) return;
            if (lpMgr->CloseSocket(kind == vxtest::Ev::Accept ? ev.sNew : ev.s)) ++*nClosed;
        });
        return nClosed;
    }

    // The next notice of data.size() bytes offers exactly data.
    void ExpectNotice(SOCKET s, const std::string& data) {
        size_t from = Mark();
        ASSERT_TRUE(m_lpMgr->SetNoticeLen(s, static_cast<uint32_t>(data.size())));
        auto ev = m_sink.Wait(vxtest::Is(vxtest::Ev::Recv, s), kWaitMs, from);
        ASSERT_TRUE(ev);
        EXPECT_EQ(data, ev->data);
    }

    // After a few rounds of the engine, exactly n events since `from` name s.
    void ExpectQuiet(SOCKET s, size_t from, size_t n) {
        ASSERT_NO_FATAL_FAILURE(Settle());
        EXPECT_EQ(n, m_sink.Count(vxtest::About(s), from))
            << vxtest::DescribeAll(m_sink.Matching(vxtest::About(s), from));
    }

    ISocketMgr* m_lpMgr = nullptr;
    vxtest::RecordingSink m_sink;
    SOCKET m_sClock = INVALID_SOCKET;

private:
    bool m_bStopped = false;
    uint32_t m_uiClockEvent = 0;
};

// Hooks can run on the engine's threads until the manager is stopped, which
// may be after the test body has returned: they hold the state they share
// with a test by shared pointer, never by reference to a local.

// The one suite every manager runs (its cases are spread over several files).
class Conformance : public EngineTest {};

#endif
