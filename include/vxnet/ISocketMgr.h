// The socket manager interface a host drives, and the callback interface it
// implements. The order of the virtual functions is a binary contract: never
// reorder, insert or remove a slot.
#ifndef VXNET_ISOCKETMGR_H
#define VXNET_ISOCKETMGR_H

#include <stdint.h>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <netinet/in.h>
typedef uint32_t SOCKET;
#ifndef INVALID_SOCKET
#define INVALID_SOCKET ((SOCKET)~0u)
#endif
#endif

// Socket status codes (SocketData.status). Code 2 is not used.
enum {
    SS_UDP = 0,
    SS_TCP = 1,
    SS_ACCEPTING = 3,
    SS_CONNECTING = 4,
    SS_CONNECTED = 5,
    SS_CLOSE_NOTIFIED = 6,
    SS_CLOSED = 7
};

// Proxy protocols for CreateProxy.
enum {
    PROXY_SOCKS4 = 1,
    PROXY_SOCKS5 = 2,
    PROXY_HTTP = 3
};

// Start flags.
enum {
    START_NO_DNS_THREAD = 1,   // bit 0: no name-resolution thread
    START_NO_TIMER = 2         // bit 1: no multiple timer (timer slots then fail)
};

// Control codes.
enum {
    CONTROL_REPORT_PARTIAL_SEND = 1   // arg3 != 0: report OnSocketSend after a flush that left data queued
};

// One piece of a SendV call: {data pointer, a word that is not read, length}.
// On 32-bit platforms this is the 12-byte descriptor of the interface.
struct SendVBuf {
    const void* pData;
    uint32_t dwReserved;
    uint32_t uiLen;
};

// A proxy handle is an opaque pointer returned by CreateProxy.
typedef void* PROXYHANDLE;

class ISocketMgrSink {
public:
    /* 0 */ virtual bool OnSocketPreAccept(sockaddr_in* lpLocal, sockaddr_in* lpPeer) = 0;
    /* 1 */ virtual void OnSocketConnect(int nError, SOCKET s, uint32_t u1, uint32_t u2) = 0;
    /* 2 */ virtual void OnSocketAccept(int nError, SOCKET sListen, SOCKET s, sockaddr_in* lpLocal,
                                        sockaddr_in* lpPeer) = 0;
    /* 3 */ virtual void OnSocketRecv(int nError, SOCKET s, const char* lpData, uint32_t* lpLen,
                                      uint32_t u1, uint32_t u2) = 0;
    /* 4 */ virtual void OnSocketRecvFrom(int nError, SOCKET s, const char* lpData, int nLen,
                                          sockaddr_in* lpFrom, uint32_t u1, uint32_t u2) = 0;
    /* 5 */ virtual void OnSocketSend(int nError, SOCKET s, uint32_t u1, uint32_t u2, uint32_t dwSendFlag,
                                      uint32_t uiQueued) = 0;
    /* 6 */ virtual void OnSocketClose(int nError, SOCKET s, int nStatus, uint32_t u1, uint32_t u2) = 0;
    /* 7 */ virtual void OnSocketRecvIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) = 0;
    /* 8 */ virtual void OnSocketSendIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) = 0;
    /* 9 */ virtual void OnDnsParse(const char* lpszHost, uint32_t dwIp) = 0;
    /* 10 */ virtual void OnSocketTimer(SOCKET s, uint32_t uiEvent, uint32_t uiPeriod, uint32_t u1,
                                        uint32_t u2) = 0;
    /* 11 */ virtual void OnSocketProxy(int nError, SOCKET s, sockaddr_in* lpAddr, uint32_t u1,
                                        uint32_t u2) = 0;
    /* 12 */ virtual uint32_t OnSocketReserved(uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4,
                                               uint32_t w5, uint32_t w6, uint32_t w7, uint32_t w8,
                                               uint32_t w9) = 0;

protected:
    // Not a slot: the library never deletes a sink.
    ~ISocketMgrSink() = default;
};

