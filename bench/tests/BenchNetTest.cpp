// The benchmark's own pieces that every figure depends on: how servers split
// received bytes into frames, the per-connection echo buffer, and the summary
// statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "EchoBuffer.h"
#include "Frame.h"
#include "Stats.h"

namespace bench {
namespace {

std::string Frame(uint32_t frameLen, uint64_t seq) {
    std::string f(frameLen, '\0');
    BuildFrame(f.data(), frameLen, seq);
    return f;
}

TEST(BenchFrame, ScanSplitsCompleteFramesFromTheRest) {
    const std::string a = Frame(64, 1), b = Frame(100, 2);
    // Nothing, or less than a header: the header is what is needed next.
    EXPECT_EQ(ScanFrames(a.data(), 0).complete, 0u);
    EXPECT_EQ(ScanFrames(a.data(), 3).need, kFrameHeaderLen);
    // A header alone: the whole frame is needed.
    FrameScan scan = ScanFrames(a.data(), 4);
    EXPECT_EQ(scan.complete, 0u);
    EXPECT_EQ(scan.need, 64u);
    // Exactly one frame, then one frame and most of the next.
    scan = ScanFrames(a.data(), a.size());
    EXPECT_EQ(scan.complete, 64u);
    EXPECT_EQ(scan.need, kFrameHeaderLen);
    const std::string both = a + b;
    scan = ScanFrames(both.data(), both.size() - 1);
    EXPECT_EQ(scan.complete, 64u);
    EXPECT_EQ(scan.need, 100u);
    EXPECT_FALSE(scan.bad);
    scan = ScanFrames(both.data(), both.size());
    EXPECT_EQ(scan.complete, both.size());
}

TEST(BenchFrame, ScanRefusesAnImpossibleLengthAfterTheGoodFrames) {
    std::string bytes = Frame(64, 1) + std::string("\xff\xff\xff\x7f", 4);
    const FrameScan scan = ScanFrames(bytes.data(), bytes.size());
    EXPECT_TRUE(scan.bad);
    EXPECT_EQ(scan.complete, 64u);
}

TEST(BenchFrame, HeaderAndSequenceRoundTrip) {
    const std::string f = Frame(16384, 0x0102030405060708ull);
    EXPECT_EQ(FrameBodyLen(f.data()), 16380u);
    EXPECT_EQ(FrameSeq(f.data()), 0x0102030405060708ull);
    EXPECT_EQ(static_cast<unsigned char>(f[0]), 0xfcu);  // little-endian on the wire
}

TEST(BenchEchoBuffer, KeepsTheRestAtTheFrontAcrossGrowth) {
    EchoBuffer buf;
    const std::string first = Frame(64, 1) + "abc";
    char* free = buf.Free();
    ASSERT_GE(buf.FreeSize(), EchoBuffer::kMinFree);
    std::copy(first.begin(), first.end(), free);
    buf.Grow(first.size());
    buf.Consume(64);
    ASSERT_EQ(buf.Size(), 3u);
    EXPECT_EQ(std::string(buf.Data(), 3), "abc");
    // Filling it past its first capacity moves the bytes, never loses them.
    const size_t fill = buf.FreeSize();
    free = buf.Free();
    std::fill(free, free + fill, 'x');
    buf.Grow(fill);
    buf.Free();
    EXPECT_GE(buf.FreeSize(), EchoBuffer::kMinFree);
    EXPECT_EQ(std::string(buf.Data(), 3), "abc");
    EXPECT_EQ(buf.Data()[buf.Size() - 1], 'x');
}

TEST(BenchStats, MedianAndSpread) {
    EXPECT_TRUE(std::isnan(Median({})));
    EXPECT_DOUBLE_EQ(Median({3, 1, 2}), 2);
    EXPECT_DOUBLE_EQ(Median({4, 1, 3, 2}), 2.5);
    EXPECT_DOUBLE_EQ(Spread({90, 100, 110}), 0.2);
    EXPECT_DOUBLE_EQ(Spread({5}), 0);
    EXPECT_TRUE(std::isnan(Spread({0, 0})));
}

}  // namespace
}  // namespace bench
