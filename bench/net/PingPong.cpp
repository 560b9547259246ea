// Ping-pong over TCP: every connection sends a frame, waits for its echo,
// and sends the next one.
#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "ClientSupport.h"
#include "Frame.h"

namespace bench {
namespace {

struct Flight {
    int fd = -1;
    uint64_t seq = 0;
    uint64_t sentAt = 0;
    size_t got = 0;
    bool busy = false;  // a frame is in flight
};

}  // namespace

RunResult RunPingPong(const Target& target, int conns, uint32_t frameLen, const Phases& phases) {
    RunResult result;
    std::vector<int> fds;
    if (!ConnectAll(target.tcpPort, conns, &fds, &result.error)) {
        result.ok = false;
        return result;
    }
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Flight> flights(fds.size());
    std::unique_ptr<char[]> out(new char[frameLen]);
    std::unique_ptr<char[]> in(new char[frameLen]);
    auto sendNext = [&](Flight& f, uint64_t now) {
        BuildFrame(out.get(), frameLen, ++f.seq);
        f.sentAt = now;
        f.got = 0;
        f.busy = SendAll(f.fd, out.get(), frameLen);
        return f.busy;
    };
    auto drop = [&](Flight& f) {
        close(f.fd);
        f.fd = -1;
        f.busy = false;
        ++result.errors;
    };

    Window window(target, phases);
    uint64_t now = NowNs();
    int live = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        flights[i].fd = fds[i];
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
        if (sendNext(flights[i], now))
            ++live;
        else
            drop(flights[i]);
    }
    LatencyLog latency;
    uint64_t lastProgress = now;
    int inFlight = live;
    epoll_event events[256];
    while (inFlight > 0) {
        now = NowNs();
        window.Tick(now);
        if (now - lastProgress > Window::kStallNs) {
            result.error = "stalled: no echo for 3 s";
            break;
        }
        const int n = epoll_wait(ep, events, 256, window.WaitMs(now));
        now = NowNs();
        for (int k = 0; k < n; ++k) {
            Flight& f = flights[events[k].data.u64];
            if (f.fd < 0)
                continue;
            const ssize_t r = recv(f.fd, in.get() + f.got, frameLen - f.got, 0);
            if (r < 0 && errno == EAGAIN)
                continue;
            if (r <= 0 || !f.busy) {
                drop(f);
                --inFlight;
                continue;
            }
            f.got += size_t(r);
            if (f.got < frameLen)
                continue;
            if (FrameBodyLen(in.get()) != frameLen - kFrameHeaderLen || FrameSeq(in.get()) != f.seq) {
                result.error = "an echo came back wrong";
                drop(f);
                --inFlight;
                continue;
            }
            lastProgress = now;
            f.busy = false;
            if (window.Measuring()) {
                ++result.ops;
                result.bytes += frameLen;
                latency.Add(now - f.sentAt);
            }
            if (window.Over()) {
                --inFlight;
            } else if (!sendNext(f, now)) {
                drop(f);
                --inFlight;
            }
        }
    }
    window.Tick(NowNs());
    window.Finish(&result);
    latency.Finish(&result);
    for (Flight& f : flights)
        if (f.fd >= 0)
            close(f.fd);
    close(ep);
    if (!result.error.empty() || !window.Over())
        result.ok = false;
    if (result.error.empty() && !result.ok)
        result.error = "every connection failed";
    return result;
}

}  // namespace bench
