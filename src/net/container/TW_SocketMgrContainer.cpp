// The container: forwarding to the shared manager, the owner maps, and the
// dispatch of the shared manager's events to the owners' sinks.
#include "TW_SocketMgrContainer.h"

#include <cstdio>
#include <cstring>

#include "PfThread.h"
#include "TW_Array.h"
#include "TW_Locker.h"
#include "TW_Map.h"
#include "vxnet/vxnet.h"

namespace {

// Who owns a socket of the shared manager, and when that was recorded.
struct SocketOwner {
    TW_SocketMgrContainer* lpContainer;
    uint32_t uiSerial;
};

// A call into a user's sink under way on this thread (nested ones link to
// the call they run inside): SetSink and destruction must not wait for them.
struct SinkCallFrame {
    TW_SocketMgrContainer* lpOwner;
    uint32_t uiSlot;
    SinkCallFrame* lpOuter;
};
thread_local SinkCallFrame* t_lpSinkCalls = nullptr;

// Process-wide state, constructed in this order at load and torn down in the
// reverse order. The lock guards everything below it, and the two pointers.
TW_Locker g_lckContainer;
// Every live container (the internal one too), with the sink its user set.
TW_Map<TW_SocketMgrContainer*, ISocketMgrSink*> g_mapContainer2Sink;
TW_Map<SOCKET, SocketOwner> g_mapSocket2Container;
// Numbers the registrations, so a Stop can tell which entries it outdated.
uint32_t g_uiOwnerSerial = 0;
TW_SocketMgrInstance* g_pSharedSocketMgr = nullptr;
// Live user containers minus one.
int g_nContainerCount = -1;
constexpr uint32_t kSocketBuckets = 4099;
const char kForSinkName[] = "for sink";

// Its ISocketMgrSink face is the shared manager's sink.
TW_SocketMgrContainer g_sinkContainer(kForSinkName);

int OwnFrames(const TW_SocketMgrContainer* lpOwner, uint32_t uiSlot) {
    int n = 0;
    for (SinkCallFrame* f = t_lpSinkCalls; f; f = f->lpOuter)
        if (f->lpOwner == lpOwner && f->uiSlot == uiSlot) ++n;
    return n;
}

// "a.b.c.d:port" of an address as it lies in memory (port to host order).
void PrintAddr(const sockaddr_in* lpAddr) {
    uint8_t ip[4] = {0, 0, 0, 0}, port[2] = {0, 0};
    if (lpAddr) {
        std::memcpy(ip, &lpAddr->sin_addr, 4);
        std::memcpy(port, &lpAddr->sin_port, 2);
    }
    std::printf("%d.%d.%d.%d:%d", ip[0], ip[1], ip[2], ip[3], port[0] << 8 | port[1]);
}

}  // namespace

// One event of the shared manager on its way to the owner's sink. The owner
// and its sink are looked up under the container lock; the call itself runs
// after the lock is released, counted so the owner can wait for it.
class TW_SocketMgrContainer::Dispatch {
public:
    // lpAccepted: for an accept, the new socket, which becomes the listening
    // socket's owner's before anything else can be reported about it.
    explicit Dispatch(SOCKET s, const SOCKET* lpAccepted = nullptr) {
        TW_LockGuard guard(&g_lckContainer);
        SocketOwner* lpOwner = g_mapSocket2Container.LookupPtr(s);
        if (lpAccepted && *lpAccepted != INVALID_SOCKET && *lpAccepted != s) {
            if (lpOwner)
                g_mapSocket2Container.SetAt(*lpAccepted, SocketOwner{lpOwner->lpContainer, ++g_uiOwnerSerial});
            else
                g_mapSocket2Container.RemoveKey(*lpAccepted);  // no old owner keeps a reused handle
        }
        ISocketMgrSink* lpSink = nullptr;
        if (!lpOwner || !g_mapContainer2Sink.Lookup(lpOwner->lpContainer, lpSink) || !lpSink) return;
        TW_SocketMgrContainer* lpContainer = lpOwner->lpContainer;
        m_lpSink = lpSink;
        m_frame.lpOwner = lpContainer;
        m_frame.uiSlot = lpContainer->m_uiSinkGen & 1;
        m_frame.lpOuter = t_lpSinkCalls;
        lpContainer->m_nSinkCalls[m_frame.uiSlot].fetch_add(1);
        t_lpSinkCalls = &m_frame;
    }
    ~Dispatch() {
        if (!m_lpSink) return;
        t_lpSinkCalls = m_frame.lpOuter;
        // The last touch of the owner: its destructor may run from here on.
        m_frame.lpOwner->m_nSinkCalls[m_frame.uiSlot].fetch_sub(1);
    }
    Dispatch(const Dispatch&) = delete;
    Dispatch& operator=(const Dispatch&) = delete;

