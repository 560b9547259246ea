/// @file vxnet.h
/// What a host includes: the five entry points of the vxnet library, the names
/// of the interfaces it can create, and the version.
#ifndef VXNET_VXNET_H
#define VXNET_VXNET_H

#include "ISocketMgr.h"

/// Major version; the CMake package and vxnet.pc carry the same version.
#define VXNET_VERSION_MAJOR 0
/// Minor version.
#define VXNET_VERSION_MINOR 1
/// Patch version.
#define VXNET_VERSION_PATCH 0
/// The version as text.
#define VXNET_VERSION_STRING "0.1.0"
/// One number for comparisons: MAJOR * 10000 + MINOR * 100 + PATCH.
#define VXNET_VERSION (VXNET_VERSION_MAJOR * 10000 + VXNET_VERSION_MINOR * 100 + VXNET_VERSION_PATCH)

/// @cond platform
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
/// @endcond

// Interface names, as vxGetInterfaceName returns them for indexes 0 to 8.
// vxCreateInstance returns null for a name whose engine this build lacks.
/// Index 0: completion-port engine (worker threads on a completion port).
#define VXNET_IIOCP_1_0 "IIocpSocketMgr1.0"
/// Index 1: async-select engine (one thread serving window messages).
#define VXNET_IASYNC_1_0 "IAsyncSocketMgr1.0"
/// Index 2: select engine (one poll thread per 64 sockets).
#define VXNET_ISELECT_1_0 "ISelectSocketMgr1.0"
/// Index 3: completion-port engine that records into vxnet.rec.
#define VXNET_IIOCP_1_1 "IIocpSocketMgr1.1"
/// Index 4: async-select engine that records into vxnet.rec.
#define VXNET_IASYNC_1_1 "IAsyncSocketMgr1.1"
/// Index 5: replays vxnet.rec into the sink, without network.
#define VXNET_IRECORD_1_0 "IRecordSocketMgr1.0"
/// Index 6: a client of one completion-port engine shared in the process.
#define VXNET_IIOCP_2_0 "IIocpSocketMgr2.0"
/// Index 7: a client of one async-select engine shared in the process.
#define VXNET_IASYNC_2_0 "IAsyncSocketMgr2.0"
/// Index 8: a client of one select engine shared in the process.
#define VXNET_ISELECT_2_0 "ISelectSocketMgr2.0"

/// A buffer of this size holds any interface name with its terminating NUL.
#define VXNET_INTERFACE_NAME_SIZE 20

#ifdef __cplusplus
extern "C" {
#endif

/// Always true; nothing needs initialising. Kept for hosts that call it first.
VXNET_API bool VXNET_CALL vxInitialize(void);
/// Does nothing; the counterpart of vxInitialize.
VXNET_API void VXNET_CALL vxUninitialize(void);
/// Copies name @p uiIndex (0 to 8) with its NUL into lpszBuf (at least
/// VXNET_INTERFACE_NAME_SIZE bytes). False for a larger index.
VXNET_API bool VXNET_CALL vxGetInterfaceName(uint32_t uiIndex, char* lpszBuf);
/// A new, stopped manager with no sink for an interface name, or null (an
/// unknown name prints the known ones; a known engine missing from this build
/// gives null). Names compare exactly, case included.
VXNET_API ISocketMgr* VXNET_CALL vxCreateInstance(const char* lpszName);
/// Stops and destroys an instance from vxCreateInstance; returns when its
/// threads have ended. Null, foreign or destroyed pointers are ignored; refused
/// inside a callback of that instance.
VXNET_API void VXNET_CALL vxDestroyInstance(ISocketMgr* lpMgr);

#ifdef __cplusplus
}
#endif

#endif
