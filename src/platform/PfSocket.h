// Sockets with Winsock meaning. Start-up and clean-up are counted: every
// manager starts the socket layer when it is built and cleans it up when it
// is destroyed.
//
// Handles are the SOCKET of the host interface (a file descriptor on POSIX),
// addresses are 16-byte IPv4 sockaddr_in records in network order. A call
// that fails sets the calling thread's last error (PfError.h) in Winsock
// numbers; a successful call leaves it alone. Semantics follow Winsock where
// the operating systems differ:
//   - a non-blocking connect under way fails with kErrWouldBlock; its outcome
//     shows in Select (writable, or the except set when it failed) and in
//     GetSocketError;
//   - an accepted socket inherits the listener's non-blocking mode;
//   - a datagram larger than the receive buffer fails with kErrMsgSize (the
//     buffer holds its first bytes and the rest is lost);
//   - sending to a vanished peer is an error, never a signal.
#ifndef VX_PF_SOCKET_H
#define VX_PF_SOCKET_H

#include <cstdint>

#include "vxnet/ISocketMgr.h"

namespace pf {

// WSAStartup with version 1.1 (a no-op count elsewhere); 0 on success.
int SocketStartup();
// WSACleanup, paired with SocketStartup.
void SocketCleanup();

constexpr int kSocketError = -1;             // SOCKET_ERROR
constexpr uint32_t kAddrNone = 0xFFFFFFFFu;  // INADDR_NONE
constexpr uint32_t kAddrAny = 0;             // INADDR_ANY

enum SocketType { kSocketTcp, kSocketUdp };
enum ShutdownHow { kShutRecv = 0, kShutSend = 1, kShutBoth = 2 };  // SD_RECEIVE, SD_SEND, SD_BOTH

// An IPv4 address record from an address in network order and a port in
// host order.
inline sockaddr_in MakeSockAddr(uint32_t dwIp, uint16_t wPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(wPort);
    a.sin_addr.s_addr = dwIp;
    return a;
}

// An AF_INET socket; INVALID_SOCKET on failure.
SOCKET SocketOpen(SocketType eType);
bool CloseSocket(SOCKET s);

bool Bind(SOCKET s, const sockaddr_in* lpAddr);
bool Listen(SOCKET s, int nBacklog);
// The next pending connection; lpPeer (may be null) receives its address.
SOCKET Accept(SOCKET s, sockaddr_in* lpPeer);
bool Connect(SOCKET s, const sockaddr_in* lpAddr);
bool Shutdown(SOCKET s, int nHow);

// Bytes moved, or kSocketError. Recv gives 0 when the peer has closed.
int Send(SOCKET s, const void* lpData, int nLen);
int Recv(SOCKET s, void* lpBuf, int nLen);
int SendTo(SOCKET s, const void* lpData, int nLen, const sockaddr_in* lpTo);
// lpFrom (may be null) receives the sender.
int RecvFrom(SOCKET s, void* lpBuf, int nLen, sockaddr_in* lpFrom);

bool GetSockName(SOCKET s, sockaddr_in* lpAddr);
bool GetPeerName(SOCKET s, sockaddr_in* lpAddr);

bool SetNonBlocking(SOCKET s, bool bNonBlocking);
bool SetSendBufSize(SOCKET s, int nBytes);
bool SetRecvBufSize(SOCKET s, int nBytes);
bool GetSendBufSize(SOCKET s, int* lpBytes);
bool GetRecvBufSize(SOCKET s, int* lpBytes);
// The socket's pending error (SO_ERROR) in Winsock numbers, 0 for none.
// Reading it clears it.
bool GetSocketError(SOCKET s, int* lpError);
// Keeps an ICMP port-unreachable from failing the next receive of a UDP
// socket (SIO_UDP_CONNRESET off).
bool DisableUdpConnReset(SOCKET s);

// inet_addr: "a.b.c.d", "a.b.c", "a.b" or "a", each part decimal, octal
// (leading 0) or hexadecimal (0x), ended by the end of the string or white
// space. kAddrNone when the text is no address (and for 255.255.255.255).
uint32_t InetAddr(const char* lpszText);
// inet_ntoa: dotted form of an address in network order, in a buffer of the
// calling thread that the next call overwrites.
const char* InetNtoa(uint32_t dwIp);

// gethostbyname: the first IPv4 address of a host name or dotted address, in
// network order; kAddrNone on failure with the Winsock error (11001 host not
// found, 11002 try again, ...). A null name fails with kErrFault, an empty
// one with kErrHostNotFound.
uint32_t ResolveHost(const char* lpszName);

}  // namespace pf

#endif
