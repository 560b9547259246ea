// A sink that records every event a manager reports, with all its
// arguments and a copy of its data, and lets a test wait for an event with a
// time-out. Per-kind hooks run inside the callback, on the manager's thread,
// so that a test can act where a host would (ask for the next notice, consume
// part of an offer, refuse a connection, close the socket).
#ifndef VX_TEST_RECORDING_SINK_H
#define VX_TEST_RECORDING_SINK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vxnet/ISocketMgr.h"

namespace vxtest {

enum class Ev {
    PreAccept,
    Connect,
    Accept,
    Recv,
    RecvFrom,
    Send,
    Close,
    RecvIdle,
    SendIdle,
    DnsParse,
    Timer,
    Proxy,
    Reserved,
    kCount
};

const char* EvName(Ev kind);

struct SinkEvent {
    Ev kind = Ev::Reserved;
    size_t index = 0;          // position in the record, from 0
    std::thread::id thread;    // the thread that called the sink
    int nError = 0;
    SOCKET s = INVALID_SOCKET;  // the socket the event is about (Accept: the listening one)
    SOCKET sNew = INVALID_SOCKET;  // Accept: the new socket
    uint32_t u1 = 0, u2 = 0;
    std::string data;          // Recv: bytes offered; RecvFrom: the datagram; DnsParse: the name
    uint32_t uiOffered = 0;    // Recv: bytes offered
    uint32_t uiConsumed = 0;   // Recv: bytes the sink consumed (a hook may change it; default all)
    bool bHasAddr = false;     // Proxy: an address was given
    sockaddr_in addr{};        // PreAccept/Accept: local; RecvFrom: sender; Proxy: the address
    sockaddr_in peer{};        // PreAccept/Accept: peer
    bool bAccept = true;       // PreAccept: the answer (a hook may change it)
    int nStatus = 0;           // Close: status before the failure
    uint32_t dwSendFlag = 0;   // Send
    uint32_t uiQueued = 0;     // Send
    uint32_t dwIp = 0;         // DnsParse (network order)
    uint32_t uiEvent = 0;      // Timer
    uint32_t uiPeriod = 0;     // Timer
    uint32_t words[9] = {};    // Reserved
};

using EventPredicate = std::function<bool(const SinkEvent&)>;
using EventHook = std::function<void(SinkEvent&)>;

// Matches events of one kind about one socket (INVALID_SOCKET: any socket).
// For Accept the listening socket and the new socket both count.
EventPredicate Is(Ev kind, SOCKET s = INVALID_SOCKET);
// Any event naming the socket.
EventPredicate About(SOCKET s);

class RecordingSink : public ISocketMgrSink {
public:
    static constexpr int kDefaultWaitMs = 10000;

    RecordingSink() = default;
    RecordingSink(const RecordingSink&) = delete;
    RecordingSink& operator=(const RecordingSink&) = delete;
    // The sink must outlive the manager's threads: destroy the manager first.
    ~RecordingSink() = default;

    // Runs inside the callback before the event is recorded; a hook may edit
    // uiConsumed (Recv) and bAccept (PreAccept). Null removes the hook.
    void SetHook(Ev kind, EventHook hook);
    // With false, Recv and RecvFrom events keep their lengths but no copy of
    // the bytes (for bulk transfers).
    void SetKeepData(bool bKeep);

    size_t Size() const;
    std::vector<SinkEvent> Events() const;
    std::vector<SinkEvent> Matching(const EventPredicate& pred, size_t from = 0) const;
    size_t Count(const EventPredicate& pred, size_t from = 0) const;
    // The first event at or after index `from` that matches, waiting for it
    // for at most nTimeoutMs.
    std::optional<SinkEvent> Wait(const EventPredicate& pred, int nTimeoutMs = kDefaultWaitMs, size_t from = 0);
    // Waits until n events at or after `from` match.
    bool WaitCount(const EventPredicate& pred, size_t n, int nTimeoutMs = kDefaultWaitMs, size_t from = 0);
    // Waits until cond() holds; cond is re-checked after every event (and
    // after Notify), under the sink's lock, so it must not call the manager.
    bool WaitUntil(const std::function<bool()>& cond, int nTimeoutMs = kDefaultWaitMs);
    // Wakes the waiters, for state a test keeps beside the record.
    void Notify();

    // ISocketMgrSink
    bool OnSocketPreAccept(sockaddr_in* lpLocal, sockaddr_in* lpPeer) override;
    void OnSocketConnect(int nError, SOCKET s, uint32_t u1, uint32_t u2) override;
    void OnSocketAccept(int nError, SOCKET sListen, SOCKET s, sockaddr_in* lpLocal, sockaddr_in* lpPeer) override;
    void OnSocketRecv(int nError, SOCKET s, const char* lpData, uint32_t* lpLen, uint32_t u1, uint32_t u2) override;
    void OnSocketRecvFrom(int nError, SOCKET s, const char* lpData, int nLen, sockaddr_in* lpFrom, uint32_t u1,
                          uint32_t u2) override;
    void OnSocketSend(int nError, SOCKET s, uint32_t u1, uint32_t u2, uint32_t dwSendFlag, uint32_t uiQueued) override;
    void OnSocketClose(int nError, SOCKET s, int nStatus, uint32_t u1, uint32_t u2) override;
    void OnSocketRecvIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) override;
    void OnSocketSendIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) override;
    void OnDnsParse(const char* lpszHost, uint32_t dwIp) override;
    void OnSocketTimer(SOCKET s, uint32_t uiEvent, uint32_t uiPeriod, uint32_t u1, uint32_t u2) override;
    void OnSocketProxy(int nError, SOCKET s, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) override;
    uint32_t OnSocketReserved(uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5, uint32_t w6,
                              uint32_t w7, uint32_t w8, uint32_t w9) override;

private:
    // Runs the hook of the event's kind (outside the lock), then records it.
    void Deliver(SinkEvent& ev);

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<SinkEvent> m_events;
    EventHook m_hooks[static_cast<int>(Ev::kCount)];
    bool m_bKeepData = true;
};

// "Recv s=5 err=0 len=10 ..." for failure messages.
std::string Describe(const SinkEvent& ev);
std::string DescribeAll(const std::vector<SinkEvent>& events);

}  // namespace vxtest

#endif
