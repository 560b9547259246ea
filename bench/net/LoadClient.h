// The load client: one thread on its own core driving one workload at a time
// against a server process, over loopback. Every run has a warm-up, then a
// measured window whose edges also stamp the server's CPU clock.
#ifndef BENCH_NET_LOADCLIENT_H
#define BENCH_NET_LOADCLIENT_H

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct Target {
    uint16_t tcpPort = 0;
    uint16_t udpPort = 0;
    std::function<double()> serverCpuSeconds;
    // Memory-pool blocks the server took so far; null for servers without a pool.
    std::function<uint64_t()> serverPoolBlocks;
    std::function<uint64_t()> serverPoolAppends;
};

struct Phases {
    double warmupSeconds = 0.25;
    double seconds = 1.0;
};

struct RunResult {
    bool ok = true;
    std::string error;
    double seconds = 0;    // length of the measured window
    uint64_t ops = 0;      // round trips or connections completed in it
    uint64_t bytes = 0;    // bytes echoed back in it
    double serverCpu = NAN;  // server CPU seconds spent in it
    double poolBlocks = NAN;   // memory-pool blocks the server took in it
    double poolAppends = NAN;  // and appends (copies into pool blocks) it made
    uint64_t errors = 0;   // failed connects, lost datagrams, dropped connections
    double p50us = NAN;
    double p99us = NAN;
};

// Each connection keeps one frame of `frameLen` bytes in flight.
RunResult RunPingPong(const Target& target, int conns, uint32_t frameLen, const Phases& phases);
// Each connection keeps frames of `frameLen` bytes flowing, a bounded window ahead of the echo.
RunResult RunStream(const Target& target, int conns, uint32_t frameLen, const Phases& phases);
// `concurrency` slots each connect, send one frame, wait for its echo and close, over and over.
RunResult RunConnectRate(const Target& target, int concurrency, uint32_t frameLen, const Phases& phases);
// `flows` UDP sockets each keep one datagram of `len` bytes in flight.
RunResult RunUdpPingPong(const Target& target, int flows, uint32_t len, const Phases& phases);

// Connections that made one round trip each and then stay idle, for the
// thread and memory report.
class IdleConnections {
public:
    IdleConnections() = default;
    IdleConnections(const IdleConnections&) = delete;
    IdleConnections& operator=(const IdleConnections&) = delete;
    ~IdleConnections();
    // Opens connections until there are `total`; false (with a reason) on failure.
    bool GrowTo(uint16_t port, int total, std::string* error);
    int Count() const { return int(m_fds.size()); }
    void CloseAll();

private:
    std::vector<int> m_fds;
};

}  // namespace bench

#endif
