// The shared engine layer where the conformance suite cannot reach: the
// growth of held bytes near 4 GiB, a name result that comes after the 20 s
// limit, and the lock owner check.
#include <gtest/gtest.h>

#include "RecordingSink.h"
#include "TW_Locker.h"
#include "TW_NoticeFraming.h"
#include "select/TW_SelectSocketMgr.h"

TEST(EngineCoreTest, HeldBytesGrowToTheLimitAndNoFurther) {
    // Small notices get their room at once; a large one grows with the bytes.
    EXPECT_EQ(100u, TW_NoticeFraming::RoomFor(0, 10, 100));
    EXPECT_EQ(1u << 20, TW_NoticeFraming::RoomFor(0, 10, 0xF0000000u));
    EXPECT_EQ(0xFFFFFFFFu, TW_NoticeFraming::RoomFor(0xC0000000u, 0xFFFFFFFFull, 0xFFFFFFFFu));
    EXPECT_EQ(0u, TW_NoticeFraming::RoomFor(0xC0000000u, 0x100000000ull, 0xFFFFFFFFu)) << "past 4 GiB: refused";
    RecvState rs;
    rs.uiNoticeLen = 0xFFFFFFFFu;
    rs.sbRbuf.uiDataLen = 0xFFFFFFF0u;  // as if held: nothing is touched when refused
    EXPECT_FALSE(TW_NoticeFraming::AppendRecvBytes(rs, "0123456789abcdefg", 17));
    EXPECT_EQ(0xFFFFFFF0u, rs.sbRbuf.uiDataLen);
}

TEST(EngineCoreTest, LockerKnowsItsOwner) {
    TW_Locker lck;
    EXPECT_FALSE(lck.IsHeldByCurrentThread());
    {
        TW_LockGuard outer(&lck);
        TW_LockGuard inner(&lck);
        EXPECT_TRUE(lck.IsHeldByCurrentThread());
    }
    EXPECT_FALSE(lck.IsHeldByCurrentThread());
}

namespace {
struct NameProbe : TW_SelectSocketMgr {
    using TW_EngineSocketMgr::OnNameResolved;
};
}  // namespace

TEST(EngineCoreTest, NameResultAfterTheLimitIsDropped) {
    vxtest::RecordingSink sink;
    auto* mgr = new NameProbe();
    mgr->SetSink(&sink);
    // No DNS worker: the name stays unanswered until the test answers it.
    ASSERT_TRUE(mgr->Start(START_NO_DNS_THREAD, 0, 0, 0));
    mgr->SetConnectByNameLimit(50);
    SOCKET s = mgr->CreateTcpSocket(nullptr, nullptr, 0, 1, 2);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(mgr->Connect(s, "late.example", 9));
    auto ev = sink.Wait(vxtest::Is(vxtest::Ev::Connect, s));
    ASSERT_TRUE(ev);
    EXPECT_EQ(10065, ev->nError);

    NameRequest* req = NameRequest::Create("late.example");
    req->socket = uint32_t(s);
    req->wPort = 9;
    req->uiSeq = 0;  // whichever record s has
    mgr->OnNameResolved(*req, htonl(0x7F000001), 0);
    MemPoolFree(req);
    EXPECT_TRUE(mgr->Listen(s, 1)) << "the late result connected the socket after its failure";
    mgr->Stop(0);
    delete mgr;
    EXPECT_EQ(1u, sink.Count(vxtest::Is(vxtest::Ev::Connect, s)));
}
