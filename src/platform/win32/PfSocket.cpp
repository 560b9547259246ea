#include "PfSocket.h"

#include <winsock2.h>

namespace pf {

int SocketStartup() {
    WSADATA wsa;
    return WSAStartup(MAKEWORD(1, 1), &wsa);
}

void SocketCleanup() { WSACleanup(); }

}  // namespace pf
