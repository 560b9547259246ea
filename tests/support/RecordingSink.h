// A sink that records every event with its arguments and a copy of its data,
// and lets a test wait for an event with a time-out. Per-kind hooks run inside
// the callback, so a test can act where a host would.
#ifndef VX_TEST_RECORDING_SINK_H
#define VX_TEST_RECORDING_SINK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vxnet/ISocketMgr.h"

namespace vxtest {

enum class Ev { PreAccept, Connect, Accept, Recv, RecvFrom, Send, Close, RecvIdle, SendIdle, DnsParse, Timer, Proxy,
                Reserved, kCount };

struct SinkEvent {
    Ev kind = Ev::Reserved;
    size_t index = 0;              // position in the record, from 0
    std::thread::id thread{};      // the thread that called the sink
    int nError = 0;
    SOCKET s = INVALID_SOCKET;     // the socket the event is about (Accept: the listening one)
    SOCKET sNew = INVALID_SOCKET;  // Accept: the new socket
    uint32_t u1 = 0, u2 = 0;
    std::string data{};            // Recv: bytes offered; RecvFrom: the datagram; DnsParse: the name
    uint32_t uiOffered = 0;        // Recv, RecvFrom: bytes offered
    uint32_t uiConsumed = 0;       // Recv: bytes the sink consumed (a hook may change it; default all)
    bool bHasAddr = false;         // Proxy: an address was given
    sockaddr_in addr{};            // PreAccept/Accept: local; RecvFrom: sender; Proxy: the address
    sockaddr_in peer{};            // PreAccept/Accept: peer
    bool bAccept = true;           // PreAccept: the answer (a hook may change it)
    int nStatus = 0;               // Close: status before the failure
    uint32_t dwSendFlag = 0, uiQueued = 0;  // Send
    uint32_t dwIp = 0;             // DnsParse (network order)
    uint32_t uiEvent = 0, uiPeriod = 0;     // Timer
};

using EventPredicate = std::function<bool(const SinkEvent&)>;
using EventHook = std::function<void(SinkEvent&)>;

// Events of one kind about one socket (INVALID_SOCKET: any socket). For
// Accept the listening socket and the new socket both count.
inline EventPredicate Is(Ev kind, SOCKET s = INVALID_SOCKET) {
    return [kind, s](const SinkEvent& ev) {
        return ev.kind == kind && (s == INVALID_SOCKET || ev.s == s || (kind == Ev::Accept && ev.sNew == s));
    };
}
// Any event naming the socket.
inline EventPredicate About(SOCKET s) {
    return [s](const SinkEvent& ev) {
        return ev.kind != Ev::PreAccept && ev.kind != Ev::DnsParse && (ev.s == s || ev.sNew == s);
    };
}

// "#3 Recv err=0 s=5 ..." for failure messages.
inline std::string Describe(const SinkEvent& ev) {
    static const char* const s_names[] = {"PreAccept", "Connect", "Accept", "Recv",  "RecvFrom", "Send",    "Close",
                                          "RecvIdle",  "SendIdle", "DnsParse", "Timer", "Proxy",    "Reserved"};
    char buf[256];
    std::snprintf(buf, sizeof buf, "#%lu %s err=%d s=%lu new=%lu u=%u/%u len=%u used=%u status=%d flag=%u queued=%u ev=%u",
                  static_cast<unsigned long>(ev.index), s_names[static_cast<int>(ev.kind)], ev.nError,
                  static_cast<unsigned long>(ev.s), static_cast<unsigned long>(ev.sNew), ev.u1, ev.u2, ev.uiOffered,
                  ev.uiConsumed, ev.nStatus, ev.dwSendFlag, ev.uiQueued, ev.uiEvent);
    return buf;
}
inline std::string DescribeAll(const std::vector<SinkEvent>& events) {
    std::string out;
    for (const SinkEvent& ev : events) out += Describe(ev) + "\n";
    return out;
}

// The sink must outlive the manager's threads: destroy the manager first.
class RecordingSink : public ISocketMgrSink {
public:
    static constexpr int kDefaultWaitMs = 10000;

    // Runs inside the callback before the event is recorded; it may edit
    // uiConsumed (Recv) and bAccept (PreAccept), or drop bulk data. Null removes it.
    void SetHook(Ev kind, EventHook hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hooks[static_cast<int>(kind)] = std::move(hook);
    }

