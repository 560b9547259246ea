// The workloads of one benchmark run, and the figures each one reports.
#ifndef BENCH_NET_WORKLOADS_H
#define BENCH_NET_WORKLOADS_H

#include <cstdint>
#include <string>
#include <vector>

#include "LoadClient.h"

namespace bench {

enum class WorkloadKind { PingPong, Stream, ConnectRate, UdpPingPong };

struct Workload {
    const char* id;  // for --workloads
    const char* title;
    WorkloadKind kind;
    int conns;  // connections, concurrent connects or UDP flows
    uint32_t frameLen;
};

const std::vector<Workload>& AllWorkloads();
RunResult RunWorkload(const Workload& w, const Target& target, const Phases& phases);

// Throughput of one run in the workload's unit (round trips, connections or MB per second).
double Throughput(const Workload& w, const RunResult& r);
const char* ThroughputUnit(const Workload& w);
// Server CPU per operation in microseconds (per round trip, connection or MB).
double CpuPerOp(const Workload& w, const RunResult& r);
const char* CpuPerOpUnit(const Workload& w);
// Memory-pool blocks and appends per operation (NaN for servers without a pool).
double PoolBlocksPerOp(const Workload& w, const RunResult& r);
double PoolAppendsPerOp(const Workload& w, const RunResult& r);

}  // namespace bench

#endif
