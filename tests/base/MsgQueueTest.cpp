// The semaphore-counted message queue.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "TW_MsgQueue.h"

TEST(MsgQueue, OrderQuitAndDisable) {
    TW_MsgQueue q;
    EXPECT_TRUE(q.PostMsg(10, 1, 100));
    TW_Message batch[2] = {{11, 2, 200}, {12, 3, 300}};
    EXPECT_TRUE(q.PostMsgs(batch, 2));
    EXPECT_TRUE(q.PostMsgs(nullptr, 0));  // nothing to post
    EXPECT_TRUE(q.PostMsg(TW_MsgQueue::kMsgQuit, 9, 900));
    EXPECT_EQ(4, q.GetCount());

    TW_Message m{};
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(q.GetMsg(&m));
        EXPECT_EQ(10 + i, m.message);
        EXPECT_EQ(1 + i, m.wParam);
        EXPECT_EQ(uintptr_t(100 * (i + 1)), m.lParam);
    }
    // The quit message stops the reader but is handed out all the same.
    EXPECT_FALSE(q.GetMsg(&m));
    EXPECT_EQ(TW_MsgQueue::kMsgQuit, m.message);
    EXPECT_EQ(9u, m.wParam);
    EXPECT_FALSE(q.GetMsg(nullptr));

    EXPECT_TRUE(q.PostMsg(20, 0, 0));
    q.Disable();
    EXPECT_FALSE(q.PostMsg(21, 0, 0));
    EXPECT_FALSE(q.PostMsgs(batch, 0));
    // What was queued before still comes out.
    ASSERT_TRUE(q.GetMsg(&m));
    EXPECT_EQ(20u, m.message);
    EXPECT_EQ(0, q.GetCount());
}

TEST(MsgQueue, ClearDrainsListAndCount) {
    TW_MsgQueue q;
    for (uint32_t i = 0; i < 25; ++i) ASSERT_TRUE(q.PostMsg(100 + i, i, 0));
    q.Clear();
    EXPECT_EQ(0, q.GetCount());
    // Had the semaphore kept a unit, the get would find an empty list.
    ASSERT_TRUE(q.PostMsg(7, 0, 0));
    TW_Message m{};
    ASSERT_TRUE(q.GetMsg(&m));
    EXPECT_EQ(7u, m.message);
}

// Several producers post batches while several consumers take messages:
// every message arrives once, each producer's messages in order, and with a
// single consumer each batch arrives as one contiguous run.
TEST(MsgQueue, ProducersAndConsumers) {
    const int kProducers = 4, kBatches = 500, kBatchSize = 7;
    for (int nConsumers : {1, 3}) {
        TW_MsgQueue q;
        std::vector<std::vector<TW_Message>> got(static_cast<size_t>(nConsumers));
        std::vector<std::thread> consumers;
        for (int c = 0; c < nConsumers; ++c)
            consumers.emplace_back([&q, &got, c] {
                TW_Message m;
                while (q.GetMsg(&m)) got[size_t(c)].push_back(m);
            });
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p)
            producers.emplace_back([&q, p] {
                TW_Message b[kBatchSize];
                for (int n = 0; n < kBatches; ++n) {
                    for (int k = 0; k < kBatchSize; ++k)
                        b[k] = TW_Message{100 + uint32_t(p), uint32_t(n * kBatchSize + k), 0};
                    ASSERT_TRUE(q.PostMsgs(b, kBatchSize));
                }
            });
        for (auto& t : producers) t.join();
        for (int c = 0; c < nConsumers; ++c) q.PostMsg(TW_MsgQueue::kMsgQuit, 0, 0);
        for (auto& t : consumers) t.join();

        std::vector<int> seen(kProducers, 0);
        for (auto& list : got) {
            std::vector<int> last(kProducers, -1);
            for (size_t i = 0; i < list.size(); ++i) {
                int p = int(list[i].message) - 100;
                ASSERT_TRUE(p >= 0 && p < kProducers);
                EXPECT_LT(last[size_t(p)], int(list[i].wParam));  // per-consumer order
                last[size_t(p)] = int(list[i].wParam);
                ++seen[size_t(p)];
                if (nConsumers == 1 && list[i].wParam % kBatchSize != 0) {
                    ASSERT_GT(i, 0u);
                    EXPECT_EQ(list[i - 1].message, list[i].message);
                    EXPECT_EQ(list[i - 1].wParam + 1, list[i].wParam);
                }
            }
        }
        for (int p = 0; p < kProducers; ++p) EXPECT_EQ(kBatches * kBatchSize, seen[size_t(p)]);
        EXPECT_EQ(0, q.GetCount());
    }
}
