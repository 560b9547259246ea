// The completion-port engine: every receive, send, accept and datagram
// receive is an overlapped operation whose completion a pool of workers turns
// into the shared handlers. Outgoing connects go through a hidden window
// (async-select FD_CONNECT) on a thread of its own, and join the port once
// they succeed.
#ifndef TW_IOCPSOCKETMGR_H
#define TW_IOCPSOCKETMGR_H

#include <atomic>
#include <cstdint>

#include "IoContext.h"
#include "PfCompletionPort.h"
#include "PfSync.h"
#include "TW_EngineSocketMgr.h"
#include "TW_Map.h"
#include "TW_NetSimulator.h"
#include "TW_Wnd.h"

class TW_IocpSocketMgr : public TW_EngineSocketMgr, private TW_NetSimulatorHost {
public:
    static TW_SocketMgrInstance* Create(bool bRecord);
    ~TW_IocpSocketMgr() override;

    // The simulator itself, for tests that drive it by hand.
    TW_NetSimulator& NetSimulator() { return m_sim; }

    // Accepts a listener keeps outstanding, whatever its backlog.
    static constexpr uint32_t kMaxPostedAccepts = 64;
    // The first receive of a socket is small (idle connections stay cheap);
    // one that fills its buffer moves the socket to stream-sized receives.
    static constexpr uint32_t kFirstRecvSize = 4096;

    // Window messages of the connect window.
    enum : uint32_t {
        WM_IOCP_CONNECT = 0x720,  // wParam socket, lParam event | error << 16
        WM_IOCP_RELEASE = 0x721   // wParam a socket closed while it connected
    };

protected:
    TW_IocpSocketMgr();

    bool EngineStart(uint8_t byFlags, uint32_t uiWorkers) override;
    void EngineStop() override;
    bool EngineAdd(SocketData& rec) override;
    void EngineRemove(SocketData& rec) override;
    bool EngineWatchRead(SocketData& rec) override;
    void EnginePauseRead(SocketData&) override {}  // an operation once started cannot be paused
    void EngineWatchWrite(SocketData&) override {}  // sends complete on their own
    void EngineReportSend(SocketData&) override {}
    bool EngineConnect(SocketData& rec, const sockaddr_in& to) override;
    bool EngineListen(SocketData& rec, int nBacklog) override;
    bool EngineSend(SocketData& rec, const char* lpData, uint32_t uiLen) override;
    bool EngineDeliverBuffered(SocketData& rec) override;
    bool EngineSendPending(const SocketData& rec) override;
    bool EngineLoseDatagram(const SocketData& rec) override;
    uint32_t EngineQueuedCount(const SocketData& rec) override;
    uint32_t EngineThreadProc(ThreadData* lpData) override;

private:
    enum { kThreadConnect = 0, kThreadWorker = 1 };
    static constexpr uintptr_t kStopKey = 0xFFFFFFFFu;

    // What the engine keeps per socket (SocketData::lpEngine).
    struct IocpSocket {
        bool bRecvPending = false;  // an IO_RECV or IO_RECVBUF is outstanding
        bool bSending = false;      // an IO_SEND is outstanding; the rest waits in listSendBuf
        bool bDeliverHeld = false;  // the next receive delivers the bytes held (IO_RECVBUF)
        uint32_t uiRecvSize = kFirstRecvSize;
        uint32_t uiAcceptsWanted = 0;
        uint32_t uiAcceptsPosted = 0;
    };
    static IocpSocket& StateOf(const SocketData& rec) { return *static_cast<IocpSocket*>(rec.lpEngine); }

    class ConnectWnd : public TW_Wnd {
    public:
        explicit ConnectWnd(TW_IocpSocketMgr* lpOwner) : m_lpOwner(lpOwner) {}
        intptr_t WindowProc(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) override;

    private:
        TW_IocpSocketMgr* m_lpOwner;
    };

    // ---- operations (table lock held); false with the platform's last error
    bool ArmRecvLocked(SocketData& rec, IoContext* lpReuse, bool bDeliverHeld = false);
    bool ArmDatagramLocked(SocketData& rec, IoContext* lpReuse);
    bool StartSendLocked(SocketData& rec, IoContext* lpCtx);
    // One operation for these bytes, in flight or queued behind the one that is.
    bool SendLocked(SocketData& rec, const char* lpData, uint32_t uiLen, uint32_t dwFlag);
    // Keeps the listener's accepts outstanding; false when none is.
    bool TopUpAcceptsLocked(SocketData& rec);
    void Issued() { m_nOutstanding.fetch_add(1, std::memory_order_relaxed); }

    // ---- threads
    void ThreadIOWork();
    void ThreadConnect();
    void OnCompletion(IoContext* lpCtx, SOCKET key, uint32_t uiBytes, int nError);
    void OnRecvDone(IoContext* lpCtx, uint32_t uiBytes);
    void OnSendDone(IoContext* lpCtx);
    void OnAcceptDone(IoContext* lpCtx, SOCKET sListen, int nError);
    void OnDatagramDone(IoContext* lpCtx, uint32_t uiBytes, int nError);
    void OnConnectMessage(SOCKET s, uint32_t uiEvent, int nError);
    void OnReleaseMessage(SOCKET s);

    // ---- the network simulator's view of the engine
    TW_Locker& SimTableLock() override { return m_lckTable; }
    SocketData* SimFindLocked(SOCKET s, uint32_t uiSeq) override { return FindLocked(s, uiSeq); }
    bool SimSendLocked(SocketData& rec, const char* lpData, uint32_t uiLen, uint32_t dwFlag) override {
        return SendLocked(rec, lpData, uiLen, dwFlag);
    }
    void SimFail(SOCKET s, uint32_t uiSeq, int nError) override { NotifyClose(nError, s, uiSeq); }
    void SimBreak(SOCKET s, uint32_t uiSeq) override;

    pf::CompletionPort m_hPort = nullptr;
    ConnectWnd m_wndConnect;
    pf::EventHandle m_hWndReady = nullptr;
    std::atomic<bool> m_bWndUp{false};
    std::atomic<uint32_t> m_dwWndThreadId{0};
    // Operations issued and not yet handled by a worker: Stop waits for them.
    std::atomic<int> m_nOutstanding{0};
    // Release messages still queued to the connect window, per handle: until
    // they are handled, connect notifications for the handle are the old
    // socket's. Guarded by the table lock.
    TW_Map<SOCKET, int> m_mapClosingSocket;
    TW_NetSimulator m_sim;
};

#endif
