// A fake engine and sink around TW_NoticeFraming, and a randomised scenario
// that checks every offer against a model of the byte stream. Shared by the
// unit tests and the fuzz target, so it does not use GoogleTest.
#ifndef NOTICEFRAMINGHARNESS_H
#define NOTICEFRAMINGHARNESS_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "../support/RecordingSink.h"
#include "SocketData.h"
#include "TW_NoticeFraming.h"

// Hands each offer to onRecv; no other event comes from the framing code.
class FramingSink : public vxtest::RecordingSink {
public:
    std::function<void(const char* lpData, uint32_t* lpLen, uint32_t u1, uint32_t u2)> onRecv;

    void OnSocketRecv(int, SOCKET, const char* lpData, uint32_t* lpLen, uint32_t u1, uint32_t u2) override {
        if (onRecv) onRecv(lpData, lpLen, u1, u2);
    }
};

// An engine reduced to its records and sink: SetNoticeLen, CloseSocket and
// the reads the test feeds in. Reading says whether a real engine would read.
class FakeNoticeEngine : public TW_NoticeFraming {
public:
    ~FakeNoticeEngine() {
        for (auto& it : m_records) ReleaseRecvBuffer(it.second);
    }

    // A connected socket (again, under the same handle).
    SocketData& Add(SOCKET s, uint32_t u1 = 0, uint32_t u2 = 0) {
        TW_LockGuard lock(&m_lock);
        if (SocketData* old = Find(s)) ReleaseRecvBuffer(*old);
        m_records.erase(s);
        SocketData& sd = m_records[s];
        sd.socket = s;
        sd.status = SS_CONNECTED;
        sd.uiSeq = m_uiNextSeq++;
        sd.dwUser1 = u1;
        sd.dwUser2 = u2;
        m_reading[s] = false;
        return sd;
    }

    // RemoveSocket of an engine.
    bool Close(SOCKET s) {
        TW_LockGuard lock(&m_lock);
        auto it = m_records.find(s);
        if (it == m_records.end()) return false;
        ReleaseRecvBuffer(it->second);
        m_records.erase(it);
        m_reading.erase(s);
        return true;
    }

    // The select engine's SetNoticeLen: a buffered notice is delivered on the
    // caller's thread.
    bool SetNoticeLen(SOCKET s, uint32_t uiLen) {
        TW_LockGuard lock(&m_lock);
        auto it = m_records.find(s);
        if (it == m_records.end()) return false;
        uint32_t uiSeq = it->second.uiSeq;
        switch (RequestNotice(it->second.status, it->second, uiLen)) {
        case NOTICE_REFUSED: return false;
        case NOTICE_ACCEPTED: return true;
        case NOTICE_WATCH_READ: m_reading[s] = true; return true;
        case NOTICE_DELIVER_BUFFERED: break;
        }
        lock.Unlock();
        NoticeResult r = ReceiveNotice(s, nullptr, 0, uiSeq);
        TW_LockGuard relock(&m_lock);
        if (r != NOTICE_GONE && m_records.count(s)) m_reading[s] = r == NOTICE_READ_ON;
        return true;
    }

    // A chunk read from the socket: the engine reads it for the record that
    // is current, and reads on only when told to.
    NoticeResult Feed(SOCKET s, const std::string& str) {
        uint32_t uiSeq;
        {
            TW_LockGuard lock(&m_lock);
            auto it = m_records.find(s);
            uiSeq = it == m_records.end() ? 1 : it->second.uiSeq;
            m_reading[s] = false;  // as an engine does while it handles a read
        }
        NoticeResult r = ReceiveNotice(s, str.data(), uint32_t(str.size()), uiSeq);
        TW_LockGuard lock(&m_lock);
        if (r == NOTICE_READ_ON && m_records.count(s)) m_reading[s] = true;
        return r;
    }

    SocketData* Find(SOCKET s) {
        auto it = m_records.find(s);
        return it == m_records.end() ? nullptr : &it->second;
    }
    bool Reading(SOCKET s) { return m_reading.count(s) && m_reading[s]; }

