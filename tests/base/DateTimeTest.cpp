// Day numbers against an independent calendar computation, local time from
// an offset (also before 1970), and the text forms.
#include <gtest/gtest.h>

#include <cstdint>

#include "TW_DateTimeEx.h"

namespace {

struct Civil {
    int y, m, d;
};

// Days since 1970-01-01 to a proleptic Gregorian date (eras of 400 years
// starting in March), written independently of the library's algorithm.
Civil CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = int(doy - (153 * mp + 2) / 5 + 1);
    const int m = int(mp < 10 ? mp + 3 : mp - 9);
    return {int(yoe + era * 400 + (m <= 2)), m, d};
}

int32_t DayNumberOf(int y, int m, int d) {
    // The inverse of CivilFromDays, same era arithmetic.
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return int32_t(era * 146097 + doe - 719468 + TW_DateTimeEx::kDay1970);
}

TEST(DateTimeTest, EveryDayFromYearOneMatchesTheCivilCalendar) {
    const int32_t nFirst = 366;                         // 0001-01-01
    const int32_t nLast = DayNumberOf(2800, 12, 31);    // beyond three leap centuries
    for (int32_t n = nFirst; n <= nLast; ++n) {
        Civil c = CivilFromDays(int64_t(n) - TW_DateTimeEx::kDay1970);
        int y, m, d;
        TW_DateTimeEx(n, 0).GetDate(y, m, d);
        if (y != c.y || m != c.m || d != c.d) {
            ADD_FAILURE() << "day " << n << ": " << y << "-" << m << "-" << d << " instead of " << c.y << "-" << c.m
                          << "-" << c.d;
            return;
        }
    }
}

// Anchors the day numbering itself; the calendar is checked by the loop above.
TEST(DateTimeTest, KnownDayNumbers) {
    TW_DateTimeEx epoch(719528, 0);
    EXPECT_EQ(epoch.GetYear() * 10000 + epoch.GetMonth() * 100 + epoch.GetDay(), 19700101);
    EXPECT_EQ(DayNumberOf(1900, 1, 1), 693961);
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

    // 2012-05-06 07:08:09 UTC+8.
    ASSERT_TRUE(dt.SetTime(1336259289, -8 * 3600));
    EXPECT_EQ(dt.GetDayNumber(), DayNumberOf(2012, 5, 6));
    EXPECT_EQ(dt.GetTimeOfDay(), (7 * 3600 + 8 * 60 + 9) * 10000);

    // Far outside the calendar: refused, the value is kept.
    EXPECT_FALSE(dt.SetTime(INT64_MAX, 0));
    EXPECT_EQ(dt.GetYear(), 2012);
}

TEST(DateTimeTest, TextForms) {
    const int32_t nDay = DayNumberOf(2012, 5, 6);
    TW_String s;
    ASSERT_TRUE(TW_DateTimeEx(nDay, 255890000).Format(s, 0, "-"));
    EXPECT_STREQ(s, "2012-05-06 07:06:29");
    ASSERT_TRUE(TW_DateTimeEx(nDay, 255890123).Format(s, 0, "-"));
    EXPECT_STREQ(s, "2012-05-06 07:06:29.0123");
    ASSERT_TRUE(TW_DateTimeEx(nDay, 255890123).Format(s, 1, "/"));
    EXPECT_STREQ(s, "2012/05/06 07:06:29");
    TW_DateTimeEx(nDay, 255890123).FormatTime(s, 2);
    EXPECT_STREQ(s, "07:06");

    s = "kept";
    EXPECT_FALSE(TW_DateTimeEx(nDay, 0).FormatDate(s, 0, nullptr));
    EXPECT_FALSE(TW_DateTimeEx(nDay, 0).Format(s, 0, nullptr));
    EXPECT_STREQ(s, "kept");
}

}  // namespace
