#include "PfTime.h"

#include <ctime>

namespace pf {

int64_t CurrentTime() { return int64_t(std::time(nullptr)); }

int32_t TimeZoneBias() {
    // tzset fills the XSI global 'timezone' (standard time, seconds west).
    static const int32_t s_nBias = [] {
        tzset();
        return int32_t(timezone);
    }();
    return s_nBias;
}

}  // namespace pf
