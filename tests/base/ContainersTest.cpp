// Block allocation, hashing and growth of the containers the engines rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <thread>

#include "TW_Array.h"
#include "TW_List.h"
#include "TW_Locker.h"
#include "TW_Map.h"

TEST(List, NodesComeFromBlocksInAscendingOrderAndAreReleasedWhenEmpty) {
    TW_List<int> list;
    for (int i = 0; i < 10; ++i) list.AddTail(i);
    // All ten nodes of the first block, handed out lowest address first.
    uintptr_t prev = 0;
    for (POSITION pos = list.GetHeadPosition(); pos;) {
        uintptr_t addr = reinterpret_cast<uintptr_t>(pos);
        EXPECT_GT(addr, prev);
        prev = addr;
        list.GetNext(pos);
    }
    list.AddTail(10);  // the eleventh needs a second block
    EXPECT_EQ(11, list.GetCount());
    EXPECT_EQ(0, list.RemoveHead());
    EXPECT_EQ(10, list.RemoveTail());
    while (!list.IsEmpty()) list.RemoveHead();
    EXPECT_EQ(nullptr, list.GetHeadPosition());
    // Reusable after the blocks were released.
    list.AddTail(7);
    EXPECT_EQ(7, list.GetHead());
}

TEST(List, RemoveAtKeepsLinksConsistent) {
    TW_List<int> list;
    POSITION p[5];
    for (int i = 0; i < 5; ++i) p[i] = list.AddTail(i);
    list.RemoveAt(p[0]);  // head
    list.RemoveAt(p[4]);  // tail
    list.RemoveAt(p[2]);  // middle
    std::string order;
    for (POSITION pos = list.GetHeadPosition(); pos;) order += char('0' + list.GetNext(pos));
    EXPECT_EQ("13", order);
    std::string back;
    for (POSITION pos = list.GetTailPosition(); pos;) back += char('0' + list.GetPrev(pos));
    EXPECT_EQ("31", back);
    EXPECT_EQ(p[3], list.Find(3));
    EXPECT_EQ(nullptr, list.Find(2));
}

TEST(List, ElementsWithOwnersAreConstructedAndDestroyed) {
    TW_List<std::string> list;
    list.AddTail(std::string(100, 'a'));
    list.AddTail("b");
    EXPECT_EQ(std::string(100, 'a'), list.RemoveHead());
    list.RemoveAll();  // leak-checked under ASan
    list.AddTail("c");
}

TEST(Map, SharedBucketIsNewestFirst) {
    TW_Map<uint32_t, int> map;  // 17 buckets: 5 and 22 collide
    int v = -1;
    EXPECT_FALSE(map.Lookup(5, v));  // an unused map answers without a table
    EXPECT_FALSE(map.RemoveKey(5));
    EXPECT_EQ(nullptr, map.GetStartPosition());
    EXPECT_EQ(17u, map.GetHashTableSize());
    map.SetAt(5, 1);
    map.SetAt(22, 2);
    map.SetAt(3, 3);
    POSITION pos = map.GetStartPosition();
    uint32_t k;
    std::string order;
    while (pos) {
        map.GetNextAssoc(pos, k, v);
        order += std::to_string(k) + ",";
    }
    EXPECT_EQ("3,22,5,", order);  // bucket 3, then bucket 5 newest first
    EXPECT_TRUE(map.RemoveKey(22));
    EXPECT_TRUE(map.Lookup(5, v));
    EXPECT_EQ(1, v);
    EXPECT_FALSE(map.RemoveKey(22));
}

TEST(Map, LongChainsWarnOncePerExtraAssociation) {
    TW_Map<uint32_t, int> map;
    // 35 keys in bucket 0; the oldest one sits at the end of the chain.
    for (uint32_t i = 0; i < 35; ++i) map[i * 17] = int(i);
    int v;
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(map.Lookup(4 * 17, v));  // 31 associations inspected
    std::string one = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ("warning: unreasonable hash key!\r\n", one);
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(map.Lookup(0, v));  // 35 inspected
    std::string five = ::testing::internal::GetCapturedStdout();
    std::string expected;
    for (int i = 0; i < 5; ++i) expected += "warning: unreasonable hash key!\r\n";
    EXPECT_EQ(expected, five);
    EXPECT_EQ(0, v);
}

