// Day numbers against the standard calendar, local time, text forms.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <utility>

#include "TW_DateTimeEx.h"

namespace {

const int32_t kMay6th2012 = 734994;

// 0001-01-01 to 2800-12-31, beyond three leap centuries; day 719528 is 1970-01-01.
TEST(DateTimeTest, EveryDayFromYearOneMatchesTheCivilCalendar) {
    for (int32_t n = 366; n <= 1023044; ++n) {
        const std::chrono::year_month_day civil{std::chrono::sys_days{std::chrono::days{n - 719528}}};
        int y, m, d;
        TW_DateTimeEx(n, 0).GetDate(y, m, d);
        ASSERT_TRUE(y == int(civil.year()) && m == int(unsigned(civil.month())) && d == int(unsigned(civil.day())))
            << "day " << n << ": " << y << "-" << m << "-" << d;
    }
}

TEST(DateTimeTest, LocalTimeFromTheZoneOffset) {
    // Seconds since the epoch, the zone's offset, then the local day and second of the day.
    const int64_t arrCase[][4] = {
        {0, -8 * 3600, 719528, 8 * 3600},
        {0, 5 * 3600, 719527, 19 * 3600},  // west of UTC: the evening before, not a wrapped day
        {-1, 0, 719527, 86399},
        {1336259289, -8 * 3600, kMay6th2012, 7 * 3600 + 8 * 60 + 9},
    };
    TW_DateTimeEx dt;
    for (auto& c : arrCase) {
        ASSERT_TRUE(dt.SetTime(c[0], int32_t(c[1])));
        EXPECT_EQ(std::pair(int64_t(dt.GetDayNumber()), int64_t(dt.GetTimeOfDay())), std::pair(c[2], c[3] * 10000));
    }
    // Far outside the calendar: refused, the value is kept.
    EXPECT_FALSE(dt.SetTime(INT64_MAX, 0));
    EXPECT_EQ(dt.GetYear(), 2012);
}

TEST(DateTimeTest, TextForms) {
    const TW_DateTimeEx dt(kMay6th2012, 255890123);
    TW_String s, t, u;
    ASSERT_TRUE(TW_DateTimeEx(kMay6th2012, 255890000).Format(s, 0, "-") && dt.Format(t, 0, "-") && dt.Format(u, 1, "/"));
    EXPECT_STREQ(s + "|" + t + "|" + u, "2012-05-06 07:06:29|2012-05-06 07:06:29.0123|2012/05/06 07:06:29");
    dt.FormatTime(s, 2);
    EXPECT_STREQ(s, "07:06");
    s = "kept";
    EXPECT_FALSE(dt.FormatDate(s, 0, nullptr) || dt.Format(s, 0, nullptr));
    EXPECT_STREQ(s, "kept");
}

}  // namespace
