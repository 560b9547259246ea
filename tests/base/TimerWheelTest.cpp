// The timing wheel, driven tick by tick with explicit times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "TW_TimerWheel.h"

namespace {

// (id, value) of each expiry of a walk.
using E = std::vector<std::pair<uint32_t, uint32_t>>;

class Collector : public TW_ExpiryBatch {
public:
    E expiries;
    std::vector<int> batches;

    // Advances and returns what expired in that walk, sorted by id.
    E Walk(TW_TimerWheel& w, uint32_t uiNow) {
        expiries.clear();
        w.Advance(uiNow, *this);
        Flush();
        std::sort(expiries.begin(), expiries.end());
        return expiries;
    }

protected:
    void Deliver(const TW_Message* m, int n) override {
        batches.push_back(n);
        for (int i = 0; i < n; ++i) expiries.emplace_back(m[i].message == WM_TIMER ? m[i].wParam : ~0u, m[i].lParam);
    }
};

}  // namespace

// Cascaded timers fire on their exact tick, also across the clock's wrap.
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
            EXPECT_EQ(E{}, c.Walk(w, uiStart + uiPeriod - 1)) << uiStart << " " << uiPeriod;
            EXPECT_EQ((E{{9, uiPeriod}}), c.Walk(w, uiStart + uiPeriod)) << uiStart << " " << uiPeriod;
            EXPECT_EQ(0, w.GetCount());
        }
    }
}

// (Kills in every level are left to the model below.)
TEST(TimerWheel, IdsAreUniqueAndFreeAgainAfterKillAndExpiriesComeInBatches) {
    TW_TimerWheel w;
    Collector c;
    w.Reset(0, 17);
    EXPECT_FALSE(w.Add(1, 0, 0, false));  // would keep a walk from ending
    ASSERT_TRUE(w.Add(1, 50, 1, false) && !w.Add(1, 70, 2, false));  // the id is taken
    EXPECT_TRUE(w.Kill(1) && !w.Kill(1));
    ASSERT_TRUE(w.Add(1, 70, 2, false));
    EXPECT_EQ(E{}, c.Walk(w, 69));  // only the new timer fires
    EXPECT_EQ((E{{1, 2}}), c.Walk(w, 70));
    EXPECT_EQ(E{}, c.Walk(w, 70));  // the same tick again
    // 30 late: fires once and re-arms from the late time, without catching up.
    EXPECT_EQ((E{{1, 2}}), c.Walk(w, 170));
    EXPECT_EQ(E{}, c.Walk(w, 239));
    w.Clear();
    EXPECT_EQ(0, w.GetCount());
    EXPECT_EQ(E{}, c.Walk(w, 240));
    // The expiries of one tick come in batches of 1024.
    for (uint32_t i = 0; i < 2000; ++i) ASSERT_TRUE(w.Add(i, 100, i, true));
    c.batches.clear();
    EXPECT_EQ(2000u, c.Walk(w, 340).size());
    EXPECT_EQ((std::vector<int>{1024, 976}), c.batches);
}

// Against a model: a timer fires once in the walk that reaches its tick;
// periodic ones re-arm from the walk's time. The run crosses the wrap.
TEST(TimerWheel, AgreesWithAModelOverRandomWalks) {
    std::mt19937 rng(12345);
    uint32_t uiNow = 0xFFFFFFFFu - 3000000u, uiNextId = 1;
    TW_TimerWheel w;
    Collector c;
    w.Reset(uiNow, 257);
    struct Model { uint32_t uiDue, uiPeriod; bool bOneShot; };
    std::map<uint32_t, Model> model;
    const uint32_t kRanges[] = {255, 1u << 14, 1u << 20, 1u << 22};  // one per level
    for (int step = 0; step < 3000; ++step) {
        for (int k = int(rng() % 4); k > 0; --k) {
            uint32_t uiRange = kRanges[rng() % 4];
            uint32_t uiPeriod = 1 + rng() % uiRange;
            bool bOneShot = rng() % 3 != 0;
            ASSERT_TRUE(w.Add(uiNextId, uiPeriod, uiNextId * 3, bOneShot));
            model[uiNextId++] = Model{uiNow + uiPeriod, uiPeriod, bOneShot};
        }
        if (!model.empty() && rng() % 3 == 0) {
            auto it = std::next(model.begin(), long(rng() % model.size()));
            ASSERT_TRUE(w.Kill(it->first));
            model.erase(it);
        }
        uiNow += rng() % 8 == 0 ? rng() % 20000 : rng() % 600;
        E expected;
        for (auto it = model.begin(); it != model.end();) {
            Model& m = it->second;
            const bool bDue = int32_t(uiNow - m.uiDue) >= 0;
            if (bDue) expected.emplace_back(it->first, it->first * 3);
            m.uiDue = bDue ? uiNow + m.uiPeriod : m.uiDue;
            it = bDue && m.bOneShot ? model.erase(it) : std::next(it);
        }
        ASSERT_EQ(expected, c.Walk(w, uiNow)) << "step " << step;
        ASSERT_EQ(int(model.size()), w.GetCount());
    }
}