    explicit operator bool() const { return m_lpSink != nullptr; }
    ISocketMgrSink* operator->() const { return m_lpSink; }

private:
    ISocketMgrSink* m_lpSink = nullptr;
    SinkCallFrame m_frame{};
};

// ------------------------------------------------------------------ life

TW_SocketMgrContainer::TW_SocketMgrContainer(const char* lpszName) {
    TW_LockGuard guard(&g_lckContainer);
    g_mapContainer2Sink.SetAt(this, nullptr);
    if (!g_pSharedSocketMgr) {
        // A new manager hands out handles afresh: no old owner applies.
        g_mapSocket2Container.RemoveAll();
        g_mapSocket2Container.InitHashTable(kSocketBuckets);
        int nType = 0;
        if (std::strcmp(lpszName, VXNET_IIOCP_2_0) == 0)
            nType = SOCKETMGR_IOCP;
        else if (std::strcmp(lpszName, VXNET_IASYNC_2_0) == 0)
            nType = SOCKETMGR_ASYNC;
        else if (std::strcmp(lpszName, VXNET_ISELECT_2_0) == 0)
            nType = SOCKETMGR_SELECT;
        else if (std::strcmp(lpszName, kForSinkName) == 0)
            m_bForSink = true;
        else
            TW_ASSERT(!"container interface name");
        if (nType != 0) {
            if (ISocketMgr* lpMgr = CreateSocketMgr(nType, nullptr, false)) {
                lpMgr->SetSink(&g_sinkContainer);
                g_pSharedSocketMgr = static_cast<TW_SocketMgrInstance*>(lpMgr);
            }
        }
    }
    if (m_bForSink) return;
    m_lpMgr = g_pSharedSocketMgr;
    ++g_nContainerCount;
}

TW_SocketMgrContainer::~TW_SocketMgrContainer() {
    // Its sockets leave with it: a container made later at the same address
    // must not receive their events.
    TW_Array<SOCKET> arrOwned;
    {
        TW_LockGuard guard(&g_lckContainer);
        g_mapContainer2Sink.RemoveKey(this);
        SOCKET s;
        for (POSITION pos = g_mapSocket2Container.GetStartPosition(); pos;)
            if (g_mapSocket2Container.GetNextAssoc(pos, s).lpContainer == this) arrOwned.Add(s);
        for (int i = 0; i < arrOwned.GetSize(); ++i) g_mapSocket2Container.RemoveKey(arrOwned[i]);
    }
    // Nothing new reaches this sink now; calls already in it end first.
    WaitForSinkCalls(2);
    if (m_bForSink) return;
    for (int i = 0; i < arrOwned.GetSize(); ++i) m_lpMgr->CloseSocket(arrOwned[i]);

    // The last user container takes the manager out of reach under the lock
    // and destroys it after releasing it: the destruction waits for the
    // manager's threads, which may be waiting for the lock in a dispatch.
    TW_SocketMgrInstance* lpRetired = nullptr;
    {
        TW_LockGuard guard(&g_lckContainer);
        if (--g_nContainerCount == -1) {
            lpRetired = g_pSharedSocketMgr;
            g_pSharedSocketMgr = nullptr;
        }
    }
    delete lpRetired;
}

TW_SocketMgrInstance* TW_SocketMgrContainer::Create(const char* lpszName) {
    if (!lpszName) return nullptr;
    auto* lpContainer = new TW_SocketMgrContainer(lpszName);
    if (!lpContainer->m_lpMgr) {
        // The engine of the name is not built: no facade without a manager.
        delete lpContainer;
        return nullptr;
    }
    return lpContainer;
}

bool TW_SocketMgrContainer::RefuseDestroyHere() {
    // Inside any callback of the shared manager: destroying the last
    // container would wait for the calling thread itself, and the container
    // being called may be this one.
    return m_lpMgr && m_lpMgr->RefuseDestroyHere();
}

void TW_SocketMgrContainer::WaitForSinkCalls(uint32_t uiSlot) {
    for (uint32_t i = 0; i < 2; ++i) {
        if (uiSlot != 2 && uiSlot != i) continue;
        const int nOwn = OwnFrames(this, i);
        while (m_nSinkCalls[i].load() > nOwn) pf::SleepMs(1);
    }
}

SOCKET TW_SocketMgrContainer::Own(SOCKET s) {
    TW_ASSERT_LOCKED(g_lckContainer);
    if (s != INVALID_SOCKET) g_mapSocket2Container.SetAt(s, SocketOwner{this, ++g_uiOwnerSerial});
    return s;
}

