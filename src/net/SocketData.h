// The per-socket record the engines keep, and the parts of it that every
// engine shares. Records are guarded by their engine's lock; nothing here
// locks.
#ifndef SOCKETDATA_H
#define SOCKETDATA_H

#include <atomic>
#include <cstdint>

#include "TW_List.h"
#include "TW_ProxyHandshake.h"
#include "vxnet/ISocketMgr.h"
#include "vxnet/vxmempool.h"

// Received bytes held for the next notice: a pool block, the room last asked
// of the pool for it (the block may be larger), and the bytes held at its
// start.
struct RecvBuffer {
    char* lpBuffer = nullptr;
    uint32_t uiCapacity = 0;
    uint32_t uiDataLen = 0;
};

// What the notice framing keeps per connected socket. Every engine's record
// embeds it (by deriving from it), so the framing code is the same for all.
//
// While bRbufLockFlag is set a delivery is running without the lock and owns
// the block it was offered from; sbRbuf is then empty, or holds only bytes
// that arrived during that delivery in a block of its own. So sbRbuf always
// belongs to the record, and closing a socket frees it whatever the flag.
struct RecvState {
    uint32_t uiNoticeLen = 0;    // length of the notice asked for; 0 = none
    RecvBuffer sbRbuf;
    bool bRbufLockFlag = false;  // a delivery is running
    uint32_t dwLastRecvTime = 0; // timer tick of the last delivery attempt
};

// A queued piece of a Send: the unsent bytes are the last uiRemain of the
// uiLen bytes of the pool block.
struct SendBlock {
    char* lpBuffer = nullptr;
    uint32_t uiLen = 0;
    uint32_t uiRemain = 0;

    const char* Unsent() const { return lpBuffer + (uiLen - uiRemain); }
};

// Bits of dwFlags.
enum : uint32_t {
    SOCKET_FLAG_REPORT_PARTIAL_SEND = 1u  // OnSocketSend also after a flush that left bytes queued
};

// The record every engine keeps per socket, in the shared socket table. The
// table's lock guards every field.
struct SocketData : RecvState {
    SOCKET socket = INVALID_SOCKET;
    uint32_t status = SS_TCP;
    TW_List<SendBlock> listSendBuf;
    uint32_t dwLastSendTime = 0;
    uint32_t uiSeq = 0;                // tells a reused handle from its predecessor
    uint32_t uiProxyStep = 0;          // PROXY_STEP_*
    SOCKET sLinked = INVALID_SOCKET;   // UDP socket <-> its SOCKS control connection
    uint32_t dwProxyIp = 0xFFFFFFFFu;  // network order
    uint16_t wProxyPort = 0;           // network order
    ProxyData* lpProxyData = nullptr;
    uint32_t dwUser1 = 0;
    uint32_t dwUser2 = 0;
    uint32_t dwSendFlag = 0;           // flag of the latest Send, echoed in OnSocketSend
    uint32_t dwFlags = 0;              // SOCKET_FLAG_* bits
    bool bUdp = false;                 // a datagram socket (its status leaves SS_UDP on a failure)

    // ---- kept by the shared layer
    bool bNameConnectPending = false;  // a connect by name waits for its result or its 20 s limit
    bool bShutdownSendPending = false; // Shutdown(send) waits for the queue to drain
    // Engine threads using the descriptor without the lock (pins), and the
    // closing bit. A record closed meanwhile leaves the table at once, but its
    // descriptor is closed by the last of them, so no I/O can reach a socket
    // that reuses the number. One word, so that exactly one side sees both
    // "closing" and "no pin" and frees the record.
    static constexpr uint32_t kClosingBit = 0x80000000u;
    std::atomic<uint32_t> uiPins{0};

    // ---- the engine's own per-socket state (the select engine: its poll group)
    void* lpEngine = nullptr;

    // Received bytes are proxy replies, not application data.
    bool InProxyHandshake() const { return lpProxyData && uiProxyStep != PROXY_STEP_DONE; }
    // A UDP socket's SOCKS control connection, which reads only to notice its end.
    bool IsRelayControl() const { return sLinked != INVALID_SOCKET && !bUdp && !InProxyHandshake(); }
};

// Frees the receive buffer of a record that is being removed. Safe while a
// delivery runs: the delivering thread frees the block it holds itself.
inline void ReleaseRecvBuffer(RecvState& rs) {
    MemPoolFree(rs.sbRbuf.lpBuffer);
    rs.sbRbuf = RecvBuffer();
}

// Frees every queued send block and empties the queue.
inline void ReleaseSendQueue(TW_List<SendBlock>& listSendBuf) {
    while (!listSendBuf.IsEmpty()) MemPoolFree(listSendBuf.RemoveHead().lpBuffer);
}

#endif
