#include "PfSocket.h"

#include <winsock2.h>

#include <cstring>

#include "PfError.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace pf {

int SocketStartup() {
    WSADATA wsa;
    return WSAStartup(MAKEWORD(1, 1), &wsa);
}

void SocketCleanup() { WSACleanup(); }

static_assert(sizeof(sockaddr_in) == 16, "addresses are 16-byte records");

static const sockaddr* Sa(const sockaddr_in* p) { return reinterpret_cast<const sockaddr*>(p); }
static sockaddr* Sa(sockaddr_in* p) { return reinterpret_cast<sockaddr*>(p); }

SOCKET SocketOpen(SocketType eType) {
    return eType == kSocketTcp ? socket(AF_INET, SOCK_STREAM, 0) : socket(AF_INET, SOCK_DGRAM, 0);
}

bool CloseSocket(SOCKET s) { return closesocket(s) == 0; }
bool Bind(SOCKET s, const sockaddr_in* lpAddr) { return bind(s, Sa(lpAddr), sizeof(sockaddr_in)) == 0; }
bool Listen(SOCKET s, int nBacklog) { return listen(s, nBacklog) == 0; }

SOCKET Accept(SOCKET s, sockaddr_in* lpPeer) {
    int len = sizeof(sockaddr_in);
    return accept(s, Sa(lpPeer), lpPeer ? &len : nullptr);
}

bool Connect(SOCKET s, const sockaddr_in* lpAddr) { return connect(s, Sa(lpAddr), sizeof(sockaddr_in)) == 0; }
bool Shutdown(SOCKET s, int nHow) { return shutdown(s, nHow) == 0; }

int Send(SOCKET s, const void* lpData, int nLen) { return send(s, static_cast<const char*>(lpData), nLen, 0); }
int Recv(SOCKET s, void* lpBuf, int nLen) { return recv(s, static_cast<char*>(lpBuf), nLen, 0); }

int SendTo(SOCKET s, const void* lpData, int nLen, const sockaddr_in* lpTo) {
    return sendto(s, static_cast<const char*>(lpData), nLen, 0, Sa(lpTo), lpTo ? sizeof(sockaddr_in) : 0);
}

int RecvFrom(SOCKET s, void* lpBuf, int nLen, sockaddr_in* lpFrom) {
    int len = sizeof(sockaddr_in);
    return recvfrom(s, static_cast<char*>(lpBuf), nLen, 0, Sa(lpFrom), lpFrom ? &len : nullptr);
}

bool GetSockName(SOCKET s, sockaddr_in* lpAddr) {
    int len = sizeof(sockaddr_in);
    return getsockname(s, Sa(lpAddr), &len) == 0;
}

bool GetPeerName(SOCKET s, sockaddr_in* lpAddr) {
    int len = sizeof(sockaddr_in);
    return getpeername(s, Sa(lpAddr), &len) == 0;
}

bool SetNonBlocking(SOCKET s, bool bNonBlocking) {
    u_long on = bNonBlocking ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

static bool SetIntOption(SOCKET s, int nName, int nValue) {
    return setsockopt(s, SOL_SOCKET, nName, reinterpret_cast<const char*>(&nValue), sizeof nValue) == 0;
}

static bool GetIntOption(SOCKET s, int nName, int* lpValue) {
    int len = sizeof *lpValue;
    return getsockopt(s, SOL_SOCKET, nName, reinterpret_cast<char*>(lpValue), &len) == 0;
}

bool SetSendBufSize(SOCKET s, int nBytes) { return SetIntOption(s, SO_SNDBUF, nBytes); }
bool SetRecvBufSize(SOCKET s, int nBytes) { return SetIntOption(s, SO_RCVBUF, nBytes); }
bool GetSendBufSize(SOCKET s, int* lpBytes) { return GetIntOption(s, SO_SNDBUF, lpBytes); }
bool GetRecvBufSize(SOCKET s, int* lpBytes) { return GetIntOption(s, SO_RCVBUF, lpBytes); }
bool GetSocketError(SOCKET s, int* lpError) { return GetIntOption(s, SO_ERROR, lpError); }

bool DisableUdpConnReset(SOCKET s) {
    BOOL bReport = FALSE;
    DWORD dwBytes = 0;
    return WSAIoctl(s, SIO_UDP_CONNRESET, &bReport, sizeof bReport, nullptr, 0, &dwBytes, nullptr, nullptr) == 0;
}

uint32_t InetAddr(const char* lpszText) { return lpszText ? inet_addr(lpszText) : kAddrNone; }

const char* InetNtoa(uint32_t dwIp) {
    in_addr a;
    a.s_addr = dwIp;
    return inet_ntoa(a);  // Winsock keeps the text per thread
}

uint32_t ResolveHost(const char* lpszName) {
    // gethostbyname would answer a null or empty name with this machine's
    // own address; a connect to "" must not reach the local host.
    if (!lpszName) {
        SetLastError(kErrFault);
        return kAddrNone;
    }
    if (!*lpszName) {
        SetLastError(kErrHostNotFound);
        return kAddrNone;
    }
    hostent* lpHost = gethostbyname(lpszName);
    if (!lpHost) return kAddrNone;
    if (lpHost->h_addrtype != AF_INET || lpHost->h_length != 4 || !lpHost->h_addr_list[0]) {
        SetLastError(kErrNoData);
        return kAddrNone;
    }
    uint32_t dwIp;
    memcpy(&dwIp, lpHost->h_addr_list[0], 4);
    return dwIp;
}

}  // namespace pf