    size_t Size() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events.size();
    }
    // The events at or after index `from` that match (no predicate: all).
    std::vector<SinkEvent> Matching(const EventPredicate& pred = nullptr, size_t from = 0) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<SinkEvent> out;
        for (size_t i = from; i < m_events.size(); ++i)
            if (!pred || pred(m_events[i])) out.push_back(m_events[i]);
        return out;
    }
    size_t Count(const EventPredicate& pred, size_t from = 0) const { return Matching(pred, from).size(); }
    // The first event at or after `from` that matches, awaited up to nTimeoutMs.
    std::optional<SinkEvent> Wait(const EventPredicate& pred, int nTimeoutMs = kDefaultWaitMs, size_t from = 0) {
        std::optional<SinkEvent> found;
        WaitCount([&](const SinkEvent& ev) { return pred(ev) && (found = ev, true); }, 1, nTimeoutMs, from);
        return found;
    }
    // Waits until n events at or after `from` match.
    bool WaitCount(const EventPredicate& pred, size_t n, int nTimeoutMs = kDefaultWaitMs, size_t from = 0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        size_t next = from, seen = 0;
        return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] {
            for (; next < m_events.size() && seen < n; ++next) seen += pred(m_events[next]);
            return seen >= n;
        });
    }

    bool OnSocketPreAccept(sockaddr_in* lpLocal, sockaddr_in* lpPeer) override {
        return Deliver({.kind = Ev::PreAccept, .addr = Addr(lpLocal), .peer = Addr(lpPeer)}).bAccept;
    }
    void OnSocketConnect(int nError, SOCKET s, uint32_t u1, uint32_t u2) override {
        Deliver({.kind = Ev::Connect, .nError = nError, .s = s, .u1 = u1, .u2 = u2});
    }
    void OnSocketAccept(int nError, SOCKET sListen, SOCKET s, sockaddr_in* lpLocal, sockaddr_in* lpPeer) override {
        Deliver({.kind = Ev::Accept, .nError = nError, .s = sListen, .sNew = s, .addr = Addr(lpLocal),
                 .peer = Addr(lpPeer)});
    }
    void OnSocketRecv(int nError, SOCKET s, const char* lpData, uint32_t* lpLen, uint32_t u1, uint32_t u2) override {
        uint32_t n = lpData && lpLen ? *lpLen : 0;
        n = Deliver({.kind = Ev::Recv, .nError = nError, .s = s, .u1 = u1, .u2 = u2, .data = std::string(lpData, n),
                     .uiOffered = n, .uiConsumed = n})
                .uiConsumed;
        if (lpLen) *lpLen = n;
    }
    void OnSocketRecvFrom(int nError, SOCKET s, const char* lpData, int nLen, sockaddr_in* lpFrom, uint32_t u1,
                          uint32_t u2) override {
        uint32_t n = lpData && nLen > 0 ? static_cast<uint32_t>(nLen) : 0;
        Deliver({.kind = Ev::RecvFrom, .nError = nError, .s = s, .u1 = u1, .u2 = u2, .data = std::string(lpData, n),
                 .uiOffered = n, .addr = Addr(lpFrom)});
    }
    void OnSocketSend(int nError, SOCKET s, uint32_t u1, uint32_t u2, uint32_t dwSendFlag, uint32_t uiQueued) override {
        Deliver({.kind = Ev::Send, .nError = nError, .s = s, .u1 = u1, .u2 = u2, .dwSendFlag = dwSendFlag,
                 .uiQueued = uiQueued});
    }
    void OnSocketClose(int nError, SOCKET s, int nStatus, uint32_t u1, uint32_t u2) override {
        Deliver({.kind = Ev::Close, .nError = nError, .s = s, .u1 = u1, .u2 = u2, .nStatus = nStatus});
    }
    void OnSocketRecvIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) override {
        Deliver({.kind = Ev::RecvIdle, .nError = nError, .s = s, .u1 = u1, .u2 = u2});
    }
    void OnSocketSendIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) override {
        Deliver({.kind = Ev::SendIdle, .nError = nError, .s = s, .u1 = u1, .u2 = u2});
    }
    void OnDnsParse(const char* lpszHost, uint32_t dwIp) override {
        Deliver({.kind = Ev::DnsParse, .data = lpszHost ? lpszHost : "", .dwIp = dwIp});
    }
    void OnSocketTimer(SOCKET s, uint32_t uiEvent, uint32_t uiPeriod, uint32_t u1, uint32_t u2) override {
        Deliver({.kind = Ev::Timer, .s = s, .u1 = u1, .u2 = u2, .uiEvent = uiEvent, .uiPeriod = uiPeriod});
    }
    void OnSocketProxy(int nError, SOCKET s, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) override {
        Deliver({.kind = Ev::Proxy, .nError = nError, .s = s, .u1 = u1, .u2 = u2, .bHasAddr = lpAddr != nullptr,
                 .addr = Addr(lpAddr)});
    }
    uint32_t OnSocketReserved(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                              uint32_t) override {
        Deliver({.kind = Ev::Reserved});
        return 0;
    }

private:
    static sockaddr_in Addr(const sockaddr_in* lpAddr) { return lpAddr ? *lpAddr : sockaddr_in{}; }

    SinkEvent Deliver(SinkEvent ev) {
        ev.thread = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(m_mutex);
        EventHook hook = m_hooks[static_cast<int>(ev.kind)];
        // The hook may call into the manager, which may call this sink again.
        lock.unlock();
        if (hook) hook(ev);
        lock.lock();
        ev.index = m_events.size();
        m_events.push_back(ev);
        lock.unlock();
        m_cv.notify_all();
        return ev;
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<SinkEvent> m_events;
    EventHook m_hooks[static_cast<int>(Ev::kCount)];
};

}  // namespace vxtest

#endif
