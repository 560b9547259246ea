// The layout of "vxnet.rec", shared by the writer in the manager base and by
// the reader: a flat run of records, each a 20-byte header (type, payload
// length, socket, word A, word B) and its payload. Every number is a 32-bit
// little-endian field whatever the platform, so a file written on Windows
// reads the same on Linux and the other way round.
#ifndef TW_RECORDFORMAT_H
#define TW_RECORDFORMAT_H

#include <cstdint>

enum : uint32_t {
    RECORD_ACCEPT = 0,  // socket: the listener; payload: the accepted socket
    RECORD_RECV = 1,    // payload: the bytes the sink consumed
    RECORD_CLOSE = 4    // payload: error, then the status before the close
};

enum : uint32_t {
    kRecordHeaderSize = 20,
    kAcceptPayloadSize = 4,
    kClosePayloadSize = 8
};

struct RecordHeader {
    uint32_t uiType = 0;
    uint32_t uiLen = 0;  // payload bytes that follow the header
    uint32_t uiSocket = 0;
    uint32_t dwWordA = 0;  // the socket's user words (0 in an accept record)
    uint32_t dwWordB = 0;
};

inline void PutRecordLE32(unsigned char* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline uint32_t GetRecordLE32(const void* lp) {
    const auto* p = static_cast<const unsigned char*>(lp);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void EncodeRecordHeader(unsigned char* p, const RecordHeader& h) {
    PutRecordLE32(p, h.uiType);
    PutRecordLE32(p + 4, h.uiLen);
    PutRecordLE32(p + 8, h.uiSocket);
    PutRecordLE32(p + 12, h.dwWordA);
    PutRecordLE32(p + 16, h.dwWordB);
}

inline RecordHeader DecodeRecordHeader(const unsigned char* p) {
    RecordHeader h;
    h.uiType = GetRecordLE32(p);
    h.uiLen = GetRecordLE32(p + 4);
    h.uiSocket = GetRecordLE32(p + 8);
    h.dwWordA = GetRecordLE32(p + 12);
    h.dwWordB = GetRecordLE32(p + 16);
    return h;
}

// The payload a known type cannot do without; 0 for the others.
inline uint32_t MinRecordPayload(uint32_t uiType) {
    switch (uiType) {
        case RECORD_ACCEPT: return kAcceptPayloadSize;
        case RECORD_CLOSE: return kClosePayloadSize;
        default: return 0;
    }
}

inline bool IsKnownRecordType(uint32_t uiType) {
    return uiType == RECORD_ACCEPT || uiType == RECORD_RECV || uiType == RECORD_CLOSE;
}

#endif
