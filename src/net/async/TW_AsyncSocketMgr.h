// The manager behind "IAsyncSocketMgr1.0": the shared engine layer over
// async-select. Every socket is registered with one hidden window
// ("AsyncConnectWnd") whose thread receives one message per network event
// and hands it to the shared handlers; that thread does all the reading.
//
// Notifications carry no sequence stamp, only the handle. A handle that is
// closed has its registration cancelled and a release message posted behind
// whatever was already queued for it; until that message comes back the
// handle is in the closing table and its notifications are stale, whatever
// socket may have the number by then.
#ifndef TW_ASYNCSOCKETMGR_H
#define TW_ASYNCSOCKETMGR_H

#include <atomic>

#include "PfSync.h"
#include "PfWindow.h"
#include "TW_EngineSocketMgr.h"
#include "TW_List.h"
#include "TW_Map.h"
#include "TW_Wnd.h"

class TW_AsyncSocketMgr : public TW_EngineSocketMgr {
public:
    enum : uint32_t {
        WM_ASYNC_SOCKET = 0x721,  // wParam socket, lParam event | error << 16
        WM_ASYNC_RELEASE = 0x722  // wParam a closed handle whose stale notifications have passed
    };
    static constexpr const wchar_t* kWindowClass = L"AsyncConnectWnd";

    TW_AsyncSocketMgr();
    ~TW_AsyncSocketMgr() override;

    static TW_SocketMgrInstance* Create(bool bRecord);

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
    void EngineDiscardAccepted(SOCKET s) override;
    uint32_t EngineThreadProc(ThreadData* lpData) override;

private:
    enum { kThreadWindow = 3 };

    class Window : public TW_Wnd {
    public:
        explicit Window(TW_AsyncSocketMgr* lpOwner) : m_lpOwner(lpOwner) {}

    protected:
        intptr_t WindowProc(uint32_t uiMsg, uintptr_t wParam, intptr_t lParam) override;

    private:
        TW_AsyncSocketMgr* m_lpOwner;
    };

    void RunWindowThread();
    void OnSocketEvent(SOCKET s, uint32_t uiEvent, int nError);
    void OnRelease(SOCKET s);

    // ---- with the table lock held
    // Registers the events the record needs now; bRenew registers even an
    // unchanged set, to have what holds reported again. False with the last
    // error when the registration failed.
    bool RegisterLocked(SocketData& rec, bool bRenew);
    // The same where no caller can take the failure: it becomes the socket's close.
    void WatchLocked(SocketData& rec, bool bRenew);
    // The handle is closing: its notifications are stale until the release
    // message posted now comes back.
    void ReleaseLocked(SOCKET s);
    void PostReleaseLocked(SOCKET s);
    void RetryReleasesLocked();

    Window m_wnd{this};                       // lives on the window thread
    std::atomic<pf::WindowHandle> m_hWnd{nullptr};
    std::atomic<uint32_t> m_dwWndThreadId{0};
    pf::EventHandle m_hWndReady;
    bool m_bWndCreated = false;               // read after m_hWndReady
    TW_Map<SOCKET, int> m_mapClosingSocket;   // handle -> release messages still queued
    TW_List<SOCKET> m_listUnposted;           // releases the queue refused, posted again later
    std::atomic<bool> m_bUnposted{false};
};

#endif
