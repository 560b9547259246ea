#include "Workloads.h"

#include <cmath>

namespace bench {

const std::vector<Workload>& AllWorkloads() {
    static const std::vector<Workload> all = {
        {"pp1", "ping-pong 64 B, 1 conn", WorkloadKind::PingPong, 1, 64},
        {"pp16", "ping-pong 64 B, 16 conns", WorkloadKind::PingPong, 16, 64},
        {"pp256", "ping-pong 64 B, 256 conns", WorkloadKind::PingPong, 256, 64},
        {"st1", "stream 16 KiB, 1 conn", WorkloadKind::Stream, 1, 16384},
        {"st16", "stream 16 KiB, 16 conns", WorkloadKind::Stream, 16, 16384},
        {"conn", "connect, 1 frame, close (x4)", WorkloadKind::ConnectRate, 4, 64},
        {"udp", "UDP ping-pong 64 B, 16 flows", WorkloadKind::UdpPingPong, 16, 64},
    };
    return all;
}

namespace {
RunResult Dispatch(const Workload& w, const Target& target, const Phases& phases) {
    switch (w.kind) {
    case WorkloadKind::PingPong:
        return RunPingPong(target, w.conns, w.frameLen, phases);
    case WorkloadKind::Stream:
        return RunStream(target, w.conns, w.frameLen, phases);
    case WorkloadKind::ConnectRate:
        return RunConnectRate(target, w.conns, w.frameLen, phases);
    case WorkloadKind::UdpPingPong:
        return RunUdpPingPong(target, w.conns, w.frameLen, phases);
    }
    return {};
}
}  // namespace

RunResult RunWorkload(const Workload& w, const Target& target, const Phases& phases) {
    RunResult r = Dispatch(w, target, phases);
    if (r.ok && r.ops == 0) {
        r.ok = false;
        r.error = "nothing completed in the measured window";
    }
    return r;
}

namespace {
// The amount an operation stands for: a megabyte when streaming, else one op.
double Operations(const Workload& w, const RunResult& r) {
    return w.kind == WorkloadKind::Stream ? double(r.bytes) / 1e6 : double(r.ops);
}
}  // namespace

double Throughput(const Workload& w, const RunResult& r) {
    return r.seconds > 0 ? Operations(w, r) / r.seconds : NAN;
}

const char* ThroughputUnit(const Workload& w) {
    switch (w.kind) {
    case WorkloadKind::Stream:
        return "MB/s";
    case WorkloadKind::ConnectRate:
        return "conn/s";
    default:
        return "rt/s";
    }
}

double CpuPerOp(const Workload& w, const RunResult& r) {
    const double ops = Operations(w, r);
    return ops > 0 ? r.serverCpu * 1e6 / ops : NAN;
}

double PoolBlocksPerOp(const Workload& w, const RunResult& r) {
    const double ops = Operations(w, r);
    return ops > 0 ? r.poolBlocks / ops : NAN;
}

double PoolAppendsPerOp(const Workload& w, const RunResult& r) {
    const double ops = Operations(w, r);
    return ops > 0 ? r.poolAppends / ops : NAN;
}

const char* CpuPerOpUnit(const Workload& w) {
    switch (w.kind) {
    case WorkloadKind::Stream:
        return "us/MB";
    case WorkloadKind::ConnectRate:
        return "us/conn";
    default:
        return "us/rt";
    }
}

}  // namespace bench
