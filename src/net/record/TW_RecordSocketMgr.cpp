#include "TW_RecordSocketMgr.h"

#include <cinttypes>
#include <cstdio>

#include "PfSync.h"
#include "TW_RecordReader.h"

TW_SocketMgrInstance* TW_RecordSocketMgr::Create(bool) {
    // Replaying records nothing: the record flag is not taken.
    return new TW_RecordSocketMgr();
}

TW_RecordSocketMgr::~TW_RecordSocketMgr() {
    m_bRunning.store(false);
    TW_LockGuard life(&m_lckLifecycle);
    EndReplayLocked();
}

void TW_RecordSocketMgr::EndReplayLocked() {
    // The replay stops between two records; a sink that never returns keeps
    // us here rather than have its thread killed in the middle of a call.
    StopThreads(kThreadReplay, pf::kInfinite);
    StopTimer();
}

bool TW_RecordSocketMgr::Start(uint8_t, uint32_t, uint32_t, uint32_t) {
    // On the replay thread itself the replay is not over yet.
    if (IsInsideOwnCallback()) return false;
    TW_LockGuard life(&m_lckLifecycle);
    if (m_bRunning.load()) return false;
    if (!GetSink()) return false;  // the records would go nowhere
    // What a Stop made inside a callback left behind.
    EndReplayLocked();
    if (!m_fileReplay.Open("vxnet.rec", TW_FileEx::kRead | TW_FileEx::kOpenExisting)) {
        std::printf("Open vxnet.rec failed!\n");
        return false;
    }
    m_bRunning.store(true);
    StartTimer(1);
    if (StartThreads(kThreadReplay, 1, 0) != 1) {
        m_bRunning.store(false);
        StopTimer();
        m_fileReplay.Close();
        return false;
    }
    return true;
}

bool TW_RecordSocketMgr::Stop(uint32_t) {
    m_bRunning.store(false);
    // The replay thread asking: it ends once this callback returns.
    if (IsInsideOwnCallback()) return true;
    TW_LockGuard life(&m_lckLifecycle);
    EndReplayLocked();
    return true;
}

uint32_t TW_RecordSocketMgr::ThreadProc(ThreadData* lpData) {
    if (lpData->iThreadType == kThreadReplay) {
        pf::SetCurrentThreadName("vxnet-replay");
        Replay();
    }
    return 0;
}

void TW_RecordSocketMgr::Replay() {
    {
        TW_RecordReader reader(&m_fileReplay);
        while (m_bRunning.load()) {
            const RecordStatus e = reader.Next();
            if (e == RECORD_READ) {
                Deliver(reader);
                continue;
            }
            // A file cut off at the end is the usual end of a recording that
            // was running; anything else is worth a line.
            if (e == RECORD_CORRUPT || e == RECORD_READ_FAILED)
                std::printf("vxnet.rec: %s record at offset %" PRIu64 ", replay ends\n", RecordStatusName(e),
                            reader.RecordOffset());
            break;
        }
    }
    m_fileReplay.Close();
}

void TW_RecordSocketMgr::Deliver(const TW_RecordReader& reader) {
    const RecordHeader& h = reader.Header();
    TW_SinkCall sink(this);
    if (!sink) return;  // the sink was taken away meanwhile
    const SOCKET s = SOCKET(h.uiSocket);
    switch (h.uiType) {
        case RECORD_ACCEPT:
            sink->OnSocketAccept(0, s, SOCKET(reader.PayloadWord(0)), nullptr, nullptr);
            break;
        case RECORD_RECV: {
            uint32_t uiLen = h.uiLen;  // what the sink writes back is not used
            sink->OnSocketRecv(0, s, reader.Payload(), &uiLen, h.dwWordA, h.dwWordB);
            break;
        }
        case RECORD_CLOSE:
            sink->OnSocketClose(int(reader.PayloadWord(0)), s, int(reader.PayloadWord(1)), h.dwWordA, h.dwWordB);
            break;
        default:
            break;  // a type this version does not know: skipped with its payload
    }
}
