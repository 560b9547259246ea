// Millisecond clock and the periodic millisecond timer.
//
// TickCount() counts milliseconds from an arbitrary start and wraps at 2^32
// like timeGetTime: compare ticks by their signed 32-bit difference.
//
// A timer calls its callback on a thread of its own, after uiDelayMs and then
// every uiDelayMs (once when it is not periodic). A timer that falls behind
// does not fire a burst of late events: it fires once and goes on from there.
// Once TimerKill has returned, the callback is not running and will not run
// again; a callback may kill its own timer. Every started timer must be
// killed, also a one-shot timer that has fired.
#ifndef VX_PF_CLOCK_H
#define VX_PF_CLOCK_H

#include <cstdint>

namespace pf {

uint32_t TickCount();

// The processor's time-stamp counter (any fast-changing counter where there
// is none): seeds per-thread random generators.
uint64_t CpuTimestamp();

// Raises the system timer resolution towards uiDesiredMs for as long as the
// caller needs it. Returns the resolution set (clamped to what the machine
// offers), 0 when none could be set; pass it to TimerResolutionEnd.
uint32_t TimerResolutionBegin(uint32_t uiDesiredMs);
void TimerResolutionEnd(uint32_t uiResolutionMs);

typedef void (*TimerCallback)(uint32_t uiTimerId, void* lpUser);

// Returns the timer's id (never 0), or 0 on failure.
uint32_t TimerStart(uint32_t uiDelayMs, uint32_t uiResolutionMs, TimerCallback fnCallback, void* lpUser,
                    bool bPeriodic);
bool TimerKill(uint32_t uiTimerId);

}  // namespace pf

#endif
