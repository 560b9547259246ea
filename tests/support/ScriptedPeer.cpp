#include "ScriptedPeer.h"

#include <chrono>

namespace vxtest {

namespace {

// Blocking calls are cut into slices so that the destructor never waits for
// more than one slice.
constexpr int kSliceMs = 50;
constexpr size_t kMaxHttpHead = 16384;

using Clock = std::chrono::steady_clock;

}  // namespace

ScriptedPeer::~ScriptedPeer() {
    m_bStop = true;
    OpenGate();
    if (m_thread.joinable()) m_thread.join();
}

ScriptedPeer& ScriptedPeer::Add(Op op, size_t n, const std::string& bytes) {
    m_steps.push_back({op, n, bytes});
    return *this;
}
ScriptedPeer& ScriptedPeer::Read(size_t n) { return Add(Op::Read, n); }
ScriptedPeer& ScriptedPeer::ReadHttpHead() { return Add(Op::ReadHttpHead); }
ScriptedPeer& ScriptedPeer::Write(const std::string& bytes) { return Add(Op::Write, 0, bytes); }
ScriptedPeer& ScriptedPeer::Pause(int nMs) { return Add(Op::Pause, static_cast<size_t>(nMs)); }
ScriptedPeer& ScriptedPeer::WaitGate() { return Add(Op::WaitGate); }
ScriptedPeer& ScriptedPeer::Echo() { return Add(Op::Echo); }
ScriptedPeer& ScriptedPeer::ExpectClosed() { return Add(Op::ExpectClosed); }
ScriptedPeer& ScriptedPeer::Close() { return Add(Op::Close); }
ScriptedPeer& ScriptedPeer::Reset() { return Add(Op::Reset); }

bool ScriptedPeer::Start() {
    m_listener = RawSocket::TcpListener(0);
    if (!m_listener.IsValid()) return false;
    m_wPort = m_listener.LocalPort();
    m_thread = std::thread([this] { Run(); });
    return true;
}

void ScriptedPeer::OpenGate() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bGate = true;
    }
    m_cv.notify_all();
}

bool ScriptedPeer::WaitDone(int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [this] { return m_bDone; });
}

bool ScriptedPeer::WaitReceived(size_t n, int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                         [this, n] { return m_strReceived.size() >= n || m_bDone; }) &&
           m_strReceived.size() >= n;
}

bool ScriptedPeer::Succeeded() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bDone && m_bOk;
}

std::string ScriptedPeer::Error() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strError;
}

std::string ScriptedPeer::Received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strReceived;
}

void ScriptedPeer::Finish(bool bOk, const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bDone = true;
        m_bOk = bOk;
        m_strError = why;
    }
    m_cv.notify_all();
}

void ScriptedPeer::Run() {
    RawSocket conn;
    auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
    while (!m_bStop && !conn.IsValid() && Clock::now() < deadline) conn = m_listener.Accept(kSliceMs);
    if (!conn.IsValid()) {
        Finish(false, "no connection");
        return;
    }
    std::string why;
    for (const Step& step : m_steps) {
        if (!RunStep(conn, step, why)) {
            Finish(false, why);
            return;
        }
        if (step.op == Op::Close || step.op == Op::Reset) {
            Finish(true, "");
            return;
        }
    }
    Finish(true, "");
    // Hold the connection until the test is over.
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_bStop.load(); });
}

bool ScriptedPeer::RunStep(RawSocket& conn, const Step& step, std::string& why) {
    auto deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
    auto record = [this](const std::string& bytes) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_strReceived += bytes;
        }
        m_cv.notify_all();
    };
    switch (step.op) {
    case Op::Read:
    case Op::ReadHttpHead: {
        // The head is read byte by byte so that nothing after it is taken.
        std::string got;
        auto complete = [&] {
            if (step.op == Op::Read) return got.size() >= step.n;
            return got.size() >= 4 && got.compare(got.size() - 4, 4, "\r\n\r\n") == 0;
        };
        while (!complete()) {
            if (m_bStop || Clock::now() >= deadline || got.size() > kMaxHttpHead) {
                why = "read: incomplete after " + std::to_string(got.size()) + " bytes";
                break;
            }
            size_t want = step.op == Op::Read ? step.n - got.size() : 1;
            int r = conn.RecvUpTo(got, want, kSliceMs);
            if (r == 0 || r == -1) {
                why = "read: stream ended after " + std::to_string(got.size()) + " bytes";
                break;
            }
        }
        record(got);
        return complete();
    }
    case Op::Write:
        if (!conn.SendAll(step.bytes)) {
            why = "write failed";
            return false;
        }
        return true;
    case Op::Pause: {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(step.n), [this] { return m_bStop.load(); });
        return true;
    }
    case Op::WaitGate: {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, std::chrono::milliseconds(kStepTimeoutMs), [this] { return m_bGate; })) {
            why = "gate never opened";
            return false;
        }
        m_bGate = false;
        return !m_bStop;
    }
    case Op::Echo:
    case Op::ExpectClosed:
        while (!m_bStop) {
            if (Clock::now() >= deadline) {
                why = step.op == Op::Echo ? "echo: stream never ended" : "stream never ended";
                return false;
            }
            std::string got;
            int r = conn.RecvSome(got, kSliceMs);
            if (r == 0 || r == -1) return true;
            if (r > 0) {
                record(got);
                if (step.op == Op::Echo && !conn.SendAll(got)) return true;  // the other side went
                deadline = Clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
            }
        }
        return false;
    case Op::Close:
        conn.Close();
        return true;
    case Op::Reset:
        conn.AbortiveClose();
        return true;
    }
    return false;
}

}  // namespace vxtest
