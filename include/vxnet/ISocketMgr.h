/// @file ISocketMgr.h
/// The socket manager interface a host drives (ISocketMgr), and the callback
/// interface it implements (ISocketMgrSink). The order of the virtual
/// functions is a binary contract: never reorder, insert or remove a slot.
/// Error numbers are Winsock's on every platform (docs/errors.md).
#ifndef VXNET_ISOCKETMGR_H
#define VXNET_ISOCKETMGR_H

#include <stdint.h>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <netinet/in.h>
/// A socket handle: the platform's socket on Windows, a 32-bit descriptor elsewhere.
typedef uint32_t SOCKET;
#ifndef INVALID_SOCKET
/// The handle that names no socket (all bits set); failed creations return it.
#define INVALID_SOCKET ((SOCKET)~0u)
#endif
#endif

/// Socket status codes, as OnSocketClose reports the status before the failure.
/// Code 2 is not used.
enum {
    SS_UDP = 0,            ///< UDP socket, ready
    SS_TCP = 1,            ///< TCP socket created and bound, neither connecting nor listening
    SS_ACCEPTING = 3,      ///< listening
    SS_CONNECTING = 4,     ///< connect issued, not finished
    SS_CONNECTED = 5,      ///< connected (by connect, by accept, or through a proxy)
    SS_CLOSE_NOTIFIED = 6, ///< failure reported; no second OnSocketClose comes
    SS_CLOSED = 7          ///< record being removed
};

/// Proxy protocols for ISocketMgr::CreateProxy.
enum {
    PROXY_SOCKS4 = 1, ///< SOCKS4 CONNECT (user name, no password)
    PROXY_SOCKS5 = 2, ///< SOCKS5 CONNECT, BIND and UDP ASSOCIATE; no authentication or user name and password
    PROXY_HTTP = 3    ///< HTTP CONNECT, optionally with Basic proxy authorization
};

/// Flags of ISocketMgr::Start.
enum {
    START_NO_DNS_THREAD = 1, ///< bit 0: no name-resolution thread (ParseDns and connects by name get no answer)
    START_NO_TIMER = 2       ///< bit 1: no timer (the timer slots and connects by name then fail)
};

/// Codes of ISocketMgr::Control.
enum {
    /// a3 != 0: also report OnSocketSend after a flush that left data queued
    /// (with the flush's last error and the blocks still queued); a3 == 0: do not.
    CONTROL_REPORT_PARTIAL_SEND = 1
};

/// One piece of an ISocketMgr::SendV call. On 32-bit platforms this is a
/// 12-byte record.
struct SendVBuf {
    const void* pData;   ///< the bytes (copied before SendV returns)
    uint32_t dwReserved; ///< not read
    uint32_t uiLen;      ///< number of bytes at pData
};

/// A proxy record of one manager, from ISocketMgr::CreateProxy; null means "no proxy".
typedef void* PROXYHANDLE;

