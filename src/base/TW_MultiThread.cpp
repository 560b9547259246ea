#include "TW_MultiThread.h"

#include <cstdio>
#include <cstdlib>

#include "PfClock.h"
#include "PfSystem.h"
#include "TW_Array.h"
#include "TW_Log.h"

TW_MultiThread::~TW_MultiThread() { StopAllThreads(2000); }

pf::ThreadHandle TW_MultiThread::StartThread(int32_t iType, uint32_t uiValue) {
    // The event first: a thread is never left suspended without a record.
    ThreadData td{};
    td.hStopEvent = pf::EventCreate(true, false);
    if (!TW_CHECK(td.hStopEvent)) return nullptr;
    td.hThread = pf::ThreadCreateSuspended(ThreadEntry, this, &td.uiThreadId);
    if (!TW_CHECK(td.hThread)) {
        pf::EventClose(td.hStopEvent);
        return nullptr;
    }
    td.iThreadType = iType;
    td.uiValue = uiValue;

    TW_LockGuard guard(&m_listThread);
    POSITION pos = m_listThread.AddTail(td);
    if (!pf::ThreadResume(td.hThread)) {
        // Never runs: nothing will remove its record but us.
        RemoveRecord(pos);
        return nullptr;
    }
    // Valid while the thread is registered: a thread that ends closes it.
    return td.hThread;
}

int TW_MultiThread::StartThreads(int32_t iType, int iCount, uint32_t uiValue) {
    int nStarted = 0;
    for (int i = 0; i < iCount; ++i)
        if (StartThread(iType, uiValue)) ++nStarted;
    return nStarted;
}

void TW_MultiThread::StopThreads(int32_t iType, uint32_t uiTimeoutMs) { Stop(false, iType, uiTimeoutMs); }

void TW_MultiThread::StopAllThreads(uint32_t uiTimeoutMs) { Stop(true, 0, uiTimeoutMs); }

int TW_MultiThread::GetThreadCount() {
    TW_LockGuard guard(&m_listThread);
    return m_listThread.GetCount();
}

int TW_MultiThread::GetThreadCount(int32_t iType) {
    TW_LockGuard guard(&m_listThread);
    int n = 0;
    for (POSITION pos = m_listThread.GetHeadPosition(); pos;)
        if (m_listThread.GetNext(pos).iThreadType == iType) ++n;
    return n;
}

void TW_MultiThread::OnThreadOverdue(uint32_t uiThreadId, int32_t iThreadType, uint32_t uiTimeoutMs) {
    std::printf("thread %u type %d did not stop within %u ms\n", uiThreadId, iThreadType, uiTimeoutMs);
    std::fflush(stdout);
}

uint32_t TW_MultiThread::ThreadEntry(void* lpThis) {
    std::srand(uint32_t(pf::CpuTimestamp()));
    return static_cast<TW_MultiThread*>(lpThis)->ThreadMain();
}

uint32_t TW_MultiThread::ThreadMain() {
    uint32_t uiId = pf::CurrentThreadId();
    ThreadData td{};
    bool bFound = false;
    {
        TW_LockGuard guard(&m_listThread);
        for (POSITION pos = m_listThread.GetHeadPosition(); pos && !bFound;) {
            ThreadData& r = m_listThread.GetNext(pos);
            if (r.uiThreadId == uiId) {
                td = r;
                bFound = true;
            }
        }
    }
    if (!bFound) {
        TW_CHECK(false);
        return 1;
    }

    pf::ThreadInitRuntime();
    LogWrite(2, "thread", "process = %d thead id = %u(%x) type = %d\r\n", int(pf::ProcessId()), uiId, uiId,
             td.iThreadType);
    uint32_t uiResult = ThreadProc(&td);
    pf::ThreadExitRuntime();

    TW_LockGuard guard(&m_listThread);
    for (POSITION pos = m_listThread.GetHeadPosition(); pos;) {
        POSITION cur = pos;
        if (m_listThread.GetNext(pos).hThread == td.hThread) {
            RemoveRecord(cur);
            break;
        }
    }
    return uiResult;
}

void TW_MultiThread::RemoveRecord(POSITION pos) {
    ThreadData& r = m_listThread.GetAt(pos);
    pf::EventClose(r.hStopEvent);
    pf::ThreadClose(r.hThread);
    m_listThread.RemoveAt(pos);
}

void TW_MultiThread::Stop(bool bAllTypes, int32_t iType, uint32_t uiTimeoutMs) {
    struct Stopping {
        uint32_t uiThreadId;
        int32_t iThreadType;
        pf::ThreadHandle hThread;  // our own handle: the thread may close the set's
    };
    TW_Array<Stopping> arrStopping;
    uint32_t uiSelf = pf::CurrentThreadId();
    {
        TW_LockGuard guard(&m_listThread);
        for (POSITION pos = m_listThread.GetHeadPosition(); pos;) {
            ThreadData& r = m_listThread.GetNext(pos);
            if (!bAllTypes && r.iThreadType != iType) continue;
            pf::EventSet(r.hStopEvent);
            // A worker stopping its own set does not wait for itself.
            if (r.uiThreadId == uiSelf) continue;
            pf::ThreadHandle h = pf::ThreadDuplicate(r.hThread);
            if (!h) continue;
            int n = arrStopping.GetSize();
            arrStopping.SetSize(n + 1);
            arrStopping[n] = Stopping{r.uiThreadId, r.iThreadType, h};
        }
    }

    // Never wait while holding the lock: an ending thread takes it.
    for (int i = 0; i < arrStopping.GetSize(); ++i) {
        Stopping& s = arrStopping[i];
        if (pf::ThreadWait(s.hThread, uiTimeoutMs) == pf::kWaitTimeout) {
            OnThreadOverdue(s.uiThreadId, s.iThreadType, uiTimeoutMs);
            bool bTerminated = pf::ThreadCanTerminate() && pf::ThreadTerminate(s.hThread, 0);
            // Termination is asynchronous; without it, the thread still uses
            // its record and this object until it returns.
            pf::ThreadWait(s.hThread, pf::kInfinite);
            if (bTerminated) {
                TW_LockGuard guard(&m_listThread);
                for (POSITION pos = m_listThread.GetHeadPosition(); pos;) {
                    POSITION cur = pos;
                    if (m_listThread.GetNext(pos).uiThreadId == s.uiThreadId) {
                        RemoveRecord(cur);
                        break;
                    }
                }
            }
        }
        pf::ThreadClose(s.hThread);
    }
}
