// The benchmark's wire format, shared by the load client and every echo
// server: a frame is a 4-byte little-endian body length followed by the body.
#ifndef BENCH_NET_FRAME_H
#define BENCH_NET_FRAME_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bench {

constexpr uint32_t kFrameHeaderLen = 4;
// A longer body is garbage: a server drops the connection rather than buffer it.
constexpr uint32_t kMaxFrameBody = 1u << 20;
// The client puts a sequence number right after the header of every frame,
// so an echo that comes back out of order or corrupted is noticed.
constexpr uint32_t kFrameCheckLen = kFrameHeaderLen + 8;

inline uint32_t FrameBodyLen(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// Writes a whole frame of `frameLen` bytes (header included) carrying `seq`.
inline void BuildFrame(char* p, uint32_t frameLen, uint64_t seq) {
    const uint32_t body = frameLen - kFrameHeaderLen;
    for (int i = 0; i < 4; ++i)
        p[i] = char(body >> (8 * i));
    std::memcpy(p + kFrameHeaderLen, &seq, sizeof seq);
}

inline uint64_t FrameSeq(const char* p) {
    uint64_t seq;
    std::memcpy(&seq, p + kFrameHeaderLen, sizeof seq);
    return seq;
}

// How the bytes a server holds split up: the complete frames at the start
// (echoed as they are), and how many bytes the rest must grow to before the
// next frame is complete (the header alone, or header and body).
struct FrameScan {
    size_t complete;
    size_t need;
    bool bad;
};

inline FrameScan ScanFrames(const char* p, size_t n) {
    size_t off = 0;
    for (;;) {
        const size_t rest = n - off;
        if (rest < kFrameHeaderLen)
            return {off, kFrameHeaderLen, false};
        const uint32_t body = FrameBodyLen(p + off);
        if (body > kMaxFrameBody)
            return {off, 0, true};
        const size_t total = kFrameHeaderLen + size_t(body);
        if (rest < total)
            return {off, total, false};
        off += total;
    }
}

}  // namespace bench

#endif
