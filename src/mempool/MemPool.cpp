// The pool is an ordinary thread-safe heap: every block carries a small header
// with its capacity so that MemPoolAppend can grow it in place when it fits.
#include "vxnet/vxmempool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kMagic = 0x564D5050;  // "VMPP": catches a foreign or freed pointer

struct alignas(16) BlockHeader {
    uint32_t uiCapacity;
    uint32_t uiMagic;
};

BlockHeader* HeaderOf(void* p) { return static_cast<BlockHeader*>(p) - 1; }

void* NewBlock(uint32_t uiCapacity) {
    // A zero-sized request still returns a distinct, freeable block.
    auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + (uiCapacity ? uiCapacity : 1)));
    if (!h) {
        std::fprintf(stdout, "MemPoolAlloc: out of memory (%u bytes)\n", uiCapacity);
        std::fflush(stdout);
        std::abort();  // callers do not test for failure
    }
    h->uiCapacity = uiCapacity;
    h->uiMagic = kMagic;
    return h + 1;
}

BlockHeader* CheckedHeader(void* p) {
    BlockHeader* h = HeaderOf(p);
    if (h->uiMagic != kMagic) {
        std::fprintf(stdout, "Assertion failed: block is a pool block, file MemPool, line %d\n", __LINE__);
        std::fflush(stdout);
        std::abort();
    }
    return h;
}

}  // namespace

extern "C" {

VXMEMPOOL_API void* VXMEMPOOL_CALL MemPoolAlloc(uint32_t uiSize) { return NewBlock(uiSize); }

VXMEMPOOL_API void VXMEMPOOL_CALL MemPoolFree(void* lpBlock) {
    if (!lpBlock) return;
    BlockHeader* h = CheckedHeader(lpBlock);
    h->uiMagic = 0;
    std::free(h);
}

VXMEMPOOL_API void* VXMEMPOOL_CALL MemPoolAppend(uint32_t uiCapacity, void* lpBuf, uint32_t uiUsed,
                                                 const void* lpData, uint32_t uiDataLen) {
    uint64_t uiNeed = uint64_t(uiUsed) + uiDataLen;
    if (uiCapacity < uiNeed) uiCapacity = uint32_t(uiNeed > 0xFFFFFFFFu ? 0xFFFFFFFFu : uiNeed);
    if (!lpBuf) {
        void* p = NewBlock(uiCapacity);
        if (uiDataLen) std::memcpy(p, lpData, uiDataLen);
        return p;
    }
    BlockHeader* h = CheckedHeader(lpBuf);
    if (h->uiCapacity >= uiCapacity) {
        // memmove: the data may overlap the destination inside the same block.
        if (uiDataLen) std::memmove(static_cast<char*>(lpBuf) + uiUsed, lpData, uiDataLen);
        return lpBuf;
    }
    // Grow geometrically so that a buffer filled by many small appends is
    // copied a logarithmic number of times.
    // Near the 32-bit limit the step is capped, not dropped: falling back to
    // the exact size would copy the whole block at every append.
    uint64_t uiGrown = uint64_t(h->uiCapacity) + h->uiCapacity / 2;
    if (uiGrown > 0xFFFFFFFFu) uiGrown = 0xFFFFFFFFu;
    uint32_t uiNewCap = uiGrown > uiCapacity ? uint32_t(uiGrown) : uiCapacity;
    char* p = static_cast<char*>(NewBlock(uiNewCap));
    if (uiUsed) std::memcpy(p, lpBuf, uiUsed);
    // The data is copied before the old block is released: it may lie inside it.
    if (uiDataLen) std::memcpy(p + uiUsed, lpData, uiDataLen);
    MemPoolFree(lpBuf);
    return p;
}

VXMEMPOOL_API void VXMEMPOOL_CALL MemPoolCleanup(void) {}

}  // extern "C"
