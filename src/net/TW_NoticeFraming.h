// Notice framing of received TCP data, shared by every engine.
//
// The client asks for a notice of n bytes (SetNoticeLen); the engine reads
// only while such a request is pending; once n bytes are held, all held bytes
// are offered in one OnSocketRecv and the sink says how many it consumed,
// usually asking for the next notice from inside the callback.
//
// An engine derives from TW_NoticeFraming and supplies what differs between
// engines: its lock, how a socket's record is found, the sink, the clock,
// whether it is stopping, and what happens to proxy replies. It then calls
// ReceiveNotice with every chunk it reads from a connected TCP socket (or with
// no bytes, to deliver what is already buffered) and RequestNotice from its
// SetNoticeLen. The sink always runs without the lock, so it may call back
// into the manager, close the socket included.
#ifndef TW_NOTICEFRAMING_H
#define TW_NOTICEFRAMING_H

#include <cstdint>

#include "SocketData.h"
#include "TW_Locker.h"
#include "vxnet/ISocketMgr.h"

// What ReceiveNotice leaves the engine to do.
enum NoticeResult {
    NOTICE_GONE,    // the socket was closed (or its handle reused) meanwhile: forget it
    NOTICE_IDLE,    // no notice pending: do not read until the client asks again
    NOTICE_READ_ON, // a notice is pending: keep reading
    NOTICE_OVERFLOW // the bytes cannot be held (4 GiB): fail the socket with 10055
};

// What the engine's SetNoticeLen does after RequestNotice.
enum NoticeRequest {
    NOTICE_REFUSED,           // return false
    NOTICE_ACCEPTED,          // return true, nothing to start
    NOTICE_DELIVER_BUFFERED,  // enough bytes are held: have ReceiveNotice(s, null, 0, uiSeq)
                              // run without the lock (now or on the engine's own thread)
    NOTICE_WATCH_READ         // start reading the socket
};

// The fields of a socket's record that the framing needs, as the engine's
// lookup reports them.
struct NoticeRecord {
    RecvState* lpState = nullptr;
    uint32_t uiSeq = 0;
    uint32_t dwUser1 = 0;
    uint32_t dwUser2 = 0;
    bool bProxyHandshake = false;  // received bytes are proxy replies
};

// For records shaped like SocketData.
template <class Record>
NoticeRecord MakeNoticeRecord(Record& r) {
    NoticeRecord rec;
    rec.lpState = &r;
    rec.uiSeq = r.uiSeq;
    rec.dwUser1 = r.dwUser1;
    rec.dwUser2 = r.dwUser2;
    rec.bProxyHandshake = r.InProxyHandshake();
    return rec;
}

class TW_NoticeFraming {
public:
    // As the uiSeq of ReceiveNotice: whichever record the handle has now. No
    // engine ever stamps a record with this value.
    static constexpr uint32_t kAnySeq = 0xFFFFFFFFu;

    // Takes the lock itself. lpData may be null with uiLen 0 to deliver the
    // bytes already held. uiSeq: the record the bytes were read for; a
    // different record under the same handle gets nothing. bStampRecvTime:
    // count this call as receive activity for the idle timer.
    NoticeResult ReceiveNotice(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t uiSeq,
                               bool bStampRecvTime = true);

    // The record part of SetNoticeLen, under the engine's lock; the caller has
    // found the record (an unknown socket is refused by the caller).
    static NoticeRequest RequestNotice(uint32_t status, RecvState& rs, uint32_t uiLen);

    // Keep bytes in the record's buffer (for a notice, or a proxy reply in
    // progress). Under the lock, not while a delivery owns the buffer's block.
    // False (nothing kept) when the buffer would pass 4 GiB.
    static bool AppendRecvBytes(RecvState& rs, const void* lpData, uint32_t uiLen);
    // The room to ask of the pool for a buffer with uiHave bytes of room that
    // must now hold uiNeed bytes, filling towards a notice of uiNotice bytes;
    // 0 when uiNeed passes the 32-bit limit.
    static uint32_t RoomFor(uint32_t uiHave, uint64_t uiNeed, uint32_t uiNotice);
    // Forget the first uiCount held bytes (a proxy reply that was judged).
    static void DropRecvBytes(RecvState& rs, uint32_t uiCount);

protected:
    TW_NoticeFraming() = default;
    ~TW_NoticeFraming() = default;
    TW_NoticeFraming(const TW_NoticeFraming&) = delete;
    TW_NoticeFraming& operator=(const TW_NoticeFraming&) = delete;

    // The lock that guards the records ReceiveNotice looks up.
    virtual TW_Locker& NoticeLock() = 0;
    // Under the lock: the socket's record, or false when there is none (or
    // the handle is closing).
    virtual bool FindNoticeRecord(SOCKET s, NoticeRecord& rec) = 0;
    virtual ISocketMgrSink* NoticeSink() = 0;
    // Offers a notice to the sink; *lpConsumed holds the offer on entry.
    // Engines wrap the call to mark it as a callback of theirs.
    virtual void NoticeOffer(SOCKET s, const char* lpData, uint32_t* lpConsumed, uint32_t dwUser1,
                             uint32_t dwUser2);
    // The multiple timer's current tick, for dwLastRecvTime.
    virtual uint32_t NoticeTick() = 0;
    // A stopping engine delivers nothing more; the bytes stay in the record.
    virtual bool NoticeStopRequested() { return false; }
    // Bytes received while the proxy handshake runs. Called with the lock
    // held through lock; release it before calling the sink. The result is
    // passed on as ReceiveNotice's.
    virtual NoticeResult OnProxyBytes(SOCKET s, const NoticeRecord& rec, const char* lpData,
                                      uint32_t uiLen, TW_LockGuard& lock) = 0;
    // After the sink consumed uiLen bytes (for the record file). No lock held.
    virtual void OnNoticeConsumed(SOCKET s, const char* lpData, uint32_t uiLen, uint32_t dwUser1,
                                  uint32_t dwUser2) {}

private:
    bool FindRecord(SOCKET s, uint32_t uiSeq, NoticeRecord& rec);
    NoticeResult Deliver(SOCKET s, const NoticeRecord& rec, char* lpLent, uint32_t uiLentCap,
                         const char* lpOffer, uint32_t uiOffer);
};

#endif
