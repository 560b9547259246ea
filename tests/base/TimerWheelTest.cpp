// The timing wheel, driven tick by tick with explicit times.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "TW_TimerWheel.h"

namespace {

struct Expiry {
    uint32_t uiId;
    uint32_t uiValue;
    bool operator==(const Expiry& o) const { return uiId == o.uiId && uiValue == o.uiValue; }
    bool operator<(const Expiry& o) const { return uiId < o.uiId; }
};

class Collector : public TW_ExpiryBatch {
public:
    std::vector<Expiry> expiries;
    std::vector<int> batches;

    // Advances and returns what expired in that walk, sorted by id.
    std::vector<Expiry> Walk(TW_TimerWheel& w, uint32_t uiNow) {
        expiries.clear();
        w.Advance(uiNow, *this);
        Flush();
        std::sort(expiries.begin(), expiries.end());
        return expiries;
    }

protected:
    void Deliver(const TW_Message* m, int n) override {
        batches.push_back(n);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(uint32_t(WM_TIMER), m[i].message);
            expiries.push_back(Expiry{m[i].wParam, uint32_t(m[i].lParam)});
        }
    }
};

using E = std::vector<Expiry>;

}  // namespace

TEST(TimerWheel, ExpiresOnItsTickAndOneShotIsGone) {
    TW_TimerWheel w;
    Collector c;
    w.Reset(1000, 17);
    ASSERT_TRUE(w.Add(1, 10, 77, true));
    ASSERT_TRUE(w.Add(2, 10, 88, false));
    EXPECT_EQ(E{}, c.Walk(w, 1009));
    EXPECT_EQ((E{{1, 77}, {2, 88}}), c.Walk(w, 1010));
    EXPECT_FALSE(w.Contains(1));
    EXPECT_TRUE(w.Contains(2));
    // Walking the same tick again fires nothing.
    EXPECT_EQ(E{}, c.Walk(w, 1010));
    EXPECT_EQ((E{{2, 88}}), c.Walk(w, 1020));
    EXPECT_EQ(1, w.GetCount());
}

// A late walk fires a periodic timer once and re-arms it from the late time.
TEST(TimerWheel, LatePeriodicTimerFiresOnceWithoutCatchUp) {
    TW_TimerWheel w;
    Collector c;
    w.Reset(0, 17);
    ASSERT_TRUE(w.Add(5, 10, 0, false));
    EXPECT_EQ((E{{5, 0}}), c.Walk(w, 40));  // due at 10, 30 ms late
    EXPECT_EQ(E{}, c.Walk(w, 49));
    EXPECT_EQ((E{{5, 0}}), c.Walk(w, 50));
    EXPECT_EQ(E{}, c.Walk(w, 59));
    EXPECT_EQ((E{{5, 0}}), c.Walk(w, 60));
}

// Timers in the outer levels are cascaded down as the wheel turns and still
// fire on their exact tick, including a period of 300 crossing 256 and
// ticks crossing the clock's wrap at 2^32.
TEST(TimerWheel, CascadesFireOnTheExactTick) {
    const uint32_t kPeriods[] = {300, 256, 511, 20000, 16384, 1u << 20, (1u << 21) + 7, (1u << 26) + 3};
    for (uint32_t uiStart : {0u, 200u, 0xFFFFFF00u, 0xFFFFFFFFu - 300u}) {
        for (uint32_t uiPeriod : kPeriods) {
            // The outermost level takes 2^26 ticks to reach: walk it once.
            if (uiPeriod > (1u << 26) && uiStart != 0xFFFFFFFFu - 300u) continue;
            TW_TimerWheel w;
            Collector c;
            w.Reset(uiStart, 17);
            ASSERT_TRUE(w.Add(9, uiPeriod, uiPeriod, true));
            uint32_t uiDue = uiStart + uiPeriod;
            EXPECT_EQ(E{}, c.Walk(w, uiDue - 1)) << uiStart << " " << uiPeriod;
            EXPECT_EQ((E{{9, uiPeriod}}), c.Walk(w, uiDue)) << uiStart << " " << uiPeriod;
            EXPECT_EQ(0, w.GetCount());
        }
    }
}

