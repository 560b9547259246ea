#include "TW_Thread.h"

#include <cstdio>
#include <cstdlib>

#include "PfClock.h"

static constexpr uint32_t kStopWaitMs = 2000;

TW_Thread::~TW_Thread() { StopThread(); }

bool TW_Thread::Start() {
    // A thread that was asked to stop may still run until Stop() has waited.
    if (m_hThread || !m_bStop.load()) return false;
    m_bStop.store(false);
    if (!OnStart()) {
        m_bStop.store(true);
        return false;
    }
    m_hThread = pf::ThreadCreateSuspended(ThreadEntry, this, &m_uiThreadId);
    if (!m_hThread) {
        m_uiThreadId = 0;
        m_bStop.store(true);
        return false;
    }
    if (!pf::ThreadResume(m_hThread)) {
        // Never ran; still a thread object to let go of.
        pf::ThreadClose(m_hThread);
        m_hThread = nullptr;
        m_uiThreadId = 0;
        m_bStop.store(true);
        return false;
    }
    return true;
}

void TW_Thread::Stop() {
    if (!m_hThread) return;
    StopThread();
    OnStop();
}

void TW_Thread::StopThread() {
    if (!m_hThread) return;
    m_bStop.store(true);
    // A body that stops its own object cannot wait for itself.
    bool bSelf = pf::CurrentThreadId() == m_uiThreadId;
    if (!bSelf && Wait(kStopWaitMs) == 0) {
        std::printf("thread %u did not stop within %u ms\n", m_uiThreadId, kStopWaitMs);
        std::fflush(stdout);
        pf::ThreadWait(m_hThread, pf::kInfinite);
    }
    pf::ThreadClose(m_hThread);
    m_hThread = nullptr;
    m_uiThreadId = 0;
}

int TW_Thread::Wait(uint32_t uiTimeoutMs) {
    if (!m_hThread) return -1;
    switch (pf::ThreadWait(m_hThread, uiTimeoutMs)) {
    case pf::kWaitObject0: return 1;
    case pf::kWaitTimeout: return 0;
    default: return -1;
    }
}

void TW_Thread::RequestStop() { m_bStop.store(true); }

uint32_t TW_Thread::ThreadEntry(void* lpThis) {
    std::srand(uint32_t(pf::CpuTimestamp()));
    pf::ThreadInitRuntime();
    uint32_t uiResult = static_cast<TW_Thread*>(lpThis)->Run();
    pf::ThreadExitRuntime();
    return uiResult;
}
