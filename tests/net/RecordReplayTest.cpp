// Recording and replay: the record-file reader on damaged and unusual files,
// the replaying manager's life cycle, the writer's byte layout against a
// file written by the Windows build, and a real exchange recorded by each
// recording engine that must replay as the same callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

#include "../base/ScopedTempFolder.h"
#include "LoopbackPeer.h"
#include "PollUntil.h"
#include "RecordingSink.h"
#include "record/TW_RecordReader.h"
#include "record/TW_RecordSocketMgr.h"
#include "vxnet/vxnet.h"

namespace {

using vxtest::Ev;
using vxtest::SinkEvent;

constexpr int kWaitMs = vxtest::RecordingSink::kDefaultWaitMs;

std::string LE32(uint32_t v) {
    unsigned char b[4];
    PutRecordLE32(b, v);
    return std::string(reinterpret_cast<char*>(b), 4);
}
std::string Rec(uint32_t type, uint32_t s, uint32_t a, uint32_t b, const std::string& payload) {
    return LE32(type) + LE32(uint32_t(payload.size())) + LE32(s) + LE32(a) + LE32(b) + payload;
}
std::string Accept(uint32_t sListen, uint32_t s) { return Rec(RECORD_ACCEPT, sListen, 0, 0, LE32(s)); }
std::string Recv(uint32_t s, uint32_t u1, uint32_t u2, const std::string& data) {
    return Rec(RECORD_RECV, s, u1, u2, data);
}
std::string Close(uint32_t s, uint32_t u1, uint32_t u2, int nError, int nStatus) {
    return Rec(RECORD_CLOSE, s, u1, u2, LE32(uint32_t(nError)) + LE32(uint32_t(nStatus)));
}

// A file in memory; reads may be cut to a few bytes each, and may fail at an offset.
class MemFile : public IFile {
public:
    explicit MemFile(std::string data, int32_t nMaxRead = 0x7FFFFFFF, size_t failAt = std::string::npos)
        : m_data(std::move(data)), m_nMaxRead(nMaxRead), m_failAt(failAt) {}
    int32_t Read(void* lpBuf, int32_t nCount) override {
        if (m_at >= m_failAt) return -1;
        size_t n = std::min({size_t(nCount), size_t(m_nMaxRead), m_data.size() - m_at});
        std::memcpy(lpBuf, m_data.data() + m_at, n);
        m_at += n;
        return int32_t(n);
    }
    int32_t Write(const void*, int32_t) override { return -1; }

private:
    std::string m_data;
    int32_t m_nMaxRead;
    size_t m_failAt;
    size_t m_at = 0;
};

struct ReadResult {
    std::vector<RecordHeader> headers;
    std::vector<std::string> payloads;
    RecordStatus end = RECORD_READ;
    uint64_t uiEndOffset = 0;
    uint32_t uiMaxCapacity = 0;
};

ReadResult ReadAll(IFile& file) {
    ReadResult r;
    TW_RecordReader reader(&file);
    for (int i = 0; i < 100000; ++i) {
        RecordStatus e = reader.Next();
        r.uiMaxCapacity = std::max(r.uiMaxCapacity, reader.Capacity());
        if (e != RECORD_READ) {
            r.end = e;
            r.uiEndOffset = reader.RecordOffset();
            EXPECT_EQ(e, reader.Next()) << "a final result stays final";
            break;
        }
        r.headers.push_back(reader.Header());
        r.payloads.emplace_back(reader.Payload(), reader.Header().uiLen);
    }
    return r;
}
ReadResult ReadAll(const std::string& bytes, int32_t nMaxRead = 0x7FFFFFFF) {
    MemFile f(bytes, nMaxRead);
    return ReadAll(f);
}

}  // namespace

// ------------------------------------------------------------------ reader

