#include "RecordingSink.h"

#include <algorithm>
#include <cstdio>

namespace vxtest {

const char* EvName(Ev kind) {
    static const char* const s_names[] = {"PreAccept", "Connect", "Accept", "Recv",  "RecvFrom", "Send",    "Close",
                                          "RecvIdle",  "SendIdle", "DnsParse", "Timer", "Proxy",    "Reserved"};
    int i = static_cast<int>(kind);
    return i >= 0 && i < static_cast<int>(Ev::kCount) ? s_names[i] : "?";
}

EventPredicate Is(Ev kind, SOCKET s) {
    return [kind, s](const SinkEvent& ev) {
        return ev.kind == kind && (s == INVALID_SOCKET || ev.s == s || (kind == Ev::Accept && ev.sNew == s));
    };
}

EventPredicate About(SOCKET s) {
    return [s](const SinkEvent& ev) {
        return ev.kind != Ev::PreAccept && ev.kind != Ev::DnsParse && (ev.s == s || ev.sNew == s);
    };
}

namespace {
// The fields most callbacks share.
SinkEvent Make(Ev kind, int nError = 0, SOCKET s = INVALID_SOCKET, uint32_t u1 = 0, uint32_t u2 = 0) {
    SinkEvent ev;
    ev.kind = kind;
    ev.nError = nError;
    ev.s = s;
    ev.u1 = u1;
    ev.u2 = u2;
    return ev;
}
}  // namespace

void RecordingSink::SetHook(Ev kind, EventHook hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hooks[static_cast<int>(kind)] = std::move(hook);
}

void RecordingSink::SetKeepData(bool bKeep) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bKeepData = bKeep;
}

size_t RecordingSink::Size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events.size();
}

std::vector<SinkEvent> RecordingSink::Events() const { return Matching([](const SinkEvent&) { return true; }); }

std::vector<SinkEvent> RecordingSink::Matching(const EventPredicate& pred, size_t from) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SinkEvent> out;
    for (size_t i = from; i < m_events.size(); ++i)
        if (pred(m_events[i])) out.push_back(m_events[i]);
    return out;
}

size_t RecordingSink::Count(const EventPredicate& pred, size_t from) const { return Matching(pred, from).size(); }

std::optional<SinkEvent> RecordingSink::Wait(const EventPredicate& pred, int nTimeoutMs, size_t from) {
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t next = from;
    std::optional<SinkEvent> found;
    m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] {
        for (; next < m_events.size(); ++next)
            if (pred(m_events[next])) return found = m_events[next], true;
        return false;
    });
    return found;
}

bool RecordingSink::WaitCount(const EventPredicate& pred, size_t n, int nTimeoutMs, size_t from) {
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t next = from, seen = 0;
    return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] {
        for (; next < m_events.size(); ++next)
            if (pred(m_events[next])) ++seen;
        return seen >= n;
    });
}

bool RecordingSink::WaitUntil(const std::function<bool()>& cond, int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), cond);
}

void RecordingSink::Notify() {
    { std::lock_guard<std::mutex> lock(m_mutex); }
    m_cv.notify_all();
}

void RecordingSink::Deliver(SinkEvent& ev) {
    ev.thread = std::this_thread::get_id();
    EventHook hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        hook = m_hooks[static_cast<int>(ev.kind)];
    }
    // No lock held here: the hook may call back into the manager, which may
    // call this sink again on another thread.
    if (hook) hook(ev);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ev.index = m_events.size();
        if (!m_bKeepData && (ev.kind == Ev::Recv || ev.kind == Ev::RecvFrom)) ev.data.clear();
        m_events.push_back(ev);
    }
    m_cv.notify_all();
}

bool RecordingSink::OnSocketPreAccept(sockaddr_in* lpLocal, sockaddr_in* lpPeer) {
    SinkEvent ev = Make(Ev::PreAccept);
    if (lpLocal) ev.addr = *lpLocal;
    if (lpPeer) ev.peer = *lpPeer;
    Deliver(ev);
    return ev.bAccept;
}

void RecordingSink::OnSocketConnect(int nError, SOCKET s, uint32_t u1, uint32_t u2) {
    SinkEvent ev = Make(Ev::Connect, nError, s, u1, u2);
    Deliver(ev);
}

void RecordingSink::OnSocketAccept(int nError, SOCKET sListen, SOCKET s, sockaddr_in* lpLocal, sockaddr_in* lpPeer) {
    SinkEvent ev = Make(Ev::Accept, nError, sListen);
    ev.sNew = s;
    if (lpLocal) ev.addr = *lpLocal;
    if (lpPeer) ev.peer = *lpPeer;
    Deliver(ev);
}