class ISocketMgr {
public:
    /* 0 */ virtual PROXYHANDLE CreateProxy(uint32_t uiType, const char* lpszIp, uint16_t wPort,
                                            const char* lpszUser, const char* lpszPassword) = 0;
    /* 1 */ virtual bool DestroyProxy(PROXYHANDLE hProxy) = 0;
    /* 2 */ virtual bool SetSendBufSize(SOCKET s, int nBytes) = 0;
    /* 3 */ virtual bool SetRecvBufSize(SOCKET s, int nBytes) = 0;
    /* 4 */ virtual bool SetSendIdleTimer(SOCKET s, uint32_t uiPeriod) = 0;
    /* 5 */ virtual bool SetRecvIdleTimer(SOCKET s, uint32_t uiPeriod) = 0;
    /* 6 */ virtual bool KillSendIdleTimer(SOCKET s) = 0;
    /* 7 */ virtual bool KillRecvIdleTimer(SOCKET s) = 0;
    /* 8 */ virtual bool SetEventTimer(SOCKET s, uint32_t uiEvent, uint32_t uiDelay, uint32_t uiPeriod,
                                       bool bOneShot) = 0;
    /* 9 */ virtual bool KillEventTimer(SOCKET s, uint32_t uiEvent) = 0;
    /* 10 */ virtual bool Start(uint8_t byFlags, uint32_t uiWorkers, uint32_t uiReserved1,
                                uint32_t uiReserved2) = 0;
    /* 11 */ virtual bool Stop(uint32_t uiTimeout) = 0;
    /* 12 */ virtual bool Shutdown(SOCKET s, int nHow) = 0;
    /* 13 */ virtual bool CloseSocket(SOCKET s) = 0;
    /* 14 */ virtual bool SetNoticeLen(SOCKET s, uint32_t uiNoticeLen) = 0;
    /* 15 */ virtual bool ParseDns(const char* lpszHost) = 0;
    /* 16 */ virtual bool SetUserData1(SOCKET s, uint32_t u1) = 0;
    /* 17 */ virtual bool SetUserData2(SOCKET s, uint32_t u2) = 0;
    /* 18 */ virtual bool GetUserData(SOCKET s, uint32_t* lpU1, uint32_t* lpU2) = 0;
    /* 19 */ virtual SOCKET CreateUdpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort,
                                            uint32_t u1, uint32_t u2) = 0;
    /* 20 */ virtual SOCKET CreateUdpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1,
                                                uint32_t u2) = 0;
    /* 21 */ virtual int SendToAddr(SOCKET s, sockaddr_in* lpTo, const char* lpData, int nLen,
                                    bool bDirect) = 0;
    /* 22 */ virtual int SendTo(SOCKET s, const char* lpszIp, uint16_t wPort, const char* lpData, int nLen,
                                bool bDirect) = 0;
    /* 23 */ virtual SOCKET CreateTcpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort,
                                            uint32_t u1, uint32_t u2) = 0;
    /* 24 */ virtual SOCKET CreateTcpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1,
                                                uint32_t u2) = 0;
    /* 25 */ virtual bool Connect(SOCKET s, const char* lpszHost, uint16_t wPort) = 0;
    /* 26 */ virtual bool ConnectAddr(SOCKET s, sockaddr_in* lpAddr) = 0;
    /* 27 */ virtual bool Listen(SOCKET s, int nBacklog) = 0;
    /* 28 */ virtual bool SendV(SOCKET s, const SendVBuf* lpBufs, uint32_t uiCount, uint32_t dwSendFlag,
                                uint32_t* lpQueued) = 0;
    /* 29 */ virtual bool Send(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwSendFlag,
                               uint32_t* lpQueued) = 0;
    /* 30 */ virtual ISocketMgrSink* SetSink(ISocketMgrSink* lpSink) = 0;
    /* 31 */ virtual ISocketMgrSink* GetSink() = 0;
    /* 32 */ virtual uint32_t Control(uint32_t uiCode, SOCKET s, uint32_t a3, uint32_t a4, uint32_t a5,
                                      uint32_t a6, uint32_t a7, uint32_t a8) = 0;

protected:
    // Not a slot: instances are destroyed with vxDestroyInstance only.
    ~ISocketMgr() = default;
};

#endif