TEST(Map, PointerKeysDropTheirLowBits) {
    alignas(16) char block[32];
    EXPECT_EQ(HashKey(&block[0]), HashKey(&block[15]));
    EXPECT_NE(HashKey(&block[0]), HashKey(&block[16]));
}

TEST(Map, SocketTableSizedTableIteratesEveryElementOnce) {
    TW_Map<uint32_t, uint32_t> map;
    map.InitHashTable(4099);
    std::set<uint32_t> keys;
    for (uint32_t i = 0; i < 10000; i += 3) {
        map[i] = i * 2;
        keys.insert(i);
    }
    std::set<uint32_t> seen;
    uint32_t k, v;
    for (POSITION pos = map.GetStartPosition(); pos;) {
        map.GetNextAssoc(pos, k, v);
        EXPECT_EQ(k * 2, v);
        EXPECT_TRUE(seen.insert(k).second);
    }
    EXPECT_EQ(keys, seen);
    for (uint32_t i : keys) ASSERT_TRUE(map.RemoveKey(i));
    EXPECT_EQ(0, map.GetCount());
    EXPECT_EQ(4099u, map.GetHashTableSize());  // the size survives emptying
    map[1] = 1;
    EXPECT_EQ(1, map.GetCount());
}

TEST(Array, AutomaticGrowth) {
    struct Case { int nFull; int nExpected; };
    for (Case c : {Case{100, 112}, Case{10, 14}, Case{10000, 11024}}) {
        TW_Array<int> a;
        a.SetSize(c.nFull);
        EXPECT_EQ(c.nFull, a.GetCapacity());
        a.SetAtGrow(c.nFull, 7);
        EXPECT_EQ(c.nFull + 1, a.GetSize());
        EXPECT_EQ(c.nExpected, a.GetCapacity()) << "growing a full array of " << c.nFull;
        EXPECT_EQ(0, a[c.nFull - 1]);
        EXPECT_EQ(7, a[c.nFull]);
    }
    TW_Array<int> a;
    a.SetSize(4);
    a[3] = 9;
    a.SetSize(2);
    a.SetSize(4);  // regrown within capacity: zeroed again
    EXPECT_EQ(0, a[3]);
    a.SetSize(0);
    EXPECT_EQ(0, a.GetCapacity());
}

TEST(Locks, ReentrantAndEarlyRelease) {
    TW_Locker lck;
    {
        TW_LockGuard outer(&lck);
        TW_LockGuard inner(&lck);  // same thread: does not deadlock
        inner.Unlock();
        inner.Unlock();  // a second early release is a no-op
    }
    // Fully released: another thread can take it.
    std::atomic<bool> taken{false};
    std::thread t([&] {
        TW_LockGuard g(&lck);
        taken = true;
    });
    t.join();
    EXPECT_TRUE(taken);
}

TEST(Locks, LockedMapSerialisesWriters) {
    TW_LockedMap<uint32_t, int> map;
    std::thread threads[4];
    for (int t = 0; t < 4; ++t)
        threads[t] = std::thread([&map, t] {
            for (uint32_t i = 0; i < 2000; ++i) {
                TW_LockGuard g(&map);
                map[i * 4 + t] = t;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(8000, map.GetCount());
}

TEST(Event, WaitSetAndFailedCreation) {
    TW_Event manual(false, true);
    EXPECT_FALSE(manual.Wait(0));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));  // manual reset: stays signalled
    manual.Close();
    EXPECT_FALSE(manual.Wait(0));  // no handle any more

    TW_Event autoReset(true, false);
    EXPECT_TRUE(autoReset.Wait(0));
    EXPECT_FALSE(autoReset.Wait(10));  // consumed by the first wait
    std::thread t([&] { autoReset.Set(); });
    EXPECT_TRUE(autoReset.Wait(5000));
    t.join();
    autoReset.Close();
}