    TW_Locker m_lock;
    FramingSink m_sink;
    uint32_t m_uiTick = 1000;
    bool m_bStop = false;
    std::string m_strConsumed;    // what OnNoticeConsumed was told

protected:
    TW_Locker& NoticeLock() override { return m_lock; }
    bool FindNoticeRecord(SOCKET s, NoticeRecord& rec) override {
        SocketData* sd = Find(s);
        if (sd) rec = MakeNoticeRecord(*sd);
        return sd != nullptr;
    }
    ISocketMgrSink* NoticeSink() override { return &m_sink; }
    uint32_t NoticeTick() override { return m_uiTick; }
    bool NoticeStopRequested() override { return m_bStop; }
    NoticeResult OnProxyBytes(SOCKET, const NoticeRecord&, const char*, uint32_t, TW_LockGuard&) override {
        return NOTICE_READ_ON;
    }
    void OnNoticeConsumed(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t, uint32_t) override {
        m_strConsumed.append(lpData, uiLen);
    }

private:
    std::map<SOCKET, SocketData> m_records;
    std::map<SOCKET, bool> m_reading;
    uint32_t m_uiNextSeq = 1;
};

// Where the scenario's decisions come from: a seeded generator in the unit
// test, the fuzzer's input in the fuzz target. Next(n) is in [0, n].
class FramingChoices {
public:
    virtual ~FramingChoices() = default;
    virtual bool Exhausted() = 0;
    virtual uint32_t Next(uint32_t uiMax) = 0;
};

// One socket, a known stream cut into random chunks, and a sink that
// consumes, asks, reads more inside the callback and closes at random. Every
// offer must be all unconsumed bytes, no fewer than asked for; the engine
// reads exactly while a notice is pending; a satisfiable request stays
// pending only after the sink took nothing. Returns "" or the first fault.
class FramingScenario {
public:
    explicit FramingScenario(FramingChoices& choices) : m_choices(choices) {
        m_engine.m_sink.onRecv = [this](const char* lpData, uint32_t* lpLen, uint32_t, uint32_t) {
            OnRecv(lpData, lpLen);
        };
        Open();
    }

    std::string Run(int nMaxSteps) {
        for (int i = 0; i < nMaxSteps && m_strFault.empty() && !m_choices.Exhausted(); ++i) Step();
        if (m_strFault.empty()) CheckConsumedLog();
        return m_strFault;
    }

private:
    static constexpr SOCKET kSocket = 77;

    static char StreamByte(uint64_t i) { return char((i * 2654435761u) >> 13); }

    void Open() {
        m_engine.Add(kSocket);
        m_uiReceived = m_uiConsumed = 0;
        m_uiNotice = 0;
        m_bStuck = false;
        m_engine.m_strConsumed.clear();
    }
    uint64_t Pending() const { return m_uiReceived - m_uiConsumed; }

    std::string NextChunk(uint32_t uiMax) {
        uint32_t n = 1 + m_choices.Next(uiMax - 1);
        std::string str(n, '\0');
        for (uint32_t i = 0; i < n; ++i) str[i] = StreamByte(m_uiBase + m_uiReceived + i);
        m_uiReceived += n;
        return str;
    }

    void Fail(const std::string& str) {
        if (m_strFault.empty()) m_strFault = str;
    }

    void Step() {
        if (m_uiNotice == 0) {
            if (m_engine.Reading(kSocket)) return Fail("the engine reads with no notice requested");
            if (m_choices.Next(7) == 0) {
                // A read that raced with the end of a request: kept, not offered.
                NoticeResult r = m_engine.Feed(kSocket, NextChunk(64));
                if (r != NOTICE_IDLE) Fail("unrequested bytes did not leave the socket idle");
                return;
            }
            uint32_t n = NextLen();
            bool bImmediate = n > 0 && Pending() >= n;
            m_uiNotice = n;
            int nBefore = m_nOffers;
            m_bStuck = false;
            if (!m_engine.SetNoticeLen(kSocket, n)) return Fail("SetNoticeLen refused while idle");
            if (bImmediate != (m_nOffers > nBefore)) Fail("held bytes were not offered as soon as asked for");
            AfterCall(m_bClosedInCall ? NOTICE_GONE : Expected());
            return;
        }
        if (!m_engine.Reading(kSocket)) return Fail("a pending notice but the engine does not read");
        uint32_t uiMax = m_choices.Next(3) == 0 ? 4096 : 16;
        m_bStuck = false;
        NoticeResult r = m_engine.Feed(kSocket, NextChunk(uiMax));
        if (r != (m_bClosedInCall ? NOTICE_GONE : Expected())) Fail("ReceiveNotice result does not match the request state");
        AfterCall(r);
    }

