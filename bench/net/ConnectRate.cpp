// Connection rate: each slot connects, sends one frame, waits for its echo
// and closes, then starts over.
#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "ClientSupport.h"
#include "Frame.h"

namespace bench {
namespace {

struct Slot {
    int fd = -1;
    bool connected = false;
    size_t got = 0;
    uint64_t startedAt = 0;
};

}  // namespace

RunResult RunConnectRate(const Target& target, int concurrency, uint32_t frameLen, const Phases& phases) {
    RunResult result;
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Slot> slots(static_cast<size_t>(concurrency));
    std::unique_ptr<char[]> out(new char[frameLen]);
    std::unique_ptr<char[]> in(new char[frameLen]);
    BuildFrame(out.get(), frameLen, 1);
    LatencyLog latency;
    Window window(target, phases);
    // Failures are counted, but a server that refuses everything ends the run.
    const uint64_t maxErrors = 1000;

    auto start = [&](size_t i, uint64_t now) {
        Slot& s = slots[i];
        s = Slot{};
        s.fd = StartConnect(target.tcpPort);
        s.startedAt = now;
        if (s.fd < 0) {
            ++result.errors;
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &ev);
    };
    auto finish = [&](size_t i, bool failed) {
        close(slots[i].fd);
        slots[i].fd = -1;
        if (failed)
            ++result.errors;
    };

    uint64_t now = NowNs();
    uint64_t lastProgress = now;
    for (size_t i = 0; i < slots.size(); ++i)
        start(i, now);
    epoll_event events[64];
    for (;;) {
        now = NowNs();
        window.Tick(now);
        bool busy = false;
        for (size_t i = 0; i < slots.size(); ++i) {
            if (slots[i].fd >= 0)
                busy = true;
            else if (!window.Over() && result.errors < maxErrors)
                start(i, now), busy = true;
        }
        if (!busy)
            break;
        if (now - lastProgress > Window::kStallNs) {
            result.error = "stalled: no connection completed for 3 s";
            break;
        }
        const int n = epoll_wait(ep, events, 64, window.WaitMs(now));
        now = NowNs();
        for (int k = 0; k < n; ++k) {
            const size_t i = events[k].data.u64;
            Slot& s = slots[i];
            if (s.fd < 0)
                continue;
            if (!s.connected) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0 || !(events[k].events & EPOLLOUT)) {
                    finish(i, true);
                    continue;
                }
                s.connected = true;
                if (!SendAll(s.fd, out.get(), frameLen)) {
                    finish(i, true);
                    continue;
                }
            }
            for (;;) {
                const ssize_t r = recv(s.fd, in.get() + s.got, frameLen - s.got, 0);
                if (r < 0 && errno == EAGAIN)
                    break;
                if (r <= 0) {
                    finish(i, true);
                    break;
                }
                s.got += size_t(r);
                if (s.got < frameLen)
                    continue;
                const bool good = FrameSeq(in.get()) == 1;
                if (good) {
                    lastProgress = now;
                    if (window.Measuring()) {
                        ++result.ops;
                        result.bytes += frameLen;
                        latency.Add(now - s.startedAt);
                    }
                } else {
                    result.error = "an echo came back wrong";
                }
                finish(i, !good);
                break;
            }
        }
    }
    window.Finish(&result);
    latency.Finish(&result);
    for (size_t i = 0; i < slots.size(); ++i)
        if (slots[i].fd >= 0)
            close(slots[i].fd);
    close(ep);
    if (!result.error.empty() || !window.Over())
        result.ok = false;
    if (result.error.empty() && !result.ok)
        result.error = "too many failed connections";
    return result;
}

}  // namespace bench
