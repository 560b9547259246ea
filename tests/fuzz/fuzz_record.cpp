// The record-file reader (the one the replay and vxnet-rec share) over
// arbitrary file bytes, read once in whole reads and once in short reads
// whose size the first input byte picks: both must see the same records,
// each lying exactly where the one before ended and holding the file's bytes,
// and the buffer must never grow far beyond the bytes that exist.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "record/TW_RecordReader.h"

namespace {

void Require(bool b, const char* lpszWhat) {
    if (b) return;
    std::fprintf(stderr, "record reader fault: %s\n", lpszWhat);
    std::abort();
}

class BytesFile : public IFile {
public:
    BytesFile(const uint8_t* lpData, size_t uiSize, int32_t nMaxRead)
        : m_lpData(lpData), m_uiSize(uiSize), m_nMaxRead(nMaxRead) {}
    int32_t Read(void* lpBuf, int32_t nCount) override {
        size_t n = m_uiSize - m_uiAt;
        if (n > size_t(nCount)) n = size_t(nCount);
        if (n > size_t(m_nMaxRead)) n = size_t(m_nMaxRead);
        if (n) std::memcpy(lpBuf, m_lpData + m_uiAt, n);
        m_uiAt += n;
        return int32_t(n);
    }
    int32_t Write(const void*, int32_t) override { return -1; }

private:
    const uint8_t* m_lpData;
    size_t m_uiSize;
    int32_t m_nMaxRead;
    size_t m_uiAt = 0;
};

struct Seen {
    std::vector<uint64_t> offsets;
    RecordStatus end = RECORD_READ;
    uint64_t uiEndOffset = 0;
};

Seen ReadAll(const uint8_t* lpData, size_t uiSize, int32_t nMaxRead) {
    BytesFile file(lpData, uiSize, nMaxRead);
    TW_RecordReader reader(&file);
    Seen seen;
    uint64_t uiExpected = 0;
    for (;;) {
        RecordStatus e = reader.Next();
        Require(reader.Capacity() <= TW_RecordReader::kInitialCapacity + 2 * uiSize + 2 * 65536,
                "buffer grown beyond the file");
        Require(reader.RecordOffset() == uiExpected, "record not where the previous one ended");
        if (e != RECORD_READ) {
            Require(reader.Next() == e, "final result changed");
            Require(e != RECORD_READ_FAILED, "read failure without one");
            Require(e != RECORD_END || reader.BytesRead() == uiSize, "clean end before the end of the file");
            seen.end = e;
            seen.uiEndOffset = reader.RecordOffset();
            return seen;
        }
        const RecordHeader& h = reader.Header();
        Require(uiExpected + kRecordHeaderSize + h.uiLen <= uiSize, "record past the end of the file");
        Require(h.uiLen >= MinRecordPayload(h.uiType), "short accept or close delivered");
        Require(std::memcmp(reader.Payload(), lpData + uiExpected + kRecordHeaderSize, h.uiLen) == 0,
                "payload differs from the file");
        Require(DecodeRecordHeader(lpData + uiExpected).uiLen == h.uiLen, "header differs from the file");
        seen.offsets.push_back(uiExpected);
        uiExpected += kRecordHeaderSize + h.uiLen;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t uiSize) {
    if (uiSize == 0) return 0;
    const int32_t nShort = 1 + lpData[0] % 23;
    ++lpData;
    --uiSize;
    Seen whole = ReadAll(lpData, uiSize, 0x7FFFFFFF);
    Seen pieces = ReadAll(lpData, uiSize, nShort);
    Require(whole.offsets == pieces.offsets && whole.end == pieces.end && whole.uiEndOffset == pieces.uiEndOffset,
            "short reads change what is read");
    return 0;
}