TEST(RecordReaderTest, WholeRecordsInAnyReadSizesAndCleanEnd) {
    const std::string file = Accept(3, 9) + Recv(9, 0x11, 0x22, "hello") + Rec(7, 9, 1, 2, "skip me") +
                             Close(9, 0x11, 0x22, -10054, SS_CONNECTED);
    for (int32_t nMaxRead : {0x7FFFFFFF, 7, 1}) {
        ReadResult r = ReadAll(file, nMaxRead);
        ASSERT_EQ(4u, r.headers.size()) << "reads of at most " << nMaxRead;
        EXPECT_EQ(RECORD_END, r.end);
        EXPECT_EQ(file.size(), r.uiEndOffset);
        EXPECT_EQ(3u, r.headers[0].uiSocket);
        EXPECT_EQ(LE32(9), r.payloads[0]);
        EXPECT_EQ("hello", r.payloads[1]);
        EXPECT_EQ(0x11u, r.headers[1].dwWordA);
        EXPECT_EQ(0x22u, r.headers[1].dwWordB);
        EXPECT_EQ(7u, r.headers[2].uiType) << "an unknown type is read over with its payload";
        EXPECT_EQ("skip me", r.payloads[2]);
        EXPECT_EQ(LE32(uint32_t(-10054)) + LE32(SS_CONNECTED), r.payloads[3]);
    }
    EXPECT_EQ(RECORD_END, ReadAll(std::string()).end) << "an empty file holds no record";
}

TEST(RecordReaderTest, CutOffFilesDeliverEveryWholeRecordBefore) {
    const std::string head = Accept(3, 9) + Recv(9, 1, 2, "abc");
    const std::string last = Recv(9, 1, 2, "0123456789");
    for (size_t cut : {size_t(1), size_t(19), size_t(20), size_t(25)}) {
        ReadResult r = ReadAll(head + last.substr(0, cut));
        EXPECT_EQ(2u, r.headers.size()) << "cut after " << cut << " bytes of the last record";
        EXPECT_EQ(RECORD_TRUNCATED, r.end);
        EXPECT_EQ(head.size(), r.uiEndOffset);
    }
    MemFile failing(head + last, 0x7FFFFFFF, head.size() + 3);
    ReadResult r = ReadAll(failing);
    EXPECT_EQ(2u, r.headers.size());
    EXPECT_EQ(RECORD_READ_FAILED, r.end);
}

TEST(RecordReaderTest, LengthsAreNeverTrustedForAllocation) {
    // A damaged length far beyond the end of the file ends the reading as a
    // cut-off record, with the buffer grown only by what was really there.
    std::string bad = LE32(RECORD_RECV) + LE32(0xFFFFFFF0u) + LE32(9) + LE32(0) + LE32(0) + std::string(300000, 'x');
    ReadResult r = ReadAll(Accept(3, 9) + bad);
    EXPECT_EQ(1u, r.headers.size());
    EXPECT_EQ(RECORD_TRUNCATED, r.end);
    EXPECT_LT(r.uiMaxCapacity, 600000u);

    // A 20,000-byte record grows the 10,240-byte buffer to just its size.
    std::string big(20000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7);
    r = ReadAll(Recv(9, 1, 2, big) + Recv(9, 1, 2, "after"));
    ASSERT_EQ(2u, r.headers.size());
    EXPECT_EQ(big, r.payloads[0]);
    EXPECT_EQ("after", r.payloads[1]);
    EXPECT_EQ(20000u, r.uiMaxCapacity);
}

TEST(RecordReaderTest, AcceptAndCloseNeedTheirWholePayload) {
    // Without the check their fields would be stale bytes of the record before.
    const std::string before = Recv(9, 1, 2, "0123456789");
    for (const std::string& bad : {Rec(RECORD_ACCEPT, 3, 0, 0, "abc"), Rec(RECORD_CLOSE, 9, 1, 2, "abcd"),
                                   Rec(RECORD_ACCEPT, 3, 0, 0, "")}) {
        ReadResult r = ReadAll(before + bad + Close(9, 1, 2, 0, SS_CONNECTED));
        EXPECT_EQ(1u, r.headers.size());
        EXPECT_EQ(RECORD_CORRUPT, r.end);
        EXPECT_EQ(before.size(), r.uiEndOffset);
    }
}

// ------------------------------------------------------------------ writer

