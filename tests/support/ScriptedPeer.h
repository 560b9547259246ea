// A loopback TCP server that plays a script (read, write, pause, echo,
// close) on its first connection, on its own thread, every step with a
// time-out: a fake proxy, or a destination that speaks first.
#ifndef VX_TEST_SCRIPTED_PEER_H
#define VX_TEST_SCRIPTED_PEER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"

namespace vxtest {

class ScriptedPeer {
public:
    static constexpr int kStepTimeoutMs = 10000;

    ScriptedPeer() = default;
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;
    ~ScriptedPeer() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_bStop = true;
        m_cv.notify_all();
        lock.unlock();
        if (m_thread.joinable()) m_thread.join();
    }

    // Without Close or Reset the connection stays open until the object goes.
    ScriptedPeer& Read(size_t n) { return Add(Op::Read, n); }
    ScriptedPeer& ReadHttpHead() { return Add(Op::ReadHttpHead, 0); }  // up to and including the empty line
    ScriptedPeer& Write(const std::string& bytes) { return Add(Op::Write, 0, bytes); }
    // Lets the other side likely read the last write alone; no outcome
    // depends on it.
    ScriptedPeer& Pause(int nMs) { return Add(Op::Pause, static_cast<size_t>(nMs)); }
    ScriptedPeer& Echo() { return Add(Op::Drain, 1); }         // echoes until the stream ends
    ScriptedPeer& ExpectClosed() { return Add(Op::Drain, 0); }  // the other side ends the stream
    ScriptedPeer& Close() { return Add(Op::Close, 0); }
    ScriptedPeer& Reset() { return Add(Op::Close, 1); }

    // Listens on an ephemeral loopback port and runs the script on a thread.
    bool Start() {
        m_listener = RawSocket::TcpListener(0);
        if (m_listener.IsValid()) m_thread = std::thread([this] { Run(); });
        return m_listener.IsValid();
    }
    uint16_t Port() const { return m_listener.LocalPort(); }
    // Waits until the script has ended: "" when every step ran, else why not.
    std::string Outcome() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, std::chrono::milliseconds(kStepTimeoutMs), [this] { return m_bDone; }))
            return "the script is still running";
        return m_strError;
    }
    // Every byte read by Read, ReadHttpHead, Echo and ExpectClosed.
    std::string Received() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_strReceived;
    }

private:
    // Blocking calls wait in slices: the destructor waits for one at most.
    static constexpr int kSliceMs = 50;
    using Clock = std::chrono::steady_clock;
    enum class Op { Read, ReadHttpHead, Write, Pause, Drain, Close };
    struct Step {
        Op op;
        size_t n;
        std::string bytes;
    };

    ScriptedPeer& Add(Op op, size_t n, const std::string& bytes = {}) {
        m_steps.push_back({op, n, bytes});
        return *this;
    }

    void Record(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strReceived += bytes;
    }

    void Run() {
        RawSocket conn;
        auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
        while (!m_bStop && !conn.IsValid() && Clock::now() < deadline) conn = m_listener.Accept(kSliceMs);
        std::string why = conn.IsValid() ? "" : "no connection";
        for (size_t i = 0; why.empty() && i < m_steps.size(); ++i) why = RunStep(conn, m_steps[i]);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_bDone = true;
        m_strError = why;
        m_cv.notify_all();
        // Hold the connection until the test is over.
        m_cv.wait(lock, [this] { return m_bStop.load(); });
    }

    std::string RunStep(RawSocket& conn, const Step& step) {
        if (step.op == Op::Write) return conn.SendAll(step.bytes) ? "" : "write failed";
        if (step.op == Op::Close) {
            step.n ? conn.AbortiveClose() : conn.Close();
            return "";
        }
        if (step.op == Op::Pause) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait_for(lock, std::chrono::milliseconds(step.n), [this] { return m_bStop.load(); });
            return "";
        }
        // A head is read byte by byte, so nothing after it is taken; a drain
        // lasts while bytes keep coming.
        auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
        for (std::string got, chunk;; chunk.clear()) {
            bool bHead = step.op == Op::ReadHttpHead;
            if (step.op == Op::Read ? got.size() >= step.n
                                    : bHead && got.size() >= 4 && got.compare(got.size() - 4, 4, "\r\n\r\n") == 0)
                return "";
            if (m_bStop || Clock::now() >= deadline || got.size() > 16384)
                return "read: incomplete after " + std::to_string(got.size()) + " bytes";
            int r = conn.RecvUpTo(chunk, step.op == Op::Read ? step.n - got.size() : bHead ? 1 : 65536, kSliceMs);
            if (r == 0 || r == -1) return step.op == Op::Drain ? "" : "read: the stream ended";
            Record(chunk);
            if (step.op != Op::Drain) {
                got += chunk;
            } else if (r > 0) {
                if (step.n && !conn.SendAll(chunk)) return "";  // the other side went
                deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
            }
        }
    }

    std::vector<Step> m_steps;
    RawSocket m_listener;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bDone = false;
    std::string m_strError;
    std::string m_strReceived;
};

}  // namespace vxtest

#endif
