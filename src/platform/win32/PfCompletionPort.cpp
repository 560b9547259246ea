#include "PfCompletionPort.h"

#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "PfError.h"

namespace pf {

static_assert(sizeof(OVERLAPPED) + sizeof(INT) <= sizeof(Overlapped) && alignof(OVERLAPPED) <= alignof(Overlapped),
              "the OVERLAPPED and a receive-from's address length fit the caller's Overlapped");
// AcceptEx wants room for each address plus 16 bytes.
constexpr DWORD kAcceptAddressArea = sizeof(sockaddr_in) + 16;
static_assert(2 * kAcceptAddressArea == kAcceptAddressBytes, "two address areas");

static HANDLE Handle(CompletionPort h) { return reinterpret_cast<HANDLE>(h); }

// A fresh OVERLAPPED at the start of the caller's block.
static OVERLAPPED* Os(Overlapped* lpOv) {
    OVERLAPPED* o = reinterpret_cast<OVERLAPPED*>(lpOv->reserved);
    std::memset(o, 0, sizeof *o);
    return o;
}

CompletionPort PortCreate() {
    return reinterpret_cast<CompletionPort>(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
}

void PortClose(CompletionPort hPort) {
    if (hPort) CloseHandle(Handle(hPort));
}

bool PortAssociate(CompletionPort hPort, SOCKET s, uintptr_t uKey) {
    return CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), Handle(hPort), uKey, 0) != nullptr;
}

bool PortPost(CompletionPort hPort, uint32_t uiBytes, uintptr_t uKey, Overlapped* lpOv) {
    return PostQueuedCompletionStatus(Handle(hPort), uiBytes, uKey, reinterpret_cast<OVERLAPPED*>(lpOv)) != FALSE;
}

PortResult PortGet(CompletionPort hPort, uint32_t* lpBytes, uintptr_t* lpKey, Overlapped** lplpOv, int* lpError,
                   uint32_t uiTimeoutMs) {
    DWORD dwBytes = 0;
    ULONG_PTR uKey = 0;
    OVERLAPPED* lpOs = nullptr;
    BOOL bOk = GetQueuedCompletionStatus(Handle(hPort), &dwBytes, &uKey, &lpOs, uiTimeoutMs);
    DWORD dwError = bOk ? 0 : ::GetLastError();
    if (!bOk && !lpOs) return dwError == WAIT_TIMEOUT ? kPortTimeout : kPortClosed;
    *lpBytes = dwBytes;
    *lpKey = uKey;
    *lplpOv = reinterpret_cast<Overlapped*>(lpOs);
    // A datagram longer than the buffer ends as "more data"; the socket
    // calls report it as WSAEMSGSIZE, and so does the port.
    *lpError = dwError == ERROR_MORE_DATA ? kErrMsgSize : int(dwError);
    return bOk ? kPortOk : kPortFailed;
}

// An overlapped call's result: started (a packet will come) or failed. A
// truncated datagram still queues its packet. A pending start leaves the
// last error as it was.
static bool Started(int nResult, int nSavedError) {
    if (nResult == 0) return true;
    int nError = WSAGetLastError();
    if (nError == WSA_IO_PENDING) {
        WSASetLastError(nSavedError);
        return true;
    }
    return nError == WSAEMSGSIZE;
}

bool StartRecv(SOCKET s, Overlapped* lpOv, char* lpBuf, uint32_t uiLen) {
    int nSaved = WSAGetLastError();
    WSABUF b = {uiLen, lpBuf};
    DWORD dwFlags = 0;
    return Started(WSARecv(s, &b, 1, nullptr, &dwFlags, Os(lpOv), nullptr), nSaved);
}

bool StartSend(SOCKET s, Overlapped* lpOv, const char* lpData, uint32_t uiLen) {
    int nSaved = WSAGetLastError();
    WSABUF b = {uiLen, const_cast<char*>(lpData)};
    return Started(WSASend(s, &b, 1, nullptr, 0, Os(lpOv), nullptr), nSaved);
}