namespace {

// The test program runs inside a fresh folder: "vxnet.rec" is written and
// read in the current folder, and parallel runs must not share it.
class InTempFolder : public ::testing::Test {
protected:
    void SetUp() override {
        vxtest::NetInit();
        m_old = std::filesystem::current_path();
        std::filesystem::current_path(m_folder.Path());
    }
    void TearDown() override { std::filesystem::current_path(m_old); }
    static std::string ReadRecordFile() { return ScopedTempFolder::ReadFile("vxnet.rec"); }
    static void WriteRecordFile(const std::string& bytes) {
        std::ofstream out("vxnet.rec", std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    }

    ScopedTempFolder m_folder;
    std::filesystem::path m_old;
};

// A manager used for its record writer only.
std::unique_ptr<TW_RecordSocketMgr> RecordingWriter() {
    auto lpMgr = std::make_unique<TW_RecordSocketMgr>();
    lpMgr->SetRecordFlag(true);
    EXPECT_TRUE(lpMgr->OpenRecordFile());
    return lpMgr;
}

// Written by the Windows x86_64 build (under Wine) from WriteTheSameSequence
// and kept here byte for byte: the Linux build must write and read the same.
const unsigned char kWindowsWritten[] = {
    0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x24, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x24, 0x01, 0x00, 0x00,
    0xef, 0xbe, 0xad, 0xde, 0x78, 0x56, 0x34, 0x12, 0x61, 0x00, 0xff, 0x04, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00,
    0x00, 0x24, 0x01, 0x00, 0x00, 0xef, 0xbe, 0xad, 0xde, 0x78, 0x56, 0x34, 0x12, 0x46, 0x27, 0x00, 0x00, 0x05,
    0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x24, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0x04, 0x00, 0x00, 0x00};

void WriteTheSameSequence(TW_SocketMgr& mgr) {
    sockaddr_in a{};
    mgr.RecordAccept(0x110, 0x124, &a, &a);
    mgr.RecordRecv(0x124, "a\0\xff", 3, 0xDEADBEEF, 0x12345678);
    mgr.RecordClose(10054, 0x124, SS_CONNECTED, 0xDEADBEEF, 0x12345678);
    mgr.RecordClose(-1, 0x124, SS_CONNECTING, 0, 0);
}

}  // namespace

class RecordWriterTest : public InTempFolder {};

TEST_F(RecordWriterTest, SameBytesAsTheWindowsBuildBothWays) {
    const std::string windows(reinterpret_cast<const char*>(kWindowsWritten), sizeof kWindowsWritten);
    {
        auto lpMgr = RecordingWriter();
        WriteTheSameSequence(*lpMgr);
    }
    const std::string written = ReadRecordFile();
    EXPECT_EQ(windows.size(), written.size());
    EXPECT_TRUE(windows == written) << "this build writes other bytes than the Windows build";

    ReadResult r = ReadAll(windows);
    ASSERT_EQ(4u, r.headers.size());
    EXPECT_EQ(RECORD_END, r.end);
    EXPECT_EQ(0x110u, r.headers[0].uiSocket);
    EXPECT_EQ(LE32(0x124), r.payloads[0]);
    EXPECT_EQ(std::string("a\0\xff", 3), r.payloads[1]);
    EXPECT_EQ(0xDEADBEEFu, r.headers[2].dwWordA);
    EXPECT_EQ(LE32(10054) + LE32(SS_CONNECTED), r.payloads[2]);
    EXPECT_EQ(LE32(0xFFFFFFFFu) + LE32(SS_CONNECTING), r.payloads[3]);
}

// Without the flag nothing is written (and that is no failure); a file that
// cannot be opened switches recording off.
TEST_F(RecordWriterTest, NoFlagOrNoFileMeansNoRecording) {
    TW_RecordSocketMgr mgr;
    EXPECT_TRUE(mgr.RecordRecv(1, "x", 1, 2, 3));
    EXPECT_FALSE(mgr.OpenRecordFile());
    EXPECT_FALSE(std::filesystem::exists("vxnet.rec"));
    std::filesystem::create_directory("vxnet.rec");  // a folder where the file should go
    mgr.SetRecordFlag(true);
    EXPECT_FALSE(mgr.OpenRecordFile());
    EXPECT_FALSE(mgr.GetRecordFlag());
    EXPECT_TRUE(mgr.RecordRecv(1, "x", 1, 0, 0));
}

TEST_F(RecordWriterTest, RecordsFromManyThreadsNeverInterleave) {
    auto lpMgr = RecordingWriter();
    constexpr uint32_t kThreads = 4, kRecords = 500;
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&lpMgr, t] {
            const std::string payload(50 + t * 37, char('a' + t));
            for (uint32_t i = 0; i < kRecords; ++i)
                lpMgr->RecordRecv(SOCKET(t), payload.data(), uint32_t(payload.size()), t, i);
        });
    for (auto& th : threads) th.join();
    lpMgr.reset();
    ReadResult r = ReadAll(ReadRecordFile());
    EXPECT_EQ(RECORD_END, r.end);
    ASSERT_EQ(kThreads * kRecords, r.headers.size());
    for (size_t i = 0; i < r.headers.size(); ++i) {
        const RecordHeader& h = r.headers[i];
        ASSERT_TRUE(h.uiType == RECORD_RECV && h.uiSocket < kThreads && h.dwWordA == h.uiSocket &&
                    r.payloads[i] == std::string(50 + h.uiSocket * 37, char('a' + h.uiSocket)))
            << "record " << i;
    }
}