TEST(TimerWheel, ExpiriesOfOneTickComeInBatchesOf1024) {
    TW_TimerWheel w;
    Collector c;
    w.Reset(500, 4099);
    for (uint32_t i = 0; i < 2000; ++i) ASSERT_TRUE(w.Add(i, 100, i, true));
    EXPECT_EQ(2000u, c.Walk(w, 600).size());
    EXPECT_EQ((std::vector<int>{1024, 976}), c.batches);
}

TEST(TimerWheel, IdsAreUniqueAndFreeAgainAfterKill) {
    TW_TimerWheel w;
    Collector c;
    w.Reset(0, 17);
    EXPECT_FALSE(w.Add(1, 0, 0, false));  // would keep a walk from ending
    ASSERT_TRUE(w.Add(1, 50, 1, false));
    EXPECT_FALSE(w.Add(1, 70, 2, false));
    EXPECT_TRUE(w.Kill(1));
    EXPECT_FALSE(w.Kill(1));
    EXPECT_FALSE(w.Kill(42));
    ASSERT_TRUE(w.Add(1, 70, 2, false));
    // Only the new timer fires.
    EXPECT_EQ(E{}, c.Walk(w, 69));
    EXPECT_EQ((E{{1, 2}}), c.Walk(w, 70));
    // Killing timers in every level leaves the others intact.
    for (uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(w.Add(100 + i, 100u << (6 * i), i, true));
    EXPECT_TRUE(w.Kill(102));
    EXPECT_TRUE(w.Kill(100));
    EXPECT_EQ(4, w.GetCount());
    w.Clear();
    EXPECT_EQ(0, w.GetCount());
    EXPECT_EQ(E{}, c.Walk(w, 70 + (100u << 12)));
}

// Random timers and random walks against a plain model: a timer fires in the
// walk that reaches its due tick, once; periodic ones are re-armed from the
// walk's time. The run crosses the clock's wrap.
TEST(TimerWheel, AgreesWithAModelOverRandomWalks) {
    std::mt19937 rng(12345);
    const uint32_t kStart = 0xFFFFFFFFu - 3000000u;
    TW_TimerWheel w;
    Collector c;
    w.Reset(kStart, 257);
    struct Model {
        uint32_t uiDue, uiPeriod;
        bool bOneShot;
    };
    std::map<uint32_t, Model> model;
    uint32_t uiNow = kStart, uiNextId = 1;
    auto randomPeriod = [&]() -> uint32_t {
        switch (rng() % 4) {
        case 0: return 1 + rng() % 255;
        case 1: return 1 + rng() % 16384;
        case 2: return 1 + rng() % (1u << 20);
        default: return 1 + rng() % (1u << 22);
        }
    };
    for (int step = 0; step < 3000; ++step) {
        for (int k = int(rng() % 4); k > 0; --k) {
            uint32_t uiPeriod = randomPeriod();
            bool bOneShot = rng() % 3 != 0;
            ASSERT_TRUE(w.Add(uiNextId, uiPeriod, uiNextId * 3, bOneShot));
            model[uiNextId++] = Model{uiNow + uiPeriod, uiPeriod, bOneShot};
        }
        if (!model.empty() && rng() % 3 == 0) {
            auto it = model.begin();
            std::advance(it, rng() % model.size());
            ASSERT_TRUE(w.Kill(it->first));
            model.erase(it);
        }
        uint32_t uiStep = rng() % 8 == 0 ? rng() % 20000 : rng() % 600;
        uiNow += uiStep;

        E expected;
        for (auto it = model.begin(); it != model.end();) {
            if (int32_t(uiNow - it->second.uiDue) >= 0) {
                expected.push_back(Expiry{it->first, it->first * 3});
                if (it->second.bOneShot) {
                    it = model.erase(it);
                    continue;
                }
                it->second.uiDue = uiNow + it->second.uiPeriod;
            }
            ++it;
        }
        ASSERT_EQ(expected, c.Walk(w, uiNow)) << "step " << step;
        ASSERT_EQ(int(model.size()), w.GetCount());
    }
}
