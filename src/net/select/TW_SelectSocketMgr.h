// The manager behind "ISelectSocketMgr1.0": sockets spread over poll groups
// of at most 64 (TW_SelectThread), each with its own thread, plus a DNS
// worker thread and the multiple timer's threads. Groups appear with the
// first socket that fits nowhere else and live until Stop.
#ifndef TW_SELECTSOCKETMGR_H
#define TW_SELECTSOCKETMGR_H

#include <cstdint>

#include "TW_Array.h"
#include "TW_List.h"
#include "TW_Map.h"
#include "TW_MultiThread.h"
#include "TW_SocketMgr.h"

class TW_SelectThread;

class TW_SelectSocketMgr : public TW_SocketMgr, private TW_MultiThread {
public:
    TW_SelectSocketMgr();
    ~TW_SelectSocketMgr() override;

    static TW_SocketMgrInstance* Create(bool bRecord);

    bool Start(uint8_t byFlags, uint32_t uiWorkers, uint32_t uiReserved1, uint32_t uiReserved2) override;
    bool Stop(uint32_t uiTimeout) override;
    bool Shutdown(SOCKET s, int nHow) override;
    bool CloseSocket(SOCKET s) override;
    bool SetNoticeLen(SOCKET s, uint32_t uiNoticeLen) override;
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
    uint32_t Control(uint32_t uiCode, SOCKET s, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6, uint32_t a7,
                     uint32_t a8) override;

    // ---- for the poll groups
    bool AddSocket(SOCKET s, uint32_t status, uint32_t dwUser1, uint32_t dwUser2, ProxyData* lpProxy);
    bool NotifyClose(int nError, SOCKET s);
    bool SetRelayAddr(SOCKET s, uint32_t dwIp, uint16_t wPort);
    uint32_t GetSocketSeq(SOCKET s);
    int GetGroupCount();

protected:
    uint32_t ThreadProc(ThreadData* lpData) override;
    void OnNameResolved(const NameRequest& req, uint32_t dwIp, int nError) override;
    bool CheckIdle(SOCKET s, bool bSend, uint32_t uiValue, uint32_t* lpElapsed) override;

private:
    enum { kThreadDns = 2 };

    // The socket's group, or null. Groups are never deleted before Stop, so
    // the pointer stays good after the lock is released.
    TW_SelectThread* FindGroup(SOCKET s);
    // Closes and forgets one socket; its link and kind in the out arguments
    // (both may be null). False when the engine does not know the socket.
    bool CloseOne(SOCKET s, SOCKET* lpLinked, bool* lpUdp);
    // A new socket of the given type, bound and registered; INVALID_SOCKET
    // (with nothing left open) on any failure.
    SOCKET CreateSocket(bool bTcp, PROXYHANDLE hProxy, const sockaddr_in* lpAddr, uint32_t u1, uint32_t u2);

    TW_List<int> m_listFreeThread;
    TW_Array<TW_SelectThread*> m_arrSelectThread;
    TW_LockedMap<SOCKET, int> m_mapSocket2Thread;  // its lock also guards the two above
    bool m_bStarted = false;
};

#endif