#if !defined(_WIN32)
// A write cut short (here by the file-size limit) ends the recording: the
// file ends with the one cut-off record, and nothing written later can be
// misread behind it.
TEST_F(RecordWriterTest, ShortWriteEndsRecordingWithoutOrphans) {
    auto lpMgr = RecordingWriter();
    sockaddr_in a{};
    lpMgr->RecordAccept(3, 9, &a, &a);
    rlimit old{};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit cut = old;
    cut.rlim_cur = 24 + 30;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &cut));
    lpMgr->RecordRecv(9, std::string(1000, 'x').data(), 1000, 1, 2);  // over the 512-byte single write
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(lpMgr->GetRecordFlag());
    lpMgr->RecordRecv(9, "later", 5, 1, 2);
    lpMgr->RecordClose(0, 9, SS_CONNECTED, 1, 2);
    lpMgr.reset();
    const std::string written = ReadRecordFile();
    EXPECT_EQ(54u, written.size());
    ReadResult r = ReadAll(written);
    EXPECT_EQ(1u, r.headers.size());
    EXPECT_EQ(RECORD_TRUNCATED, r.end);
}
#endif

// ------------------------------------------------------------------ replaying manager

namespace {

class ReplayTest : public InTempFolder {
protected:
    void SetUp() override {
        InTempFolder::SetUp();
        m_lpMgr = vxCreateInstance("IRecordSocketMgr1.0");
        ASSERT_NE(nullptr, m_lpMgr);
    }
    void TearDown() override {
        if (m_lpMgr) vxDestroyInstance(m_lpMgr);
        InTempFolder::TearDown();
    }
    TW_RecordSocketMgr* Replayer() {
        return static_cast<TW_RecordSocketMgr*>(static_cast<TW_SocketMgrInstance*>(m_lpMgr));
    }
    bool WaitReplayEnd() { return PollUntil([this] { return !Replayer()->IsReplaying(); }, kWaitMs); }
    bool Replay() { return m_lpMgr->Start(0, 0, 0, 0) && WaitReplayEnd(); }

    ISocketMgr* m_lpMgr = nullptr;
    vxtest::RecordingSink m_sink;
};

}  // namespace

TEST_F(ReplayTest, RecordsBecomeTheSameCallbacksInOrder) {
    WriteRecordFile(Accept(3, 9) + Recv(9, 0x11, 0x22, "hello") + Rec(7, 9, 0, 0, "unknown") +
                    Recv(9, 0x11, 0x22, std::string(20000, 'z')) + Close(9, 0x11, 0x22, 10054, SS_CONNECTED));
    m_lpMgr->SetSink(&m_sink);
    // The sink writes back a handled count of 0: the replay does not care.
    m_sink.SetHook(Ev::Recv, [](SinkEvent& ev) { ev.uiConsumed = 0; });
    ASSERT_TRUE(Replay());
    const auto events = m_sink.Matching();
    ASSERT_EQ(4u, events.size()) << vxtest::DescribeAll(events);
    EXPECT_TRUE(events[0].kind == Ev::Accept && events[0].s == 3 && events[0].sNew == 9 && events[0].nError == 0);
    EXPECT_TRUE(events[1].kind == Ev::Recv && events[1].s == 9 && events[1].data == "hello" && events[1].u1 == 0x11 &&
                events[1].u2 == 0x22);
    EXPECT_TRUE(events[2].kind == Ev::Recv && events[2].data == std::string(20000, 'z'));
    EXPECT_TRUE(events[3].kind == Ev::Close && events[3].nError == 10054 && events[3].nStatus == SS_CONNECTED &&
                events[3].u1 == 0x11 && events[3].u2 == 0x22);
    EXPECT_TRUE(m_lpMgr->Stop(0));

    // Stop closed the file: a new Start replays it from the beginning.
    ASSERT_TRUE(Replay());
    EXPECT_EQ(8u, m_sink.Size());
}

