// Pieces every workload of the load client uses: the clock, loopback
// sockets, the measured window and the latency log.
#ifndef BENCH_NET_CLIENTSUPPORT_H
#define BENCH_NET_CLIENTSUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "LoadClient.h"

namespace bench {

uint64_t NowNs();

// A non-blocking TCP socket whose connect to 127.0.0.1:port is under way, or -1.
int StartConnect(uint16_t port);
// Connects `n` sockets and waits (bounded) until all are up.
bool ConnectAll(uint16_t port, int n, std::vector<int>* fds, std::string* error);
void CloseAll(std::vector<int>* fds);
// Sends all of a small buffer on a socket that has room; false on failure.
bool SendAll(int fd, const char* p, size_t n);

// The warm-up and measured window of one run. The server's CPU clock is read
// when the window opens and when it closes.
class Window {
public:
    Window(const Target& target, const Phases& phases);
    // Call with the current time on every pass of the client loop.
    void Tick(uint64_t now);
    bool Measuring() const { return m_state == kMeasuring; }
    bool Over() const { return m_state == kOver; }
    // How long the client loop may sleep before the next edge, in ms.
    int WaitMs(uint64_t now) const;
    // A run that made no progress for this long has stalled.
    static constexpr uint64_t kStallNs = 3'000'000'000ull;
    void Finish(RunResult* result) const;

private:
    enum State { kWarming, kMeasuring, kOver };
    const Target& m_target;
    uint64_t m_start;
    uint64_t m_end;
    State m_state = kWarming;
    uint64_t m_openedAt = 0;
    uint64_t m_closedAt = 0;
    double m_cpuAtOpen = 0;
    double m_cpuAtClose = 0;
    uint64_t m_poolAtOpen = 0, m_appendsAtOpen = 0;
    uint64_t m_poolAtClose = 0, m_appendsAtClose = 0;
};

// Round-trip times of the measured window.
class LatencyLog {
public:
    LatencyLog() { m_ns.reserve(1 << 16); }
    void Add(uint64_t ns) {
        if (m_ns.size() < kMaxSamples)
            m_ns.push_back(uint32_t(ns > UINT32_MAX ? UINT32_MAX : ns));
    }
    void Finish(RunResult* result);

private:
    static constexpr size_t kMaxSamples = 4u << 20;
    std::vector<uint32_t> m_ns;
};

}  // namespace bench

#endif
