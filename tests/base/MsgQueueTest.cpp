// The semaphore-counted message queue.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "TW_MsgQueue.h"

TEST(MsgQueue, OrderQuitClearAndDisable) {
    TW_MsgQueue q;
    TW_Message batch[2] = {{11, 2, 200}, {12, 3, 300}}, m{};
    EXPECT_TRUE(q.PostMsg(10, 1, 100) && q.PostMsgs(batch, 2) && q.PostMsgs(nullptr, 0));
    EXPECT_TRUE(q.PostMsg(TW_MsgQueue::kMsgQuit, 9, 900));
    EXPECT_EQ(4, q.GetCount());
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(q.GetMsg(&m) && m.message == 10 + i && m.lParam == 100 * (i + 1));
    // The quit message stops the reader but is handed out all the same.
    EXPECT_FALSE(q.GetMsg(&m));
    EXPECT_TRUE(m.message == TW_MsgQueue::kMsgQuit && m.wParam == 9 && !q.GetMsg(nullptr));

    for (uint32_t i = 0; i < 25; ++i) ASSERT_TRUE(q.PostMsg(100 + i, i, 0));
    q.Clear();
    EXPECT_EQ(0, q.GetCount());
    EXPECT_TRUE(q.PostMsg(20, 0, 0));
    q.Disable();
    EXPECT_FALSE(q.PostMsg(21, 0, 0) || q.PostMsgs(batch, 0));
    // What was queued before still comes out.
    EXPECT_TRUE(q.GetMsg(&m) && m.message == 20 && q.GetCount() == 0);
}

// Every message arrives once, each producer's in order; with a single
// consumer each batch arrives as one contiguous run.
TEST(MsgQueue, ProducersAndConsumers) {
    const uint32_t kProducers = 4, kBatches = 500, kBatchSize = 7;
    for (size_t nConsumers : {1, 3}) {
        TW_MsgQueue q;
        std::vector<std::vector<TW_Message>> got(nConsumers);
        std::vector<std::thread> threads;
        for (auto& list : got)
            threads.emplace_back([&q, &list] { for (TW_Message m; q.GetMsg(&m);) list.push_back(m); });
        for (uint32_t p = 0; p < kProducers; ++p)
            threads.emplace_back([&q, p] {
                TW_Message b[kBatchSize];
                for (uint32_t n = 0; n < kBatches * kBatchSize; n += kBatchSize) {
                    for (uint32_t k = 0; k < kBatchSize; ++k) b[k] = TW_Message{100 + p, n + k, 0};  // clear of quit
                    ASSERT_TRUE(q.PostMsgs(b, kBatchSize));
                }
            });
        for (size_t t = nConsumers; t < threads.size(); ++t) threads[t].join();
        for (size_t c = 0; c < nConsumers; ++c) q.PostMsg(TW_MsgQueue::kMsgQuit, 0, 0);
        for (size_t c = 0; c < nConsumers; ++c) threads[c].join();

        std::vector<uint32_t> seen(kProducers, 0);
        for (auto& list : got) {
            std::vector<int64_t> last(kProducers, -1);
            for (size_t i = 0; i < list.size(); ++i) {
                const uint32_t p = list[i].message - 100, n = list[i].wParam;
                ASSERT_TRUE(p < kProducers && last[p] < n) << p;  // per-consumer order
                EXPECT_TRUE(nConsumers > 1 || n % kBatchSize == 0 ||
                            (last[p] + 1 == n && list[i - 1].message == list[i].message)) << p << " " << n;
                last[p] = n;
                ++seen[p];
            }
        }
        EXPECT_EQ(std::vector<uint32_t>(kProducers, kBatches * kBatchSize), seen);
    }
}
