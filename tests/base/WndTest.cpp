// The window class: routing to the object from the first message on, from
// windows created on several threads at once.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "PfThread.h"
#include "TW_Wnd.h"

namespace {

constexpr uint32_t kMsgHello = pf::kWmUser + 10;

class LoggingWnd : public TW_Wnd {
public:
    struct Entry {
        uint32_t uiMsg;
        bool bHandleSet;
        intptr_t lParam;
    };
    std::vector<Entry> log;

protected:
    intptr_t WindowProc(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) override {
        log.push_back({uiMsg, m_hWnd != nullptr, lParam});
        if (uiMsg == kMsgHello && wParam == 1) pf::PostThreadMessage(pf::CurrentThreadId(), pf::kWmQuit, 0, 0);
        return TW_Wnd::WindowProc(uiMsg, wParam, lParam);
    }
};

TEST(TW_Wnd, EachWindowOfManyThreadsReachesItsOwnObjectFromTheFirstMessage) {
    TW_Wnd::RegisterWndClass(L"VxWndTest");

    constexpr int kThreads = 4;
    LoggingWnd arrWnd[kThreads];
    bool arrLoopEnded[kThreads] = {};
    int arrDestroy[kThreads][2] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            LoggingWnd& w = arrWnd[i];
            if (!w.Create(L"VxWndTest", L"VxWndTest", 0, &arrWnd[i]) || !w.Create(L"VxWndTest", L"x", 0)) return;
            w.PostMessage(kMsgHello, 0, i);
            w.PostMessage(kMsgHello, 1, i);  // its handler posts the quit
            arrLoopEnded[i] = TW_Wnd::RunMessageLoop();
            arrDestroy[i][0] = w.Destroy();
            arrDestroy[i][1] = w.Destroy();
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        const auto& log = arrWnd[i].log;
        ASSERT_EQ(4u, log.size()) << i;
        // The creation parameter comes with the first message.
        EXPECT_TRUE(log[0].uiMsg == pf::kWmCreate && log[0].lParam == intptr_t(&arrWnd[i])) << i;
        EXPECT_TRUE(log[1].uiMsg == kMsgHello && log[1].lParam == i && log[2].lParam == i) << i;
        EXPECT_EQ(pf::kWmDestroy, log[3].uiMsg);
        for (const auto& e : log) EXPECT_TRUE(e.bHandleSet);
        EXPECT_TRUE(arrLoopEnded[i] && arrDestroy[i][0] == 1 && arrDestroy[i][1] == 0) << i;
        EXPECT_EQ(nullptr, arrWnd[i].GetHandle());
    }
    EXPECT_TRUE(TW_Wnd::UnregisterWndClass(L"VxWndTest"));
}

}  // namespace
