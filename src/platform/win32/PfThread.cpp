#include "PfThread.h"

#include <objbase.h>
#include <process.h>
#include <windows.h>

#include <new>

namespace pf {

// A ThreadHandle is the kernel HANDLE itself.
static HANDLE H(ThreadHandle h) { return reinterpret_cast<HANDLE>(h); }

namespace {
struct StartRecord {
    ThreadEntry fnEntry;
    void* lpArg;
};
}  // namespace

static unsigned __stdcall Trampoline(void* p) {
    StartRecord r = *static_cast<StartRecord*>(p);
    delete static_cast<StartRecord*>(p);
    return r.fnEntry(r.lpArg);
}

ThreadHandle ThreadCreateSuspended(ThreadEntry fnEntry, void* lpArg, uint32_t* puiThreadId) {
    if (!fnEntry) return nullptr;
    StartRecord* r = new (std::nothrow) StartRecord{fnEntry, lpArg};
    if (!r) return nullptr;
    unsigned uiId = 0;
    // The C runtime's start keeps its per-thread state right.
    uintptr_t h = _beginthreadex(nullptr, 0, Trampoline, r, CREATE_SUSPENDED, &uiId);
    if (h == 0) {
        delete r;
        return nullptr;
    }
    if (puiThreadId) *puiThreadId = uiId;
    return reinterpret_cast<ThreadHandle>(h);
}

bool ThreadResume(ThreadHandle h) { return h && ResumeThread(H(h)) != DWORD(-1); }

ThreadHandle ThreadDuplicate(ThreadHandle h) {
    HANDLE d = nullptr;
    if (!h || !DuplicateHandle(GetCurrentProcess(), H(h), GetCurrentProcess(), &d, 0, FALSE,
                               DUPLICATE_SAME_ACCESS))
        return nullptr;
    return reinterpret_cast<ThreadHandle>(d);
}

void ThreadClose(ThreadHandle h) {
    if (h) CloseHandle(H(h));
}

WaitResult ThreadWait(ThreadHandle h, uint32_t uiTimeoutMs) {
    WaitHandle w = Waitable(h);
    return WaitForAny(&w, 1, uiTimeoutMs);
}

WaitHandle Waitable(ThreadHandle h) { return reinterpret_cast<WaitHandle>(h); }

bool ThreadExitCode(ThreadHandle h, uint32_t* puiExitCode) {
    // STILL_ACTIVE is also a valid exit code: ask whether the thread ended.
    DWORD code = 0;
    if (!h || !puiExitCode || ThreadWait(h, 0) != kWaitObject0 || !GetExitCodeThread(H(h), &code))
        return false;
    *puiExitCode = code;
    return true;
}

uint32_t ThreadGetId(ThreadHandle h) { return h ? GetThreadId(H(h)) : 0; }
uint32_t CurrentThreadId() { return GetCurrentThreadId(); }
uintptr_t CurrentThreadToken() { return GetCurrentThreadId(); }

bool ThreadCanTerminate() { return true; }

bool ThreadTerminate(ThreadHandle h, uint32_t uiExitCode) {
    return h && TerminateThread(H(h), uiExitCode);
}

// CoUninitialize only balances a successful CoInitialize.
static thread_local bool t_bComInitialized = false;

void ThreadInitRuntime() { t_bComInitialized = SUCCEEDED(CoInitialize(nullptr)); }

void ThreadExitRuntime() {
    if (t_bComInitialized) CoUninitialize();
    t_bComInitialized = false;
}

void SleepMs(uint32_t uiMs) { Sleep(uiMs); }
void YieldThread() { Sleep(0); }

// Thread descriptions need Windows 10; older systems (and Wine) may lack them.
void SetCurrentThreadName(const char*) {}

}  // namespace pf
