// What a host includes: the five entry points of the vxnet library and the
// names of the interfaces it can create.
#ifndef VXNET_VXNET_H
#define VXNET_VXNET_H

#include "ISocketMgr.h"

// The library's version; the CMake package and vxnet.pc carry the same one.
#define VXNET_VERSION_MAJOR 0
#define VXNET_VERSION_MINOR 1
#define VXNET_VERSION_PATCH 0
#define VXNET_VERSION_STRING "0.1.0"
// One number for comparisons: MAJOR * 10000 + MINOR * 100 + PATCH.
#define VXNET_VERSION (VXNET_VERSION_MAJOR * 10000 + VXNET_VERSION_MINOR * 100 + VXNET_VERSION_PATCH)

#if defined(_WIN32)
#define VXNET_CALL __cdecl
#if defined(VXNET_BUILD)
#define VXNET_API __declspec(dllexport)
#else
#define VXNET_API __declspec(dllimport)
#endif
#else
#define VXNET_CALL
#define VXNET_API __attribute__((visibility("default")))
#endif

// Interface names, as vxGetInterfaceName returns them for indexes 0 to 8.
#define VXNET_IIOCP_1_0 "IIocpSocketMgr1.0"
#define VXNET_IASYNC_1_0 "IAsyncSocketMgr1.0"
#define VXNET_ISELECT_1_0 "ISelectSocketMgr1.0"
#define VXNET_IIOCP_1_1 "IIocpSocketMgr1.1"
#define VXNET_IASYNC_1_1 "IAsyncSocketMgr1.1"
#define VXNET_IRECORD_1_0 "IRecordSocketMgr1.0"
#define VXNET_IIOCP_2_0 "IIocpSocketMgr2.0"
#define VXNET_IASYNC_2_0 "IAsyncSocketMgr2.0"
#define VXNET_ISELECT_2_0 "ISelectSocketMgr2.0"

// A buffer of this size holds any interface name with its terminating NUL.
#define VXNET_INTERFACE_NAME_SIZE 20

#ifdef __cplusplus
extern "C" {
#endif

VXNET_API bool VXNET_CALL vxInitialize(void);
VXNET_API void VXNET_CALL vxUninitialize(void);
// Copies name `uiIndex` (0 to 8) with its NUL into lpszBuf (at least 20 bytes).
VXNET_API bool VXNET_CALL vxGetInterfaceName(uint32_t uiIndex, char* lpszBuf);
// A new manager for an interface name, or null (an unknown name prints the known ones).
VXNET_API ISocketMgr* VXNET_CALL vxCreateInstance(const char* lpszName);
// Destroys an instance from vxCreateInstance; anything else is ignored.
VXNET_API void VXNET_CALL vxDestroyInstance(ISocketMgr* lpMgr);

#ifdef __cplusplus
}
#endif

#endif
