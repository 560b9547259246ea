#include "TW_RecordReader.h"

#include <algorithm>
#include <cstring>

#include "vxnet/vxmempool.h"

namespace {
// A payload is read in steps of at most this many bytes, and the buffer is
// never grown further ahead of the bytes read than one step.
constexpr uint32_t kReadStep = 65536;
}  // namespace

const char* RecordStatusName(RecordStatus e) {
    switch (e) {
        case RECORD_READ: return "record";
        case RECORD_END: return "end";
        case RECORD_TRUNCATED: return "truncated";
        case RECORD_CORRUPT: return "corrupt";
        case RECORD_READ_FAILED: return "read failed";
    }
    return "?";
}

TW_RecordReader::TW_RecordReader(IFile* lpFile) : m_lpFile(lpFile) {
    m_lpBuffer = static_cast<char*>(MemPoolAlloc(kInitialCapacity));
    m_uiCapacity = kInitialCapacity;
}

TW_RecordReader::~TW_RecordReader() { MemPoolFree(m_lpBuffer); }

int64_t TW_RecordReader::ReadFull(char* lpDst, uint32_t uiCount) {
    uint32_t uiDone = 0;
    while (uiDone < uiCount) {
        int32_t n = m_lpFile->Read(lpDst + uiDone, int32_t(std::min<uint32_t>(uiCount - uiDone, kReadStep)));
        if (n < 0) return -1;
        if (n == 0) break;
        uiDone += uint32_t(n);
    }
    m_uiOffset += uiDone;
    return uiDone;
}

RecordStatus TW_RecordReader::Next() {
    if (m_eFinal != RECORD_READ) return m_eFinal;
    m_uiRecordOffset = m_uiOffset;
    unsigned char raw[kRecordHeaderSize] = {};
    int64_t n = ReadFull(reinterpret_cast<char*>(raw), kRecordHeaderSize);
    m_header = DecodeRecordHeader(raw);
    if (n < 0) return Finish(RECORD_READ_FAILED);
    if (n == 0) return Finish(RECORD_END);
    if (n < kRecordHeaderSize) return Finish(RECORD_TRUNCATED);
    RecordStatus e = ReadPayload();
    if (e != RECORD_READ) return Finish(e);
    // A short payload would leave the fields to stale bytes of an earlier record.
    if (m_header.uiLen < MinRecordPayload(m_header.uiType)) return Finish(RECORD_CORRUPT);
    return RECORD_READ;
}

RecordStatus TW_RecordReader::ReadPayload() {
    const uint32_t uiLen = m_header.uiLen;
    uint32_t uiHave = 0;
    while (uiHave < uiLen) {
        const uint32_t uiStep = std::min(uiLen - uiHave, kReadStep);
        if (m_uiCapacity - uiHave < uiStep) {
            // Double towards the stated length, but never more than one step
            // beyond the bytes that are really there.
            uint64_t uiRoom = std::max<uint64_t>(uint64_t(uiHave) + uiStep,
                                                 std::min<uint64_t>(uint64_t(m_uiCapacity) * 2, uiLen));
            uiRoom = std::min<uint64_t>(uiRoom, uint64_t(uiHave) + kReadStep + kReadStep);
            m_lpBuffer = static_cast<char*>(MemPoolAppend(uint32_t(uiRoom), m_lpBuffer, uiHave, nullptr, 0));
            m_uiCapacity = uint32_t(uiRoom);
        }
        int64_t n = ReadFull(m_lpBuffer + uiHave, uiStep);
        if (n < 0) return RECORD_READ_FAILED;
        uiHave += uint32_t(n);
        if (uint32_t(n) < uiStep) return RECORD_TRUNCATED;
    }
    return RECORD_READ;
}
