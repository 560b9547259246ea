// Counts the memory-pool blocks a vxnet server takes, so the benchmark can
// report pool allocations per operation. The server process defines the
// pool's four functions itself: the library's imports bind to them first,
// and they pass every call on to the real pool.
#ifndef BENCH_NET_POOLTAP_H
#define BENCH_NET_POOLTAP_H

#include <atomic>
#include <cstdint>

namespace bench {

// Lives in memory shared between the parent and the server process.
struct PoolCounters {
    std::atomic<uint64_t> blocks{0};  // new blocks: allocations, and appends that moved to a new block
    std::atomic<uint64_t> appends{0};
};

// The descriptor on which a server process finds the shared counters.
constexpr int kPoolCountersFd = 4;

// Parent: a fresh shared counter page and its descriptor (-1 on failure).
PoolCounters* CreatePoolCounters(int* fd);
void ReleasePoolCounters(PoolCounters* counters, int fd);
// Server: start counting into the page on kPoolCountersFd, if there is one.
void AttachPoolCounters();

}  // namespace bench

#endif
