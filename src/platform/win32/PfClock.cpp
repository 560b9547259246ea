#include "PfClock.h"

#include <windows.h>
#include <mmsystem.h>

#include <intrin.h>

#include <mutex>
#include <new>
#include <unordered_map>

namespace pf {

uint32_t TickCount() { return timeGetTime(); }

uint64_t CpuTimestamp() { return __rdtsc(); }

uint32_t TimerResolutionBegin(uint32_t uiDesiredMs) {
    TIMECAPS tc;
    if (timeGetDevCaps(&tc, sizeof tc) != TIMERR_NOERROR) return 0;
    uint32_t uiRes = uiDesiredMs < tc.wPeriodMin ? tc.wPeriodMin
                     : (uiDesiredMs > tc.wPeriodMax ? tc.wPeriodMax : uiDesiredMs);
    if (timeBeginPeriod(uiRes) != TIMERR_NOERROR) return 0;
    return uiRes;
}

void TimerResolutionEnd(uint32_t uiResolutionMs) {
    if (uiResolutionMs) timeEndPeriod(uiResolutionMs);
}

namespace {

struct CallbackRecord {
    TimerCallback fnCallback;
    void* lpUser;
};

// The records that the running timers' events point to, by timer id.
std::mutex g_mtxTimers;
std::unordered_map<uint32_t, CallbackRecord*> g_mapTimers;

void CALLBACK MmCallback(UINT uTimerId, UINT, DWORD_PTR dwUser, DWORD_PTR, DWORD_PTR) {
    CallbackRecord* r = reinterpret_cast<CallbackRecord*>(dwUser);
    r->fnCallback(uTimerId, r->lpUser);
}

}  // namespace

uint32_t TimerStart(uint32_t uiDelayMs, uint32_t uiResolutionMs, TimerCallback fnCallback, void* lpUser,
                    bool bPeriodic) {
    if (!fnCallback) return 0;
    CallbackRecord* r = new (std::nothrow) CallbackRecord{fnCallback, lpUser};
    if (!r) return 0;
    // The registry lock is held across the start so that a kill of the new
    // id (even from its first event) finds the record.
    std::lock_guard<std::mutex> g(g_mtxTimers);
    // TIME_KILL_SYNCHRONOUS: no event after timeKillEvent has returned.
    UINT uFlags = (bPeriodic ? TIME_PERIODIC : TIME_ONESHOT) | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS;
    MMRESULT id = timeSetEvent(uiDelayMs, uiResolutionMs, MmCallback, reinterpret_cast<DWORD_PTR>(r), uFlags);
    if (id == 0) {
        delete r;
        return 0;
    }
    g_mapTimers[id] = r;
    return id;
}

bool TimerKill(uint32_t uiTimerId) {
    CallbackRecord* r = nullptr;
    {
        std::lock_guard<std::mutex> g(g_mtxTimers);
        auto it = g_mapTimers.find(uiTimerId);
        if (it == g_mapTimers.end()) return false;
        r = it->second;
        g_mapTimers.erase(it);
    }
    // A fired one-shot timer is already gone and the kill fails: the timer is
    // stopped either way. From inside its own callback the record may go too:
    // MmCallback does not touch it after the call.
    timeKillEvent(uiTimerId);
    delete r;
    return true;
}

}  // namespace pf
