// Connections for the thread and memory report: each makes one round trip,
// so the server has surely registered it, and then stays idle.
#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ClientSupport.h"
#include "Frame.h"

namespace bench {

IdleConnections::~IdleConnections() { CloseAll(); }

void IdleConnections::CloseAll() { bench::CloseAll(&m_fds); }

bool IdleConnections::GrowTo(uint16_t port, int total, std::string* error) {
    const int add = total - Count();
    if (add <= 0)
        return true;
    std::vector<int> fresh;
    if (!ConnectAll(port, add, &fresh, error))
        return false;
    constexpr uint32_t kLen = 64;
    char frame[kLen];
    BuildFrame(frame, kLen, 1);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<size_t> got(fresh.size(), 0);
    size_t waiting = 0;
    for (size_t i = 0; i < fresh.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, fresh[i], &ev);
        if (!SendAll(fresh[i], frame, kLen)) {
            *error = "send failed";
            break;
        }
        ++waiting;
    }
    const uint64_t deadline = NowNs() + 10'000'000'000ull;
    epoll_event events[256];
    char in[kLen];
    while (error->empty() && waiting > 0) {
        const uint64_t now = NowNs();
        if (now >= deadline) {
            *error = "no echo within 10 s";
            break;
        }
        const int n = epoll_wait(ep, events, 256, int((deadline - now) / 1'000'000) + 1);
        for (int k = 0; k < n; ++k) {
            const size_t i = events[k].data.u64;
            const ssize_t r = recv(fresh[i], in, kLen - got[i], 0);
            if (r < 0 && errno == EAGAIN)
                continue;
            if (r <= 0) {
                *error = "the server closed an idle connection";
                break;
            }
            got[i] += size_t(r);
            if (got[i] == kLen) {
                --waiting;
                epoll_ctl(ep, EPOLL_CTL_DEL, fresh[i], nullptr);
            }
        }
    }
    close(ep);
    m_fds.insert(m_fds.end(), fresh.begin(), fresh.end());
    return error->empty();
}

}  // namespace bench
