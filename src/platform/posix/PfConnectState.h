// What the POSIX backend remembers about a TCP socket's connection, so that
// readiness keeps Winsock's meaning where poll() cannot tell: poll reports a
// fresh socket and a failed connect alike as hung up and writable, while
// Winsock shows the first as nothing and the second in the except set only.
// Kept per descriptor number below 2^24 (handles a manager keeps are below
// 0xFFFFFF); others read as kConnNone. Lock-free: one byte per descriptor.
#ifndef VX_PF_CONNECT_STATE_H
#define VX_PF_CONNECT_STATE_H

#include <cstdint>

namespace pf {

enum ConnectState : uint8_t {
    kConnNone = 0,     // UDP, listening, connected or closed: poll tells the truth
    kConnIdle,         // TCP socket never connected: never ready
    kConnPending,      // non-blocking connect under way
    kConnFailed        // that connect failed: except only
};

ConnectState GetConnectState(int fd);
void SetConnectState(int fd, ConnectState eState);

}  // namespace pf

#endif
