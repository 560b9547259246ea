// Looks into a record file written by the recording managers
// ("IIocpSocketMgr1.1", "IAsyncSocketMgr1.1"), with the same reader the
// replaying manager uses.
//
//   vxnet-rec dump [--hex] [FILE]   one line per record; --hex adds the payloads
//   vxnet-rec stats [FILE]          records per type, sockets, bytes, where it ends
//   vxnet-rec check [FILE]          exit 0 for a well-formed file
//
// FILE defaults to vxnet.rec. Exit codes: 0 a well-formed file (every record
// whole and of a known type), 1 a bad record (its offset is printed), 2 a
// usage error or a file that cannot be opened.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "TW_FileEx.h"
#include "TW_RecordReader.h"

namespace {

enum { kExitOk = 0, kExitBadRecord = 1, kExitUsage = 2 };

const char* StatusName(uint32_t uiStatus) {
    switch (uiStatus) {
        case 0: return "udp";
        case 1: return "tcp";
        case 3: return "listening";
        case 4: return "connecting";
        case 5: return "connected";
        case 6: return "close-notified";
        case 7: return "closed";
        default: return "?";
    }
}

const char* TypeName(uint32_t uiType) {
    switch (uiType) {
        case RECORD_ACCEPT: return "accept";
        case RECORD_RECV: return "recv";
        case RECORD_CLOSE: return "close";
        default: return "unknown";
    }
}

void PrintHex(const char* lpData, uint32_t uiLen) {
    const auto* p = reinterpret_cast<const unsigned char*>(lpData);
    for (uint32_t at = 0; at < uiLen; at += 16) {
        std::printf("    %08" PRIx32 " ", at);
        for (uint32_t i = 0; i < 16; ++i) {
            if (at + i < uiLen)
                std::printf(" %02x", p[at + i]);
            else
                std::printf("   ");
        }
        std::printf("  |");
        for (uint32_t i = 0; i < 16 && at + i < uiLen; ++i) std::putchar(p[at + i] >= 0x20 && p[at + i] < 0x7f ? p[at + i] : '.');
        std::printf("|\n");
    }
}

void PrintRecord(const TW_RecordReader& r, bool bHex) {
    const RecordHeader& h = r.Header();
    std::printf("%10" PRIu64 "  %-7s s=%" PRIu32, r.RecordOffset(), TypeName(h.uiType), h.uiSocket);
    switch (h.uiType) {
        case RECORD_ACCEPT: std::printf(" accepted=%" PRIu32 "\n", r.PayloadWord(0)); return;
        case RECORD_RECV:
            std::printf(" u1=0x%08" PRIx32 " u2=0x%08" PRIx32 " len=%" PRIu32 "\n", h.dwWordA, h.dwWordB, h.uiLen);
            break;
        case RECORD_CLOSE: {
            const uint32_t uiStatus = r.PayloadWord(1);
            std::printf(" u1=0x%08" PRIx32 " u2=0x%08" PRIx32 " error=%d status=%d (%s)\n", h.dwWordA, h.dwWordB,
                        int(r.PayloadWord(0)), int(uiStatus), StatusName(uiStatus));
            return;
        }
        default:
            std::printf(" type=%" PRIu32 " a=0x%08" PRIx32 " b=0x%08" PRIx32 " len=%" PRIu32 " (skipped on replay)\n",
                        h.uiType, h.dwWordA, h.dwWordB, h.uiLen);
            break;
    }
    if (bHex) PrintHex(r.Payload(), h.uiLen);
}

// How the file ends, for a status other than RECORD_READ.
std::string DescribeEnd(const TW_RecordReader& r, RecordStatus e) {
    char buf[200];
    const RecordHeader& h = r.Header();
    if (e == RECORD_END) return "clean";
    int n = std::snprintf(buf, sizeof buf, "%s record at offset %" PRIu64, RecordStatusName(e), r.RecordOffset());
    if (e == RECORD_TRUNCATED)
        std::snprintf(buf + n, sizeof buf - size_t(n), " (%" PRIu64 " bytes of it in the file, %" PRIu32 " payload bytes stated)",
                      r.BytesRead() - r.RecordOffset(), h.uiLen);
    else if (e == RECORD_CORRUPT)
        std::snprintf(buf + n, sizeof buf - size_t(n), " (%s with a %" PRIu32 "-byte payload, needs %" PRIu32 ")",
                      TypeName(h.uiType), h.uiLen, MinRecordPayload(h.uiType));
    return buf;
}

// A line for a file that does not end cleanly; true when it does.
bool EndsCleanly(const TW_RecordReader& r, RecordStatus e, const char* lpszPath) {
    if (e == RECORD_END) return true;
    std::printf("%s: %s\n", lpszPath, DescribeEnd(r, e).c_str());
    return false;
}

int Dump(TW_RecordReader& r, const char* lpszPath, bool bHex) {
    RecordStatus e;
    uint64_t n = 0;
    while ((e = r.Next()) == RECORD_READ) {
        PrintRecord(r, bHex);
        ++n;
    }
    if (!EndsCleanly(r, e, lpszPath)) return kExitBadRecord;
    std::printf("%s: %" PRIu64 " records, %" PRIu64 " bytes\n", lpszPath, n, r.BytesRead());
    return kExitOk;
}

int Stats(TW_RecordReader& r, const char* lpszPath) {
    uint64_t nAccept = 0, nRecv = 0, nClose = 0, nUnknown = 0, uiRecvBytes = 0, uiFirstUnknown = 0;
    uint32_t uiLargest = 0;
    std::set<uint32_t> sockets, listeners;
    RecordStatus e;
    while ((e = r.Next()) == RECORD_READ) {
        const RecordHeader& h = r.Header();
        switch (h.uiType) {
            case RECORD_ACCEPT:
                ++nAccept;
                listeners.insert(h.uiSocket);
                sockets.insert(h.uiSocket);
                sockets.insert(r.PayloadWord(0));
                break;
            case RECORD_RECV:
                ++nRecv;
                uiRecvBytes += h.uiLen;
                if (h.uiLen > uiLargest) uiLargest = h.uiLen;
                sockets.insert(h.uiSocket);
                break;
            case RECORD_CLOSE:
                ++nClose;
                sockets.insert(h.uiSocket);
                break;
            default:
                if (nUnknown++ == 0) uiFirstUnknown = r.RecordOffset();
                break;
        }
    }
    std::printf("file:           %s (%" PRIu64 " bytes read)\n", lpszPath, r.BytesRead());
    std::printf("records:        %" PRIu64 " (accept %" PRIu64 ", recv %" PRIu64 ", close %" PRIu64
                ", unknown %" PRIu64 ")\n",
                nAccept + nRecv + nClose + nUnknown, nAccept, nRecv, nClose, nUnknown);
    std::printf("sockets:        %" PRIu64 " (listening %" PRIu64 ")\n", uint64_t(sockets.size()),
                uint64_t(listeners.size()));
    std::printf("received bytes: %" PRIu64 " (largest record %" PRIu32 ")\n", uiRecvBytes, uiLargest);
    if (nUnknown) std::printf("first unknown:  record at offset %" PRIu64 "\n", uiFirstUnknown);
    std::printf("end:            %s\n", DescribeEnd(r, e).c_str());
    return e == RECORD_END && nUnknown == 0 ? kExitOk : kExitBadRecord;
}

int Check(TW_RecordReader& r, const char* lpszPath) {
    RecordStatus e;
    uint64_t n = 0;
    while ((e = r.Next()) == RECORD_READ) {
        // No writer makes other types: one here means the file is damaged.
        if (!IsKnownRecordType(r.Header().uiType)) {
            std::printf("%s: unknown record type %" PRIu32 " at offset %" PRIu64 "\n", lpszPath, r.Header().uiType,
                        r.RecordOffset());
            return kExitBadRecord;
        }
        ++n;
    }
    if (!EndsCleanly(r, e, lpszPath)) return kExitBadRecord;
    std::printf("%s: ok, %" PRIu64 " records, %" PRIu64 " bytes\n", lpszPath, n, r.BytesRead());
    return kExitOk;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vxnet-rec dump [--hex] [FILE]\n"
                 "       vxnet-rec stats [FILE]\n"
                 "       vxnet-rec check [FILE]\n"
                 "FILE defaults to vxnet.rec\n");
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string strCommand = argv[1];
    bool bHex = false;
    const char* lpszPath = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--hex") == 0 && strCommand == "dump")
            bHex = true;
        else if (!lpszPath && argv[i][0] != '-')
            lpszPath = argv[i];
        else
            return Usage();
    }
    if (!lpszPath) lpszPath = "vxnet.rec";
    if (strCommand != "dump" && strCommand != "stats" && strCommand != "check") return Usage();

    TW_FileEx file;
    if (!file.Open(lpszPath, TW_FileEx::kRead | TW_FileEx::kOpenExisting)) {
        std::fprintf(stderr, "vxnet-rec: cannot open %s\n", lpszPath);
        return kExitUsage;
    }
    TW_RecordReader reader(&file);
    if (strCommand == "dump") return Dump(reader, lpszPath, bHex);
    if (strCommand == "stats") return Stats(reader, lpszPath);
    return Check(reader, lpszPath);
}