TEST_F(ReplayTest, BadRecordEndsTheReplayAfterEveryWholeOne) {
    const std::string good = Accept(3, 9) + Recv(9, 1, 2, "abc");
    const std::string after = Close(9, 1, 2, 0, SS_CONNECTED);
    // A close too short for its fields, a length far past the end of the
    // file, a file cut inside a payload.
    for (const std::string& rest : {Rec(RECORD_CLOSE, 9, 1, 2, "1234") + after,
                                    LE32(RECORD_RECV) + LE32(0x7FFFFFFFu) + LE32(9) + LE32(1) + LE32(2) + after,
                                    Recv(9, 1, 2, "cut off").substr(0, 22)}) {
        WriteRecordFile(good + rest);
        m_lpMgr->SetSink(&m_sink);
        size_t from = m_sink.Size();
        ASSERT_TRUE(Replay());
        EXPECT_TRUE(m_lpMgr->Stop(0));
        EXPECT_EQ(2u, m_sink.Count(nullptr, from)) << vxtest::DescribeAll(m_sink.Matching(nullptr, from));
    }
}

TEST_F(ReplayTest, StartRefusals) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(m_lpMgr->Start(0, 0, 0, 0)) << "no sink";
    m_lpMgr->SetSink(&m_sink);
    EXPECT_FALSE(m_lpMgr->Start(0, 0, 0, 0)) << "no file";
    EXPECT_EQ("Open vxnet.rec failed!\n", testing::internal::GetCapturedStdout());

    // A sink that holds the first record until told: the replay is running.
    std::string file;
    for (int i = 0; i < 50; ++i) file += Recv(9, 1, 2, "r");
    WriteRecordFile(file);
    auto release = std::make_shared<std::atomic<bool>>(false);
    m_sink.SetHook(Ev::Recv, [release](SinkEvent&) { PollUntil([&] { return release->load(); }, kWaitMs); });
    ASSERT_TRUE(m_lpMgr->Start(0, 0, 0, 0));
    EXPECT_FALSE(m_lpMgr->Start(0, 0, 0, 0)) << "a second Start while replaying";
    release->store(true);
    ASSERT_TRUE(WaitReplayEnd());
    EXPECT_FALSE(m_lpMgr->Start(0, 0, 0, 0)) << "still started until Stop";
    EXPECT_TRUE(m_lpMgr->Stop(0));
    EXPECT_EQ(50u, m_sink.Size());
}

TEST_F(ReplayTest, StopInsideTheSinkAndDestructionEndTheReplay) {
    std::string file;
    for (int i = 0; i < 200; ++i) file += Recv(9, uint32_t(i), 0, "r");
    WriteRecordFile(file);
    m_lpMgr->SetSink(&m_sink);

    // Stop from the replay thread returns without waiting for itself; the
    // replay ends with that record, and Start may run again from outside.
    ISocketMgr* lpMgr = m_lpMgr;
    auto stopResult = std::make_shared<std::atomic<int>>(-1);
    m_sink.SetHook(Ev::Recv, [lpMgr, stopResult](SinkEvent& ev) {
        if (ev.u1 == 3) stopResult->store(lpMgr->Stop(2000) ? 1 : 0);
    });
    ASSERT_TRUE(Replay());
    EXPECT_EQ(1, stopResult->load());
    EXPECT_EQ(4u, m_sink.Size());

    // Destruction while the sink is inside a callback: the replay ends with
    // that record or soon after, without the thread being killed.
    auto inside = std::make_shared<std::atomic<bool>>(false);
    auto destroying = std::make_shared<std::atomic<bool>>(false);
    m_sink.SetHook(Ev::Recv, [inside, destroying](SinkEvent&) {
        inside->store(true);
        PollUntil([&] { return destroying->load(); }, kWaitMs);
    });
    ASSERT_TRUE(m_lpMgr->Start(0, 0, 0, 0));
    ASSERT_TRUE(PollUntil([&] { return inside->load(); }, kWaitMs));
    destroying->store(true);
    vxDestroyInstance(m_lpMgr);
    m_lpMgr = nullptr;
    EXPECT_GE(m_sink.Size(), 5u);
    EXPECT_LE(m_sink.Size(), 4u + 200u);
}

