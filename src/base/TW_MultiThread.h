// A set of worker threads that all run one overridable ThreadProc. Each
// thread carries a type number and a user value, so one object can run
// several kinds of workers; each has a stop event that its ThreadProc must
// answer by returning.
//
// A stopper waits for each thread up to its time-out. A thread still running
// then is reported (OnThreadOverdue) and, where the platform can do it
// safely, terminated. Where it cannot (POSIX), the stopper keeps waiting for
// the thread to return: the thread still uses its record, its stop event and
// this object, so nothing of those may be freed before it ends.
#ifndef TW_MULTITHREAD_H
#define TW_MULTITHREAD_H

#include <cstdint>

#include "PfThread.h"
#include "TW_List.h"

struct ThreadData {
    pf::ThreadHandle hThread;
    uint32_t uiThreadId;
    int32_t iThreadType;
    uint32_t uiValue;
    pf::EventHandle hStopEvent;  // manual reset; set when the thread is asked to stop
};

class TW_MultiThread {
public:
    TW_MultiThread() : m_listThread(10) {}
    // Stops every thread still registered (2000 ms each). Owners stop their
    // threads in their own destructors: ThreadProc is theirs.
    virtual ~TW_MultiThread();
    TW_MultiThread(const TW_MultiThread&) = delete;
    TW_MultiThread& operator=(const TW_MultiThread&) = delete;

    // The new thread's handle (owned by the set), null on failure.
    pf::ThreadHandle StartThread(int32_t iType, uint32_t uiValue);
    // How many of iCount threads started.
    int StartThreads(int32_t iType, int iCount, uint32_t uiValue);
    void StopThreads(int32_t iType, uint32_t uiTimeoutMs);
    void StopAllThreads(uint32_t uiTimeoutMs);
    int GetThreadCount();
    int GetThreadCount(int32_t iType);

protected:
    // Runs on the thread with a copy of its record; returns the exit code.
    virtual uint32_t ThreadProc(ThreadData* lpData) = 0;
    // A stopped thread has not ended within the time-out. Prints a line.
    virtual void OnThreadOverdue(uint32_t uiThreadId, int32_t iThreadType, uint32_t uiTimeoutMs);

private:
    static uint32_t ThreadEntry(void* lpThis);
    uint32_t ThreadMain();
    void Stop(bool bAllTypes, int32_t iType, uint32_t uiTimeoutMs);
    // Under the lock: closes the record's handles and drops it.
    void RemoveRecord(POSITION pos);

    TW_LockedList<ThreadData> m_listThread;
};

#endif
