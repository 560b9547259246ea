#include "TW_SelectSocketMgr.h"

#include "PfError.h"
#include "PfSocket.h"
#include "TW_Assert.h"
#include "TW_SelectThread.h"

TW_SocketMgrInstance* TW_SelectSocketMgr::Create(bool bRecord) {
    auto* lpMgr = new TW_SelectSocketMgr();
    lpMgr->SetRecordFlag(bRecord);
    return lpMgr;
}

TW_SelectSocketMgr::TW_SelectSocketMgr() {
    // A check that finds no time elapsed at all lets the idle timer lapse.
    m_bLapseIdleOnZeroElapsed = true;
    // A poll pass costs a system call: take what a busy UDP socket has queued.
    m_nDatagramsPerReadiness = 64;
}

TW_SelectSocketMgr::~TW_SelectSocketMgr() { Stop(2000); }

int TW_SelectSocketMgr::GetGroupCount() {
    TW_LockGuard lock(&m_lckTable);
    return m_arrSelectThread.GetSize();
}

bool TW_SelectSocketMgr::EngineStart(uint8_t, uint32_t) {
    return true;  // groups appear with the first socket
}

void TW_SelectSocketMgr::EngineStop() {
    TW_Array<TW_SelectThread*> arrGroups;
    {
        TW_LockGuard lock(&m_lckTable);
        for (int i = 0; i < m_arrSelectThread.GetSize(); ++i) arrGroups.Add(m_arrSelectThread[i]);
        m_arrSelectThread.SetSize(0);
        m_listFreeThread.RemoveAll();
    }
    for (int i = 0; i < arrGroups.GetSize(); ++i) arrGroups[i]->Stop();
    // Deleted only when every poll thread has ended: a handler on one group
    // may still be calling into another.
    for (int i = 0; i < arrGroups.GetSize(); ++i) delete arrGroups[i];
}

bool TW_SelectSocketMgr::EngineAdd(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    TW_SelectThread* lpGroup;
    if (!m_listFreeThread.IsEmpty()) {
        lpGroup = m_arrSelectThread[m_listFreeThread.GetTail()];
    } else {
        lpGroup = new TW_SelectThread(this, m_arrSelectThread.GetSize());
        if (!lpGroup->Start()) {
            delete lpGroup;
            return false;
        }
        m_arrSelectThread.Add(lpGroup);
        m_listFreeThread.AddHead(lpGroup->GetIndex());
    }
    rec.lpEngine = lpGroup;
    if (lpGroup->AddSocket(rec.socket, rec.uiSeq) >= int(TW_SelectThread::kGroupSize)) {
        if (POSITION pos = m_listFreeThread.Find(lpGroup->GetIndex())) m_listFreeThread.RemoveAt(pos);
    }
    if (rec.status == SS_UDP) lpGroup->WatchRead(rec.socket);  // datagrams are read at once
    return true;
}

void TW_SelectSocketMgr::EngineRemove(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    TW_SelectThread* lpGroup = GroupOf(rec);
    rec.lpEngine = nullptr;
    if (lpGroup && lpGroup->RemoveSocket(rec) == int(TW_SelectThread::kGroupSize) - 1)
        m_listFreeThread.AddHead(lpGroup->GetIndex());
}

bool TW_SelectSocketMgr::EngineWatchRead(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (TW_SelectThread* lpGroup = GroupOf(rec)) lpGroup->WatchRead(rec.socket);
    return true;
}

void TW_SelectSocketMgr::EnginePauseRead(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (TW_SelectThread* lpGroup = GroupOf(rec)) lpGroup->PauseRead(rec.socket);
}

void TW_SelectSocketMgr::EngineWatchWrite(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (TW_SelectThread* lpGroup = GroupOf(rec)) lpGroup->WatchWrite(rec.socket);
}

void TW_SelectSocketMgr::EngineReportSend(SocketData& rec) {
    TW_ASSERT_LOCKED(m_lckTable);
    // No pass waits for it: the group reports it before its next select.
    if (TW_SelectThread* lpGroup = GroupOf(rec)) lpGroup->ReportSend(rec.socket, rec.uiSeq);
}

bool TW_SelectSocketMgr::EngineConnect(SocketData& rec, const sockaddr_in& to) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (!pf::Connect(rec.socket, &to) && pf::GetLastError() != pf::kErrWouldBlock) return false;
    GroupOf(rec)->WatchConnect(rec.socket);
    return true;
}

bool TW_SelectSocketMgr::EngineListen(SocketData& rec, int nBacklog) {
    TW_ASSERT_LOCKED(m_lckTable);
    if (!pf::Listen(rec.socket, nBacklog)) return false;
    GroupOf(rec)->WatchRead(rec.socket);
    return true;
}
