// Block allocation, hashing and growth of the containers the engines rely on.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

#include "TW_Array.h"
#include "TW_List.h"
#include "TW_Locker.h"
#include "TW_Map.h"

// Owning elements (leak-checked under ASan) in blocks of ten nodes.
TEST(List, BlocksRemovalAndReuse) {
    TW_List<std::string> list;
    POSITION p[11];
    for (int i = 0; i < 11; ++i) p[i] = list.AddTail(std::string(40, char('0' + i)));
    // The first block hands out its nodes lowest address first.
    for (int i = 1; i < 10; ++i) EXPECT_GT(reinterpret_cast<uintptr_t>(p[i]), reinterpret_cast<uintptr_t>(p[i - 1]));
    for (int i : {0, 10, 9, 2, 5, 6, 7, 8}) list.RemoveAt(p[i]);  // head, tail, middle
    std::string order, back;
    for (POSITION pos = list.GetHeadPosition(); pos;) order += list.GetNext(pos)[0];
    for (POSITION pos = list.GetTailPosition(); pos;) back += list.GetPrev(pos)[0];
    EXPECT_EQ("134,431", order + "," + back);
    EXPECT_EQ(p[3], list.Find(std::string(40, '3')));
    EXPECT_EQ(nullptr, list.Find(std::string(40, '2')));
    while (!list.IsEmpty()) list.RemoveHead();  // releases the blocks
    EXPECT_EQ(nullptr, list.GetHeadPosition());
    list.AddTail("c");
    EXPECT_EQ("c", list.RemoveTail());
}

TEST(Map, SharedBucketIsNewestFirstAndLongChainsWarn) {
    TW_Map<uint32_t, int> map;  // 17 buckets: 5 and 22 collide
    int v = -1;
    // An unused map answers without a table.
    EXPECT_FALSE(map.Lookup(5, v) || map.RemoveKey(5) || map.GetStartPosition());
    map.SetAt(5, 1);
    map.SetAt(22, 2);
    map.SetAt(3, 3);
    uint32_t k;
    std::string order;
    for (POSITION pos = map.GetStartPosition(); pos; order += std::to_string(k) + ",") map.GetNextAssoc(pos, k, v);
    EXPECT_EQ("3,22,5,", order);  // bucket 3, then bucket 5 newest first
    EXPECT_TRUE(map.RemoveKey(22) && !map.RemoveKey(22));
    EXPECT_TRUE(map.Lookup(5, v) && v == 1);
    alignas(16) char block[32];  // pointer keys drop their low bits
    EXPECT_EQ(HashKey(&block[0]), HashKey(&block[15]));
    EXPECT_NE(HashKey(&block[0]), HashKey(&block[16]));

    // Long chains warn once per extra association: 35 keys in bucket 0, the
    // oldest one at the end of the chain.
    for (uint32_t i = 0; i < 35; ++i) map[i * 17] = int(i);
    for (auto [uiKey, nWarnings] : {std::pair{4u * 17, 1}, std::pair{0u, 5}}) {  // 31 and 35 inspected
        ::testing::internal::CaptureStdout();
        EXPECT_TRUE(map.Lookup(uiKey, v));
        std::string expected;
        for (int i = 0; i < nWarnings; ++i) expected += "warning: unreasonable hash key!\r\n";
        EXPECT_EQ(expected, ::testing::internal::GetCapturedStdout());
        EXPECT_EQ(int(uiKey / 17), v);
    }
}

TEST(Map, SocketTableSizedTableIteratesEveryElementOnce) {
    TW_Map<uint32_t, uint32_t> map;
    map.InitHashTable(4099);
    for (uint32_t i = 0; i < 10000; i += 3) map[i] = i * 2;
    uint32_t k, v, uiSum = 0, uiCount = 0;
    for (POSITION pos = map.GetStartPosition(); pos; uiSum += k + v, ++uiCount) map.GetNextAssoc(pos, k, v);
    EXPECT_EQ(3334u, uiCount);
    EXPECT_EQ(3u * 3 * 3333 * 3334 / 2, uiSum);  // every key and value once
    for (uint32_t i = 0; i < 10000; i += 3) ASSERT_TRUE(map.RemoveKey(i));
    EXPECT_TRUE(map.GetCount() == 0 && map.GetHashTableSize() == 4099u);  // the size survives emptying
}

TEST(Array, GrowthOfAFullArrayAndZeroingWithinCapacity) {
    for (auto [nFull, nExpected] : {std::pair{100, 112}, std::pair{10, 14}, std::pair{10000, 11024}}) {
        TW_Array<int> a;
        a.SetSize(nFull);
        a.SetAtGrow(nFull, 7);
        EXPECT_TRUE(a.GetSize() == nFull + 1 && a[nFull] == 7);
        EXPECT_EQ(nExpected, a.GetCapacity()) << nFull;
        // Shrunk, then grown again within the capacity: the element is zeroed.
        a.SetSize(nFull);
        a.SetSize(nFull + 1);
        EXPECT_EQ(0, a[nFull]);
        a.SetSize(0);
        EXPECT_EQ(0, a.GetCapacity());
    }
}

// A lock that were not re-entrant, or a second early release that were not a
// no-op, would deadlock or leave the write unguarded.
TEST(Locks, ReentrantLockSerialisesWritersKnowsItsOwnerAndAClosedEventFails) {
    TW_LockedMap<uint32_t, int> map;
    std::thread threads[4];
    for (int t = 0; t < 4; ++t)
        threads[t] = std::thread([&map, t] {
            for (uint32_t i = 0; i < 2000; ++i) {
                TW_LockGuard outer(&map), inner(&map);
                inner.Unlock();
                inner.Unlock();
                map[i * 4 + t] = t;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(8000, map.GetCount());
    // The engines' lock assertions ask for the owner, through nested guards.
    TW_Locker lck;
    {
        TW_LockGuard outer(&lck), inner(&lck);
        EXPECT_TRUE(lck.IsHeldByCurrentThread());
    }
    EXPECT_FALSE(lck.IsHeldByCurrentThread());
    // An event without a handle (its creation failed, or closed) fails at once.
    TW_Event e(true, true);
    e.Close();
    EXPECT_FALSE(e.Wait(pf::kInfinite));
}
