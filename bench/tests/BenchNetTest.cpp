// The benchmark's own pieces that every figure depends on: how servers split
// received bytes into frames, the per-connection echo buffer, the summary
// statistics, and the CSV the charts are drawn from.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "Csv.h"
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

// Workload titles and error texts hold commas and quotes; a row must still
// split into exactly the header's fields, and missing figures stay empty
// rather than "nan" or "inf".
TEST(BenchCsv, RowsKeepTheirFieldsAndLeaveMissingFiguresEmpty) {
    CsvRow full{"pp1", "ping-pong 64 B, 1 conn", "select", 8903.5, 0.18, 1.03, "rt/s", 47.84, 0.14, 1.1, "us/rt",
                105.8, 229.5, 0, 0, 5, 0, 0, ""};
    CsvRow failed{"udp", "UDP \"x\", 16 flows", "iocp", NAN, NAN, NAN, "rt/s", NAN, NAN, INFINITY, "us/rt",
                  NAN, NAN, NAN, NAN, 0, 2, 3, "stall, no echo\nafter 2 s"};
    std::ostringstream out;
    WriteCsv(out, {full, failed}, "AMD EPYC, 2 CPUs", "2026-12-06 10:00");

    // Split with quoting as a CSV reader does.
    std::vector<std::vector<std::string>> lines(1);
    std::string field;
    bool quoted = false;
    const std::string text = out.str();
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',' || c == '\n') {
            lines.back().push_back(field);
            field.clear();
            if (c == '\n')
                lines.emplace_back();
        } else {
            field += c;
        }
    }
    ASSERT_TRUE(lines.back().empty());  // ends with a line break
    lines.pop_back();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines)
        EXPECT_EQ(line.size(), lines[0].size());
    EXPECT_EQ(lines[0][1], "workload");
    EXPECT_EQ(lines[1][1], "ping-pong 64 B, 1 conn");
    EXPECT_EQ(lines[1][3], "8903.5");
    EXPECT_EQ(lines[1][lines[0].size() - 2], "AMD EPYC, 2 CPUs");
    EXPECT_EQ(lines[2][1], "UDP \"x\", 16 flows");
    EXPECT_EQ(lines[2][2], "iocp");
    for (size_t i = 3; i <= 14; ++i) {
        if (lines[0][i].find("unit") == std::string::npos) {
            EXPECT_EQ(lines[2][i], "") << lines[0][i];
        }
    }
    EXPECT_EQ(lines[2][16], "2");
    EXPECT_EQ(lines[2][18], "stall, no echo\nafter 2 s");
}

}  // namespace
}  // namespace bench
