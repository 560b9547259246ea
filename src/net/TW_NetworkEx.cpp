// The five exported entry points, the table of interface names and the
// registries of live instances.
#include "TW_NetworkEx.h"

#include <cstdio>
#include <cstring>

#include "TW_List.h"
#include "TW_Locker.h"
#include "select/TW_SelectSocketMgr.h"
#include "vxnet/vxnet.h"

namespace {

const char* const g_szInterfaceNames[] = {
    VXNET_IIOCP_1_0,  VXNET_IASYNC_1_0, VXNET_ISELECT_1_0, VXNET_IIOCP_1_1,  VXNET_IASYNC_1_1,
    VXNET_IRECORD_1_0, VXNET_IIOCP_2_0, VXNET_IASYNC_2_0,  VXNET_ISELECT_2_0,
};
constexpr uint32_t kInterfaceCount = sizeof(g_szInterfaceNames) / sizeof(g_szInterfaceNames[0]);

// The engines by type code; a code without an engine makes nothing.
SocketMgrFactory g_pfnEngines[6] = {
    nullptr,                       // 0: not assigned
    &TW_SelectSocketMgr::Create,   // SOCKETMGR_SELECT
    nullptr,                       // SOCKETMGR_ASYNC
    nullptr,                       // SOCKETMGR_IOCP
    nullptr,                       // 4: not assigned
    nullptr,                       // SOCKETMGR_RECORD
};
ContainerFactory g_pfnContainer = nullptr;

}  // namespace

TW_List<ISocketMgr*> g_listSocketMgr;
TW_List<ISocketMgr*> g_listSocketMgrContainer;
TW_Locker g_lckSocketMgr;

SocketMgrFactory SetSocketMgrFactory(int nType, SocketMgrFactory pfn) {
    if (nType < 0 || nType >= 6 || nType == 4) return nullptr;
    SocketMgrFactory old = g_pfnEngines[nType];
    g_pfnEngines[nType] = pfn;
    return old;
}

ContainerFactory SetContainerFactory(ContainerFactory pfn) {
    ContainerFactory old = g_pfnContainer;
    g_pfnContainer = pfn;
    return old;
}

ISocketMgr* CreateSocketMgr(int nType, ISocketMgrSink* lpSink, bool bRecord) {
    if (nType != SOCKETMGR_SELECT && nType != SOCKETMGR_ASYNC && nType != SOCKETMGR_IOCP &&
        nType != SOCKETMGR_RECORD)
        return nullptr;
    SocketMgrFactory pfn = g_pfnEngines[nType];
    if (!pfn) return nullptr;
    ISocketMgr* lpMgr = pfn(bRecord);
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

// Destroys and unlinks the first entry equal to lpMgr; false when none is.
static bool DestroyFrom(TW_List<ISocketMgr*>& list, ISocketMgr* lpMgr) {
    for (POSITION pos = list.GetHeadPosition(); pos;) {
        POSITION cur = pos;
        if (list.GetNext(pos) == lpMgr) {
            delete static_cast<TW_SocketMgrInstance*>(lpMgr);
            list.RemoveAt(cur);
            return true;
        }
    }
    return false;
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
    struct Engine {
        const char* lpszName;
        int nType;
        bool bRecord;
    };
    static const Engine s_engines[] = {
        {VXNET_IIOCP_1_0, SOCKETMGR_IOCP, false},    {VXNET_IIOCP_1_1, SOCKETMGR_IOCP, true},
        {VXNET_IASYNC_1_0, SOCKETMGR_ASYNC, false},  {VXNET_IASYNC_1_1, SOCKETMGR_ASYNC, true},
        {VXNET_ISELECT_1_0, SOCKETMGR_SELECT, false}, {VXNET_IRECORD_1_0, SOCKETMGR_RECORD, false},
    };
    static const char* const s_containers[] = {VXNET_IIOCP_2_0, VXNET_IASYNC_2_0, VXNET_ISELECT_2_0};

    if (lpszName) {
        for (const Engine& e : s_engines) {
            if (std::strcmp(lpszName, e.lpszName) != 0) continue;
            ISocketMgr* lpMgr = CreateSocketMgr(e.nType, nullptr, e.bRecord);
            TW_LockGuard guard(&g_lckSocketMgr);
            if (lpMgr) g_listSocketMgr.AddTail(lpMgr);
            return lpMgr;
        }
        for (const char* lpszContainer : s_containers) {
            if (std::strcmp(lpszName, lpszContainer) != 0) continue;
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
    // Destruction runs under the lock: a concurrent create or destroy waits
    // until the instance's threads have stopped.
    TW_LockGuard guard(&g_lckSocketMgr);
    if (!lpMgr) return;
    if (!DestroyFrom(g_listSocketMgr, lpMgr)) DestroyFrom(g_listSocketMgrContainer, lpMgr);
}

}  // extern "C"
