#include "TW_NoticeFraming.h"

#include <algorithm>
#include <cstring>

#include "TW_Assert.h"
#include "vxnet/vxmempool.h"

namespace {

// A notice up to this size gets its whole room at the first incomplete chunk,
// so its bytes are copied once. A longer one grows with the bytes that arrive
// (the pool grows blocks geometrically): a length taken from a peer's header
// must not cost gigabytes before the bytes exist.
constexpr uint32_t kMaxPrealloc = 1u << 20;

}  // namespace

uint32_t TW_NoticeFraming::RoomFor(uint32_t uiHave, uint64_t uiNeed, uint32_t uiNotice) {
    if (uiNeed > 0xFFFFFFFFu) return 0;
    uint64_t uiRoom = std::max<uint64_t>(uiNeed, std::min(uiNotice, kMaxPrealloc));
    return uint32_t(std::max<uint64_t>(uiRoom, uiHave));  // never less: the pool keeps its block
}

namespace {

// The record's buffer fields become the delivering thread's.
RecvBuffer TakeBuffer(RecvState& rs) {
    RecvBuffer taken = rs.sbRbuf;
    rs.sbRbuf = RecvBuffer();
    return taken;
}

}  // namespace

bool TW_NoticeFraming::AppendRecvBytes(RecvState& rs, const void* lpData, uint32_t uiLen) {
    if (uiLen == 0) return true;
    TW_ASSERT(lpData);
    RecvBuffer& rb = rs.sbRbuf;
    uint64_t uiNeed = uint64_t(rb.uiDataLen) + uiLen;
    uint32_t uiRoom = RoomFor(rb.uiCapacity, uiNeed, rs.uiNoticeLen);
    if (uiRoom == 0) return false;
    rb.lpBuffer = static_cast<char*>(MemPoolAppend(uiRoom, rb.lpBuffer, rb.uiDataLen, lpData, uiLen));
    rb.uiCapacity = uiRoom;
    rb.uiDataLen = uint32_t(uiNeed);
    return true;
}

void TW_NoticeFraming::NoticeOffer(SOCKET s, const char* lpData, uint32_t* lpConsumed, uint32_t dwUser1,
                                   uint32_t dwUser2) {
    ISocketMgrSink* lpSink = NoticeSink();
    if (TW_CHECK(lpSink != nullptr))
        lpSink->OnSocketRecv(0, s, lpData, lpConsumed, dwUser1, dwUser2);
    else
        *lpConsumed = 0;  // nobody to take the bytes: keep them
}

void TW_NoticeFraming::DropRecvBytes(RecvState& rs, uint32_t uiCount) {
    RecvBuffer& rb = rs.sbRbuf;
    TW_ASSERT(uiCount <= rb.uiDataLen);
    if (uiCount == 0) return;
    rb.uiDataLen -= uiCount;
    std::memmove(rb.lpBuffer, rb.lpBuffer + uiCount, rb.uiDataLen);
}

NoticeRequest TW_NoticeFraming::RequestNotice(uint32_t status, RecvState& rs, uint32_t uiLen) {
    if (status == SS_UDP) return NOTICE_ACCEPTED;  // datagrams are not framed
    if (status != SS_CONNECTED) return NOTICE_REFUSED;
    if (rs.uiNoticeLen > 0) return NOTICE_REFUSED;  // one request at a time
    rs.uiNoticeLen = uiLen;
    // From inside OnSocketRecv the delivering thread picks the request up.
    if (uiLen == 0 || rs.bRbufLockFlag) return NOTICE_ACCEPTED;
    if (rs.sbRbuf.uiDataLen >= uiLen) return NOTICE_DELIVER_BUFFERED;
    return NOTICE_WATCH_READ;
}

bool TW_NoticeFraming::FindRecord(SOCKET s, uint32_t uiSeq, NoticeRecord& rec) {
    if (!FindNoticeRecord(s, rec) || !rec.lpState) return false;
    return uiSeq == kAnySeq || rec.uiSeq == uiSeq;
}

NoticeResult TW_NoticeFraming::ReceiveNotice(SOCKET s, const char* lpData, uint32_t uiLen,
                                             uint32_t uiSeq, bool bStampRecvTime) {
    TW_ASSERT(lpData || uiLen == 0);
    TW_LockGuard lock(&NoticeLock());
    NoticeRecord rec;
    if (!FindRecord(s, uiSeq, rec)) return NOTICE_GONE;
    if (rec.bProxyHandshake) return OnProxyBytes(s, rec, lpData, uiLen, lock);

    RecvState& rs = *rec.lpState;
    if (bStampRecvTime) rs.dwLastRecvTime = NoticeTick();

    // Bytes nobody has asked for yet (a read that raced with the end of a
    // request), or bytes that arrived while the sink holds a delivery (a sink
    // that pumps messages): keep them. Whoever ends the delivery or makes the
    // next request offers them.
    if (rs.bRbufLockFlag || rs.uiNoticeLen == 0)
        return AppendRecvBytes(rs, lpData, uiLen) ? NOTICE_IDLE : NOTICE_OVERFLOW;

    uint64_t uiTotal = uint64_t(rs.sbRbuf.uiDataLen) + uiLen;
    if (uiTotal < rs.uiNoticeLen || NoticeStopRequested())
        return AppendRecvBytes(rs, lpData, uiLen) ? NOTICE_READ_ON : NOTICE_OVERFLOW;

    // One offer carries a 32-bit length.
    if (uiTotal > 0xFFFFFFFFu) return NOTICE_OVERFLOW;
    // The notice is complete: lend the buffer to this thread for the offer.
    RecvBuffer lent = TakeBuffer(rs);
    rs.uiNoticeLen = 0;
    rs.bRbufLockFlag = true;
    lock.Unlock();

    if (lent.uiDataLen == 0) {
        // Nothing held: offer the caller's bytes as they are, without a copy.
        return Deliver(s, rec, lent.lpBuffer, lent.uiCapacity, lpData, uiLen);
    }
    if (uiLen > 0) {
        uint32_t uiRoom = RoomFor(lent.uiCapacity, uiTotal, 0);
        lent.lpBuffer = static_cast<char*>(MemPoolAppend(uiRoom, lent.lpBuffer, lent.uiDataLen, lpData, uiLen));
        lent.uiCapacity = uiRoom;
    }
    return Deliver(s, rec, lent.lpBuffer, lent.uiCapacity, lent.lpBuffer, uint32_t(uiTotal));
}

