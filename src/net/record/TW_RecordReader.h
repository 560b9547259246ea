// Reads "vxnet.rec" one record at a time, for the replaying manager and for
// the vxnet-rec tool alike. Nothing in the file is trusted: a payload length
// only says how many bytes to read, and the buffer grows with the bytes that
// actually arrive, so a damaged length costs a read to the end of the file,
// never an allocation of its size.
#ifndef TW_RECORDREADER_H
#define TW_RECORDREADER_H

#include <cstdint>

#include "TW_FileEx.h"
#include "TW_RecordFormat.h"

enum RecordStatus {
    RECORD_READ,        // a whole record: Header() and Payload() describe it
    RECORD_END,         // the file ends between two records
    RECORD_TRUNCATED,   // the file ends inside a header or inside a payload
    RECORD_CORRUPT,     // an accept or close record with a payload too short for its fields
    RECORD_READ_FAILED  // the file could not be read
};

// "record", "end", "truncated", "corrupt", "read failed".
const char* RecordStatusName(RecordStatus e);

class TW_RecordReader {
public:
    static constexpr uint32_t kInitialCapacity = 10240;

    // The file stays the caller's; it is read from where it stands.
    explicit TW_RecordReader(IFile* lpFile);
    ~TW_RecordReader();
    TW_RecordReader(const TW_RecordReader&) = delete;
    TW_RecordReader& operator=(const TW_RecordReader&) = delete;

    // The next record. Anything but RECORD_READ is final: later calls give
    // the same result without reading.
    RecordStatus Next();

    // The record Next() last read (or, after a bad one, as much of its header
    // as was there).
    const RecordHeader& Header() const { return m_header; }
    const char* Payload() const { return m_lpBuffer; }
    // Little-endian word i of the payload; the caller knows it is there
    // (Next() guarantees the words of accept and close records).
    uint32_t PayloadWord(uint32_t i) const { return GetRecordLE32(m_lpBuffer + 4 * i); }
    // Where the record Next() last looked at starts in the file.
    uint64_t RecordOffset() const { return m_uiRecordOffset; }
    // Bytes consumed from the file so far.
    uint64_t BytesRead() const { return m_uiOffset; }
    // How many payload bytes the buffer holds room for.
    uint32_t Capacity() const { return m_uiCapacity; }

private:
    // Reads up to uiCount bytes at lpDst; the count read (short at the end of
    // the file), or -1 when a read failed.
    int64_t ReadFull(char* lpDst, uint32_t uiCount);
    RecordStatus ReadPayload();
    RecordStatus Finish(RecordStatus e) { return m_eFinal = e; }

    IFile* m_lpFile;
    RecordHeader m_header;
    char* m_lpBuffer = nullptr;
    uint32_t m_uiCapacity = 0;
    uint64_t m_uiOffset = 0;
    uint64_t m_uiRecordOffset = 0;
    RecordStatus m_eFinal = RECORD_READ;
};

#endif
