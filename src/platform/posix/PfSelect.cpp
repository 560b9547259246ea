#include "PfSelect.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <climits>

#include "PfConnectState.h"
#include "PfError.h"
#include "PfSync.h"

namespace pf {

namespace {

enum SetKind { kRead, kWrite, kExcept };
constexpr short kEvents[3] = {POLLIN, POLLOUT, POLLPRI};
constexpr uint32_t kMaxEntries = 3 * kSocketSetSize;

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Whether an entry is ready in Winsock's sense, given what poll said. A
// pending connect learns its outcome here: poll shows a failed connect as
// hung up (and writable), a completed one as writable or readable.
bool IsReady(int fd, SetKind eKind, short nRevents) {
    ConnectState eState = GetConnectState(fd);
    if (eState == kConnPending) {
        if (nRevents & (POLLERR | POLLHUP)) {
            eState = kConnFailed;
            SetConnectState(fd, eState);
        } else if (nRevents & (POLLIN | POLLOUT | POLLPRI)) {
            eState = kConnNone;
            SetConnectState(fd, eState);
        } else {
            return false;
        }
    }
    switch (eState) {
    case kConnIdle: return false;
    case kConnFailed: return eKind == kExcept;
    default: break;
    }
    switch (eKind) {
    case kRead: return nRevents & (POLLIN | POLLERR | POLLHUP);
    // A reset connection stays writable so that the next send reports it.
    case kWrite: return nRevents & (POLLOUT | POLLERR | POLLHUP);
    default: return nRevents & POLLPRI;
    }
}

}  // namespace

int Select(SocketSet* lpRead, SocketSet* lpWrite, SocketSet* lpExcept, uint32_t uiTimeoutMs) {
    SocketSet* arrSet[3] = {lpRead, lpWrite, lpExcept};
    uint32_t uiTotal = 0;
    for (SocketSet* lpSet : arrSet) {
        if (!lpSet) continue;
        if (lpSet->uiCount > kSocketSetSize) {
            SetLastError(kErrInvalid);
            return kSocketError;
        }
        uiTotal += lpSet->uiCount;
    }
    if (uiTotal == 0) {
        SetLastError(kErrInvalid);
        return kSocketError;
    }

    // One poll entry per set entry: poll accepts a descriptor several times.
    pollfd arrPoll[kMaxEntries];
    int arrFd[kMaxEntries];
    SetKind arrKind[kMaxEntries];
    bool arrReady[kMaxEntries] = {};
    // Entries that woke poll without being ready (a hang-up a set does not
    // look for) sit out the rest of the call, so that the wait cannot spin.
    bool arrMuted[kMaxEntries] = {};
    uint32_t n = 0;
    for (int k = 0; k < 3; ++k) {
        if (!arrSet[k]) continue;
        for (uint32_t i = 0; i < arrSet[k]->uiCount; ++i, ++n) {
            arrFd[n] = static_cast<int>(arrSet[k]->arrSocket[i]);
            if (arrFd[n] < 0) {
                SetLastError(kErrNotSocket);
                return kSocketError;
            }
            arrKind[n] = SetKind(k);
        }
    }

    const bool bInfinite = uiTimeoutMs == kInfinite;
    const int64_t nDeadline = (bInfinite || uiTimeoutMs == 0) ? 0 : NowMs() + uiTimeoutMs;
    int64_t nRemaining = uiTimeoutMs;
    int nReady = 0;
    for (;;) {
        bool bReadyNow = false;
        for (uint32_t i = 0; i < n; ++i) {
            ConnectState eState = GetConnectState(arrFd[i]);
            bool bFailedExcept = eState == kConnFailed && arrKind[i] == kExcept;
            bReadyNow |= bFailedExcept && !arrMuted[i];
            bool bSkip = arrMuted[i] || eState == kConnIdle || (eState == kConnFailed && !bFailedExcept);
            arrPoll[i] = {bSkip ? -1 : arrFd[i], kEvents[arrKind[i]], 0};
        }
        int nWait = bReadyNow ? 0 : bInfinite ? -1 : int(nRemaining > INT_MAX ? INT_MAX : nRemaining);
        int r = poll(arrPoll, n, nWait);
        if (r < 0 && errno != EINTR) {
            SetLastError(FromErrno(errno));
            return kSocketError;
        }
        for (uint32_t i = 0; r > 0 && i < n; ++i) {
            if (arrPoll[i].revents & POLLNVAL) {
                SetLastError(kErrNotSocket);
                return kSocketError;
            }
        }
        for (uint32_t i = 0; i < n; ++i) {
            if (arrMuted[i]) continue;
            bool bFailedExcept = arrKind[i] == kExcept && GetConnectState(arrFd[i]) == kConnFailed;
            if (arrPoll[i].fd < 0 && !bFailedExcept) continue;
            arrReady[i] = IsReady(arrFd[i], arrKind[i], arrPoll[i].revents);
            if (arrReady[i]) ++nReady;
            else if (arrPoll[i].revents) arrMuted[i] = true;
        }
        if (nReady > 0 || uiTimeoutMs == 0) break;
        if (!bInfinite) {
            nRemaining = nDeadline - NowMs();
            if (nRemaining <= 0) break;
        }
    }

    // Like Winsock, keep only the ready sockets, in their order.
    uint32_t e = 0;
    for (SocketSet* lpSet : arrSet) {
        if (!lpSet) continue;
        uint32_t uiKept = 0;
        for (uint32_t i = 0; i < lpSet->uiCount; ++i, ++e)
            if (arrReady[e]) lpSet->arrSocket[uiKept++] = lpSet->arrSocket[i];
        lpSet->uiCount = uiKept;
    }
    return nReady;
}

}  // namespace pf