// The delivery loop. On entry the record is marked as lending (bRbufLockFlag)
// and no lock is held; lpLent is the block this thread owns (it may be null,
// and lpOffer may lie inside it or in the caller's buffer).
NoticeResult TW_NoticeFraming::Deliver(SOCKET s, const NoticeRecord& first, char* lpLent,
                                       uint32_t uiLentCap, const char* lpOffer, uint32_t uiOffer) {
    const uint32_t uiSeq = first.uiSeq;
    uint32_t dwUser1 = first.dwUser1;
    uint32_t dwUser2 = first.dwUser2;
    for (;;) {
        uint32_t uiConsumed = uiOffer;
        NoticeOffer(s, lpOffer, &uiConsumed, dwUser1, dwUser2);
        if (!TW_CHECK(uiConsumed <= uiOffer)) uiConsumed = uiOffer;
        if (uiConsumed > 0) OnNoticeConsumed(s, lpOffer, uiConsumed, dwUser1, dwUser2);

        TW_LockGuard lock(&NoticeLock());
        NoticeRecord rec;
        if (!FindRecord(s, uiSeq, rec)) {
            // Closed inside the callback: the lent block is ours to free.
            lock.Unlock();
            MemPoolFree(lpLent);
            return NOTICE_GONE;
        }
        RecvState& rs = *rec.lpState;
        TW_ASSERT(rs.bRbufLockFlag);
        rs.bRbufLockFlag = false;
        const uint32_t uiNext = rs.uiNoticeLen;  // asked for during the callback, or 0
        const NoticeResult eResult = uiNext > 0 ? NOTICE_READ_ON : NOTICE_IDLE;
        const char* lpRest = lpOffer + uiConsumed;
        const uint32_t uiRest = uiOffer - uiConsumed;

        if (rs.sbRbuf.uiDataLen == 0) {
            MemPoolFree(rs.sbRbuf.lpBuffer);  // an emptied block, if any: the record gets one below
            if (uiRest == 0) {
                // All taken: the block goes back to the record for the next notice.
                rs.sbRbuf.lpBuffer = lpLent;
                rs.sbRbuf.uiCapacity = uiLentCap;
                rs.sbRbuf.uiDataLen = 0;
                return eResult;
            }
            // The sink took part and asked for no more than what is left:
            // offer the rest at once from where it lies. A sink that took
            // nothing sees the bytes again only when more arrive.
            if (uiConsumed > 0 && uiNext > 0 && uiRest >= uiNext && !NoticeStopRequested()) {
                rs.sbRbuf = RecvBuffer();
                rs.uiNoticeLen = 0;
                rs.bRbufLockFlag = true;
                dwUser1 = rec.dwUser1;
                dwUser2 = rec.dwUser2;
                lpOffer = lpRest;
                uiOffer = uiRest;
                continue;
            }
            // Keep the rest at the start of the block (it may lie inside it).
            uint32_t uiRoom = RoomFor(uiLentCap, uiRest, uiNext);
            rs.sbRbuf.lpBuffer = static_cast<char*>(MemPoolAppend(uiRoom, lpLent, 0, lpRest, uiRest));
            rs.sbRbuf.uiCapacity = uiRoom;
            rs.sbRbuf.uiDataLen = uiRest;
            return eResult;
        }

        // Bytes arrived while the sink ran; they follow the rest.
        if (uiRest > 0) {
            RecvBuffer late = TakeBuffer(rs);
            uint64_t uiTotal = uint64_t(uiRest) + late.uiDataLen;
            uint32_t uiRoom = RoomFor(uiLentCap, uiTotal, uiNext);
            if (uiRoom == 0) {
                MemPoolFree(lpLent);
                MemPoolFree(late.lpBuffer);
                return NOTICE_OVERFLOW;
            }
            char* lpBuf = static_cast<char*>(MemPoolAppend(uiRoom, lpLent, 0, lpRest, uiRest));
            lpBuf = static_cast<char*>(MemPoolAppend(uiRoom, lpBuf, uiRest, late.lpBuffer, late.uiDataLen));
            MemPoolFree(late.lpBuffer);
            rs.sbRbuf.lpBuffer = lpBuf;
            rs.sbRbuf.uiCapacity = uiRoom;
            rs.sbRbuf.uiDataLen = uint32_t(uiTotal);
        } else {
            MemPoolFree(lpLent);
        }
        lpLent = nullptr;
        if (uiNext == 0 || rs.sbRbuf.uiDataLen < uiNext || NoticeStopRequested()) return eResult;
        // New bytes complete the new request: offer everything held.
        RecvBuffer lent = TakeBuffer(rs);
        rs.uiNoticeLen = 0;
        rs.bRbufLockFlag = true;
        dwUser1 = rec.dwUser1;
        dwUser2 = rec.dwUser2;
        lpLent = lent.lpBuffer;
        uiLentCap = lent.uiCapacity;
        lpOffer = lent.lpBuffer;
        uiOffer = lent.uiDataLen;
    }
}