void RecordingSink::OnSocketRecv(int nError, SOCKET s, const char* lpData, uint32_t* lpLen, uint32_t u1, uint32_t u2) {
    SinkEvent ev = Make(Ev::Recv, nError, s, u1, u2);
    ev.uiOffered = ev.uiConsumed = lpLen ? *lpLen : 0;
    if (lpData && ev.uiOffered > 0) ev.data.assign(lpData, ev.uiOffered);
    Deliver(ev);
    if (lpLen) *lpLen = ev.uiConsumed;
}

void RecordingSink::OnSocketRecvFrom(int nError, SOCKET s, const char* lpData, int nLen, sockaddr_in* lpFrom,
                                     uint32_t u1, uint32_t u2) {
    SinkEvent ev = Make(Ev::RecvFrom, nError, s, u1, u2);
    if (lpData && nLen > 0) ev.data.assign(lpData, static_cast<size_t>(nLen));
    ev.uiOffered = nLen > 0 ? static_cast<uint32_t>(nLen) : 0;
    if (lpFrom) ev.addr = *lpFrom;
    Deliver(ev);
}

void RecordingSink::OnSocketSend(int nError, SOCKET s, uint32_t u1, uint32_t u2, uint32_t dwSendFlag,
                                 uint32_t uiQueued) {
    SinkEvent ev = Make(Ev::Send, nError, s, u1, u2);
    ev.dwSendFlag = dwSendFlag;
    ev.uiQueued = uiQueued;
    Deliver(ev);
}

void RecordingSink::OnSocketClose(int nError, SOCKET s, int nStatus, uint32_t u1, uint32_t u2) {
    SinkEvent ev = Make(Ev::Close, nError, s, u1, u2);
    ev.nStatus = nStatus;
    Deliver(ev);
}

void RecordingSink::OnSocketRecvIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) {
    SinkEvent ev = Make(Ev::RecvIdle, nError, s, u1, u2);
    Deliver(ev);
}

void RecordingSink::OnSocketSendIdle(int nError, SOCKET s, uint32_t u1, uint32_t u2) {
    SinkEvent ev = Make(Ev::SendIdle, nError, s, u1, u2);
    Deliver(ev);
}

void RecordingSink::OnDnsParse(const char* lpszHost, uint32_t dwIp) {
    SinkEvent ev = Make(Ev::DnsParse);
    if (lpszHost) ev.data = lpszHost;
    ev.dwIp = dwIp;
    Deliver(ev);
}

void RecordingSink::OnSocketTimer(SOCKET s, uint32_t uiEvent, uint32_t uiPeriod, uint32_t u1, uint32_t u2) {
    SinkEvent ev = Make(Ev::Timer, 0, s, u1, u2);
    ev.uiEvent = uiEvent;
    ev.uiPeriod = uiPeriod;
    Deliver(ev);
}

void RecordingSink::OnSocketProxy(int nError, SOCKET s, sockaddr_in* lpAddr, uint32_t u1, uint32_t u2) {
    SinkEvent ev = Make(Ev::Proxy, nError, s, u1, u2);
    ev.bHasAddr = lpAddr != nullptr;
    if (lpAddr) ev.addr = *lpAddr;
    Deliver(ev);
}

uint32_t RecordingSink::OnSocketReserved(uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5,
                                         uint32_t w6, uint32_t w7, uint32_t w8, uint32_t w9) {
    SinkEvent ev = Make(Ev::Reserved);
    const uint32_t w[9] = {w1, w2, w3, w4, w5, w6, w7, w8, w9};
    std::copy(w, w + 9, ev.words);
    Deliver(ev);
    return 0;
}

std::string Describe(const SinkEvent& ev) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "#%lu %s err=%d s=%lu new=%lu u=%u/%u len=%u used=%u status=%d flag=%u queued=%u ev=%u",
                  static_cast<unsigned long>(ev.index), EvName(ev.kind), ev.nError, static_cast<unsigned long>(ev.s),
                  static_cast<unsigned long>(ev.sNew), ev.u1, ev.u2, ev.uiOffered, ev.uiConsumed, ev.nStatus,
                  ev.dwSendFlag, ev.uiQueued, ev.uiEvent);
    return buf;
}

std::string DescribeAll(const std::vector<SinkEvent>& events) {
    std::string out;
    for (const SinkEvent& ev : events) out += Describe(ev) + "\n";
    return out;
}

}  // namespace vxtest