    NoticeResult Expected() const { return m_uiNotice > 0 ? NOTICE_READ_ON : NOTICE_IDLE; }

    uint32_t NextLen() {
        switch (m_choices.Next(3)) {
        case 0: return 0;
        case 1: return 1 + m_choices.Next(3);
        case 2: return 1 + m_choices.Next(40);
        default: return 1 + m_choices.Next(5000);
        }
    }

    void AfterCall(NoticeResult r) {
        if (m_bClosedInCall) {
            m_bClosedInCall = false;
            if (m_engine.Find(kSocket)) Fail("record survived its close");
            m_uiBase += m_uiReceived;
            Open();
            return;
        }
        if (m_uiNotice > 0 && Pending() >= m_uiNotice && !m_bStuck)
            Fail("a satisfiable notice was left pending");
        SocketData* sd = m_engine.Find(kSocket);
        if (!sd || sd->bRbufLockFlag || sd->uiNoticeLen != m_uiNotice || sd->sbRbuf.uiDataLen != Pending())
            Fail("record does not match the model after the call");
    }

    void OnRecv(const char* lpData, uint32_t* lpLen) {
        ++m_nOffers;
        uint32_t uiLen = *lpLen;
        if (m_bClosedInCall) return Fail("offer after the socket was closed");
        if (m_bStuck) return Fail("bytes the sink took nothing of were offered again without new ones");
        if (uiLen != Pending()) return Fail("offer is not every unconsumed byte");
        if (uiLen < m_uiNotice || m_uiNotice == 0) return Fail("offer smaller than the request, or unrequested");
        for (uint32_t i = 0; i < uiLen; ++i)
            if (lpData[i] != StreamByte(m_uiBase + m_uiConsumed + i)) return Fail("offered bytes differ from the stream");
        SocketData* sd = m_engine.Find(kSocket);
        if (!sd || !sd->bRbufLockFlag || sd->uiNoticeLen != 0) return Fail("record not lent during the offer");
        m_uiNotice = 0;

        uint32_t uiTake = m_choices.Next(3) == 0 ? uiLen : m_choices.Next(uiLen);
        // A sink may claim more than it was offered: that is all of it.
        *lpLen = uiTake == uiLen && m_choices.Next(1) ? uiLen + 1000 : uiTake;
        m_uiConsumed += uiTake;
        if (m_choices.Next(15) == 0) {
            m_bClosedInCall = true;
            m_engine.Close(kSocket);
            return;
        }
        uint32_t uiNext = m_choices.Next(2) ? NextLen() : 0;
        if (uiNext && !m_engine.SetNoticeLen(kSocket, uiNext)) return Fail("SetNoticeLen refused inside the callback");
        m_uiNotice = uiNext;
        uint64_t uiLate = 0;
        if (m_choices.Next(7) == 0) {
            // A sink that pumps messages: the engine reads again during the offer.
            uint64_t uiBefore = m_uiReceived;
            if (m_engine.Feed(kSocket, NextChunk(32)) != NOTICE_IDLE) Fail("read during an offer was not held");
            uiLate = m_uiReceived - uiBefore;
        }
        uint64_t uiRest = uiLen - uiTake;
        m_bStuck = uiTake == 0 && uiLate == 0 && uiNext > 0 && uiRest >= uiNext;
    }

    void CheckConsumedLog() {
        const std::string& str = m_engine.m_strConsumed;
        if (str.size() != m_uiConsumed) return Fail("consumed log length differs");
        for (size_t i = 0; i < str.size(); ++i)
            if (str[i] != StreamByte(m_uiBase + i)) return Fail("consumed log differs from the stream");
    }

    FramingChoices& m_choices;
    FakeNoticeEngine m_engine;
    uint64_t m_uiBase = 0;      // stream offset of the current socket's first byte
    uint64_t m_uiReceived = 0;  // of the current socket
    uint64_t m_uiConsumed = 0;
    uint32_t m_uiNotice = 0;    // the request the model believes pending
    bool m_bStuck = false;      // the sink took nothing of an offer that met its new request
    bool m_bClosedInCall = false;
    int m_nOffers = 0;
    std::string m_strFault;
};

#endif
