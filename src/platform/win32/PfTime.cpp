#include "PfTime.h"

#include <windows.h>

#include <ctime>

namespace pf {

int64_t CurrentTime() { return int64_t(_time64(nullptr)); }

int32_t TimeZoneBias() {
    // Bias is in minutes with UTC = local + Bias; the standard bias is the
    // part that holds outside daylight saving.
    static const int32_t s_nBias = [] {
        TIME_ZONE_INFORMATION tzi;
        if (GetTimeZoneInformation(&tzi) == TIME_ZONE_ID_INVALID) return int32_t(0);
        return int32_t((tzi.Bias + tzi.StandardBias) * 60);
    }();
    return s_nBias;
}

}  // namespace pf
