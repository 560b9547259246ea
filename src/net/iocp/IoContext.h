// One overlapped operation of the completion-port engine: a pool block with
// the platform's Overlapped first (the port hands its address back), the
// operation's bookkeeping, and the data area behind it.
#ifndef IOCONTEXT_H
#define IOCONTEXT_H

#include <cstddef>
#include <cstdint>
#include <new>

#include "PfCompletionPort.h"
#include "vxnet/vxmempool.h"

enum IoOperation : uint32_t {
    IO_ACCEPT = 0,   // a connection onto the prepared socket
    IO_RECV = 1,     // stream bytes
    IO_SEND = 2,     // one Send's bytes, all of them
    IO_RECVFROM = 3, // one datagram
    IO_RECVBUF = 4,  // a posted packet: deliver the bytes already held
    IO_FAILED = 5    // a posted packet: a receive failed as it was started (error in dwParam1)
};

struct IoContext {
    pf::Overlapped overlapped;
    uint32_t IoOperation = IO_RECV;
    SOCKET socket = INVALID_SOCKET;  // the socket the operation belongs to (IO_ACCEPT: the prepared one)
    uint32_t uiSeq = 0;              // the record's stamp when the operation was issued
    uint32_t dwParam1 = 0;           // IO_SEND: the caller's flag word; IO_FAILED: the error
    uint32_t uiSize = 0;             // bytes of the data area
    sockaddr_in from{};              // IO_RECVFROM: the sender

    static const uint32_t kHeaderSize;
    char* Data() { return reinterpret_cast<char*>(this) + kHeaderSize; }

    // Null when the pool has no room (sizes past the pool's limit included).
    static IoContext* Alloc(uint32_t uiSize) {
        if (uiSize > 0xFFFFFFFFu - kHeaderSize) return nullptr;
        void* p = MemPoolAlloc(kHeaderSize + uiSize);
        if (!p) return nullptr;
        auto* lpCtx = new (p) IoContext();
        lpCtx->uiSize = uiSize;
        return lpCtx;
    }
    static void Free(IoContext* lpCtx) {
        if (!lpCtx) return;
        lpCtx->~IoContext();
        MemPoolFree(lpCtx);
    }
    static IoContext* From(pf::Overlapped* lpOv) { return reinterpret_cast<IoContext*>(lpOv); }
};
static_assert(offsetof(IoContext, overlapped) == 0, "the port returns the Overlapped's address");
// The data area starts on a 16-byte boundary behind the header.
inline constexpr uint32_t IoContext::kHeaderSize = uint32_t((sizeof(IoContext) + 15) & ~size_t(15));

#endif
