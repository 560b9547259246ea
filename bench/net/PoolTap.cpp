#include "PoolTap.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>

#include "vxnet/vxmempool.h"

namespace bench {
namespace {

PoolCounters* g_counters = nullptr;

template <typename Fn>
Fn Real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

PoolCounters* CreatePoolCounters(int* fd) {
    *fd = memfd_create("vxbench-pool", MFD_CLOEXEC);
    if (*fd < 0)
        return nullptr;
    void* page = MAP_FAILED;
    if (ftruncate(*fd, sizeof(PoolCounters)) == 0)
        page = mmap(nullptr, sizeof(PoolCounters), PROT_READ | PROT_WRITE, MAP_SHARED, *fd, 0);
    if (page == MAP_FAILED) {
        close(*fd);
        *fd = -1;
        return nullptr;
    }
    return new (page) PoolCounters;
}

void ReleasePoolCounters(PoolCounters* counters, int fd) {
    if (counters)
        munmap(counters, sizeof(PoolCounters));
    if (fd >= 0)
        close(fd);
}

void AttachPoolCounters() {
    void* page = mmap(nullptr, sizeof(PoolCounters), PROT_READ | PROT_WRITE, MAP_SHARED, kPoolCountersFd, 0);
    close(kPoolCountersFd);
    if (page != MAP_FAILED)
        g_counters = static_cast<PoolCounters*>(page);
}

}  // namespace bench

using bench::g_counters;

extern "C" {

VXMEMPOOL_API void* VXMEMPOOL_CALL MemPoolAlloc(uint32_t uiSize) {
    static const auto real = bench::Real<void* (*)(uint32_t)>("MemPoolAlloc");
    if (g_counters)
        g_counters->blocks.fetch_add(1, std::memory_order_relaxed);
    return real(uiSize);
}

VXMEMPOOL_API void VXMEMPOOL_CALL MemPoolFree(void* lpBlock) {
    static const auto real = bench::Real<void (*)(void*)>("MemPoolFree");
    real(lpBlock);
}

VXMEMPOOL_API void* VXMEMPOOL_CALL MemPoolAppend(uint32_t uiCapacity, void* lpBuf, uint32_t uiUsed,
                                                 const void* lpData, uint32_t uiDataLen) {
    static const auto real = bench::Real<void* (*)(uint32_t, void*, uint32_t, const void*, uint32_t)>("MemPoolAppend");
    void* block = real(uiCapacity, lpBuf, uiUsed, lpData, uiDataLen);
    if (g_counters) {
        g_counters->appends.fetch_add(1, std::memory_order_relaxed);
        if (block != lpBuf)
            g_counters->blocks.fetch_add(1, std::memory_order_relaxed);
    }
    return block;
}

VXMEMPOOL_API void VXMEMPOOL_CALL MemPoolCleanup(void) {
    static const auto real = bench::Real<void (*)()>("MemPoolCleanup");
    real();
}

}  // extern "C"
