// The pool operations the managers rely on where their own tests cannot
// reach: MemPoolAppend with its data inside the block, and many threads.
// (Appending from no block and growing: the notice framing tests.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "vxnet/vxmempool.h"

TEST(MemPool, AppendWithDataInsideTheBuffer) {
    // The framing code moves a kept rest to the start of its own block.
    char* p = static_cast<char*>(MemPoolAlloc(10));
    std::memcpy(p, "0123456789", 10);
    char* q = static_cast<char*>(MemPoolAppend(10, p, 0, p + 3, 7));  // fits: moved in place
    EXPECT_EQ(std::string("3456789"), std::string(q, 7));
    // Overlapping forward move inside the block.
    std::memcpy(q, "0123456789", 10);
    q = static_cast<char*>(MemPoolAppend(10, q, 2, q, 8));
    EXPECT_EQ(std::string("0101234567"), std::string(q, 10));
    // Data inside a block that has to grow: copied before the old block goes.
    std::memcpy(q, "0123456789", 10);
    char* r = static_cast<char*>(MemPoolAppend(1000, q, 10, q + 5, 5));
    EXPECT_EQ(std::string("012345678956789"), std::string(r, 15));
    MemPoolFree(r);
    MemPoolFree(nullptr);
    MemPoolCleanup();
}

TEST(MemPool, ConcurrentUse) {
    std::thread t[4];
    for (auto& th : t)
        th = std::thread([] {
            for (int i = 0; i < 20000; ++i) {
                void* p = MemPoolAlloc(uint32_t(i % 700 + 1));
                p = MemPoolAppend(uint32_t(i % 700 + 9), p, 1, "12345678", 8);
                MemPoolFree(p);
            }
        });
    for (auto& th : t) th.join();
}
