// A local calendar date and time of day: the day number counts days so that
// 0001-01-01 is 366 and 1970-01-01 is 719528 (proleptic Gregorian), the time
// of day is in 1/10000 s since local midnight. Local time is UTC shifted by
// the standard time-zone offset; daylight saving is not applied.
#ifndef TW_DATETIMEEX_H
#define TW_DATETIMEEX_H

#include <cstdint>

#include "TW_String.h"

class TW_DateTimeEx {
public:
    static constexpr int32_t kDay1970 = 719528;
    static constexpr int32_t kTicksPerSecond = 10000;
    static constexpr int32_t kTicksPerDay = 86400 * kTicksPerSecond;

    TW_DateTimeEx() = default;
    TW_DateTimeEx(int32_t nDay, int32_t nTime) : m_nDay(nDay), m_Time(nTime) {}

    // The current local date and time.
    static TW_DateTimeEx Now();

    // From seconds since 1970 (UTC), in local time, or with an explicit
    // offset in seconds west of UTC. Instants before 1970 are fine; false
    // (value unchanged) only when the day falls outside the day-number range.
    bool SetTime(int64_t t) { return SetTime(t, LocalBias()); }
    bool SetTime(int64_t t, int32_t nBiasSeconds);
    // Sets the day number only.
    bool SetDate(int64_t t) { return SetDate(t, LocalBias()); }
    bool SetDate(int64_t t, int32_t nBiasSeconds);

    int32_t GetDayNumber() const { return m_nDay; }
    int32_t GetTimeOfDay() const { return m_Time; }

    void GetDate(int& nYear, int& nMonth, int& nDay) const;
    int GetYear() const;
    int GetMonth() const;
    int GetDay() const;
    int GetHour() const { return m_Time / (3600 * kTicksPerSecond); }
    int GetMinute() const { return m_Time / (60 * kTicksPerSecond) % 60; }
    int GetSecond() const { return m_Time / kTicksPerSecond % 60; }

    // "YYYY<sep>MM<sep>DD"; a null separator fails (out unchanged).
    bool FormatDate(TW_String& strOut, int nStyle, const char* lpszSeparator) const;
    // Style 1 "hh:mm:ss", style 2 "hh:mm", otherwise "hh:mm:ss" with
    // ".ffff" when the ten-thousandths are not 0.
    void FormatTime(TW_String& strOut, int nStyle) const;
    // Date, one space, time.
    bool Format(TW_String& strOut, int nStyle, const char* lpszSeparator) const;

    // Seconds west of UTC of the local standard time.
    static int32_t LocalBias();

private:
    int32_t m_nDay = kDay1970;
    int32_t m_Time = 0;
};

#endif
