// The object behind the "2.0" interface names: a light ISocketMgr that
// forwards to one real engine shared by every container of the process, and
// gives each container's sink only the events of the sockets that container
// created (or accepted on its listeners). The shared manager's sink is one
// internal container; it looks up the owner of each event's socket and calls
// that owner's sink.
#ifndef TW_SOCKETMGRCONTAINER_H
#define TW_SOCKETMGRCONTAINER_H

#include <atomic>
#include <cstdint>

#include "TW_NetworkEx.h"

class TW_SocketMgrContainer : public TW_SocketMgrInstance, public ISocketMgrSink {
public:
    // lpszName: one of the three "2.0" names (the first container's name
    // chooses the engine; later ones share it), or "for sink" for the
    // internal instance.
    explicit TW_SocketMgrContainer(const char* lpszName);
    ~TW_SocketMgrContainer() override;

    // The registry's factory: a container, or null when no shared manager
    // could be made for the name.
    static TW_SocketMgrInstance* Create(const char* lpszName);

    // ---- ISocketMgr: forwarded to the shared manager
    PROXYHANDLE CreateProxy(uint32_t uiType, const char* lpszIp, uint16_t wPort, const char* lpszUser,
                            const char* lpszPassword) override;
    bool DestroyProxy(PROXYHANDLE hProxy) override;
    bool SetSendBufSize(SOCKET s, int nBytes) override;
    bool SetRecvBufSize(SOCKET s, int nBytes) override;
    bool SetSendIdleTimer(SOCKET s, uint32_t uiPeriod) override;
    bool SetRecvIdleTimer(SOCKET s, uint32_t uiPeriod) override;
    bool KillSendIdleTimer(SOCKET s) override;
    bool KillRecvIdleTimer(SOCKET s) override;
    bool SetEventTimer(SOCKET s, uint32_t uiEvent, uint32_t uiDelay, uint32_t uiPeriod, bool bOneShot) override;
    bool KillEventTimer(SOCKET s, uint32_t uiEvent) override;
    bool Start(uint8_t byFlags, uint32_t uiWorkers, uint32_t uiReserved1, uint32_t uiReserved2) override;
    bool Stop(uint32_t uiTimeout) override;
    bool Shutdown(SOCKET s, int nHow) override;
    bool CloseSocket(SOCKET s) override;
    bool SetNoticeLen(SOCKET s, uint32_t uiNoticeLen) override;
    bool ParseDns(const char* lpszHost) override;
    bool SetUserData1(SOCKET s, uint32_t u1) override;
    bool SetUserData2(SOCKET s, uint32_t u2) override;
    bool GetUserData(SOCKET s, uint32_t* lpU1, uint32_t* lpU2) override;
    SOCKET CreateUdpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                           uint32_t u2) override;
    SOCKET CreateUdpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) override;
    int SendToAddr(SOCKET s, sockaddr_in* lpTo, const char* lpData, int nLen, bool bDirect) override;
    int SendTo(SOCKET s, const char* lpszIp, uint16_t wPort, const char* lpData, int nLen, bool bDirect) override;
    SOCKET CreateTcpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                           uint32_t u2) override;
    SOCKET CreateTcpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) override;
    bool Connect(SOCKET s, const char* lpszHost, uint16_t wPort) override;
    bool ConnectAddr(SOCKET s, sockaddr_in* lpAddr) override;
    bool Listen(SOCKET s, int nBacklog) override;
    bool SendV(SOCKET s, const SendVBuf* lpBufs, uint32_t uiCount, uint32_t dwSendFlag, uint32_t* lpQueued) override;
    bool Send(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwSendFlag, uint32_t* lpQueued) override;
    ISocketMgrSink* SetSink(ISocketMgrSink* lpSink) override;
    ISocketMgrSink* GetSink() override;
    uint32_t Control(uint32_t uiCode, SOCKET s, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6, uint32_t a7,
                     uint32_t a8) override;

    // Destroying a container inside a callback of the shared manager would
    // pull the manager (or the sink being called) from under the thread.
    bool RefuseDestroyHere() override;

    // ---- ISocketMgrSink: the shared manager's events, dispatched by socket
    bool OnSocketPreAccept(sockaddr_in* lpLocal, sockaddr_in* lpPeer) override;
    void OnSocketConnect(int nError, SOCKET s, uint32_t u1, uint32_t u2) override;
    void OnSocketAccept(int nError, SOCKET sListen, SOCKET s, sockaddr_in* lpLocal, sockaddr_in* lpPeer) override;
    void OnSocketRecv(int nError, SOCKET s, const char* lpData, uint32_t* lpLen, uint32_t u1, uint32_t u2) override;
    void OnSocketRecvFrom(int nError, SOCKET s, const char* lpData, int nLen, sockaddr_in* lpFrom, uint32_t u1,
                          uint32_t u2) override;
    void OnSocketSend(int nError, SOCKET s, uint32_t u1, uint32_t u2, uint32_t dwSendFlag,
                      uint32_t uiQueued) override;
    void OnSocketClose(int nError, SOCKET s, int nStatus, uint32_t u1, uint32_t u2) override;
    void OnSocketRecvIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) override;
    void OnSocketSendIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) override;
    void OnDnsParse(const char* lpszHost, uint32_t dwIp) override;
    void OnSocketTimer(SOCKET s, uint32_t uiEvent, uint32_t uiPeriod, uint32_t u1, uint32_t u2) override;
    void OnSocketProxy(int nError, SOCKET s, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) override;
    uint32_t OnSocketReserved(uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5, uint32_t w6,
                              uint32_t w7, uint32_t w8, uint32_t w9) override;

    // ---- for tests
    // The shared manager (null when no user container lives).
    static TW_SocketMgrInstance* GetSharedSocketMgr();
    // Live user containers minus one.
    static int GetContainerCount();

private:
    class Dispatch;
    // Registers s (a socket the shared manager just made) as this container's.
    SOCKET Own(SOCKET s);
    // Until no call into this container's sink started in generation slot
    // uiSlot (both slots: uiSlot 2) is running, except the caller's own.
    void WaitForSinkCalls(uint32_t uiSlot);

    bool m_bForSink = false;
    // The shared manager; it lives at least as long as this container.
    TW_SocketMgrInstance* m_lpMgr = nullptr;
    // Calls into this container's sink under way, by the parity of the sink
    // generation they started in (counted under the container lock); SetSink
    // advances the generation and waits for the previous one's calls.
    uint32_t m_uiSinkGen = 0;
    std::atomic<int> m_nSinkCalls[2] = {{0}, {0}};
};

#endif
