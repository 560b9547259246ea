#include "TW_DateTimeEx.h"

#include "PfTime.h"
#include "TW_Assert.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Floor division and its non-negative remainder: the local day of an instant
// before 1970 (or before the zone's offset from it) is the earlier day, not
// a day counted towards zero.
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

// Days before the end of each month of a common year.
const int kMonthEnd[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

}  // namespace

int32_t TW_DateTimeEx::LocalBias() { return pf::TimeZoneBias(); }

TW_DateTimeEx TW_DateTimeEx::Now() {
    TW_DateTimeEx dt;
    dt.SetTime(pf::CurrentTime());
    return dt;
}

bool TW_DateTimeEx::SetDate(int64_t t, int32_t nBiasSeconds) {
    // Keeps the day number well inside 32 bits, so later arithmetic on it
    // cannot overflow (a range of millions of years).
    constexpr int64_t kLimit = int64_t(1) << 47;
    if (!TW_CHECK(t > -kLimit && t < kLimit)) return false;
    m_nDay = int32_t(FloorDiv(t - nBiasSeconds, kSecondsPerDay) + kDay1970);
    return true;
}

bool TW_DateTimeEx::SetTime(int64_t t, int32_t nBiasSeconds) {
    if (!SetDate(t, nBiasSeconds)) return false;
    m_Time = int32_t(FloorMod(t - nBiasSeconds, kSecondsPerDay) * kTicksPerSecond);
    TW_ASSERT(m_Time >= 0);
    return true;
}

void TW_DateTimeEx::GetDate(int& nYear, int& nMonth, int& nDay) const {
    // 400-year cycles of 146097 days, centuries of 36524 days (the first of
    // a cycle has one more), 4-year blocks of 1461 days (the first of a
    // century other than the cycle's first has one fewer), years.
    int64_t q400 = FloorDiv(m_nDay, 146097);
    int r = int(m_nDay - q400 * 146097);
    int c = (r - 1) / 36524;
    int rc = (r - 1) % 36524;
    int q4, y, nDayOfYear;
    bool bLeap;
    if (c == 0) {
        q4 = r / 1461;
        int r4 = r % 1461;
        y = (r4 - 1) / 365;
        bLeap = y == 0;
        nDayOfYear = bLeap ? r4 : (r4 - 1) % 365;
    } else {
        q4 = (rc + 1) / 1461;
        if (q4 == 0) {
            y = rc / 365;
            nDayOfYear = rc % 365;
            bLeap = false;
        } else {
            int r4 = (rc + 1) % 1461;
            y = (r4 - 1) / 365;
            bLeap = y == 0;
            nDayOfYear = bLeap ? r4 : (r4 - 1) % 365;
        }
    }
    nYear = int(y + 4 * (q4 + 25 * (c + 4 * q400)));
    if (bLeap && nDayOfYear == 59) {
        nMonth = 2;
        nDay = 29;
        return;
    }
    if (bLeap && nDayOfYear > 59) --nDayOfYear;
    int d = nDayOfYear + 1;
    int m = d / 32 + 1;
    while (d > kMonthEnd[m]) ++m;
    nMonth = m;
    nDay = d - kMonthEnd[m - 1];
}

int TW_DateTimeEx::GetYear() const {
    int y, m, d;
    GetDate(y, m, d);
    return y;
}

int TW_DateTimeEx::GetMonth() const {
    int y, m, d;
    GetDate(y, m, d);
    return m;
}

int TW_DateTimeEx::GetDay() const {
    int y, m, d;
    GetDate(y, m, d);
    return d;
}

bool TW_DateTimeEx::FormatDate(TW_String& strOut, int nStyle, const char* lpszSeparator) const {
    if (!TW_CHECK(lpszSeparator != nullptr)) return false;
    int y, m, d;
    GetDate(y, m, d);
    return strOut.Format("%04d%s%02d%s%02d", y, lpszSeparator, m, lpszSeparator, d);
}

void TW_DateTimeEx::FormatTime(TW_String& strOut, int nStyle) const {
    int h = GetHour(), m = GetMinute(), s = GetSecond(), f = m_Time % kTicksPerSecond;
    if (nStyle == 1)
        strOut.Format("%02d:%02d:%02d", h, m, s);
    else if (nStyle == 2)
        strOut.Format("%02d:%02d", h, m);
    else if (f != 0)
        strOut.Format("%02d:%02d:%02d.%04d", h, m, s, f);
    else
        strOut.Format("%02d:%02d:%02d", h, m, s);
}

bool TW_DateTimeEx::Format(TW_String& strOut, int nStyle, const char* lpszSeparator) const {
    TW_String strDate, strTime;
    if (!FormatDate(strDate, nStyle, lpszSeparator)) return false;
    FormatTime(strTime, nStyle);
    strOut = strDate + " " + strTime;
    return true;
}
