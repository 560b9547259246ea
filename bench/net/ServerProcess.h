// One echo server running in a child process: started by re-running this
// program with --serve, observed through the process's CPU clock and
// /proc, stopped by closing its input.
#ifndef BENCH_NET_SERVERPROCESS_H
#define BENCH_NET_SERVERPROCESS_H

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "PoolTap.h"

namespace bench {

struct ProcessStatus {
    int threads = 0;
    long rssKiB = 0;
};

class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() { Stop(); }

    // Starts the server pinned to `cpu` (-1: anywhere) and waits for its ports.
    bool Start(const std::string& kind, int cpu, std::string* error);
    // Closes its input and waits (bounded) for it to end; kills it if it does not.
    void Stop();

    uint16_t TcpPort() const { return m_tcpPort; }
    uint16_t UdpPort() const { return m_udpPort; }
    // User + system time of all its threads so far, in seconds (NaN once it is gone).
    double CpuSeconds() const;
    // Memory-pool blocks the server has taken so far (vxnet servers only).
    uint64_t PoolBlocks() const { return m_pool ? m_pool->blocks.load() : 0; }
    uint64_t PoolAppends() const { return m_pool ? m_pool->appends.load() : 0; }
    // Threads and resident memory now (zeros once it is gone).
    ProcessStatus Status() const;
    bool Alive() const;

private:
    pid_t m_pid = -1;
    int m_input = -1;
    clockid_t m_clock{};
    uint16_t m_tcpPort = 0;
    uint16_t m_udpPort = 0;
    PoolCounters* m_pool = nullptr;
    int m_poolFd = -1;
};

}  // namespace bench

#endif
