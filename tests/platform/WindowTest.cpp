// Windows, message queues and async-select. Under Wine the real user32 and
// Winsock answer the same cases, which keeps the POSIX emulation honest.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <deque>
#include <thread>
#include <vector>

#include "PfError.h"
#include "PfSocket.h"
#include "PfThread.h"
#include "PfWindow.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Wine reports a reset as an orderly close (FD_CLOSE 0, then recv 0), where
// Windows says WSAECONNRESET; the emulation follows Windows.
bool UnderWine() {
#ifdef _WIN32
    HMODULE h = GetModuleHandleW(L"ntdll.dll");
    return h && GetProcAddress(h, "wine_get_version");
#else
    return false;
#endif
}

constexpr uint32_t kMsgSocket = pf::kWmUser + 1;   // the notifications of the sockets under test
constexpr uint32_t kMsgBarrier = pf::kWmUser + 2;  // those of the barrier pair
constexpr uint32_t kMsgTick = pf::kWmUser + 3;     // wakes the pump; carries nothing
constexpr uint32_t kMsgMark = pf::kWmUser + 4;
constexpr int kWaitMs = 10000;

struct Note {
    pf::WindowHandle hWnd;
    uint32_t uiMsg;
    uintptr_t wParam;
    uint32_t uiEvent;
    int nError;
};

intptr_t TestProc(pf::WindowHandle hWnd, uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) {
    if (auto* lpLog = static_cast<std::vector<uint32_t>*>(pf::GetWindowUserData(hWnd))) lpLog->push_back(uiMsg);
    if (uiMsg == pf::kWmCreate) {
        // The creation parameter arrives with the first message.
        auto* lpLog = reinterpret_cast<std::vector<uint32_t>*>(lParam);
        pf::SetWindowUserData(hWnd, lpLog);
        if (lpLog) lpLog->push_back(uiMsg);
    }
    return pf::DefWindowProc(hWnd, uiMsg, wParam, lParam);
}

class PfWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, pf::SocketStartup());
        pf::RegisterWindowClass(L"VxWindowTest", TestProc);
        m_hWnd = pf::CreateHiddenWindow(L"VxWindowTest", L"VxWindowTest", 0, nullptr);
        ASSERT_TRUE(m_hWnd);
        // The pump never waits longer than a tick for its deadline check.
        const uint32_t uiMe = pf::CurrentThreadId();
        m_ticker = std::thread([this, uiMe] {
            while (!m_bStop.load()) {
                pf::PostThreadMessage(uiMe, kMsgTick, 0, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        m_barrier = Pair();
        ASSERT_EQ(0, pf::AsyncSelect(m_barrier.a, m_hWnd, kMsgBarrier, pf::kFdRead));
    }
    void TearDown() override {
        m_bStop = true;
        m_ticker.join();
        for (SOCKET s : m_vecOpen) pf::CloseSocket(s);
        pf::DestroyHiddenWindow(m_hWnd);
        pf::UnregisterWindowClass(L"VxWindowTest");
        pf::SocketCleanup();
    }

    SOCKET Track(SOCKET s) {
        m_vecOpen.push_back(s);
        return s;
    }
    void CloseNow(SOCKET s) {
        pf::CloseSocket(s);
        m_vecOpen.erase(std::find(m_vecOpen.begin(), m_vecOpen.end(), s));
    }
    SOCKET Listener(sockaddr_in* lpAddr, int nBacklog = 8) {
        SOCKET s = Track(pf::SocketOpen(pf::kSocketTcp));
        sockaddr_in a = pf::MakeSockAddr(pf::InetAddr("127.0.0.1"), 0);
        EXPECT_TRUE(pf::Bind(s, &a) && pf::GetSockName(s, lpAddr) && pf::Listen(s, nBacklog));
        return s;
    }
    // A connected pair: a from connect, b from accept (both blocking).
    struct Conn {
        SOCKET a, b;
    };
    Conn Pair() {
        sockaddr_in addr;
        SOCKET l = Listener(&addr);
        SOCKET a = Track(pf::SocketOpen(pf::kSocketTcp));
        EXPECT_TRUE(pf::Connect(a, &addr));
        SOCKET b = Track(pf::Accept(l, nullptr));
        return {a, b};
    }

    // The next message (ticks skipped), or uiMsg 0 by the deadline.
    Note Take(int nTimeoutMs = kWaitMs) {
        if (!m_seen.empty()) {
            Note n = m_seen.front();
            m_seen.pop_front();
            return n;
        }
        return Pump(nTimeoutMs);
    }
    Note Pump(int nTimeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        pf::Message m;
        while (std::chrono::steady_clock::now() < deadline && pf::GetMessage(&m) > 0) {
            if (m.uiMsg == kMsgTick) continue;
            return Note{m.hWnd, m.uiMsg, m.wParam, uint32_t(m.lParam & 0xFFFF), int(uint32_t(m.lParam) >> 16)};
        }
        return Note{};
    }
    // A notification for s: event and error; other messages on the way stay queued for Take.
    ::testing::AssertionResult Expect(SOCKET s, uint32_t uiEvent, int nError = 0) {
        for (size_t i = 0;; ++i) {
            if (i == m_seen.size()) {
                Note n = Pump(kWaitMs);
                if (!n.uiMsg) return ::testing::AssertionFailure() << "no event " << uiEvent << " for " << s;
                m_seen.push_back(n);
            }
            const Note& n = m_seen[i];
            if (n.uiMsg == kMsgSocket && n.wParam == s) {
                if (n.uiEvent != uiEvent || n.nError != nError)
                    return ::testing::AssertionFailure()
                           << "event " << n.uiEvent << " error " << n.nError << " instead of " << uiEvent << "/"
                           << nError;
                m_seen.erase(m_seen.begin() + i);
                return ::testing::AssertionSuccess();
            }
        }
    }
    // Lets what is under way arrive: a byte through the barrier pair and its
    // FD_READ. Whatever came before stays for Take and Count.
    void Barrier() {
        char c = 'b';
        ASSERT_EQ(1, pf::Send(m_barrier.b, &c, 1));
        for (;;) {
            Note n = Pump(kWaitMs);
            ASSERT_NE(0u, n.uiMsg) << "barrier lost";
            if (n.uiMsg == kMsgBarrier) break;
            m_seen.push_back(n);
        }
        ASSERT_EQ(1, pf::Recv(m_barrier.a, &c, 1));
    }
    // Notifications for s received so far (after a Barrier), taken out.
    int Count(SOCKET s, uint32_t uiEvent = 0) {
        int n = 0;
        for (auto it = m_seen.begin(); it != m_seen.end();) {
            if (it->uiMsg == kMsgSocket && it->wParam == s && (!uiEvent || it->uiEvent == uiEvent)) {
                ++n;
                it = m_seen.erase(it);
            } else {
                ++it;
            }
        }
        return n;
    }
    void SendBytes(SOCKET s, int n) {
        std::vector<char> v(size_t(n), 'x');
        ASSERT_EQ(n, pf::Send(s, v.data(), n));
    }

    pf::WindowHandle m_hWnd = nullptr;
    Conn m_barrier{};
    std::deque<Note> m_seen;
    std::vector<SOCKET> m_vecOpen;
    std::thread m_ticker;
    std::atomic<bool> m_bStop{false};
};

TEST_F(PfWindowTest, WindowsSeeCreateFirstAndDestroyLastAndPostsOfOneThreadKeepTheirOrder) {
    EXPECT_EQ(0, pf::RegisterWindowClass(L"VxWindowTest", TestProc));
    EXPECT_EQ(pf::kErrClassExists, pf::GetLastError());

    std::vector<uint32_t> log;
    pf::WindowHandle h = pf::CreateHiddenWindow(L"VxWindowTest", L"t", 0, &log);
    ASSERT_TRUE(h);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(pf::kWmCreate, log[0]);
    EXPECT_EQ(&log, pf::GetWindowUserData(h));

    const uint32_t uiMe = pf::CurrentThreadId();
    for (uint32_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(pf::PostWindowMessage(h, kMsgMark, i, intptr_t(i) * 10));
        ASSERT_TRUE(pf::PostThreadMessage(uiMe, kMsgMark + 1, i, 0));
    }
    for (uint32_t i = 0; i < 5; ++i) {
        Note n = Take(), t = Take();
        EXPECT_TRUE(n.hWnd == h && n.uiMsg == kMsgMark && n.wParam == i) << i;
        EXPECT_TRUE(t.hWnd == nullptr && t.uiMsg == kMsgMark + 1) << i;
    }
    ASSERT_TRUE(pf::PostWindowMessage(h, kMsgMark, 7, 0));
    pf::Message m{};
    do ASSERT_EQ(1, pf::GetMessage(&m));
    while (m.uiMsg != kMsgMark);
    log.clear();
    pf::DispatchMessage(&m);
    EXPECT_EQ(std::vector<uint32_t>{kMsgMark}, log);

    // Destroy: its procedure hears it; messages still queued for it are dropped.
    ASSERT_TRUE(pf::PostWindowMessage(h, kMsgMark, 8, 0));
    log.clear();
    ASSERT_TRUE(pf::DestroyHiddenWindow(h));
    EXPECT_EQ(std::vector<uint32_t>{pf::kWmDestroy}, log);
    EXPECT_FALSE(pf::PostWindowMessage(h, kMsgMark, 9, 0));
    ASSERT_TRUE(pf::PostThreadMessage(uiMe, kMsgMark + 2, 0, 0));
    Note n = Take();
    EXPECT_EQ(kMsgMark + 2, n.uiMsg);

    // WM_QUIT ends the loop.
    ASSERT_TRUE(pf::PostThreadMessage(uiMe, pf::kWmQuit, 0, 0));
    for (int i = 0; i < 100 && pf::GetMessage(&m) == 1;) EXPECT_EQ(kMsgTick, m.uiMsg) << ++i;
    EXPECT_EQ(pf::kWmQuit, m.uiMsg);
}

TEST_F(PfWindowTest, ReadIsReportedOncePerReceiveAndRegistrationReportsWhatHoldsAndSharesTheQueue) {
    Conn c = Pair();
    SendBytes(c.b, 10);
    // Registration: readable now, and the notification queues behind what
    // was posted before it and ahead of what is posted after.
    ASSERT_TRUE(pf::PostWindowMessage(m_hWnd, kMsgMark, 1, 0));
    ASSERT_EQ(0, pf::AsyncSelect(c.a, m_hWnd, kMsgSocket, pf::kFdRead | pf::kFdClose));
    Barrier();
    ASSERT_TRUE(pf::PostWindowMessage(m_hWnd, kMsgMark, 2, 0));
    const Note n1 = Take(), n2 = Take(), n3 = Take();
    EXPECT_TRUE(n1.uiMsg == kMsgMark && n1.wParam == 1u);
    EXPECT_TRUE(n2.uiMsg == kMsgSocket && n2.wParam == c.a && n2.uiEvent == pf::kFdRead);
    EXPECT_TRUE(n3.uiMsg == kMsgMark && n3.wParam == 2u);

    // More bytes without a receive: nothing more.
    SendBytes(c.b, 10);
    Barrier();
    EXPECT_EQ(0, Count(c.a));
    // A receive that leaves bytes re-enables it at once.
    char buf[64];
    ASSERT_EQ(5, pf::Recv(c.a, buf, 5));
    EXPECT_TRUE(Expect(c.a, pf::kFdRead));
    // A registration again reports the unread bytes, without a receive.
    ASSERT_EQ(0, pf::AsyncSelect(c.a, m_hWnd, kMsgSocket, pf::kFdRead | pf::kFdClose));
    EXPECT_TRUE(Expect(c.a, pf::kFdRead));
    // Reading everything: no notification until new bytes come.
    ASSERT_EQ(15, pf::Recv(c.a, buf, sizeof buf));
    Barrier();
    EXPECT_EQ(0, Count(c.a, pf::kFdRead));
    SendBytes(c.b, 3);
    EXPECT_TRUE(Expect(c.a, pf::kFdRead));
}

TEST_F(PfWindowTest, AcceptIsReportedOncePerAcceptAndTheAcceptedSocketInheritsTheRegistration) {
    sockaddr_in addr;
    SOCKET l = Listener(&addr);
    ASSERT_EQ(0, pf::AsyncSelect(l, m_hWnd, kMsgSocket, pf::kFdAccept | pf::kFdRead | pf::kFdClose));
    SOCKET c1 = Track(pf::SocketOpen(pf::kSocketTcp)), c2 = Track(pf::SocketOpen(pf::kSocketTcp));
    ASSERT_TRUE(pf::Connect(c1, &addr));
    EXPECT_TRUE(Expect(l, pf::kFdAccept));
    ASSERT_TRUE(pf::Connect(c2, &addr));
    Barrier();
    EXPECT_EQ(0, Count(l));  // not before an accept

    SOCKET a1 = Track(pf::Accept(l, nullptr));
    ASSERT_NE(INVALID_SOCKET, a1);
    EXPECT_TRUE(Expect(l, pf::kFdAccept));  // the second connection waits
    SOCKET a2 = Track(pf::Accept(l, nullptr));
    ASSERT_NE(INVALID_SOCKET, a2);
    // The accepted sockets report reads and closes to the same window.
    SendBytes(c1, 4);
    EXPECT_TRUE(Expect(a1, pf::kFdRead));
    char buf[8];
    ASSERT_EQ(4, pf::Recv(a1, buf, sizeof buf));
    ASSERT_TRUE(pf::Shutdown(c2, pf::kShutSend));
    EXPECT_TRUE(Expect(a2, pf::kFdClose, 0));
    Barrier();
    EXPECT_EQ(0, Count(l));
}

TEST_F(PfWindowTest, WriteIsReportedAtRegistrationAndAgainOnlyAfterASendWouldHaveBlocked) {
    Conn c = Pair();
    ASSERT_TRUE(pf::SetSendBufSize(c.a, 8192) && pf::SetRecvBufSize(c.b, 8192));
    ASSERT_EQ(0, pf::AsyncSelect(c.a, m_hWnd, kMsgSocket, pf::kFdWrite | pf::kFdClose));
    EXPECT_TRUE(Expect(c.a, pf::kFdWrite));
    SendBytes(c.a, 100);  // a send that succeeds re-enables nothing
    Barrier();
    EXPECT_EQ(0, Count(c.a));

    std::vector<char> chunk(16384, 'w');
    int nTotal = 100, nSent = 0, i = 0;
    for (; i < 10000 && (nSent = pf::Send(c.a, chunk.data(), int(chunk.size()))) > 0; ++i) nTotal += nSent;
    ASSERT_EQ(pf::kSocketError, nSent);
    ASSERT_EQ(pf::kErrWouldBlock, pf::GetLastError());
    // The peer drains it all; the room that comes back is reported once.
    ASSERT_TRUE(pf::SetNonBlocking(c.b, false));
    for (int nRead = 0; nRead < nTotal;) {
        int n = pf::Recv(c.b, chunk.data(), int(chunk.size()));
        ASSERT_GT(n, 0);
        nRead += n;
    }
    EXPECT_TRUE(Expect(c.a, pf::kFdWrite));
    Barrier();
    EXPECT_EQ(0, Count(c.a, pf::kFdWrite));
}

TEST_F(PfWindowTest, ConnectIsReportedOnceWithItsOutcomeAndARefusalIsNoClose) {
    sockaddr_in addr;
    Listener(&addr);
    SOCKET c = Track(pf::SocketOpen(pf::kSocketTcp));
    ASSERT_EQ(0, pf::AsyncSelect(c, m_hWnd, kMsgSocket, pf::kFdConnect | pf::kFdWrite | pf::kFdClose));
    EXPECT_FALSE(pf::Connect(c, &addr));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());
    EXPECT_TRUE(Expect(c, pf::kFdConnect, 0));
    EXPECT_TRUE(Expect(c, pf::kFdWrite));  // a connected socket can send
    Barrier();
    EXPECT_EQ(0, Count(c));

    // A port nobody listens on: the closed listener's.
    SOCKET r = Track(pf::SocketOpen(pf::kSocketTcp));
    sockaddr_in gone;
    SOCKET l2 = Listener(&gone);
    CloseNow(l2);
    ASSERT_EQ(0, pf::AsyncSelect(r, m_hWnd, kMsgSocket, pf::kFdConnect | pf::kFdRead | pf::kFdWrite | pf::kFdClose));
    EXPECT_FALSE(pf::Connect(r, &gone));
    EXPECT_EQ(pf::kErrWouldBlock, pf::GetLastError());
    EXPECT_TRUE(Expect(r, pf::kFdConnect, pf::kErrConnRefused));
    Barrier();
    EXPECT_EQ(0, Count(r));
}

TEST_F(PfWindowTest, AnOrderlyCloseWaitsForTheBytesBeforeItAndAResetComesAtOnce) {
    Conn c = Pair();
    ASSERT_EQ(0, pf::AsyncSelect(c.a, m_hWnd, kMsgSocket, pf::kFdRead | pf::kFdClose));
    SendBytes(c.b, 6);
    ASSERT_TRUE(pf::Shutdown(c.b, pf::kShutSend));
    EXPECT_TRUE(Expect(c.a, pf::kFdRead));
    Barrier();
    EXPECT_EQ(0, Count(c.a, pf::kFdClose));  // bytes are still unread
    char buf[16];
    ASSERT_EQ(6, pf::Recv(c.a, buf, sizeof buf));
    EXPECT_TRUE(Expect(c.a, pf::kFdClose, 0));
    EXPECT_EQ(0, pf::Recv(c.a, buf, sizeof buf));

    // Closing with unread bytes resets the connection.
    Conn d = Pair();
    ASSERT_EQ(0, pf::AsyncSelect(d.a, m_hWnd, kMsgSocket, pf::kFdRead | pf::kFdClose));
    SendBytes(d.a, 4);
    ASSERT_TRUE(pf::SetNonBlocking(d.b, false));
    ASSERT_EQ(1, pf::Recv(d.b, buf, 1));  // the bytes have arrived; three stay unread
    CloseNow(d.b);
    if (UnderWine()) {
        EXPECT_TRUE(Expect(d.a, pf::kFdClose, 0));
        return;
    }
    EXPECT_TRUE(Expect(d.a, pf::kFdClose, pf::kErrConnReset));
    EXPECT_EQ(pf::kSocketError, pf::Recv(d.a, buf, sizeof buf));
    EXPECT_EQ(pf::kErrConnReset, pf::GetLastError());
}

TEST_F(PfWindowTest, ANotificationQueuedBeforeAReRegistrationIsStillDeliveredButNothingAfterACancel) {
    Conn c = Pair();
    SendBytes(c.b, 5);
    // The registration queues FD_READ; the one that replaces it at once
    // does not take it back.
    ASSERT_EQ(0, pf::AsyncSelect(c.a, m_hWnd, kMsgSocket, pf::kFdRead | pf::kFdClose));
    ASSERT_EQ(0, pf::AsyncSelect(c.a, m_hWnd, kMsgSocket, pf::kFdClose));
    Barrier();
    EXPECT_EQ(1, Count(c.a, pf::kFdRead));
    // Cancelled: neither bytes nor the close are reported.
    ASSERT_EQ(0, pf::AsyncSelect(c.a, m_hWnd, 0, 0));
    SendBytes(c.b, 5);
    ASSERT_TRUE(pf::Shutdown(c.b, pf::kShutSend));
    Barrier();
    EXPECT_EQ(0, Count(c.a));

    // Closed: nothing more for that socket.
    Conn d = Pair();
    ASSERT_EQ(0, pf::AsyncSelect(d.a, m_hWnd, kMsgSocket, pf::kFdRead | pf::kFdClose));
    CloseNow(d.a);
    SendBytes(d.b, 5);
    Barrier();
    EXPECT_EQ(0, Count(d.a));
}

}  // namespace
