// Streaming over TCP: every connection sends frames back to back, at most a
// fixed window ahead of the echo it has read back, and checks every echoed
// frame's header and sequence number.
#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "ClientSupport.h"
#include "Frame.h"

namespace bench {
namespace {

// Frames handed to one send call, and how far the sender may run ahead.
constexpr uint32_t kBatchFrames = 4;
constexpr uint32_t kWindowFrames = 8;

struct StreamConn {
    int fd = -1;
    std::unique_ptr<char[]> tx;
    size_t txOff = 0;  // within the current batch
    uint64_t txSeq = 0;
    uint64_t sent = 0;
    uint64_t received = 0;
    // The echo being checked: position in its frame, its first bytes, its number.
    size_t rxOff = 0;
    char rxHead[kFrameCheckLen] = {};
    uint64_t rxSeq = 0;
};

class StreamRun {
public:
    StreamRun(uint32_t frameLen, RunResult* result) : m_frameLen(frameLen), m_batchLen(frameLen * kBatchFrames), m_result(result) {}

    void Add(int fd) {
        StreamConn c;
        c.fd = fd;
        c.tx.reset(new char[m_batchLen]());
        c.txOff = m_batchLen;  // a new batch is built before the first send
        m_conns.push_back(std::move(c));
    }
    std::vector<StreamConn>& Conns() { return m_conns; }

    // Reads what is there; returns the bytes read, or -1 when the connection failed.
    long Read(StreamConn& c, char* scratch, size_t scratchLen, bool measuring) {
        long total = 0;
        for (;;) {
            const ssize_t n = recv(c.fd, scratch, scratchLen, 0);
            if (n < 0 && errno == EAGAIN)
                return total;
            if (n <= 0 || !Check(c, scratch, size_t(n)))
                return -1;
            c.received += uint64_t(n);
            total += n;
            if (measuring)
                m_result->bytes += uint64_t(n);
        }
    }

    // Sends until the window is full or the socket is; false when it failed.
    // Once the window has closed (`finishing`) it only completes the frame
    // under way, so that the server can echo everything that was sent.
    bool Write(StreamConn& c, bool finishing) {
        const uint64_t window = uint64_t(m_frameLen) * kWindowFrames;
        for (;;) {
            uint64_t room = window > c.sent - c.received ? window - (c.sent - c.received) : 0;
            if (finishing)
                room = (m_frameLen - c.sent % m_frameLen) % m_frameLen;
            if (room == 0)
                return true;
            if (c.txOff == m_batchLen) {
                for (uint32_t i = 0; i < kBatchFrames; ++i)
                    BuildFrame(c.tx.get() + size_t(i) * m_frameLen, m_frameLen, ++c.txSeq);
                c.txOff = 0;
            }
            const size_t len = size_t(std::min<uint64_t>(m_batchLen - c.txOff, room));
            const ssize_t n = send(c.fd, c.tx.get() + c.txOff, len, MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN;
            c.txOff += size_t(n);
            c.sent += uint64_t(n);
        }
    }

    // Everything sent is whole frames and has come back.
    bool Drained(const StreamConn& c) const { return c.received == c.sent && c.sent % m_frameLen == 0; }

private:
    bool Check(StreamConn& c, const char* p, size_t n) {
        while (n > 0) {
            size_t take;
            if (c.rxOff < kFrameCheckLen) {
                take = std::min(n, kFrameCheckLen - c.rxOff);
                std::memcpy(c.rxHead + c.rxOff, p, take);
            } else {
                take = std::min(n, m_frameLen - c.rxOff);
            }
            c.rxOff += take;
            p += take;
            n -= take;
            if (c.rxOff == kFrameCheckLen &&
                (FrameBodyLen(c.rxHead) != m_frameLen - kFrameHeaderLen || FrameSeq(c.rxHead) != ++c.rxSeq)) {
                m_result->error = "an echoed frame came back wrong";
                return false;
            }
            if (c.rxOff == m_frameLen)
                c.rxOff = 0;
        }
        return true;
    }

    size_t m_frameLen;
    size_t m_batchLen;
    RunResult* m_result;
    std::vector<StreamConn> m_conns;
};

}  // namespace

RunResult RunStream(const Target& target, int conns, uint32_t frameLen, const Phases& phases) {
    RunResult result;
    std::vector<int> fds;
    if (!ConnectAll(target.tcpPort, conns, &fds, &result.error)) {
        result.ok = false;
        return result;
    }
    StreamRun run(frameLen, &result);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < fds.size(); ++i) {
        run.Add(fds[i]);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
    }
    std::unique_ptr<char[]> scratch(new char[256 * 1024]);
    Window window(target, phases);
    uint64_t lastProgress = NowNs();
    size_t open = fds.size();
    epoll_event events[64];
    while (open > 0) {
        uint64_t now = NowNs();
        window.Tick(now);
        if (now - lastProgress > Window::kStallNs) {
            if (result.error.empty())
                result.error = "stalled: no echo for 3 s";
            break;
        }
        const int n = epoll_wait(ep, events, 64, window.WaitMs(now));
        for (int k = 0; k < n; ++k) {
            StreamConn& c = run.Conns()[events[k].data.u64];
            if (c.fd < 0)
                continue;
            const long got = run.Read(c, scratch.get(), 256 * 1024, window.Measuring());
            bool failed = got < 0;
            if (got > 0)
                lastProgress = NowNs();
            if (!failed)
                failed = !run.Write(c, window.Over());
            if (failed || (window.Over() && run.Drained(c))) {
                if (failed)
                    ++result.errors;
                close(c.fd);
                c.fd = -1;
                --open;
            }
        }
        // Once the window has closed, connections without events still have
        // to finish their frame, or are drained already.
        if (window.Over()) {
            for (StreamConn& c : run.Conns()) {
                if (c.fd < 0)
                    continue;
                const bool failed = !run.Write(c, true);
                if (failed || run.Drained(c)) {
                    if (failed)
                        ++result.errors;
                    close(c.fd);
                    c.fd = -1;
                    --open;
                }
            }
        }
    }
    window.Finish(&result);
    for (StreamConn& c : run.Conns())
        if (c.fd >= 0)
            close(c.fd);
    result.ops = result.bytes / frameLen;
    close(ep);
    if (!result.error.empty() || !window.Over() || result.errors == fds.size())
        result.ok = false;
    if (result.error.empty() && !result.ok)
        result.error = "every connection failed";
    return result;
}

}  // namespace bench
