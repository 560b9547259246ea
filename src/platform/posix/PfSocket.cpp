#include "PfSocket.h"

namespace pf {

// Nothing to start on POSIX. (Sends use MSG_NOSIGNAL, so a vanished peer is
// an error, as on Windows, and never a SIGPIPE in the host.)
int SocketStartup() { return 0; }
void SocketCleanup() {}

}  // namespace pf