TW_SocketMgrInstance* TW_SocketMgrContainer::GetSharedSocketMgr() {
    TW_LockGuard guard(&g_lckContainer);
    return g_pSharedSocketMgr;
}

int TW_SocketMgrContainer::GetContainerCount() {
    TW_LockGuard guard(&g_lckContainer);
    return g_nContainerCount;
}

// ------------------------------------------------------------------ ISocketMgr

PROXYHANDLE TW_SocketMgrContainer::CreateProxy(uint32_t uiType, const char* lpszIp, uint16_t wPort,
                                               const char* lpszUser, const char* lpszPassword) {
    return m_lpMgr ? m_lpMgr->CreateProxy(uiType, lpszIp, wPort, lpszUser, lpszPassword) : nullptr;
}

bool TW_SocketMgrContainer::DestroyProxy(PROXYHANDLE hProxy) {
    return m_lpMgr && m_lpMgr->DestroyProxy(hProxy);
}

bool TW_SocketMgrContainer::SetSendBufSize(SOCKET s, int nBytes) {
    return m_lpMgr && m_lpMgr->SetSendBufSize(s, nBytes);
}

bool TW_SocketMgrContainer::SetRecvBufSize(SOCKET s, int nBytes) {
    return m_lpMgr && m_lpMgr->SetRecvBufSize(s, nBytes);
}

bool TW_SocketMgrContainer::SetSendIdleTimer(SOCKET s, uint32_t uiPeriod) {
    return m_lpMgr && m_lpMgr->SetSendIdleTimer(s, uiPeriod);
}

bool TW_SocketMgrContainer::SetRecvIdleTimer(SOCKET s, uint32_t uiPeriod) {
    return m_lpMgr && m_lpMgr->SetRecvIdleTimer(s, uiPeriod);
}

bool TW_SocketMgrContainer::KillSendIdleTimer(SOCKET s) { return m_lpMgr && m_lpMgr->KillSendIdleTimer(s); }

bool TW_SocketMgrContainer::KillRecvIdleTimer(SOCKET s) { return m_lpMgr && m_lpMgr->KillRecvIdleTimer(s); }

bool TW_SocketMgrContainer::SetEventTimer(SOCKET s, uint32_t uiEvent, uint32_t uiDelay, uint32_t uiPeriod,
                                          bool bOneShot) {
    return m_lpMgr && m_lpMgr->SetEventTimer(s, uiEvent, uiDelay, uiPeriod, bOneShot);
}

bool TW_SocketMgrContainer::KillEventTimer(SOCKET s, uint32_t uiEvent) {
    return m_lpMgr && m_lpMgr->KillEventTimer(s, uiEvent);
}

bool TW_SocketMgrContainer::Start(uint8_t, uint32_t, uint32_t, uint32_t) {
    // Shared by every user: always with its name thread and timer.
    return m_lpMgr && m_lpMgr->Start(0, 0, 0, 0);
}

bool TW_SocketMgrContainer::Stop(uint32_t uiTimeout) {
    if (!m_lpMgr) return false;
    uint32_t uiMark;
    {
        TW_LockGuard guard(&g_lckContainer);
        uiMark = g_uiOwnerSerial;
    }
    // Not under the lock: Stop waits for the manager's threads, which may be
    // waiting for it in a dispatch.
    if (!m_lpMgr->Stop(uiTimeout)) return false;
    // The sockets registered before are gone; their handles may come back.
    TW_Array<SOCKET> arrGone;
    TW_LockGuard guard(&g_lckContainer);
    SOCKET s;
    for (POSITION pos = g_mapSocket2Container.GetStartPosition(); pos;)
        if (int32_t(g_mapSocket2Container.GetNextAssoc(pos, s).uiSerial - uiMark) <= 0) arrGone.Add(s);
    for (int i = 0; i < arrGone.GetSize(); ++i) g_mapSocket2Container.RemoveKey(arrGone[i]);
    return true;
}

bool TW_SocketMgrContainer::Shutdown(SOCKET s, int nHow) { return m_lpMgr && m_lpMgr->Shutdown(s, nHow); }

bool TW_SocketMgrContainer::CloseSocket(SOCKET s) {
    if (!m_lpMgr) return false;
    {
        // Only a socket this container registered (or accepted).
        TW_LockGuard guard(&g_lckContainer);
        SocketOwner* lpOwner = g_mapSocket2Container.LookupPtr(s);
        if (!lpOwner || lpOwner->lpContainer != this) return false;
        g_mapSocket2Container.RemoveKey(s);
    }
    return m_lpMgr->CloseSocket(s);
}