/// The callbacks a host implements and registers with ISocketMgr::SetSink.
///
/// Every call comes on one of the manager's own threads, several at once for
/// different sockets (docs/threading.md names which thread makes each call).
/// No lock of the manager is held during a call: a callback may call any slot
/// of ISocketMgr except Stop, and vxDestroyInstance is refused there too.
/// A callback must not block for long: the thread that calls it serves other
/// sockets. u1 and u2 are the socket's two user words. After OnSocketClose
/// (or OnSocketProxy with an error) no network event names the socket again;
/// only its event timers run on until the host calls ISocketMgr::CloseSocket.
class ISocketMgrSink {
public:
    /// A listening socket accepted a connection, before it is registered.
    /// Return false to refuse: the connection is closed and nothing about it is reported.
    /* 0 */ virtual bool OnSocketPreAccept(sockaddr_in* lpLocal, sockaddr_in* lpPeer) = 0;
    /// A connect finished. 0: connected (through a proxy: the tunnel to the
    /// destination is up). Otherwise a Winsock error: 10060 the connect failed
    /// (select engine, whatever the cause), 10065 a connect by host name did not
    /// finish within 20 s, 11001-11004 the name did not resolve, or the error of
    /// the connect call made after resolution. At most once per connect; a proxy
    /// that fails the handshake reports OnSocketProxy instead.
    /* 1 */ virtual void OnSocketConnect(int nError, SOCKET s, uint32_t u1, uint32_t u2) = 0;
    /// A new connection is registered as @p s (connected, user words 0, not read
    /// until SetNoticeLen). nError is 0. After a listen through a SOCKS5 proxy,
    /// the peer's arrival comes here with the proxied socket as both sListen and s.
    /* 2 */ virtual void OnSocketAccept(int nError, SOCKET sListen, SOCKET s, sockaddr_in* lpLocal,
                                        sockaddr_in* lpPeer) = 0;
    /// A notice is complete: at least the length asked with SetNoticeLen is at
    /// lpData. On entry *lpLen is the number of bytes offered; set it to the
    /// number consumed (at most that). Unconsumed bytes stay buffered. Nothing
    /// more is read until the next SetNoticeLen, which may be called from here.
    /// nError is 0.
    /* 3 */ virtual void OnSocketRecv(int nError, SOCKET s, const char* lpData, uint32_t* lpLen,
                                      uint32_t u1, uint32_t u2) = 0;
    /// A UDP datagram arrived (through a SOCKS5 relay: its header removed and
    /// lpFrom the real sender). nLen may be 0. nError is 0.
    /* 4 */ virtual void OnSocketRecvFrom(int nError, SOCKET s, const char* lpData, int nLen,
                                          sockaddr_in* lpFrom, uint32_t u1, uint32_t u2) = 0;
    /// The send queue became empty (nError 0, uiQueued 0). With
    /// CONTROL_REPORT_PARTIAL_SEND set, also after a flush that left blocks
    /// queued: nError is that flush's last error (usually 10035), uiQueued the
    /// blocks left. dwSendFlag is the flag of the most recent Send.
    /* 5 */ virtual void OnSocketSend(int nError, SOCKET s, uint32_t u1, uint32_t u2, uint32_t dwSendFlag,
                                      uint32_t uiQueued) = 0;
    /// The connection ended or failed, reported once. nError: 0 the peer closed
    /// (or shut its sending side), else a Winsock error (10054 reset, 10053
    /// aborted, 10055 a notice too large to hold, 6 or a send error during a
    /// proxy handshake). nStatus is the status before the failure (SS_*). The
    /// socket stays allocated until the host calls CloseSocket.
    /* 6 */ virtual void OnSocketClose(int nError, SOCKET s, int nStatus, uint32_t u1, uint32_t u2) = 0;
    /// Nothing was delivered for the period of SetRecvIdleTimer. nError is 0.
    /* 7 */ virtual void OnSocketRecvIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) = 0;
    /// Nothing was flushed for the period of SetSendIdleTimer. nError is 0.
    /* 8 */ virtual void OnSocketSendIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) = 0;
    /// The answer to ParseDns: the IPv4 address in network order, or 0xFFFFFFFF
    /// when the name did not resolve.
    /* 9 */ virtual void OnDnsParse(const char* lpszHost, uint32_t dwIp) = 0;
    /// Event timer uiEvent (0-28) of SetEventTimer fired; uiPeriod is the value
    /// given there. The socket comes first here.
    /* 10 */ virtual void OnSocketTimer(SOCKET s, uint32_t uiEvent, uint32_t uiPeriod, uint32_t u1,
                                        uint32_t u2) = 0;
    /// A proxy handshake step. nError 0 with an address: the UDP relay of a
    /// proxied UDP socket is ready, or the first reply of a SOCKS5 BIND gave the
    /// address the proxy listens on. A non-zero nError fails the socket (for a
    /// proxied UDP socket, s names the UDP socket): 10061 refused, 10043 no
    /// acceptable SOCKS5 method, 86 password refused, 10022 BIND's peer reply
    /// refused, 10060 no answer within 20 s, 10054 the UDP relay's control
    /// connection closed, 6 the proxy record is gone.
    /* 11 */ virtual void OnSocketProxy(int nError, SOCKET s, sockaddr_in* lpAddr, uint32_t u1,
                                        uint32_t u2) = 0;
    /// Never called; return 0.
    /* 12 */ virtual uint32_t OnSocketReserved(uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4,
                                               uint32_t w5, uint32_t w6, uint32_t w7, uint32_t w8,
                                               uint32_t w9) = 0;

protected:
    /// Not a slot: the library never deletes a sink.
    ~ISocketMgrSink() = default;
};

