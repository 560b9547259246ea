#include "PfSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "PfAsyncSelectHooks.h"
#include "PfConnectState.h"
#include "PfDescriptorState.h"
#include "PfError.h"

namespace pf {

// Nothing to start on POSIX. (Sends use MSG_NOSIGNAL, so a vanished peer is
// an error, as on Windows, and never a SIGPIPE in the host.)
int SocketStartup() { return 0; }
void SocketCleanup() {}

static_assert(sizeof(sockaddr_in) == 16, "addresses are 16-byte records");

// SOCKET is unsigned; INVALID_SOCKET and other out-of-range values become a
// negative descriptor that the kernel rejects with EBADF.
static int Fd(SOCKET s) { return static_cast<int>(s); }

// Records errno as the last error. Winsock calls a handle that is no socket
// WSAENOTSOCK, where POSIX says EBADF.
static void SetErrorFromErrno() {
    SetLastError(errno == EBADF ? kErrNotSocket : FromErrno(errno));
}

static bool Ok(int nResult) {
    if (nResult == 0) return true;
    SetErrorFromErrno();
    return false;
}

// A byte count, or kSocketError with the last error set.
static int Count(ssize_t n) {
    if (n >= 0) return static_cast<int>(n);
    SetErrorFromErrno();
    return kSocketError;
}

// Like Count; a send that found the buffer full re-enables FD_WRITE.
static int SendCount(int fd, ssize_t n) {
    if (n >= 0) return static_cast<int>(n);
    SetErrorFromErrno();
    if (errno == EAGAIN || errno == EWOULDBLOCK) AsyncSelectOnSendBlocked(fd);
    return kSocketError;
}

static bool ValidLength(int nLen) {
    if (nLen >= 0) return true;
    SetLastError(kErrInvalid);
    return false;
}

SOCKET SocketOpen(SocketType eType) {
    int fd = socket(AF_INET, (eType == kSocketTcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetErrorFromErrno();
        return INVALID_SOCKET;
    }
    SetConnectState(fd, eType == kSocketTcp ? kConnIdle : kConnNone);
    return static_cast<SOCKET>(fd);
}

bool CloseSocket(SOCKET s) {
    // Forget the state first: once closed, the number may be reused at once.
    SetConnectState(Fd(s), kConnNone);
    DetachFromAsyncSelect(Fd(s));
    DetachFromPort(Fd(s));
    // The descriptor is gone even when close reports EINTR: no retry.
    if (close(Fd(s)) == 0 || errno == EINTR) return true;
    SetErrorFromErrno();
    return false;
}

bool Bind(SOCKET s, const sockaddr_in* lpAddr) {
    if (GetConnectState(Fd(s)) == kConnIdle) {
        // A TCP socket: Windows lets a listener bind a port that old
        // connections still hold in TIME_WAIT; Linux only with SO_REUSEADDR.
        // (For TCP it still refuses a port that another socket listens on.)
        // Asked here, not at creation: most sockets are never bound.
        int on = 1;
        setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    return Ok(bind(Fd(s), reinterpret_cast<const sockaddr*>(lpAddr), sizeof(sockaddr_in)));
}

bool Listen(SOCKET s, int nBacklog) {
    if (!Ok(listen(Fd(s), nBacklog))) return false;
    SetConnectState(Fd(s), kConnNone);
    return true;
}

SOCKET Accept(SOCKET s, sockaddr_in* lpPeer) {
    int fdListen = Fd(s);
    int nFlags = fcntl(fdListen, F_GETFL);
    if (nFlags < 0) {
        SetErrorFromErrno();
        return INVALID_SOCKET;
    }
    // Winsock's accepted socket inherits the listener's non-blocking mode.
    int nAcceptFlags = SOCK_CLOEXEC | ((nFlags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
    socklen_t len = sizeof(sockaddr_in);
    int fd;
    do {
        fd = accept4(fdListen, reinterpret_cast<sockaddr*>(lpPeer), lpPeer ? &len : nullptr, nAcceptFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetErrorFromErrno();
        AsyncSelectOnAccept(fdListen, -1);
        return INVALID_SOCKET;
    }
    SetConnectState(fd, kConnNone);
    AsyncSelectOnAccept(fdListen, fd);
    return static_cast<SOCKET>(fd);
}

// A blocking connect that a signal interrupted goes on in the kernel; wait for
// its outcome as Winsock would have.
static bool FinishInterruptedConnect(int fd) {
    pollfd p = {fd, POLLOUT, 0};
    while (poll(&p, 1, -1) < 0) {
        if (errno != EINTR) {
            SetErrorFromErrno();
            return false;
        }
    }
    int nError = 0;
    socklen_t len = sizeof nError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &len) != 0) {
        SetErrorFromErrno();
        return false;
    }
    if (nError == 0) return true;
    SetLastError(FromErrno(nError));
    return false;
}

bool Connect(SOCKET s, const sockaddr_in* lpAddr) {
    int fd = Fd(s);
    if (connect(fd, reinterpret_cast<const sockaddr*>(lpAddr), sizeof(sockaddr_in)) == 0) {
        SetConnectState(fd, kConnNone);
        return true;
    }
    if (errno == EINPROGRESS) {
        SetConnectState(fd, kConnPending);
        AsyncSelectOnConnect(fd);
        SetLastError(kErrWouldBlock);
        return false;
    }
    if (errno == EINTR) {
        bool bOk = FinishInterruptedConnect(fd);
        if (bOk) SetConnectState(fd, kConnNone);
        return bOk;
    }
    SetErrorFromErrno();
    return false;
}

bool Shutdown(SOCKET s, int nHow) { return Ok(shutdown(Fd(s), nHow)); }

int Send(SOCKET s, const void* lpData, int nLen) {
    if (!ValidLength(nLen)) return kSocketError;
    ssize_t n;
    do {
        n = send(Fd(s), lpData, size_t(nLen), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return SendCount(Fd(s), n);
}

int Recv(SOCKET s, void* lpBuf, int nLen) {
    if (!ValidLength(nLen)) return kSocketError;
    ssize_t n;
    do {
        n = recv(Fd(s), lpBuf, size_t(nLen), 0);
    } while (n < 0 && errno == EINTR);
    int nResult = Count(n);
    AsyncSelectOnRead(Fd(s), n == nLen || n == 0);
    if (n == 0 && nLen > 0) {
        // A reset that async-select reported has consumed the kernel's error.
        if (int nError = AsyncSelectResetError(Fd(s))) {
            SetLastError(nError);
            return kSocketError;
        }
    }
    return nResult;
}

int SendTo(SOCKET s, const void* lpData, int nLen, const sockaddr_in* lpTo) {
    if (!ValidLength(nLen)) return kSocketError;
    ssize_t n;
    do {
        n = sendto(Fd(s), lpData, size_t(nLen), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(lpTo),
                   lpTo ? sizeof(sockaddr_in) : 0);
    } while (n < 0 && errno == EINTR);
    return SendCount(Fd(s), n);
}

int RecvFrom(SOCKET s, void* lpBuf, int nLen, sockaddr_in* lpFrom) {
    if (!ValidLength(nLen)) return kSocketError;
    iovec iov = {lpBuf, size_t(nLen)};
    msghdr msg{};
    msg.msg_name = lpFrom;
    msg.msg_namelen = lpFrom ? sizeof(sockaddr_in) : 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n;
    do {
        n = recvmsg(Fd(s), &msg, 0);
    } while (n < 0 && errno == EINTR);
    const int nErrno = errno;
    AsyncSelectOnRead(Fd(s), true);
    errno = nErrno;
    if (n >= 0 && (msg.msg_flags & MSG_TRUNC)) {
        // Winsock fails a datagram that did not fit; the buffer keeps its head.
        SetLastError(kErrMsgSize);
        return kSocketError;
    }
    return Count(n);
}

bool GetSockName(SOCKET s, sockaddr_in* lpAddr) {
    socklen_t len = sizeof(sockaddr_in);
    return Ok(getsockname(Fd(s), reinterpret_cast<sockaddr*>(lpAddr), &len));
}

bool GetPeerName(SOCKET s, sockaddr_in* lpAddr) {
    socklen_t len = sizeof(sockaddr_in);
    return Ok(getpeername(Fd(s), reinterpret_cast<sockaddr*>(lpAddr), &len));
}

bool SetNonBlocking(SOCKET s, bool bNonBlocking) {
    int on = bNonBlocking ? 1 : 0;
    return Ok(ioctl(Fd(s), FIONBIO, &on));
}

static bool SetIntOption(SOCKET s, int nName, int nValue) {
    return Ok(setsockopt(Fd(s), SOL_SOCKET, nName, &nValue, sizeof nValue));
}

static bool GetIntOption(SOCKET s, int nName, int* lpValue) {
    socklen_t len = sizeof *lpValue;
    return Ok(getsockopt(Fd(s), SOL_SOCKET, nName, lpValue, &len));
}

bool SetSendBufSize(SOCKET s, int nBytes) { return SetIntOption(s, SO_SNDBUF, nBytes); }
bool SetRecvBufSize(SOCKET s, int nBytes) { return SetIntOption(s, SO_RCVBUF, nBytes); }
bool GetSendBufSize(SOCKET s, int* lpBytes) { return GetIntOption(s, SO_SNDBUF, lpBytes); }
bool GetRecvBufSize(SOCKET s, int* lpBytes) { return GetIntOption(s, SO_RCVBUF, lpBytes); }

bool GetSocketError(SOCKET s, int* lpError) {
    int nErrno = 0;
    if (!GetIntOption(s, SO_ERROR, &nErrno)) return false;
    *lpError = FromErrno(nErrno);
    return true;
}

bool DisableUdpConnReset(SOCKET s) {
    // An unconnected Linux UDP socket never turns ICMP errors into receive
    // errors (that needs IP_RECVERR): only check that s is open.
    return Ok(fcntl(Fd(s), F_GETFD) < 0 ? -1 : 0);
}

// One part of a dotted address: decimal, octal after a leading 0, hexadecimal
// after 0x. Advances lpsz past it; false when there is no valid number.
static bool ParseAddrPart(const char*& lpsz, uint64_t* lpValue) {
    const char* p = lpsz;
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    unsigned nBase = 10;
    if (*p == '0') {
        nBase = 8;
        if (p[1] == 'x' || p[1] == 'X') {
            nBase = 16;
            p += 2;
            if (!isxdigit(static_cast<unsigned char>(*p))) return false;
        }
    }
    uint64_t v = 0;
    for (;; ++p) {
        unsigned c = static_cast<unsigned char>(*p), d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (nBase == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (nBase == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        if (d >= nBase) return false;  // 8 or 9 in an octal part
        v = v * nBase + d;
        if (v > 0xFFFFFFFFu) return false;
    }
    lpsz = p;
    *lpValue = v;
    return true;
}

uint32_t InetAddr(const char* lpszText) {
    if (!lpszText) return kAddrNone;
    uint64_t arrPart[4];
    int nParts = 0;
    const char* p = lpszText;
    for (;;) {
        if (!ParseAddrPart(p, &arrPart[nParts])) return kAddrNone;
        ++nParts;
        if (*p == '.' && nParts < 4) {
            ++p;
            continue;
        }
        if (*p == '\0' || isspace(static_cast<unsigned char>(*p))) break;
        return kAddrNone;
    }
    // Leading parts are one byte each; the last fills the remaining bytes.
    uint64_t dwHost = 0;
    for (int i = 0; i < nParts - 1; ++i) {
        if (arrPart[i] > 0xFF) return kAddrNone;
        dwHost |= arrPart[i] << (24 - 8 * i);
    }
    uint64_t last = arrPart[nParts - 1];
    if (last > (0xFFFFFFFFu >> (8 * (nParts - 1)))) return kAddrNone;
    return htonl(static_cast<uint32_t>(dwHost | last));
}

const char* InetNtoa(uint32_t dwIp) {
    static thread_local char t_szText[16];
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&dwIp);
    snprintf(t_szText, sizeof t_szText, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return t_szText;
}

static int FromResolverError(int nError) {
    switch (nError) {
    case EAI_NONAME: return kErrHostNotFound;
    case EAI_AGAIN: return kErrTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA: return kErrNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return kErrNoData;
#endif
    case EAI_MEMORY: return kErrNoBufs;
    case EAI_SYSTEM: return FromErrno(errno);
    default: return kErrNoRecovery;
    }
}

uint32_t ResolveHost(const char* lpszName) {
    if (!lpszName) {
        SetLastError(kErrFault);
        return kAddrNone;
    }
    if (!*lpszName) {
        SetLastError(kErrHostNotFound);
        return kAddrNone;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per protocol
    addrinfo* lpList = nullptr;
    int nError = getaddrinfo(lpszName, nullptr, &hints, &lpList);
    if (nError != 0) {
        SetLastError(FromResolverError(nError));
        return kAddrNone;
    }
    uint32_t dwIp = kAddrNone;
    for (addrinfo* a = lpList; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
            dwIp = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(lpList);
    if (dwIp == kAddrNone) SetLastError(kErrNoData);
    return dwIp;
}

}  // namespace pf
