// The manager behind "ISelectSocketMgr1.0": the shared engine layer over
// poll groups of at most 64 sockets (TW_SelectThread), each with its own
// thread. Groups appear with the first socket that fits nowhere else and
// live until Stop.
#ifndef TW_SELECTSOCKETMGR_H
#define TW_SELECTSOCKETMGR_H

#include "TW_Array.h"
#include "TW_EngineSocketMgr.h"
#include "TW_List.h"

class TW_SelectThread;

class TW_SelectSocketMgr : public TW_EngineSocketMgr {
public:
    TW_SelectSocketMgr();
    ~TW_SelectSocketMgr() override;

    static TW_SocketMgrInstance* Create(bool bRecord);
    int GetGroupCount();

protected:
    bool EngineStart(uint8_t byFlags, uint32_t uiWorkers) override;
    void EngineStop() override;
    bool EngineAdd(SocketData& rec) override;
    void EngineRemove(SocketData& rec) override;
    bool EngineWatchRead(SocketData& rec) override;
    void EnginePauseRead(SocketData& rec) override;
    void EngineWatchWrite(SocketData& rec) override;
    void EngineReportSend(SocketData& rec) override;
    bool EngineConnect(SocketData& rec, const sockaddr_in& to) override;
    bool EngineListen(SocketData& rec, int nBacklog) override;

private:
    friend class TW_SelectThread;  // its pass calls the shared handlers
    static TW_SelectThread* GroupOf(const SocketData& rec) { return static_cast<TW_SelectThread*>(rec.lpEngine); }

    // Both guarded by the table lock.
    TW_List<int> m_listFreeThread;  // groups with room, by index
    TW_Array<TW_SelectThread*> m_arrSelectThread;
};

#endif