// ------------------------------------------------------------------ recording engines

namespace {

// Frames are a 4-byte little-endian body length and the body. The sink takes
// whole frames only and leaves a partial one for the next notice.
uint32_t TakeWholeFrames(const std::string& data, uint32_t* lpNeed) {
    uint32_t at = 0;
    for (;;) {
        if (data.size() - at < 4) break;
        const uint32_t uiBody = GetRecordLE32(data.data() + at);
        if (data.size() - at - 4 < uiBody) break;
        at += 4 + uiBody;
    }
    const uint32_t uiLeft = uint32_t(data.size()) - at;
    *lpNeed = uiLeft < 4 ? 4 : 4 + GetRecordLE32(data.data() + at);
    return at;
}
std::string Frame(const std::string& body) { return LE32(uint32_t(body.size())) + body; }

// One line per event, per socket (accepts under the listener, sorted, since
// two accept records may be written in either order). A receive counts with
// what the sink handled: the recording keeps only that.
std::map<uint64_t, std::vector<std::string>> Canonical(const std::vector<SinkEvent>& events) {
    std::map<uint64_t, std::vector<std::string>> out;
    std::vector<uint64_t> listeners;
    for (const SinkEvent& ev : events) {
        char line[160];
        if (ev.kind == Ev::Accept) {
            std::snprintf(line, sizeof line, "accept %lu", (unsigned long)ev.sNew);
            listeners.push_back(uint64_t(ev.s));
        } else if (ev.kind == Ev::Recv && ev.uiConsumed > 0) {
            std::snprintf(line, sizeof line, "recv u=%x/%x %s", ev.u1, ev.u2, ev.data.substr(0, ev.uiConsumed).c_str());
        } else if (ev.kind == Ev::Close) {
            std::snprintf(line, sizeof line, "close err=%d status=%d u=%x/%x", ev.nError, ev.nStatus, ev.u1, ev.u2);
        } else {
            continue;
        }
        out[uint64_t(ev.s)].push_back(line);
    }
    for (uint64_t s : listeners) std::sort(out[s].begin(), out[s].end());
    return out;
}

}  // namespace

class RecordingEngineTest : public InTempFolder, public ::testing::WithParamInterface<const char*> {};

