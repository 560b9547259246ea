#include "PfSelect.h"

#include <winsock2.h>

#include <cstddef>
#include <initializer_list>

#include "PfError.h"
#include "PfSync.h"

namespace pf {

// A SocketSet is handed to select as it is.
static_assert(FD_SETSIZE == kSocketSetSize, "Winsock sets of 64 sockets");
static_assert(sizeof(SocketSet) == sizeof(fd_set), "a set has the fd_set layout");
static_assert(offsetof(SocketSet, arrSocket) == offsetof(fd_set, fd_array), "a set has the fd_set layout");

static fd_set* FdSet(SocketSet* lpSet) { return reinterpret_cast<fd_set*>(lpSet); }

int Select(SocketSet* lpRead, SocketSet* lpWrite, SocketSet* lpExcept, uint32_t uiTimeoutMs) {
    // select would read past the array of a set that claims more.
    for (SocketSet* lpSet : {lpRead, lpWrite, lpExcept}) {
        if (lpSet && lpSet->uiCount > kSocketSetSize) {
            SetLastError(kErrInvalid);
            return kSocketError;
        }
    }
    timeval tv = {long(uiTimeoutMs / 1000), long(uiTimeoutMs % 1000) * 1000};
    return select(0, FdSet(lpRead), FdSet(lpWrite), FdSet(lpExcept), uiTimeoutMs == kInfinite ? nullptr : &tv);
}

}  // namespace pf
