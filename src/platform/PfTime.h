// Wall-clock time and the local time zone.
#ifndef VX_PF_TIME_H
#define VX_PF_TIME_H

#include <cstdint>

namespace pf {

// Seconds since 1970-01-01 00:00:00 UTC.
int64_t CurrentTime();

// Seconds west of UTC of the local standard time (UTC+8 gives -28800).
// Daylight saving is not included. Read once, on first use.
int32_t TimeZoneBias();

}  // namespace pf

#endif