/// A socket manager, from vxCreateInstance. Every slot may be called from any
/// thread, also from inside a callback (Stop excepted). A socket slot given a
/// handle this manager does not own fails without touching it. Failures that
/// happen later reach the sink as Winsock error numbers.
class ISocketMgr {
public:
    /// A proxy record: uiType PROXY_*, the proxy's dotted IPv4 address and port,
    /// and optional credentials (both or neither; SOCKS4 sends the user name only).
    /// Identical arguments return the same handle. Null for a null or unparsable
    /// address, an unknown type, or credentials that do not fit the protocol.
    /* 0 */ virtual PROXYHANDLE CreateProxy(uint32_t uiType, const char* lpszIp, uint16_t wPort,
                                            const char* lpszUser, const char* lpszPassword) = 0;
    /// Frees a proxy record; no socket may still use it. False for null or a
    /// handle this manager does not hold.
    /* 1 */ virtual bool DestroyProxy(PROXYHANDLE hProxy) = 0;
    /// Sets the socket's SO_SNDBUF; true when the system accepted it.
    /* 2 */ virtual bool SetSendBufSize(SOCKET s, int nBytes) = 0;
    /// Sets the socket's SO_RCVBUF; true when the system accepted it.
    /* 3 */ virtual bool SetRecvBufSize(SOCKET s, int nBytes) = 0;
    /// Starts a repeating check: OnSocketSendIdle whenever nothing was flushed
    /// for uiPeriod ms (UDP or connected sockets). False when one is set already
    /// or the manager runs without timer.
    /* 4 */ virtual bool SetSendIdleTimer(SOCKET s, uint32_t uiPeriod) = 0;
    /// As SetSendIdleTimer, for deliveries: OnSocketRecvIdle.
    /* 5 */ virtual bool SetRecvIdleTimer(SOCKET s, uint32_t uiPeriod) = 0;
    /// Ends the send-idle check; false when none was set.
    /* 6 */ virtual bool KillSendIdleTimer(SOCKET s) = 0;
    /// Ends the receive-idle check; false when none was set.
    /* 7 */ virtual bool KillRecvIdleTimer(SOCKET s) = 0;
    /// Event timer uiEvent (0-28) of the socket: OnSocketTimer after uiDelay ms,
    /// then every uiDelay ms unless bOneShot. uiPeriod only comes back in
    /// OnSocketTimer. False when that event timer is set already, for an event
    /// above 28, or without timer.
    /* 8 */ virtual bool SetEventTimer(SOCKET s, uint32_t uiEvent, uint32_t uiDelay, uint32_t uiPeriod,
                                       bool bOneShot) = 0;
    /// Ends event timer uiEvent; false when it was not set.
    /* 9 */ virtual bool KillEventTimer(SOCKET s, uint32_t uiEvent) = 0;
    /// Starts the manager's threads. byFlags: START_*. uiWorkers: worker threads
    /// of the completion-port engine (0: processors + 1); other engines ignore it.
    /// False while running. Sockets can be created only while the manager runs.
    /* 10 */ virtual bool Start(uint8_t byFlags, uint32_t uiWorkers, uint32_t uiReserved1,
                                uint32_t uiReserved2) = 0;
    /// Stops every thread and closes every socket without events; returns when
    /// the threads have ended, so no callback runs afterwards. Refused (false)
    /// inside a callback of this manager. Start may be called again.
    /* 11 */ virtual bool Stop(uint32_t uiTimeout) = 0;
    /// Shuts down receiving (0), sending (1) or both (2) of a connected or UDP
    /// socket. Bytes already accepted by Send go out before the send side shuts.
    /* 12 */ virtual bool Shutdown(SOCKET s, int nHow) = 0;
    /// Closes the socket and its timers at once; no event is reported and queued
    /// bytes are dropped. True also for a handle not owned (nothing happens);
    /// false for INVALID_SOCKET.
    /* 13 */ virtual bool CloseSocket(SOCKET s) = 0;
    /// Asks for the next notice of a connected socket: OnSocketRecv once at least
    /// uiNoticeLen bytes are there. False while a request is pending or when the
    /// socket is not connected; true without effect on UDP sockets and for 0.
    /// When enough bytes are buffered already, the delivery runs on this thread
    /// before the call returns.
    /* 14 */ virtual bool SetNoticeLen(SOCKET s, uint32_t uiNoticeLen) = 0;
    /// Resolves a host name on the manager's name thread; the answer is OnDnsParse.
    /// False for null or a name over 260 characters.
    /* 15 */ virtual bool ParseDns(const char* lpszHost) = 0;
    /// Replaces the socket's first user word.
    /* 16 */ virtual bool SetUserData1(SOCKET s, uint32_t u1) = 0;
    /// Replaces the socket's second user word.
    /* 17 */ virtual bool SetUserData2(SOCKET s, uint32_t u2) = 0;
    /// Reads both user words.
    /* 18 */ virtual bool GetUserData(SOCKET s, uint32_t* lpU1, uint32_t* lpU2) = 0;
    /// A UDP socket bound to lpszIp (null: any) and wPort (0: any). With a SOCKS5
    /// proxy, a control connection asks for a relay; OnSocketProxy(0) with the
    /// relay's address says when datagrams can go. INVALID_SOCKET on failure.
    /* 19 */ virtual SOCKET CreateUdpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort,
                                            uint32_t u1, uint32_t u2) = 0;
    /// As CreateUdpSocket, with the local address as a record.
    /* 20 */ virtual SOCKET CreateUdpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1,
                                                uint32_t u2) = 0;
    /// Sends one datagram at once on the caller's thread; returns the bytes sent
    /// or -1. bDirect true bypasses a socket's proxy relay; false sends through it
    /// when the socket has one.
    /* 21 */ virtual int SendToAddr(SOCKET s, sockaddr_in* lpTo, const char* lpData, int nLen,
                                    bool bDirect) = 0;
    /// As SendToAddr, with the destination as a dotted address and a port.
    /* 22 */ virtual int SendTo(SOCKET s, const char* lpszIp, uint16_t wPort, const char* lpData, int nLen,
                                bool bDirect) = 0;
    /// A TCP socket bound to lpszIp (null: any) and wPort (0: any), to connect
    /// (through hProxy when given) or to listen. INVALID_SOCKET on failure.
    /* 23 */ virtual SOCKET CreateTcpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort,
                                            uint32_t u1, uint32_t u2) = 0;
    /// As CreateTcpSocket, with the local address as a record.
    /* 24 */ virtual SOCKET CreateTcpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1,
                                                uint32_t u2) = 0;
    /// Connects a fresh TCP socket to a dotted address or a host name (resolved on
    /// the name thread, 20 s limit). True: OnSocketConnect (or, through a proxy,
    /// OnSocketProxy with an error) will come. False: no event comes.
    /* 25 */ virtual bool Connect(SOCKET s, const char* lpszHost, uint16_t wPort) = 0;
    /// Connects a fresh TCP socket to an address; as Connect.
    /* 26 */ virtual bool ConnectAddr(SOCKET s, sockaddr_in* lpAddr) = 0;
    /// Listens on a fresh TCP socket; connections come as OnSocketPreAccept and
    /// OnSocketAccept. With a SOCKS5 proxy: a BIND through it (OnSocketProxy gives
    /// the proxy's address, then OnSocketAccept the peer).
    /* 27 */ virtual bool Listen(SOCKET s, int nBacklog) = 0;
    /// Sends the pieces in order as one block, as Send. False for no pieces or no bytes.
    /* 28 */ virtual bool SendV(SOCKET s, const SendVBuf* lpBufs, uint32_t uiCount, uint32_t dwSendFlag,
                                uint32_t* lpQueued) = 0;
    /// Sends what the socket takes at once and queues a copy of the rest; the
    /// caller's buffer is free on return. dwSendFlag comes back in OnSocketSend;
    /// *lpQueued (when given) receives the blocks still queued. False on a socket
    /// that is not connected, without event.
    /* 29 */ virtual bool Send(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwSendFlag,
                               uint32_t* lpQueued) = 0;
    /// Makes lpSink receive every later event and returns it. Returns only when
    /// no call into the previous sink is running (except the caller's own), so the
    /// previous sink may be deleted then.
    /* 30 */ virtual ISocketMgrSink* SetSink(ISocketMgrSink* lpSink) = 0;
    /// The sink set last (null on a new manager).
    /* 31 */ virtual ISocketMgrSink* GetSink() = 0;
    /// CONTROL_REPORT_PARTIAL_SEND for socket s, on (a3 != 0) or off. Other codes
    /// are ignored. Always returns 0.
    /* 32 */ virtual uint32_t Control(uint32_t uiCode, SOCKET s, uint32_t a3, uint32_t a4, uint32_t a5,
                                      uint32_t a6, uint32_t a7, uint32_t a8) = 0;

protected:
    /// Not a slot: instances are destroyed with vxDestroyInstance only.
    ~ISocketMgr() = default;
};

#endif
