// UDP ping-pong: every flow (its own socket) sends a datagram and waits for
// its echo; a datagram not answered within kLostNs counts as lost and the
// flow goes on with the next one.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "ClientSupport.h"
#include "Frame.h"

namespace bench {
namespace {

constexpr uint64_t kLostNs = 200'000'000;

struct Flow {
    int fd = -1;
    uint64_t seq = 0;
    uint64_t sentAt = 0;
    bool busy = false;
};

int OpenFlow(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

RunResult RunUdpPingPong(const Target& target, int flowCount, uint32_t len, const Phases& phases) {
    RunResult result;
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Flow> flows(static_cast<size_t>(flowCount));
    std::unique_ptr<char[]> out(new char[len]);
    std::unique_ptr<char[]> in(new char[65536]);
    auto sendNext = [&](Flow& f, uint64_t now) {
        BuildFrame(out.get(), len, ++f.seq);
        f.sentAt = now;
        // A datagram the kernel refused counts as lost; the time-out retries.
        f.busy = true;
        send(f.fd, out.get(), len, 0);
    };
    uint64_t now = NowNs();
    for (size_t i = 0; i < flows.size(); ++i) {
        flows[i].fd = OpenFlow(target.udpPort);
        if (flows[i].fd < 0) {
            result.ok = false;
            result.error = "cannot open a UDP socket";
            break;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, flows[i].fd, &ev);
    }
    LatencyLog latency;
    Window window(target, phases);
    uint64_t lastProgress = now;
    if (result.ok)
        for (Flow& f : flows)
            sendNext(f, now);
    epoll_event events[64];
    while (result.ok) {
        now = NowNs();
        window.Tick(now);
        bool busy = false;
        for (Flow& f : flows) {
            if (f.busy && now - f.sentAt > kLostNs) {
                ++result.errors;
                f.busy = false;
                if (!window.Over())
                    sendNext(f, now);
            }
            busy = busy || f.busy;
        }
        if (!busy && window.Over())
            break;
        if (now - lastProgress > Window::kStallNs) {
            result.error = "stalled: no echo for 3 s";
            break;
        }
        const int n = epoll_wait(ep, events, 64, std::min(window.WaitMs(now), 20));
        now = NowNs();
        for (int k = 0; k < n; ++k) {
            Flow& f = flows[events[k].data.u64];
            const ssize_t r = recv(f.fd, in.get(), 65536, 0);
            // Late echoes of datagrams already counted as lost are ignored.
            if (r != ssize_t(len) || !f.busy || FrameSeq(in.get()) != f.seq)
                continue;
            lastProgress = now;
            f.busy = false;
            if (window.Measuring()) {
                ++result.ops;
                result.bytes += len;
                latency.Add(now - f.sentAt);
            }
            if (!window.Over())
                sendNext(f, now);
        }
    }
    window.Finish(&result);
    latency.Finish(&result);
    for (Flow& f : flows)
        if (f.fd >= 0)
            close(f.fd);
    close(ep);
    if (!result.error.empty() || !window.Over())
        result.ok = false;
    return result;
}

}  // namespace bench
