/// @file vxmempool.h
/// The memory pool every data buffer of the managers comes from (library
/// vxmempool, linked as vxnet::vxmempool or -lvxmempool). Safe to call from
/// any thread. A host needs it only to use the pool for its own buffers.
#ifndef VXNET_VXMEMPOOL_H
#define VXNET_VXMEMPOOL_H

#include <stdint.h>

/// @cond platform
#if defined(_WIN32)
#define VXMEMPOOL_CALL __cdecl
#if defined(VXMEMPOOL_BUILD)
#define VXMEMPOOL_API __declspec(dllexport)
#else
#define VXMEMPOOL_API __declspec(dllimport)
#endif
#else
#define VXMEMPOOL_CALL
#define VXMEMPOOL_API __attribute__((visibility("default")))
#endif
/// @endcond

#ifdef __cplusplus
extern "C" {
#endif

/// A block of at least uiSize bytes (ordinal 1).
VXMEMPOOL_API void* VXMEMPOOL_CALL MemPoolAlloc(uint32_t uiSize);
/// Releases a block from MemPoolAlloc or MemPoolAppend; null is ignored (ordinal 2).
VXMEMPOOL_API void VXMEMPOOL_CALL MemPoolFree(void* lpBlock);
/// A block of at least uiCapacity bytes holding the first uiUsed bytes of lpBuf
/// followed by uiDataLen bytes of lpData. lpData may lie inside lpBuf. When a
/// different block is returned, lpBuf is released (ordinal 3).
VXMEMPOOL_API void* VXMEMPOOL_CALL MemPoolAppend(uint32_t uiCapacity, void* lpBuf, uint32_t uiUsed,
                                                 const void* lpData, uint32_t uiDataLen);
/// Called at the end of every manager's destruction (ordinal 4).
VXMEMPOOL_API void VXMEMPOOL_CALL MemPoolCleanup(void);

#ifdef __cplusplus
}
#endif

#endif
