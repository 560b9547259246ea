// A loopback TCP server that plays a script on the first connection it
// accepts: read so many bytes, write these bytes, wait for the test, echo,
// close. It stands in for a proxy (refusals, malformed and split replies, a
// proxy that hangs up mid-handshake) and for a destination that speaks first.
// Every step is bounded by a time-out; the script runs on its own thread.
#ifndef VX_TEST_SCRIPTED_PEER_H
#define VX_TEST_SCRIPTED_PEER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
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
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Script steps, in order.
    ScriptedPeer& Read(size_t n);        // exactly n bytes
    ScriptedPeer& ReadHttpHead();        // up to and including the empty line
    ScriptedPeer& Write(const std::string& bytes);
    // Leaves the last write alone on the wire for a moment, so that the
    // other side is likely to read it separately. Only shapes the traffic:
    // no outcome of a test depends on it.
    ScriptedPeer& Pause(int nMs);
    ScriptedPeer& WaitGate();            // until the test calls OpenGate()
    ScriptedPeer& Echo();                // echoes until the stream ends
    ScriptedPeer& ExpectClosed();        // the other side ends the stream
    ScriptedPeer& Close();               // orderly close
    ScriptedPeer& Reset();               // close with a reset
    // Without Close/Reset the connection stays open until the object goes.

    // Listens on an ephemeral loopback port and runs the script on a thread.
    bool Start();
    uint16_t Port() const { return m_wPort; }

    void OpenGate();
    // Until the script has ended (every step run, or one failed).
    bool WaitDone(int nTimeoutMs = kStepTimeoutMs);
    // Until at least n bytes have been read from the connection.
    bool WaitReceived(size_t n, int nTimeoutMs = kStepTimeoutMs);
    bool Succeeded() const;
    std::string Error() const;
    // Every byte read by Read, ReadHttpHead and Echo.
    std::string Received() const;

private:
    enum class Op { Read, ReadHttpHead, Write, Pause, WaitGate, Echo, ExpectClosed, Close, Reset };
    struct Step {
        Op op;
        size_t n;
        std::string bytes;
    };

    ScriptedPeer& Add(Op op, size_t n = 0, const std::string& bytes = {});
    void Run();
    bool RunStep(RawSocket& conn, const Step& step, std::string& why);
    void Finish(bool bOk, const std::string& why);

    std::vector<Step> m_steps;
    RawSocket m_listener;
    uint16_t m_wPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bGate = false;
    bool m_bDone = false;
    bool m_bOk = false;
    std::string m_strError;
    std::string m_strReceived;
};

}  // namespace vxtest

#endif
