// Threads with the meaning of Windows thread handles: a thread is created
// suspended and runs its entry after ThreadResume; a handle can be waited on
// (it is signalled once the entry has returned) and duplicated; closing a
// handle does not affect the thread.
//
// Forcible termination exists on Windows only. A POSIX thread cannot be
// ended from outside without leaking its locks and stack, so
// ThreadCanTerminate() is false there and ThreadTerminate fails: callers keep
// waiting for such a thread instead of freeing what it may still use.
#ifndef VX_PF_THREAD_H
#define VX_PF_THREAD_H

#include <cstdint>

#include "PfSync.h"

namespace pf {

struct ThreadObject;
typedef ThreadObject* ThreadHandle;

// The entry's result becomes the thread's exit code.
typedef uint32_t (*ThreadEntry)(void* lpArg);

// Null on failure. The thread's id is stored in *puiThreadId (if given)
// before the call returns.
ThreadHandle ThreadCreateSuspended(ThreadEntry fnEntry, void* lpArg, uint32_t* puiThreadId);
bool ThreadResume(ThreadHandle h);
// Another handle to the same thread; each one is closed on its own.
ThreadHandle ThreadDuplicate(ThreadHandle h);
void ThreadClose(ThreadHandle h);
// kWaitObject0 once the thread has ended.
WaitResult ThreadWait(ThreadHandle h, uint32_t uiTimeoutMs);
WaitHandle Waitable(ThreadHandle h);
// The exit code of an ended thread; false while it runs.
bool ThreadExitCode(ThreadHandle h, uint32_t* puiExitCode);

uint32_t ThreadGetId(ThreadHandle h);
uint32_t CurrentThreadId();
// A value that tells the calling thread from every other running thread,
// cheaper than CurrentThreadId (no thread-local lookup); never 0.
uintptr_t CurrentThreadToken();

bool ThreadCanTerminate();
bool ThreadTerminate(ThreadHandle h, uint32_t uiExitCode);

// Per-thread start-up and clean-up of the component runtime (COM on
// Windows; nothing elsewhere). Every library thread brackets its body.
void ThreadInitRuntime();
void ThreadExitRuntime();

void SleepMs(uint32_t uiMs);

// Names the calling thread for debuggers and process listings (at most 15
// characters are kept on Linux). Where the system has no names, nothing.
void SetCurrentThreadName(const char* lpszName);
// Gives the rest of the time slice to another ready thread.
void YieldThread();

}  // namespace pf

#endif