bool StartRecvFrom(SOCKET s, Overlapped* lpOv, char* lpBuf, uint32_t uiLen, sockaddr_in* lpFrom) {
    int nSaved = WSAGetLastError();
    WSABUF b = {uiLen, lpBuf};
    DWORD dwFlags = 0;
    OVERLAPPED* lpOs = Os(lpOv);
    // The address length is written when the datagram comes: it lives beside
    // the OVERLAPPED.
    INT* lpFromLen = reinterpret_cast<INT*>(lpOv->reserved + sizeof(OVERLAPPED));
    *lpFromLen = sizeof(sockaddr_in);
    return Started(WSARecvFrom(s, &b, 1, nullptr, &dwFlags, reinterpret_cast<sockaddr*>(lpFrom),
                               lpFrom ? lpFromLen : nullptr, lpOs, nullptr),
                   nSaved);
}

// The accept extensions, asked of the provider once; the mswsock exports
// when it does not answer.
static std::atomic<LPFN_ACCEPTEX> s_fnAcceptEx{nullptr};
static std::atomic<LPFN_GETACCEPTEXSOCKADDRS> s_fnGetAcceptExSockaddrs{nullptr};

template <typename Fn>
static Fn LoadExtension(SOCKET s, GUID guid, Fn fnFallback) {
    Fn fn = nullptr;
    DWORD dwBytes = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &fn, sizeof fn, &dwBytes, nullptr,
                 nullptr) != 0 || !fn)
        fn = fnFallback;
    return fn;
}

static void LoadAcceptExtensions(SOCKET s) {
    if (s_fnAcceptEx.load(std::memory_order_acquire)) return;
    int nSaved = WSAGetLastError();
    s_fnGetAcceptExSockaddrs.store(LoadExtension<LPFN_GETACCEPTEXSOCKADDRS>(s, WSAID_GETACCEPTEXSOCKADDRS,
                                                                            &::GetAcceptExSockaddrs),
                                   std::memory_order_release);
    s_fnAcceptEx.store(LoadExtension<LPFN_ACCEPTEX>(s, WSAID_ACCEPTEX, &::AcceptEx), std::memory_order_release);
    WSASetLastError(nSaved);
}

bool StartAccept(SOCKET sListen, SOCKET sAccept, Overlapped* lpOv, char* lpAddrBuf) {
    LoadAcceptExtensions(sListen);
    int nSaved = WSAGetLastError();
    DWORD dwBytes = 0;
    BOOL bOk = s_fnAcceptEx.load(std::memory_order_acquire)(sListen, sAccept, lpAddrBuf, 0, kAcceptAddressArea,
                                                             kAcceptAddressArea, &dwBytes, Os(lpOv));
    return Started(bOk ? 0 : SOCKET_ERROR, nSaved);
}

void AcceptedAddresses(const char* lpAddrBuf, sockaddr_in* lpLocal, sockaddr_in* lpRemote) {
    LPFN_GETACCEPTEXSOCKADDRS fn = s_fnGetAcceptExSockaddrs.load(std::memory_order_acquire);
    if (!fn) fn = &::GetAcceptExSockaddrs;
    sockaddr *lpL = nullptr, *lpR = nullptr;
    INT nL = 0, nR = 0;
    fn(const_cast<char*>(lpAddrBuf), 0, kAcceptAddressArea, kAcceptAddressArea, &lpL, &nL, &lpR, &nR);
    if (lpLocal) {
        *lpLocal = sockaddr_in{};
        if (lpL && nL >= int(sizeof(sockaddr_in))) std::memcpy(lpLocal, lpL, sizeof *lpLocal);
    }
    if (lpRemote) {
        *lpRemote = sockaddr_in{};
        if (lpR && nR >= int(sizeof(sockaddr_in))) std::memcpy(lpRemote, lpR, sizeof *lpRemote);
    }
}

bool FinishAccept(SOCKET sAccept, SOCKET sListen) {
    return setsockopt(sAccept, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&sListen),
                      sizeof sListen) == 0;
}

}  // namespace pf