bool TW_SocketMgrContainer::SetNoticeLen(SOCKET s, uint32_t uiNoticeLen) {
    return m_lpMgr && m_lpMgr->SetNoticeLen(s, uiNoticeLen);
}

bool TW_SocketMgrContainer::ParseDns(const char* lpszHost) { return m_lpMgr && m_lpMgr->ParseDns(lpszHost); }

bool TW_SocketMgrContainer::SetUserData1(SOCKET s, uint32_t u1) { return m_lpMgr && m_lpMgr->SetUserData1(s, u1); }

bool TW_SocketMgrContainer::SetUserData2(SOCKET s, uint32_t u2) { return m_lpMgr && m_lpMgr->SetUserData2(s, u2); }

bool TW_SocketMgrContainer::GetUserData(SOCKET s, uint32_t* lpU1, uint32_t* lpU2) {
    return m_lpMgr && m_lpMgr->GetUserData(s, lpU1, lpU2);
}

// Socket creation holds the container lock across the manager's call, so an
// event of the brand-new socket waits for its owner instead of being dropped
// (the manager never calls its sink with its own locks held).
SOCKET TW_SocketMgrContainer::CreateUdpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                                              uint32_t u2) {
    if (!m_lpMgr) return INVALID_SOCKET;
    TW_LockGuard guard(&g_lckContainer);
    return Own(m_lpMgr->CreateUdpSocket(hProxy, lpszIp, wPort, u1, u2));
}

SOCKET TW_SocketMgrContainer::CreateUdpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1,
                                                  uint32_t u2) {
    if (!m_lpMgr) return INVALID_SOCKET;
    TW_LockGuard guard(&g_lckContainer);
    return Own(m_lpMgr->CreateUdpSocketAddr(hProxy, lpAddr, u1, u2));
}

int TW_SocketMgrContainer::SendToAddr(SOCKET s, sockaddr_in* lpTo, const char* lpData, int nLen, bool bDirect) {
    return m_lpMgr ? m_lpMgr->SendToAddr(s, lpTo, lpData, nLen, bDirect) : 0;
}

int TW_SocketMgrContainer::SendTo(SOCKET s, const char* lpszIp, uint16_t wPort, const char* lpData, int nLen,
                                  bool bDirect) {
    return m_lpMgr ? m_lpMgr->SendTo(s, lpszIp, wPort, lpData, nLen, bDirect) : 0;
}

SOCKET TW_SocketMgrContainer::CreateTcpSocket(PROXYHANDLE hProxy, const char* lpszIp, uint16_t wPort, uint32_t u1,
                                              uint32_t u2) {
    if (!m_lpMgr) return INVALID_SOCKET;
    TW_LockGuard guard(&g_lckContainer);
    return Own(m_lpMgr->CreateTcpSocket(hProxy, lpszIp, wPort, u1, u2));
}

SOCKET TW_SocketMgrContainer::CreateTcpSocketAddr(PROXYHANDLE hProxy, sockaddr_in* lpAddr, uint32_t u1,
                                                  uint32_t u2) {
    if (!m_lpMgr) return INVALID_SOCKET;
    TW_LockGuard guard(&g_lckContainer);
    return Own(m_lpMgr->CreateTcpSocketAddr(hProxy, lpAddr, u1, u2));
}

bool TW_SocketMgrContainer::Connect(SOCKET s, const char* lpszHost, uint16_t wPort) {
    return m_lpMgr && m_lpMgr->Connect(s, lpszHost, wPort);
}

bool TW_SocketMgrContainer::ConnectAddr(SOCKET s, sockaddr_in* lpAddr) {
    return m_lpMgr && m_lpMgr->ConnectAddr(s, lpAddr);
}

bool TW_SocketMgrContainer::Listen(SOCKET s, int nBacklog) { return m_lpMgr && m_lpMgr->Listen(s, nBacklog); }

bool TW_SocketMgrContainer::SendV(SOCKET s, const SendVBuf* lpBufs, uint32_t uiCount, uint32_t dwSendFlag,
                                  uint32_t* lpQueued) {
    return m_lpMgr && m_lpMgr->SendV(s, lpBufs, uiCount, dwSendFlag, lpQueued);
}

bool TW_SocketMgrContainer::Send(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwSendFlag,
                                 uint32_t* lpQueued) {
    return m_lpMgr && m_lpMgr->Send(s, lpData, uiLen, dwSendFlag, lpQueued);
}

