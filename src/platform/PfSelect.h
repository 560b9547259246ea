// select over sets of at most 64 sockets, with Winsock's meaning:
//   read set    data to read, a connection to accept, or the peer closed or
//               reset the connection (recv then says which);
//   write set   a non-blocking connect has completed, or there is send room;
//   except set  a non-blocking connect has failed (GetSocketError tells why),
//               or out-of-band data; a failed connect is never writable.
// A set has the layout of a Winsock fd_set with FD_SETSIZE 64. The POSIX
// backend uses poll(), so descriptor numbers have no upper limit.
#ifndef VX_PF_SELECT_H
#define VX_PF_SELECT_H

#include <cstdint>

#include "PfSocket.h"

namespace pf {

constexpr uint32_t kSocketSetSize = 64;

struct SocketSet {
    uint32_t uiCount;
    SOCKET arrSocket[kSocketSetSize];

    void Clear() { uiCount = 0; }

    bool Contains(SOCKET s) const {
        for (uint32_t i = 0; i < uiCount; ++i)
            if (arrSocket[i] == s) return true;
        return false;
    }

    // False when the socket is already there or the set is full (FD_SET).
    bool Add(SOCKET s) {
        if (uiCount >= kSocketSetSize || Contains(s)) return false;
        arrSocket[uiCount++] = s;
        return true;
    }

    // Keeps the order of the others (FD_CLR); false when absent.
    bool Remove(SOCKET s) {
        for (uint32_t i = 0; i < uiCount; ++i) {
            if (arrSocket[i] != s) continue;
            for (uint32_t j = i + 1; j < uiCount; ++j) arrSocket[j - 1] = arrSocket[j];
            --uiCount;
            return true;
        }
        return false;
    }
};

// Waits until a socket of a set is ready or uiTimeoutMs passes (kInfinite,
// PfSync.h, waits for ever). Each set (null = empty) is rewritten in place to
// hold its ready sockets only. Returns the number of ready entries over all
// sets, 0 on time-out, or kSocketError: kErrInvalid when all sets are empty
// or one claims more than 64 sockets, kErrNotSocket for a handle that is not
// an open socket.
int Select(SocketSet* lpRead, SocketSet* lpWrite, SocketSet* lpExcept, uint32_t uiTimeoutMs);

}  // namespace pf

#endif
