// The manager behind "IRecordSocketMgr1.0": no network at all. Start opens
// "vxnet.rec" in the current folder and a replay thread delivers its records
// to the sink as fast as the sink takes them: accepts, received bytes and
// closes, with the recorded handles, user words, errors and statuses. Every
// socket operation succeeds without doing anything.
#ifndef TW_RECORDSOCKETMGR_H
#define TW_RECORDSOCKETMGR_H

#include <atomic>

#include "TW_FileEx.h"
#include "TW_Locker.h"
#include "TW_MultiThread.h"
#include "TW_SocketMgr.h"

class TW_RecordReader;

class TW_RecordSocketMgr : public TW_SocketMgr, protected TW_MultiThread {
public:
    TW_RecordSocketMgr() = default;
    // Ends the replay after the record in hand and waits for its thread.
    ~TW_RecordSocketMgr() override;

    static TW_SocketMgrInstance* Create(bool bRecord);

    // Fails while a replay is started (until Stop), without a sink, inside a
    // callback of this manager, or when the file cannot be opened.
    bool Start(uint8_t byFlags, uint32_t uiWorkers, uint32_t uiReserved1, uint32_t uiReserved2) override;
    // Ends the replay after the record in hand and waits for the replay
    // thread; from inside a callback it only asks, as the thread is the caller.
    bool Stop(uint32_t uiTimeout) override;
    // The replay thread has not finished yet (it ends at the end of the file,
    // at a bad record, or on Stop).
    bool IsReplaying() { return GetThreadCount(kThreadReplay) > 0; }

    bool Shutdown(SOCKET, int) override { return true; }
    bool CloseSocket(SOCKET) override { return true; }
    bool SetNoticeLen(SOCKET, uint32_t) override { return true; }
    bool SetUserData1(SOCKET, uint32_t) override { return true; }
    bool SetUserData2(SOCKET, uint32_t) override { return true; }
    bool GetUserData(SOCKET, uint32_t*, uint32_t*) override { return true; }
    SOCKET CreateUdpSocket(PROXYHANDLE, const char*, uint16_t, uint32_t, uint32_t) override { return 1; }
    SOCKET CreateUdpSocketAddr(PROXYHANDLE, sockaddr_in*, uint32_t, uint32_t) override { return 1; }
    int SendToAddr(SOCKET, sockaddr_in*, const char*, int nLen, bool) override { return nLen; }
    int SendTo(SOCKET, const char*, uint16_t, const char*, int nLen, bool) override { return nLen; }
    SOCKET CreateTcpSocket(PROXYHANDLE, const char*, uint16_t, uint32_t, uint32_t) override { return 1; }
    SOCKET CreateTcpSocketAddr(PROXYHANDLE, sockaddr_in*, uint32_t, uint32_t) override { return 1; }
    bool Connect(SOCKET, const char*, uint16_t) override { return true; }
    bool ConnectAddr(SOCKET, sockaddr_in*) override { return true; }
    bool Listen(SOCKET, int) override { return true; }
    bool SendV(SOCKET, const SendVBuf*, uint32_t, uint32_t, uint32_t*) override { return true; }
    bool Send(SOCKET, const char*, uint32_t, uint32_t, uint32_t*) override { return true; }
    uint32_t Control(uint32_t, SOCKET, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {
        return 0;
    }

protected:
    uint32_t ThreadProc(ThreadData* lpData) override;

    // Timers may be set, but nothing is watched: they report nothing.
    void OnTimer(uint32_t, uint32_t) override {}
    void OnNameResolved(const NameRequest&, uint32_t, int) override {}
    void OnInternalTimer(SOCKET, uint32_t) override {}
    bool CheckIdle(SOCKET, bool, uint32_t, uint32_t*) override { return false; }

private:
    enum { kThreadReplay = 1 };

    void Replay();
    void Deliver(const TW_RecordReader& reader);
    // Under m_lckLifecycle: waits for the replay thread and stops the timer.
    void EndReplayLocked();

    TW_Locker m_lckLifecycle;       // orders Start, Stop and destruction
    std::atomic<bool> m_bRunning{false};  // from Start until Stop
    TW_FileEx m_fileReplay;         // the replay thread's while it runs
};

#endif