TEST_P(RecordingEngineTest, ScriptedExchangeReplaysAsTheSameCallbacks) {
    ISocketMgr* lpMgr = vxCreateInstance(GetParam());
    ASSERT_NE(nullptr, lpMgr);
    vxtest::RecordingSink live;
    auto nAccepted = std::make_shared<std::atomic<uint32_t>>(0);
    live.SetHook(Ev::Accept, [lpMgr, nAccepted](SinkEvent& ev) {
        const uint32_t n = ++*nAccepted;
        lpMgr->SetUserData1(ev.sNew, 0xA000 + n);
        lpMgr->SetUserData2(ev.sNew, 0xB000 + n);
        lpMgr->SetNoticeLen(ev.sNew, 4);
    });
    live.SetHook(Ev::Recv, [lpMgr](SinkEvent& ev) {
        uint32_t uiNeed = 0;
        ev.uiConsumed = TakeWholeFrames(ev.data, &uiNeed);
        lpMgr->SetNoticeLen(ev.s, uiNeed);
    });
    lpMgr->SetSink(&live);
    ASSERT_TRUE(lpMgr->Start(0, 0, 0, 0));
    ASSERT_TRUE(std::filesystem::exists("vxnet.rec")) << "Start creates the record file";

    SOCKET sListen = lpMgr->CreateTcpSocket(nullptr, "127.0.0.1", 0, 0x11, 0x22);
    ASSERT_TRUE(sListen != INVALID_SOCKET && lpMgr->Listen(sListen, 8));
    const uint16_t wPort = vxtest::LocalPortOf(sListen);
    // Connections one after another: an accept is recorded after its callback.
    auto connect = [&](vxtest::RawSocket* lpClient, SOCKET* lpS) {
        size_t from = live.Size();
        ASSERT_TRUE((*lpClient = vxtest::RawSocket::TcpConnect(wPort)).IsValid());
        auto ev = live.Wait(vxtest::Is(Ev::Accept, sListen), kWaitMs, from);
        ASSERT_TRUE(ev);
        *lpS = ev->sNew;
    };
    vxtest::RawSocket a, b;
    SOCKET sA = INVALID_SOCKET, sB = INVALID_SOCKET;
    ASSERT_NO_FATAL_FAILURE(connect(&a, &sA));
    ASSERT_NO_FATAL_FAILURE(connect(&b, &sB));

    // A: a frame split inside its body (the sink takes nothing of the first
    // piece), then two frames in one piece, then a large one; then a graceful close.
    size_t from = live.Size();
    const std::string split = Frame("hello") + Frame("hi");
    ASSERT_TRUE(a.SendAll(split.substr(0, 7)));
    ASSERT_TRUE(live.Wait(vxtest::Is(Ev::Recv, sA), kWaitMs, from));
    ASSERT_TRUE(a.SendAll(split.substr(7)));
    std::string big(30000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char('a' + i % 26);
    ASSERT_TRUE(a.SendAll(Frame(big)));
    ASSERT_TRUE(PollUntil(
        [&] {
            uint32_t n = 0;
            for (const SinkEvent& ev : live.Matching(vxtest::Is(Ev::Recv, sA))) n += ev.uiConsumed;
            return n == split.size() + 4 + big.size();
        },
        kWaitMs));
    from = live.Size();
    a.Close();
    ASSERT_TRUE(live.Wait(vxtest::Is(Ev::Close, sA), kWaitMs, from));

    // B: one frame, then a reset.
    from = live.Size();
    ASSERT_TRUE(b.SendAll(Frame("from b")));
    ASSERT_TRUE(live.Wait(vxtest::Is(Ev::Recv, sB), kWaitMs, from));
    from = live.Size();
    b.AbortiveClose();
    // Whatever error the engine reports for the reset (10054 on Linux) must
    // come back from the replay.
    ASSERT_TRUE(live.Wait(vxtest::Is(Ev::Close, sB), kWaitMs, from));

    ASSERT_TRUE(lpMgr->Stop(2000));
    vxDestroyInstance(lpMgr);
    const auto expected = Canonical(live.Matching());
    ASSERT_EQ(3u, expected.size());
    EXPECT_EQ(2u, expected.at(uint64_t(sListen)).size());
    EXPECT_EQ("close err=0 status=5 u=a001/b001", expected.at(uint64_t(sA)).back());

    ISocketMgr* lpReplay = vxCreateInstance("IRecordSocketMgr1.0");
    ASSERT_NE(nullptr, lpReplay);
    vxtest::RecordingSink replayed;
    lpReplay->SetSink(&replayed);
    ASSERT_TRUE(lpReplay->Start(0, 0, 0, 0));
    auto* lpReplayer = static_cast<TW_RecordSocketMgr*>(static_cast<TW_SocketMgrInstance*>(lpReplay));
    EXPECT_TRUE(PollUntil([&] { return !lpReplayer->IsReplaying(); }, kWaitMs));
    lpReplay->Stop(0);
    vxDestroyInstance(lpReplay);

    EXPECT_EQ(0u, replayed.Count(vxtest::Is(Ev::PreAccept))) << "a replay makes no pre-accept call";
    EXPECT_TRUE(expected == Canonical(replayed.Matching()))
        << "live:\n" << vxtest::DescribeAll(live.Matching()) << "replayed:\n"
        << vxtest::DescribeAll(replayed.Matching());
}

INSTANTIATE_TEST_SUITE_P(Engines, RecordingEngineTest, ::testing::Values("IIocpSocketMgr1.1", "IAsyncSocketMgr1.1"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "Iocp" : "Async");
                         });
