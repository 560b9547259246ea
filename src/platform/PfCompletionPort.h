// Completion ports with the meaning of Windows I/O completion ports. An
// operation is started on a socket with an Overlapped of the caller's; when it
// ends, exactly one packet (bytes, key, the Overlapped, its error) comes out
// of the port the socket is associated with. Packets posted with PortPost
// come out of the same queue, in order with the completions.
//
//   - a send completes only when every byte was sent;
//   - a receive completes with at least one byte, or with 0 when the peer
//     closed gracefully; one datagram per datagram receive (a longer one fails
//     with kErrMsgSize: the buffer holds its first bytes);
//   - an accept hands the connection on the socket the caller created for it,
//     with both addresses;
//   - closing a socket (pf::CloseSocket) makes its outstanding operations
//     fail before the number can be reused, so no completion reaches a later
//     socket with the same handle (POSIX: kErrOperationAborted; Windows
//     versions say 995, 1236 or 64 for a receive, Wine 676; an accept whose
//     listener or prepared socket is closed gets 995 everywhere);
//   - waiting threads are woken last-in first-out, as Windows does;
//   - closing the port wakes every waiter with no packet.
//
// Windows: the real port, overlapped WSARecv/WSASend/WSARecvFrom and AcceptEx.
// POSIX: a proactor over epoll (edge-triggered, one wait per port shared by the
// waiting threads) that performs the operations when the socket is ready and
// queues their results. A sleeping thread is woken only for a packet that no
// thread is on its way to take: a thread that took its last packet from the
// port and then starts an operation that finishes at once is counted on to
// come back for that packet (so it must not wait for another thread to
// handle it).
#ifndef VX_PF_COMPLETION_PORT_H
#define VX_PF_COMPLETION_PORT_H

#include <cstdint>

#include "PfSocket.h"

namespace pf {

enum : int {
    kErrOperationAborted = 995,   // ERROR_OPERATION_ABORTED: the socket was closed under the operation
    kErrNetnameDeleted = 64,      // ERROR_NETNAME_DELETED: the connection was reset
    kErrConnectionAborted = 1236  // ERROR_CONNECTION_ABORTED: aborted by the local system
};

// The layer's part of an operation. The caller keeps it (usually at the
// start of its own context) until the operation's packet came out of the port.
struct Overlapped {
    alignas(16) unsigned char reserved[96];  // the OS's OVERLAPPED, or the proactor's bookkeeping
};

struct CompletionPortObject;
typedef CompletionPortObject* CompletionPort;

constexpr int kAcceptAddressBytes = 64;  // what StartAccept needs for both addresses

// Null on failure with the last error set.
CompletionPort PortCreate();
// Wakes every thread in PortGet (they get no packet; Wine leaves them to
// their time-out); packets still queued are dropped. The socket associations
// end with the port. POSIX answers a later call with the handle with
// kPortClosed or a failure; on Windows the handle is gone.
void PortClose(CompletionPort hPort);
// Completions of s's operations come out of hPort with uKey. Once per socket.
bool PortAssociate(CompletionPort hPort, SOCKET s, uintptr_t uKey);
// Queues a packet of the caller's (lpOv may be null).
bool PortPost(CompletionPort hPort, uint32_t uiBytes, uintptr_t uKey, Overlapped* lpOv);

enum PortResult {
    kPortOk,        // a completed operation or a posted packet
    kPortFailed,    // an operation that failed: *lpError holds its error
    kPortTimeout,   // nothing within the time-out
    kPortClosed     // the port was closed
};
// Takes the next packet, waiting up to uiTimeoutMs (kInfinite waits for ever).
PortResult PortGet(CompletionPort hPort, uint32_t* lpBytes, uintptr_t* lpKey, Overlapped** lplpOv,
                   int* lpError, uint32_t uiTimeoutMs);

// Operations on a socket associated with a port. true: started, its packet
// will come (even when it finished at once). false: not started, no packet,
// the last error says why, in Winsock numbers (10054 for a connection reset
// before the call, where a packet would say 64). lpOv and the buffers stay
// the caller's until the packet came.
bool StartRecv(SOCKET s, Overlapped* lpOv, char* lpBuf, uint32_t uiLen);
bool StartSend(SOCKET s, Overlapped* lpOv, const char* lpData, uint32_t uiLen);
// lpFrom receives the sender when the packet comes.
bool StartRecvFrom(SOCKET s, Overlapped* lpOv, char* lpBuf, uint32_t uiLen, sockaddr_in* lpFrom);
// Accepts the next connection of sListen onto sAccept (a fresh TCP socket of
// the caller's, not associated, which keeps its blocking mode). lpAddrBuf
// holds kAcceptAddressBytes until the packet came; AcceptedAddresses reads
// it then. POSIX: with no descriptor free for a moment, the accept waits and
// is tried again every 100 ms.
bool StartAccept(SOCKET sListen, SOCKET sAccept, Overlapped* lpOv, char* lpAddrBuf);
void AcceptedAddresses(const char* lpAddrBuf, sockaddr_in* lpLocal, sockaddr_in* lpRemote);
// After a successful accept: sAccept behaves as an accepted socket of sListen
// (shutdown, getpeername; SO_UPDATE_ACCEPT_CONTEXT on Windows).
bool FinishAccept(SOCKET sAccept, SOCKET sListen);

}  // namespace pf

#endif
