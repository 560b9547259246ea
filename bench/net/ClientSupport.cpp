#include "ClientSupport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace bench {

uint64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000ull + uint64_t(ts.tv_nsec);
}

int StartConnect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

bool ConnectAll(uint16_t port, int n, std::vector<int>* fds, std::string* error) {
    std::vector<pollfd> pending;
    for (int i = 0; i < n; ++i) {
        const int fd = StartConnect(port);
        if (fd < 0) {
            *error = std::string("connect: ") + strerror(errno);
            for (const pollfd& p : pending)
                close(p.fd);
            return false;
        }
        pending.push_back({fd, POLLOUT, 0});
    }
    const uint64_t deadline = NowNs() + 10'000'000'000ull;
    size_t done = 0;
    while (done < pending.size()) {
        const uint64_t now = NowNs();
        if (now >= deadline) {
            *error = "connects did not complete within 10 s";
            break;
        }
        std::vector<pollfd> wait;
        for (size_t i = done; i < pending.size(); ++i)
            wait.push_back(pending[i]);
        if (poll(wait.data(), wait.size(), int((deadline - now) / 1'000'000) + 1) <= 0)
            continue;
        // Keep the order: connected sockets move to the front.
        for (const pollfd& w : wait) {
            if (!w.revents)
                continue;
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(w.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                *error = std::string("connect: ") + strerror(err);
                break;
            }
            auto it = std::find_if(pending.begin() + long(done), pending.end(),
                                   [&](const pollfd& p) { return p.fd == w.fd; });
            std::iter_swap(it, pending.begin() + long(done));
            ++done;
        }
        if (!error->empty())
            break;
    }
    if (done < pending.size()) {
        for (const pollfd& p : pending)
            close(p.fd);
        return false;
    }
    for (const pollfd& p : pending)
        fds->push_back(p.fd);
    return true;
}

void CloseAll(std::vector<int>* fds) {
    for (int fd : *fds)
        close(fd);
    fds->clear();
}

bool SendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;  // a small frame that does not fit means the peer stopped reading
        p += sent;
        n -= size_t(sent);
    }
    return true;
}

Window::Window(const Target& target, const Phases& phases) : m_target(target) {
    m_start = NowNs() + uint64_t(phases.warmupSeconds * 1e9);
    m_end = m_start + uint64_t(phases.seconds * 1e9);
}

void Window::Tick(uint64_t now) {
    if (m_state == kWarming && now >= m_start) {
        m_state = kMeasuring;
        m_openedAt = now;
        m_cpuAtOpen = m_target.serverCpuSeconds();
        if (m_target.serverPoolBlocks) {
            m_poolAtOpen = m_target.serverPoolBlocks();
            m_appendsAtOpen = m_target.serverPoolAppends();
        }
    }
    if (m_state == kMeasuring && now >= m_end) {
        m_state = kOver;
        m_closedAt = NowNs();
        m_cpuAtClose = m_target.serverCpuSeconds();
        if (m_target.serverPoolBlocks) {
            m_poolAtClose = m_target.serverPoolBlocks();
            m_appendsAtClose = m_target.serverPoolAppends();
        }
    }
}

int WaitMsUntil(uint64_t now, uint64_t edge) { return edge > now ? int((edge - now) / 1'000'000) + 1 : 0; }

int Window::WaitMs(uint64_t now) const {
    switch (m_state) {
    case kWarming:
        return std::min(100, WaitMsUntil(now, m_start));
    case kMeasuring:
        return std::min(100, WaitMsUntil(now, m_end));
    default:
        return 10;
    }
}

void Window::Finish(RunResult* result) const {
    if (m_state != kOver)
        return;
    result->seconds = double(m_closedAt - m_openedAt) * 1e-9;
    result->serverCpu = m_cpuAtClose - m_cpuAtOpen;
    if (m_target.serverPoolBlocks) {
        result->poolBlocks = double(m_poolAtClose - m_poolAtOpen);
        result->poolAppends = double(m_appendsAtClose - m_appendsAtOpen);
    }
}

void LatencyLog::Finish(RunResult* result) {
    if (m_ns.empty())
        return;
    auto at = [&](double q) {
        const size_t k = std::min(m_ns.size() - 1, size_t(q * double(m_ns.size())));
        std::nth_element(m_ns.begin(), m_ns.begin() + long(k), m_ns.end());
        return double(m_ns[k]) / 1000.0;
    };
    result->p50us = at(0.50);
    result->p99us = at(0.99);
}

}  // namespace bench