ISocketMgrSink* TW_SocketMgrContainer::SetSink(ISocketMgrSink* lpSink) {
    if (!m_lpMgr) return nullptr;
    uint32_t uiSlot;
    {
        TW_LockGuard guard(&g_lckContainer);
        g_mapContainer2Sink.SetAt(this, lpSink);
        uiSlot = m_uiSinkGen++ & 1;
    }
    // Returns when the previous sink is no longer being called: the host may
    // delete it then.
    WaitForSinkCalls(uiSlot);
    return lpSink;
}

ISocketMgrSink* TW_SocketMgrContainer::GetSink() {
    if (!m_lpMgr) return nullptr;
    TW_LockGuard guard(&g_lckContainer);
    ISocketMgrSink* lpSink = nullptr;
    g_mapContainer2Sink.Lookup(this, lpSink);
    return lpSink;
}

uint32_t TW_SocketMgrContainer::Control(uint32_t, SOCKET, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                        uint32_t) {
    return 0;
}

// ------------------------------------------------------------------ ISocketMgrSink

bool TW_SocketMgrContainer::OnSocketPreAccept(sockaddr_in* lpLocal, sockaddr_in* lpPeer) {
    std::printf("OnSocketPreAccept Local:");
    PrintAddr(lpLocal);
    std::printf(" Peer:");
    PrintAddr(lpPeer);
    std::printf("\n");
    return true;
}

void TW_SocketMgrContainer::OnSocketConnect(int nError, SOCKET s, uint32_t u1, uint32_t u2) {
    if (Dispatch sink(s); sink) sink->OnSocketConnect(nError, s, u1, u2);
}

void TW_SocketMgrContainer::OnSocketAccept(int nError, SOCKET sListen, SOCKET s, sockaddr_in* lpLocal,
                                           sockaddr_in* lpPeer) {
    if (Dispatch sink(sListen, &s); sink) sink->OnSocketAccept(nError, sListen, s, lpLocal, lpPeer);
}

void TW_SocketMgrContainer::OnSocketRecv(int nError, SOCKET s, const char* lpData, uint32_t* lpLen, uint32_t u1,
                                         uint32_t u2) {
    if (Dispatch sink(s); sink) sink->OnSocketRecv(nError, s, lpData, lpLen, u1, u2);
}

void TW_SocketMgrContainer::OnSocketRecvFrom(int nError, SOCKET s, const char* lpData, int nLen,
                                             sockaddr_in* lpFrom, uint32_t u1, uint32_t u2) {
    if (Dispatch sink(s); sink) sink->OnSocketRecvFrom(nError, s, lpData, nLen, lpFrom, u1, u2);
}

void TW_SocketMgrContainer::OnSocketSend(int nError, SOCKET s, uint32_t u1, uint32_t u2, uint32_t dwSendFlag,
                                         uint32_t uiQueued) {
    if (Dispatch sink(s); sink) sink->OnSocketSend(nError, s, u1, u2, dwSendFlag, uiQueued);
}

void TW_SocketMgrContainer::OnSocketClose(int nError, SOCKET s, int nStatus, uint32_t u1, uint32_t u2) {
    if (Dispatch sink(s); sink) sink->OnSocketClose(nError, s, nStatus, u1, u2);
}

void TW_SocketMgrContainer::OnSocketRecvIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) {
    if (Dispatch sink(s); sink) sink->OnSocketRecvIdle(nError, s, u1, u2);
}

void TW_SocketMgrContainer::OnSocketSendIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) {
    if (Dispatch sink(s); sink) sink->OnSocketSendIdle(nError, s, u1, u2);
}

void TW_SocketMgrContainer::OnDnsParse(const char* lpszHost, uint32_t dwIp) {
    // A name result names no socket, so no owner: it is only printed.
    uint8_t ip[4];
    std::memcpy(ip, &dwIp, 4);
    std::printf("OnDnsParse %s=%d.%d.%d.%d \n", lpszHost ? lpszHost : "", ip[0], ip[1], ip[2], ip[3]);
}

void TW_SocketMgrContainer::OnSocketTimer(SOCKET s, uint32_t uiEvent, uint32_t uiPeriod, uint32_t u1,
                                          uint32_t u2) {
    if (Dispatch sink(s); sink) sink->OnSocketTimer(s, uiEvent, uiPeriod, u1, u2);
}

void TW_SocketMgrContainer::OnSocketProxy(int nError, SOCKET s, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) {
    if (Dispatch sink(s); sink) sink->OnSocketProxy(nError, s, lpAddr, u1, u2);
}

uint32_t TW_SocketMgrContainer::OnSocketReserved(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                                 uint32_t, uint32_t, uint32_t) {
    return 0;
}
