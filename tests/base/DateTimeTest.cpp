// Day numbers against the standard calendar, local time, text forms.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "TW_DateTimeEx.h"

namespace {

const int32_t kMay6th2012 = 734994;

// 0001-01-01 to 2800-12-31, beyond three leap centuries; day 719528 is 1970-01-01.
TEST(DateTimeTest, EveryDayFromYearOneMatchesTheCivilCalendar) {
    for (int32_t n = 366; n <= 1023044; ++n) {
        const std::chrono::year_month_day civil{std::chrono::sys_days{std::chrono::days{n - 719528}}};
        int y, m, d;
        TW_DateTimeEx(n, 0).GetDate(y, m, d);
        if (y != int(civil.year()) || m != int(unsigned(civil.month())) || d != int(unsigned(civil.day()))) {
            ADD_FAILURE() << "day " << n << ": " << y << "-" << m << "-" << d;
            return;
        }
    }
}

TEST(DateTimeTest, LocalTimeFromTheZoneOffset) {
    TW_DateTimeEx dt;
    ASSERT_TRUE(dt.SetTime(0, -8 * 3600));  // UTC+8
    EXPECT_EQ(dt.GetDayNumber(), 719528);
    EXPECT_EQ(dt.GetTimeOfDay(), 288000000);
    // West of UTC the epoch is still the evening before, not a wrapped day.
    ASSERT_TRUE(dt.SetTime(0, 5 * 3600));
    EXPECT_EQ(dt.GetDayNumber(), 719527);
    EXPECT_EQ(dt.GetHour(), 19);
    ASSERT_TRUE(dt.SetTime(-1, 0));
    EXPECT_EQ(dt.GetDayNumber(), 719527);
    EXPECT_EQ(dt.GetTimeOfDay(), 86399 * 10000);
    ASSERT_TRUE(dt.SetTime(1336259289, -8 * 3600));  // 2012-05-06 07:08:09 UTC+8
    EXPECT_EQ(dt.GetDayNumber(), kMay6th2012);
    EXPECT_EQ(dt.GetTimeOfDay(), (7 * 3600 + 8 * 60 + 9) * 10000);
    // Far outside the calendar: refused, the value is kept.
    EXPECT_FALSE(dt.SetTime(INT64_MAX, 0));
    EXPECT_EQ(dt.GetYear(), 2012);
}

TEST(DateTimeTest, TextForms) {
    TW_String s;
    ASSERT_TRUE(TW_DateTimeEx(kMay6th2012, 255890000).Format(s, 0, "-"));
    EXPECT_STREQ(s, "2012-05-06 07:06:29");
    ASSERT_TRUE(TW_DateTimeEx(kMay6th2012, 255890123).Format(s, 0, "-"));
    EXPECT_STREQ(s, "2012-05-06 07:06:29.0123");
    ASSERT_TRUE(TW_DateTimeEx(kMay6th2012, 255890123).Format(s, 1, "/"));
    EXPECT_STREQ(s, "2012/05/06 07:06:29");
    TW_DateTimeEx(kMay6th2012, 255890123).FormatTime(s, 2);
    EXPECT_STREQ(s, "07:06");
    s = "kept";
    const TW_DateTimeEx dt(kMay6th2012, 0);
    EXPECT_FALSE(dt.FormatDate(s, 0, nullptr) || dt.Format(s, 0, nullptr));
    EXPECT_STREQ(s, "kept");
}

}  // namespace
