// The five exported entry points, the table of interface names and the
// registries of live instances.
#include "TW_NetworkEx.h"

#include <cstdio>
#include <cstring>

#include "TW_List.h"
#include "TW_Locker.h"
#include "async/TW_AsyncSocketMgr.h"
#include "container/TW_SocketMgrContainer.h"
#include "iocp/TW_IocpSocketMgr.h"
#include "record/TW_RecordSocketMgr.h"
#include "select/TW_SelectSocketMgr.h"
#include "vxnet/vxnet.h"

namespace {

const char* const g_szInterfaceNames[] = {
    VXNET_IIOCP_1_0,  VXNET_IASYNC_1_0, VXNET_ISELECT_1_0, VXNET_IIOCP_1_1,  VXNET_IASYNC_1_1,
    VXNET_IRECORD_1_0, VXNET_IIOCP_2_0, VXNET_IASYNC_2_0,  VXNET_ISELECT_2_0,
};
constexpr uint32_t kInterfaceCount = sizeof(g_szInterfaceNames) / sizeof(g_szInterfaceNames[0]);

// The engines: type code, constructor (null until the engine is built) and
// the interface names that make it: plain, recording, container.
struct EngineEntry {
    int nType;
    SocketMgrFactory pfnCreate;
    const char* lpszName;
    const char* lpszRecordName;
    const char* lpszContainerName;
};
EngineEntry g_engines[] = {
    {SOCKETMGR_IOCP, &TW_IocpSocketMgr::Create, VXNET_IIOCP_1_0, VXNET_IIOCP_1_1, VXNET_IIOCP_2_0},
    {SOCKETMGR_ASYNC, &TW_AsyncSocketMgr::Create, VXNET_IASYNC_1_0, VXNET_IASYNC_1_1, VXNET_IASYNC_2_0},
    {SOCKETMGR_SELECT, &TW_SelectSocketMgr::Create, VXNET_ISELECT_1_0, nullptr, VXNET_ISELECT_2_0},
    {SOCKETMGR_RECORD, &TW_RecordSocketMgr::Create, VXNET_IRECORD_1_0, nullptr, nullptr},
};
ContainerFactory g_pfnContainer = &TW_SocketMgrContainer::Create;

EngineEntry* EngineOfType(int nType) {
    for (EngineEntry& e : g_engines)
        if (e.nType == nType) return &e;
    return nullptr;
}

}  // namespace

TW_List<ISocketMgr*> g_listSocketMgr;
TW_List<ISocketMgr*> g_listSocketMgrContainer;
TW_Locker g_lckSocketMgr;

SocketMgrFactory SetSocketMgrFactory(int nType, SocketMgrFactory pfn) {
    EngineEntry* e = EngineOfType(nType);
    if (!e) return nullptr;
    SocketMgrFactory old = e->pfnCreate;
    e->pfnCreate = pfn;
    return old;
}

ContainerFactory SetContainerFactory(ContainerFactory pfn) {
    ContainerFactory old = g_pfnContainer;
    g_pfnContainer = pfn;
    return old;
}

ISocketMgr* CreateSocketMgr(int nType, ISocketMgrSink* lpSink, bool bRecord) {
    EngineEntry* e = EngineOfType(nType);
    if (!e || !e->pfnCreate) return nullptr;
    ISocketMgr* lpMgr = e->pfnCreate(bRecord);
    if (lpMgr) lpMgr->SetSink(lpSink);
    return lpMgr;
}

int GetRegisteredSocketMgrCount() {
    TW_LockGuard guard(&g_lckSocketMgr);
    return g_listSocketMgr.GetCount();
}

int GetRegisteredContainerCount() {
    TW_LockGuard guard(&g_lckSocketMgr);
    return g_listSocketMgrContainer.GetCount();
}

// Unlinks lpMgr from the list and hands it back for destruction; null when it
// is not there, or when destroying it here is refused (it stays registered).
static TW_SocketMgrInstance* UnlinkFrom(TW_List<ISocketMgr*>& list, ISocketMgr* lpMgr) {
    for (POSITION pos = list.GetHeadPosition(); pos;) {
        POSITION cur = pos;
        if (list.GetNext(pos) != lpMgr) continue;
        auto* lpInstance = static_cast<TW_SocketMgrInstance*>(lpMgr);
        if (lpInstance->RefuseDestroyHere()) return nullptr;
        list.RemoveAt(cur);
        return lpInstance;
    }
    return nullptr;
}

extern "C" {

VXNET_API bool VXNET_CALL vxInitialize(void) { return true; }

VXNET_API void VXNET_CALL vxUninitialize(void) {}

VXNET_API bool VXNET_CALL vxGetInterfaceName(uint32_t uiIndex, char* lpszBuf) {
    if (uiIndex >= kInterfaceCount) return false;
    if (!TW_CHECK(lpszBuf != nullptr)) return false;
    std::memcpy(lpszBuf, g_szInterfaceNames[uiIndex], std::strlen(g_szInterfaceNames[uiIndex]) + 1);
    return true;
}

VXNET_API ISocketMgr* VXNET_CALL vxCreateInstance(const char* lpszName) {
    for (const EngineEntry& e : g_engines) {
        if (!lpszName) break;
        const bool bRecord = e.lpszRecordName && std::strcmp(lpszName, e.lpszRecordName) == 0;
        if (bRecord || std::strcmp(lpszName, e.lpszName) == 0) {
            ISocketMgr* lpMgr = CreateSocketMgr(e.nType, nullptr, bRecord);
            TW_LockGuard guard(&g_lckSocketMgr);
            if (lpMgr) g_listSocketMgr.AddTail(lpMgr);
            return lpMgr;
        }
        if (e.lpszContainerName && std::strcmp(lpszName, e.lpszContainerName) == 0) {
            ISocketMgr* lpMgr = g_pfnContainer ? g_pfnContainer(lpszName) : nullptr;
            TW_LockGuard guard(&g_lckSocketMgr);
            if (lpMgr) g_listSocketMgrContainer.AddTail(lpMgr);
            return lpMgr;
        }
    }
    std::printf("InterfaceName is:\n");
    std::printf("IIocpSocketMgr1.0\n");
    std::printf("IIocpSocketMgr1.1 record\n");
    std::printf("IAsyncSocketMgr1.0\n");
    std::printf("IAsyncSocketMgr1.1 record\n");
    std::printf("ISelectSocketMgr1.0\n");
    std::printf("2.0 is Container\n");
    return nullptr;
}

VXNET_API void VXNET_CALL vxDestroyInstance(ISocketMgr* lpMgr) {
    if (!lpMgr) return;
    TW_SocketMgrInstance* lpGone;
    {
        // Off the list first: a second destroy of the same pointer finds nothing.
        TW_LockGuard guard(&g_lckSocketMgr);
        lpGone = UnlinkFrom(g_listSocketMgr, lpMgr);
        if (!lpGone) lpGone = UnlinkFrom(g_listSocketMgrContainer, lpMgr);
    }
    // Destroyed without the registry lock: destruction waits for the
    // instance's threads, and a callback running on one of them may be
    // creating or destroying another instance.
    delete lpGone;
}

}  // extern "C"
