#include "PfError.h"

#include <winsock2.h>

namespace pf {

// Winsock keeps the per-thread last error itself.
int GetLastError() { return WSAGetLastError(); }
void SetLastError(int nError) { WSASetLastError(nError); }
int FromErrno(int nErrno) { return nErrno; }

}  // namespace pf
